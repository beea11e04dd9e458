// One client connection of the relay: tells the ways in apart by the first
// bytes, answers the handshake head, parses frames, runs the TLS server of
// channel 1, and serves the named channels (ECHO, VYNRPC, VYNMSG, PLUGINS,
// VYNL2). Owned by relay_server's table through a shared_ptr; asio handlers
// hold one too. Used on the relay's one I/O thread only. After close() it
// sends and reads nothing more.
//
// A tunnelled connection has no socket of its own: its stream_carrier (the
// HTTP tunnel) feeds it the client's bytes with feed() and takes the bytes
// for the client with take_output().
#pragma once

#include "tools/relay/plugin_services.h"
#include "tools/relay/relay_server.h"
#include "tools/relay/tls_session.h"

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>

namespace relay {

// What carries a tunnelled connection's stream. Called on the I/O thread,
// from inside the connection's own work (feed(), take_output(), close()), so
// an implementation must not call back into the connection synchronously
// from input_ready(); output_ready() may call take_output().
class stream_carrier {
public:
    virtual ~stream_carrier() = default;
    // Bytes for the client wait in the connection.
    virtual void output_ready() = 0;
    // The connection takes input again after it paused (its output was full).
    virtual void input_ready() = 0;
    // The connection has closed; nothing follows.
    virtual void ended(std::string const& reason) = 0;
};

class connection : public std::enable_shared_from_this<connection> {
public:
    connection(relay_server& server, asio::ip::tcp::socket socket, std::uint64_t id);
    // A tunnelled connection: no socket, the carrier moves its bytes.
    connection(relay_server& server, asio::any_io_executor executor, std::uint64_t id, std::string peer,
               std::weak_ptr<stream_carrier> carrier);
    ~connection();

    void start();
    // Ends the connection now; reason goes to the log's "close" event.
    void close(std::string const& reason);

    std::uint64_t id() const { return m_id; }
    std::string const& peer() const { return m_peer; }
    std::size_t pending_output() const { return m_out_bytes; }

    // Tunnelled only: the client's next bytes (copied); whether more may come
    // now; up to max bytes of the output, which then counts as sent.
    void feed(std::string_view data);
    bool accepting_input() const { return m_phase != phase::closed && !blocked(); }
    std::string take_output(std::size_t max);
    // One line for the admin "list": id, peer, state and open channels.
    std::string describe() const;

    // Control commands to the client; false when the channel is not open.
    bool send_channel_error(std::uint64_t channel, std::string const& text);
    bool send_channel_closed(std::uint64_t channel);
    void send_pong(std::string const& data);
    // One RPC packet (a call, a reply or a ping) on a VYNRPC channel.
    bool send_rpc(std::uint64_t channel, std::string const& text);
    // One named message packet on a VYNMSG channel.
    bool send_message(std::uint64_t channel, std::string const& packet);

    // Session legs: bytes from the partner leg, and the partner's end.
    void leg_data(std::uint64_t channel, std::string_view data);
    void leg_joined(std::uint64_t channel, std::weak_ptr<connection> partner, std::uint64_t partner_channel);
    void leg_ended(std::uint64_t channel);
    bool is_open_leg(std::uint64_t channel) const;
    // A log line on this connection's event budget.
    event_log::line event(std::string_view name) { return ev(name); }
    // A connection this one waits on has drained its output.
    void wake();
    void add_waiter(std::weak_ptr<connection> const& w);

private:
    enum class phase { detect, head, frames, rejected, closed };
    enum class service { echo, rpc, msg, plugins, leg };

    struct download {
        int fd = -1;
        std::uint64_t offset = 0, size = 0;
        download_fault fault; // what a test asked to go wrong with it
        bool parked = false;  // a rated download waiting for its next turn
    };
    struct channel {
        std::string name;
        service kind = service::echo;
        bool secure = false;
        std::string input;                         // RPC packet stream, or leg bytes waiting for a partner
        std::uint64_t bytes_in = 0, frames_in = 0; // payload from the client, for the log
        std::map<std::string, download> downloads;
        std::deque<std::string> download_order;
        std::weak_ptr<connection> partner;
        std::uint64_t partner_channel = 0;
    };

    void read();
    // A rated download sends its next piece after a pause.
    void park_download(std::uint64_t channel, std::string const& name);
    download* ch_download(std::uint64_t channel, std::string const& name);
    void arm_timer(std::chrono::seconds limit, char const* reason);
    void on_read(std::string_view data);
    // Output went out: below the low water mark the paused work resumes.
    void output_drained();
    void on_plain(std::string_view data);
    void on_head();
    void on_frames(std::string& buffer, bool inside_tls);
    void on_tls_records(std::string_view records);
    void on_control(std::string_view payload, bool inside_tls);
    void on_open(std::int64_t id, std::string const& name, bool secure, bool inside_tls);
    void on_channel_data(std::uint64_t id, std::string_view payload, bool inside_tls);
    void on_rpc(std::uint64_t id, channel& ch, std::string_view data);
    void on_message(std::uint64_t id, std::string_view payload);
    // Logs a posted "message" body as a transcript or as comments.
    void log_posted_text(std::string body);
    void on_plugins(std::uint64_t id, channel& ch, std::string_view payload);
    void start_download(std::uint64_t id, channel& ch, std::string const& name, std::uint64_t offset);
    void pump_downloads();
    void end_channel(std::uint64_t id);
    void violation(std::string const& reason);
    // Runs one step of the connection's work; an exception closes this connection.
    void guarded(std::function<void()> const& step);
    // A log line about this connection; always = not subject to the event budget.
    event_log::line ev(std::string_view name, bool always = false);

    // Output: every byte to the client goes through send_stream (the HTTPS
    // way in wraps it in TLS), then the write queue.
    void send_stream(std::string data);
    void send_frame(std::uint64_t channel, std::string_view payload, bool secure);
    void send_control(std::string const& packet, bool raw = false);
    void queue(std::string data);
    void write();
    bool blocked() const;

    relay_server& m_server;
    asio::ip::tcp::socket m_socket;
    asio::steady_timer m_timer; // the head's time limit, then the linger after a refusal
    std::uint64_t m_id;
    std::string m_peer;
    std::string m_msg_sid, m_msg_role; // from the messages "id" and "software_type"
    phase m_phase = phase::detect;
    std::unique_ptr<tls_session> m_outer; // the HTTPS way in
    std::unique_ptr<tls_session> m_tls;   // channel 1
    std::string m_head_in, m_frames_in, m_secure_in;
    std::map<std::uint64_t, channel> m_channels;
    std::deque<std::string> m_out;
    std::size_t m_out_bytes = 0;
    std::uint64_t m_events = 0; // log lines made, for the budget
    bool m_writing = false, m_reading = false, m_close_after_write = false;
    bool m_tunnelled = false;
    std::weak_ptr<stream_carrier> m_carrier;
    std::vector<std::weak_ptr<connection>> m_waiters; // paused until this one drains
    char m_read_buf[64 * 1024];
};

} // namespace relay
