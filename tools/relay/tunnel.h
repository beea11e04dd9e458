// The relay's end of the HTTP tunnel. One tunnel per request path carries
// one client stream (a tunnelled connection, which speaks the same protocol
// as a direct one) inside HTTP bodies: the POST request bodies, in order,
// are the client's bytes; the GET answer bodies are the relay's.
//
//   client --POST body (500000..999999 bytes)--> tunnel_leg --feed()--------> connection
//   client <--GET body (Content-Length fixed)--- tunnel_leg <--take_output()-- connection
//
// Every accepted HTTP connection is a tunnel_leg that serves the requests on
// it one after another: a web proxy keeps its connections to the relay open
// and may send a GET where a POST went before. One POST body feeds the
// stream at a time (the one whose head came first); one GET body is filled
// at a time (likewise).
//
// Ownership: relay_server's table holds each tunnel, the tunnel its
// connection; a leg is held by its own asio handlers, and by the tunnel while
// it carries a POST body (the tunnel knows a GET leg only weakly).
// Everything runs on the relay's one I/O thread; nothing is locked.
#pragma once

#include "tools/relay/connection.h"
#include "tools/relay/relay_server.h"
#include "tools/relay/wire.h"

#include <deque>
#include <memory>
#include <string>
#include <string_view>

namespace relay {

class tunnel_leg;

class tunnel : public stream_carrier, public std::enable_shared_from_this<tunnel> {
public:
    tunnel(relay_server& server, std::string path, std::string peer);
    // Makes the connection; call once, right after construction.
    void start();
    std::string const& path() const { return m_path; }
    std::uint64_t id() const;

    // A POST leg whose body is to come. It feeds the stream only while
    // may_feed() says so; post_done() once its whole body is in.
    void post_begins(std::shared_ptr<tunnel_leg> const& leg);
    bool may_feed(tunnel_leg const* leg) const;
    void feed(std::string_view data);
    void post_done(tunnel_leg const* leg);
    // A GET leg whose answer head is out: its body is filled as bytes come.
    void get_begins(std::shared_ptr<tunnel_leg> const& leg);
    // A leg closed; lost: part of its GET body went out, not all of it, so
    // the stream is broken for the client.
    void leg_gone(tunnel_leg const* leg, bool lost);
    // Moves output into the current GET leg while it has room.
    void pump();
    // Closes the tunnel's connection and with it every leg.
    void end(std::string const& reason);

    void output_ready() override;
    void input_ready() override;
    void ended(std::string const& reason) override;

private:
    // Starts the idle limit when no leg carries a body, stops it otherwise.
    void legs_changed();
    void wake_post();

    relay_server& m_server;
    std::string m_path, m_peer;
    std::shared_ptr<connection> m_conn;
    // A POST leg that waits for its turn reads no more, so no handler of
    // its own holds it: the queue does, until its body is in or it closes.
    std::deque<std::shared_ptr<tunnel_leg>> m_posts;
    std::deque<std::weak_ptr<tunnel_leg>> m_gets;
    asio::steady_timer m_idle;
    bool m_idle_armed = false, m_pumping = false, m_ended = false;
};

class tunnel_leg : public std::enable_shared_from_this<tunnel_leg> {
public:
    tunnel_leg(relay_server& server, asio::ip::tcp::socket socket, std::uint64_t id, std::string peer);
    // head: the bytes read so far, from the first request's head on.
    void start(std::string head);
    std::uint64_t id() const { return m_id; }

    // GET body: how many bytes it takes now; takes them (true when that
    // completes the body).
    std::size_t room() const;
    bool carry(std::string data);
    // The tunnel lets a waiting POST body feed again.
    void resume();
    void close(std::string const& reason);

private:
    enum class phase { head, post_body, get_body, rejected, closed };

    void read();
    void process();
    void on_head(request_head const& head);
    // Answers status and drops the rest of the connection; a reason is logged as "bad-head".
    void refuse(std::string const& status, std::string const& reason);
    // A breach that desynchronises the stream: the leg and its tunnel end.
    void violation(std::string const& reason);
    void log_violation(std::string const& reason);
    void send(std::string data);
    void write();
    void arm_head_timer();
    std::string answer_head(std::size_t content_length) const;

    relay_server& m_server;
    asio::ip::tcp::socket m_socket;
    asio::steady_timer m_timer;
    std::uint64_t m_id;
    std::string m_peer;
    phase m_phase = phase::head;
    std::weak_ptr<tunnel> m_tunnel;
    std::string m_in;
    std::uint64_t m_body_left = 0, m_body_sent = 0;
    bool m_after_post = false; // the bytes in m_in follow a complete POST body
    std::deque<std::string> m_out;
    std::size_t m_out_bytes = 0;
    bool m_reading = false, m_writing = false, m_close_after_write = false;
    char m_read_buf[64 * 1024];
};

} // namespace relay
