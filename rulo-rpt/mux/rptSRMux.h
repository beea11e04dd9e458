// The relay mux client: the program's one connection to the relay server,
// with named channels handed out as ordinary transports.
//
// It builds the multiplexer over a transport, opens the procedure channel
// "VYNRPC" itself, and opens further channels by service name:
//
//   name       opened by                secure (inside the control TLS link)
//   "VYNRPC"   start_on / start_and_wait  yes
//   "VYNMSG"   get_msg_transport          yes
//   "VYNL2"    get_session_transport      no (the session runs its own TLS)
//   "PLUGINS"  create_downloader          no
//
// Each channel's transport (srmux_transport) sends through the multiplexer;
// what arrives for its id goes to the sink registered for it, and that sink
// is registered before "open" leaves, so no byte the relay sends right
// behind its answer is lost.
//
// Ownership: the desk's session code owns the client; the client owns the
// multiplexer, which holds the client as its sink, and each channel
// transport holds the client. disconnect() breaks these cycles: it drops the
// multiplexer and every channel sink. One connection per object: after
// disconnect() the caller builds a new one.
//
// Threads and lock: channel sinks are called on the transport's thread with
// the framework lock held (the multiplexer's delivery), and broken() also
// from whichever thread called disconnect(), with that lock held too. Any
// channel failure, a "channel-error" or "channel-closed" for any id, or the
// disconnect() of any channel transport ends the whole connection, and
// every channel sink gets exactly one broken(); later sends throw. The
// connection's queue_empty() reaches only the channels that sent since they
// last heard it.
#pragma once

#include "rulo-rpt/mux/rptMux.h"
#include "rulo-rpt/rptTransport.h"
#include "rulo/executor.h"
#include "rulo/object.h"

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>

namespace rulo {

class AutoTransport;
class rptPacket;
class rpcWrapper;
class rpcWrapperSink;
class SRDownloader;
class SRDownloaderSink;

class rptSRMux : public rptMuxSink {
public:
    // The transport of one named channel.
    class srmux_transport : public rptTransport {
    public:
        srmux_transport(object<rptSRMux> owner, long long id, std::string name);

        // Throws "send" once the connection has ended.
        void send(netbuf const& data) override;
        // Ends the whole relay connection, not only this channel.
        void disconnect() override;
        void set_sink(object<rptTransportSink> sink) override;
        void no_delay() override;
        int64_t last_received() override;
        void ioctl(std::string const& key, std::string& value) override;

        long long id() const { return m_id; }
        std::string const& name() const { return m_name; }

    private:
        object<rptSRMux> m_owner;
        long long m_id;
        std::string m_name;
    };

    rptSRMux() = default;
    ~rptSRMux() override = default;

    // Connects through the chooser, hand-shakes and opens the procedure
    // channel with its framer (events on executor) and wrapper (sink
    // rpc_sink). Blocks up to timeout seconds for the reply, then for the TLS
    // link. False for a failed handshake or TLS set-up (nothing is left
    // open then); chooser failures and rptMux::georeconnect are thrown.
    bool start_and_wait(long timeout, executor const& executor, AutoTransport& chooser,
                        object<rpcWrapperSink> rpc_sink, bool allow_georeconnect, std::string original,
                        std::string target, std::string additional, std::string keys);

    // What start_and_wait does before the procedure channel's framer: a
    // multiplexer, a transport for it from the chooser (its default
    // time-out; the settings that worked go to options()), the handshake and
    // "VYNRPC" opened with rpc_sink. Returns that channel's transport, empty
    // when the handshake or TLS set-up failed; chooser failures and
    // rptMux::georeconnect are thrown.
    object<rptTransport> connect(long timeout, AutoTransport& chooser, object<rptTransportSink> rpc_sink,
                                 bool allow_georeconnect, std::string original, std::string target,
                                 std::string additional, std::string const& keys);

    // The multiplexer start_and_wait makes: this object as its sink, the
    // per-user store. The transport it is started on needs it as its sink.
    object<rptMux> make_mux(bool allow_georeconnect, std::string original, std::string target,
                            std::string additional, std::string const& keys);
    // Hand-shakes on a connected transport and opens "VYNRPC" (secure) with
    // rpc_sink as its channel sink; returns that channel's transport, or an
    // empty handle when the handshake or TLS set-up failed (the multiplexer
    // has disconnected then). Throws rptMux::georeconnect.
    object<rptTransport> start_on(object<rptMux> mux, object<rptTransport> transport, long timeout,
                                  object<rptTransportSink> rpc_sink);

    // Opens a named channel and returns its transport with sink set. Throws
    // "get_transport" when not connected.
    object<rptTransport> get_transport(std::string const& name, object<rptTransportSink> sink, bool secure);
    object<rptTransport> get_msg_transport(object<rptTransportSink> sink);
    object<rptTransport> get_session_transport(object<rptTransportSink> sink);
    // The downloader over a "PLUGINS" channel, set up with sink and its
    // transport before "open" leaves. Throws "get_transport" when not connected.
    object<SRDownloader> create_downloader(object<SRDownloaderSink> sink);

    // The procedure-call wrapper of start_and_wait; empty before and after.
    object<rpcWrapper> get_rpc_wrapper();
    // The underlying transport's; throws when not connected.
    int64_t last_received();
    void disconnect();

    // The settings that worked, filled by the transport chooser.
    std::map<std::string, std::string>& options() { return m_options; }

    // rptMuxSink.
    void queue_empty() override;
    void broken() override;
    void received(long long id, netbuf& data) override;
    void channel_error(long long id, std::string text) override;
    void channel_closed(long long id) override;
    void pong(netbuf const& data) override;

private:
    object<rptMux> connected_mux();
    // connected_mux() for a send on channel id, which then hears the next queue_empty().
    object<rptMux> sending_mux(long long id);
    // Opens a named channel; sink, and whatever ready does with the new
    // transport, are in place before "open" leaves.
    object<rptTransport> open_named(std::string const& name, bool secure, object<rptTransportSink> sink,
                                    std::function<void(object<rptTransport> const&)> const& ready);
    void set_channel_sink(long long id, object<rptTransportSink> sink);

    std::map<std::string, std::string> m_options;
    std::map<long long, object<rptTransportSink>> m_sinks;
    std::set<long long> m_sent; // channels that sent since the last queue_empty()
    object<rptMux> m_mux;
    object<rptPacket> m_packet;
    object<rpcWrapper> m_wrapper;
};

} // namespace rulo
