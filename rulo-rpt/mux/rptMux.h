// The multiplexer: one byte stream to the relay server split into numbered
// channels.
//
// The stream opens with a one-time text handshake in HTTP form ("MUXV2"):
// the reply names the grid the server belongs to and carries the server's
// certificate, which is pinned per grid on first use. Then frames (see
// mux_frame.h) carry channel 0 (control commands), channel 1 (the records of
// one TLS client session, trusting only the pinned certificate) and the
// opened channels. Secure channels, and after the handshake channel 0 itself,
// travel as frames inside that TLS session.
//
// Channel 0 control packets (packet format, the command popped first):
//   client -> relay   "open" id name secure | "connection-keys" key_hash |
//                     "ping-stealth" (plain, while TLS is pending)
//   relay -> client   "channel-closed" id | "channel-error" id text |
//                     "pong" data | "pong-stealth" |
//                     "connection-keys" <netbuf: packed map> |
//                     "connection-keys-cached"   (both only inside TLS)
//
// Ownership: made per connection attempt by the relay mux client (its only
// user, the rptMuxSink). The multiplexer is the sink of its transport; both
// hold each other, and the sink, through handles until disconnect() drops
// them. Every failing exit of start_and_wait disconnects, so a failed attempt
// leaves no connection and no poller registration behind.
//
// Threads and lock: received(), broken() and queue_empty() come on the
// transport's thread; they take the framework lock (rulo::rulo_lock_guard)
// and call the sink with it held, so the sink may call send() or
// open_channel() from inside. start_and_wait() runs on the caller's thread and
// waits on its semaphores without the lock. send() and open_channel() may be
// called from any thread; each holds the framework lock across framing, the
// TLS filter and the transport's send, so records leave in the order the
// filter made them. Failures while receiving never propagate to the
// transport: the multiplexer disconnects, and its sink gets broken() once.
#pragma once

#include "rulo-rpt/http/xstd-http.h"
#include "rulo-rpt/mux/connection_def.h"
#include "rulo-rpt/net/ssl_filter.h"
#include "rulo-rpt/rptTransport.h"
#include "rulo/config_store.h"
#include "rulo/netbuf.h"
#include "rulo/object.h"
#include "rulo/semaphore.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>

namespace rulo {

// The receiver of one multiplexer's events. Called on the transport's thread
// with the framework lock held, possibly from inside the multiplexer's own
// send() (a transport that delivers inline); it may call back into the
// multiplexer. received() may keep data. Nothing follows broken().
class rptMuxSink {
public:
    virtual ~rptMuxSink() = default;
    virtual void queue_empty() = 0;
    virtual void broken() = 0;
    // One payload of channel id (never 0 or 1).
    virtual void received(long long id, netbuf& data) = 0;
    virtual void channel_error(long long id, std::string text) = 0;
    virtual void channel_closed(long long id) = 0;
    virtual void pong(netbuf const& data) = 0;
};

class rptMux : public rptTransportSink {
public:
    // Thrown by start_and_wait when the server asks the client to reconnect
    // elsewhere (and the caller allowed it).
    class georeconnect {};

    // The largest reply head taken; a longer one fails the handshake.
    static constexpr int max_reply_head = 64 * 1024;

    // keys, when not empty, is a packed map that becomes the connection keys
    // (a bad packet throws the packet error).
    rptMux(object<rptMuxSink> sink, std::string original, std::string target, std::string additional,
           std::string const& keys, xstd::StorageLocation location);
    ~rptMux() override;

    // Lets the handshake ask the server whether to reconnect elsewhere.
    void allow_georeconnect();

    // Sends the handshake on a connected transport whose sink is this
    // object, blocks up to timeout seconds for the reply, then until the TLS
    // link is up and the connection keys are settled. Throws the function
    // exception "start_and_wait" (no reply in time, a refused reply, a TLS
    // failure or time-out, the transport ended), "get_ssl_filter" (no usable
    // server certificate), or georeconnect; the multiplexer has disconnected
    // on every one of them.
    void start_and_wait(object<rptTransport> transport, long timeout);

    // Takes the next channel id and sends "open" for it. When given, before_open
    // runs with the id under the framework lock before "open" leaves, so a
    // receiver registered there cannot miss the relay's first bytes.
    long long open_channel(std::string const& name, bool secure,
                           std::function<void(long long)> const& before_open = nullptr);
    // One payload on channel id; raw sends a secure channel's payload
    // outside TLS. Throws "send" once disconnected, "pack_pkt" for a payload
    // above the frame limit.
    void send(long long id, netbuf const& data, bool raw);

    void disconnect();
    void ioctl(std::string const& key, std::string& value);
    void no_delay();
    int64_t last_received();

    // The TLS client filter that trusts only the server certificate, made
    // on first use. Throws "get_ssl_filter" without a usable certificate.
    object<SSLFilter> get_ssl_filter();

    // What the handshake learnt; for the layers above and for tests.
    std::map<std::string, std::string> connection_keys() const;
    std::map<std::string, std::string> connection_data() const;
    std::string const& server_name() const { return m_server_name; }

    // rptTransportSink.
    void received(netbuf const& data) override;
    void broken() override;
    void queue_empty() override;

    // The waits of start_and_wait, in milliseconds: between keep-alive pings
    // while TLS is pending, the silence after which the server counts as
    // gone, and the limit for the whole TLS set-up. Tests shorten them.
    int64_t ping_interval_ms = 7000;
    int64_t silence_limit_ms = 15000;
    int64_t tls_limit_ms = 120000;

private:
    void take_reply(netbuf const& data);
    void accept_reply(netbuf& rest);
    void take_frames();
    void handle(long long id, netbuf& data, bool secure);
    void handle_control(netbuf& data, bool secure);
    void save_keys();
    std::string request_head();
    void send_control(netbuf const& packet, bool raw);
    void fail_start(char const* log_text);

    object<rptMuxSink> m_sink;
    object<rptTransport> m_transport;
    long long m_last_id = 1;
    semaphore m_reply_sem{0x7fffffff, 0};
    semaphore m_keys_sem{0x7fffffff, 0};
    bool m_reply_received = false;
    bool m_reply_accepted = false;
    bool m_keys_ready = false;
    bool m_georeconnect_allowed = false;
    bool m_georeconnect_signalled = false;
    xstd::http m_reply;
    int m_reply_bytes = 0;
    netbuf m_frames_in;
    netbuf m_secure_in;
    std::string m_original;
    std::string m_target;
    std::string m_additional;
    std::string m_server_name;
    xstd::StorageLocation m_location;
    std::unique_ptr<connection_def> m_def;
    std::map<std::string, std::string> m_data;
    std::map<std::string, std::string> m_keys;
    std::set<long long> m_secure_ids;
    object<SSLFilter> m_filter;
};

} // namespace rulo
