#include "tools/relay/tunnel.h"

#include "tools/relay/wire.h"

#include <algorithm>

namespace relay {

namespace {

// A GET leg's socket queue is kept below this: the rest waits in the
// connection, whose own bound then pauses its input.
constexpr std::size_t get_leg_queue = 256 * 1024;

// Whether data can be the start of a tunnel request ("GET " or "POST ").
bool starts_request(std::string_view data) {
    for (std::string_view method : {std::string_view("GET "), std::string_view("POST ")}) {
        std::size_t const n = std::min(data.size(), method.size());
        if (data.substr(0, n) == method.substr(0, n)) return true;
    }
    return false;
}

} // namespace

// ---------------------------------------------------------------------------
// tunnel

tunnel::tunnel(relay_server& server, std::string path, std::string peer)
    : m_server(server), m_path(std::move(path)), m_peer(std::move(peer)), m_idle(server.io()) {}

void tunnel::start() {
    m_conn = std::make_shared<connection>(m_server, m_server.io().get_executor(), m_server.next_id(),
                                          "tunnel:" + m_peer, weak_from_this());
    m_server.adopt(m_conn);
    event_log::line(m_server.log(), "tunnel-open")
        .num("conn", static_cast<std::int64_t>(m_conn->id()))
        .str("path", m_path)
        .str("peer", m_peer);
    m_conn->start();
    legs_changed();
}

std::uint64_t tunnel::id() const {
    return m_conn ? m_conn->id() : 0;
}

void tunnel::post_begins(std::shared_ptr<tunnel_leg> const& leg) {
    m_posts.push_back(leg);
    legs_changed();
}

bool tunnel::may_feed(tunnel_leg const* leg) const {
    return !m_ended && !m_posts.empty() && m_posts.front().get() == leg && m_conn->accepting_input();
}

void tunnel::feed(std::string_view data) {
    m_conn->feed(data);
}

void tunnel::post_done(tunnel_leg const* leg) {
    if (!m_posts.empty() && m_posts.front().get() == leg) m_posts.pop_front();
    wake_post();
    legs_changed();
}

void tunnel::get_begins(std::shared_ptr<tunnel_leg> const& leg) {
    m_gets.push_back(leg);
    legs_changed();
    pump();
}

void tunnel::leg_gone(tunnel_leg const* leg, bool lost) {
    if (m_ended) return;
    auto const gone = [leg](std::weak_ptr<tunnel_leg> const& w) {
        auto l = w.lock();
        return !l || l.get() == leg;
    };
    bool const was_feeding = !m_posts.empty() && gone(m_posts.front());
    std::erase_if(m_posts, gone);
    std::erase_if(m_gets, gone);
    if (lost) {
        end("GET leg closed before its body was complete");
        return;
    }
    if (was_feeding) wake_post();
    legs_changed();
    pump();
}

void tunnel::pump() {
    if (m_pumping || m_ended) return;
    m_pumping = true;
    while (!m_ended && !m_gets.empty()) {
        auto leg = m_gets.front().lock();
        if (!leg) {
            m_gets.pop_front();
            continue;
        }
        std::size_t const room = leg->room();
        if (room == 0) break;
        std::string data = m_conn->take_output(room);
        if (data.empty()) break;
        if (leg->carry(std::move(data))) m_gets.pop_front();
    }
    m_pumping = false;
    legs_changed();
}

void tunnel::end(std::string const& reason) {
    if (!m_ended) m_conn->close(reason);
}

void tunnel::output_ready() {
    pump();
}

void tunnel::input_ready() {
    // Called from inside the connection's work: the leg goes on afterwards.
    wake_post();
}

void tunnel::wake_post() {
    if (m_posts.empty()) return;
    asio::post(m_server.io(), [leg = std::weak_ptr<tunnel_leg>(m_posts.front())] {
        if (auto l = leg.lock()) l->resume();
    });
}

void tunnel::ended(std::string const& reason) {
    if (m_ended) return;
    auto self = shared_from_this();
    m_ended = true;
    m_idle.cancel();
    event_log::line(m_server.log(), "tunnel-end")
        .num("conn", static_cast<std::int64_t>(m_conn->id()))
        .str("path", m_path)
        .str("reason", reason);
    std::vector<std::weak_ptr<tunnel_leg>> legs(m_posts.begin(), m_posts.end());
    legs.insert(legs.end(), m_gets.begin(), m_gets.end());
    m_posts.clear();
    m_gets.clear();
    for (auto& w : legs)
        if (auto l = w.lock()) l->close("tunnel ended");
    m_server.forget_tunnel(m_path, this);
}

void tunnel::legs_changed() {
    if (m_ended) return;
    bool const idle = m_posts.empty() && m_gets.empty();
    if (!idle) {
        if (m_idle_armed) m_idle.cancel();
        m_idle_armed = false;
        return;
    }
    if (m_idle_armed) return;
    m_idle_armed = true;
    m_idle.expires_after(m_server.opts().tunnel_idle);
    m_idle.async_wait([w = weak_from_this()](asio::error_code ec) {
        auto self = w.lock();
        if (ec || !self) return;
        self->m_idle_armed = false;
        self->end("tunnel idle");
    });
}

// ---------------------------------------------------------------------------
// tunnel_leg

tunnel_leg::tunnel_leg(relay_server& server, asio::ip::tcp::socket socket, std::uint64_t id, std::string peer)
    : m_server(server), m_socket(std::move(socket)), m_timer(m_socket.get_executor()), m_id(id),
      m_peer(std::move(peer)) {}

void tunnel_leg::start(std::string head) {
    m_in = std::move(head);
    arm_head_timer();
    process();
    read();
}

void tunnel_leg::arm_head_timer() {
    // The same limit as for a direct client's head; it also ends connections
    // a proxy keeps open and never uses again.
    m_timer.expires_after(m_server.opts().head_time_limit);
    m_timer.async_wait([w = weak_from_this()](asio::error_code ec) {
        auto self = w.lock();
        if (!ec && self && self->m_phase != phase::post_body && self->m_phase != phase::get_body)
            self->close("no request in time");
    });
}

std::size_t tunnel_leg::room() const {
    if (m_phase != phase::get_body || m_out_bytes >= get_leg_queue) return 0;
    return static_cast<std::size_t>(std::min<std::uint64_t>(m_body_left, get_leg_queue - m_out_bytes));
}

bool tunnel_leg::carry(std::string data) {
    m_body_left -= data.size();
    m_body_sent += data.size();
    send(std::move(data));
    if (m_body_left > 0) return false;
    m_phase = phase::head;
    arm_head_timer();
    // A request that came while the body ran goes on after this call.
    asio::post(m_socket.get_executor(), [self = shared_from_this()] {
        self->process();
        self->read();
    });
    return true;
}

void tunnel_leg::resume() {
    process();
    read();
}

void tunnel_leg::close(std::string const& reason) {
    if (m_phase == phase::closed) return;
    auto self = shared_from_this();
    bool const lost = m_phase == phase::get_body && m_body_sent > 0;
    m_phase = phase::closed;
    event_log::line(m_server.log(), "tunnel-leg-end")
        .num("conn", static_cast<std::int64_t>(m_id))
        .str("reason", reason);
    asio::error_code ec;
    m_timer.cancel();
    m_socket.shutdown(asio::ip::tcp::socket::shutdown_both, ec);
    m_socket.close(ec);
    m_out.clear();
    m_out_bytes = 0;
    if (auto t = m_tunnel.lock()) t->leg_gone(this, lost);
}

void tunnel_leg::read() {
    if (m_reading || m_phase == phase::closed) return;
    // A POST body that may not feed yet waits in m_in, up to one read's worth.
    if (m_phase == phase::post_body && m_in.size() >= sizeof m_read_buf) return;
    m_reading = true;
    m_socket.async_read_some(
        asio::buffer(m_read_buf), [self = shared_from_this()](asio::error_code ec, std::size_t n) {
            self->m_reading = false;
            if (self->m_phase == phase::closed) return;
            if (ec) {
                char const* reason = ec == asio::error::eof ? "end of stream" : "read error";
                if (self->m_phase == phase::post_body) reason = "POST body cut short";
                if (self->m_phase == phase::get_body) reason = "GET leg closed by the client";
                self->close(ec == asio::error::eof ? reason : reason + (": " + ec.message()));
                return;
            }
            if (self->m_phase == phase::rejected) {
                // Read and dropped, so the refusal is not reset away.
            } else {
                self->m_in.append(self->m_read_buf, n);
                self->process();
            }
            self->read();
        });
}

void tunnel_leg::process() {
    auto self = shared_from_this();
    while (true) {
        switch (m_phase) {
        case phase::closed:
        case phase::rejected:
            return;
        case phase::get_body:
            // A client sends nothing while its GET runs; a pipelined request
            // waits, but no more than one head.
            if (m_in.size() > max_head_size) return violation("bytes beyond a head during a GET answer");
            return;
        case phase::head: {
            if (m_in.empty()) return;
            if (m_after_post && !starts_request(m_in)) return violation("POST body longer than announced");
            request_head head;
            parse_status const s = parse_head(m_in, head);
            if (s == parse_status::need_more) return;
            m_after_post = false;
            if (s == parse_status::malformed) return refuse("400 Bad Request", "malformed head");
            on_head(head);
            break;
        }
        case phase::post_body: {
            auto t = m_tunnel.lock();
            if (!t) return close("tunnel ended");
            if (m_in.empty() || !t->may_feed(this)) return;
            std::size_t const n = static_cast<std::size_t>(std::min<std::uint64_t>(m_in.size(), m_body_left));
            std::string chunk = m_in.substr(0, n);
            m_in.erase(0, n);
            m_body_left -= n;
            t->feed(chunk);
            if (m_phase == phase::closed) return;
            if (m_body_left == 0) {
                send(answer_head(0));
                m_phase = phase::head;
                m_after_post = true;
                arm_head_timer();
                t->post_done(this);
            }
            break;
        }
        }
    }
}

std::string tunnel_leg::answer_head(std::size_t content_length) const {
    // No "Server" field unless asked: a client takes the first answer's one
    // as the address of later legs.
    std::string head =
        "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
        std::to_string(content_length) +
        "\r\nCache-Control: no-cache, no-store\r\nPragma: no-cache\r\nConnection: keep-alive\r\n";
    if (!m_server.opts().tunnel_server_field.empty())
        head += "Server: " + m_server.opts().tunnel_server_field + "\r\n";
    return head + "\r\n";
}

void tunnel_leg::on_head(request_head const& head) {
    tunnel_request req;
    std::string error;
    if (parse_tunnel_request(head, req, error) != parse_status::ok) return refuse("400 Bad Request", error);
    m_in.erase(0, head.size);
    if (req.post && (req.transfer_encoding || req.content_length < min_tunnel_post ||
                     req.content_length > max_tunnel_post)) {
        // The body is not read, so the tunnel's stream stays whole: only this
        // request is refused. A body-less POST is what a client sends to
        // draw a proxy's challenge; when a proxy lets it through it gets the
        // answer of an empty body, so the client goes on with the real one.
        m_tunnel = m_server.tunnel_for(req.path, m_peer, false);
        if (req.transfer_encoding) {
            log_violation("POST with Transfer-Encoding");
            return refuse("400 Bad Request", "");
        }
        log_violation("POST length " + std::to_string(req.content_length) + " outside " +
                      std::to_string(min_tunnel_post) + ".." + std::to_string(max_tunnel_post));
        if (req.content_length != 0) return refuse("400 Bad Request", "");
        send(answer_head(0));
        m_after_post = true;
        arm_head_timer();
        return;
    }
    if (!req.post && (req.content_length > 0 || req.transfer_encoding))
        return refuse("400 Bad Request", "GET with a body");
    auto t = m_server.tunnel_for(req.path, m_peer, true);
    if (!t) return refuse("503 Service Unavailable", "too many tunnels");
    m_tunnel = t;
    m_timer.cancel();
    std::size_t const budget = m_server.opts().tunnel_get_budget;
    // The address the leg reached: a client moves its later legs to the one
    // the "Server" field names.
    asio::error_code ec;
    auto const local = m_socket.local_endpoint(ec);
    event_log::line(m_server.log(), "tunnel-leg")
        .num("conn", static_cast<std::int64_t>(m_id))
        .num("tunnel", static_cast<std::int64_t>(t->id()))
        .str("method", head.method)
        .str("path", req.path)
        .num("length", req.post ? req.content_length : static_cast<std::int64_t>(budget))
        .str("to", ec ? std::string() : local.address().to_string() + ":" + std::to_string(local.port()));
    auto self = shared_from_this();
    if (req.post) {
        m_body_left = static_cast<std::uint64_t>(req.content_length);
        m_phase = phase::post_body;
        t->post_begins(self);
    } else {
        send(answer_head(budget));
        m_body_left = budget;
        m_body_sent = 0;
        m_phase = phase::get_body;
        t->get_begins(self);
    }
}

void tunnel_leg::refuse(std::string const& status, std::string const& reason) {
    if (!reason.empty())
        event_log::line(m_server.log(), "bad-head")
            .num("conn", static_cast<std::int64_t>(m_id))
            .str("reason", reason)
            .str("head", std::string_view(m_in).substr(0, 256));
    send("HTTP/1.1 " + status + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    m_phase = phase::rejected;
    m_in.clear();
    m_close_after_write = true;
    m_timer.expires_after(refusal_linger);
    m_timer.async_wait([w = weak_from_this()](asio::error_code ec) {
        if (auto self = w.lock(); self && !ec) self->close("refused");
    });
}

void tunnel_leg::log_violation(std::string const& reason) {
    auto t = m_tunnel.lock();
    event_log::line(m_server.log(), "violation", true)
        .num("conn", static_cast<std::int64_t>(m_id))
        .num("tunnel", static_cast<std::int64_t>(t ? t->id() : 0))
        .str("reason", reason);
}

void tunnel_leg::violation(std::string const& reason) {
    auto self = shared_from_this();
    auto t = m_tunnel.lock();
    log_violation(reason);
    close("violation: " + reason);
    // A tunnel whose client breaks the rules ends, as a direct connection would.
    if (t) t->end("violation: " + reason);
}

void tunnel_leg::send(std::string data) {
    if (data.empty() || m_phase == phase::closed) return;
    m_out_bytes += data.size();
    m_out.push_back(std::move(data));
    write();
}

void tunnel_leg::write() {
    if (m_writing || m_out.empty()) return;
    m_writing = true;
    std::vector<asio::const_buffer> buffers;
    std::size_t const count = std::min<std::size_t>(m_out.size(), 64);
    for (std::size_t i = 0; i < count; ++i) buffers.emplace_back(asio::buffer(m_out[i]));
    asio::async_write(m_socket, buffers,
                      [self = shared_from_this(), count](asio::error_code ec, std::size_t) {
                          self->m_writing = false;
                          if (self->m_phase == phase::closed) return;
                          if (ec) return self->close("write: " + ec.message());
                          for (std::size_t i = 0; i < count; ++i) {
                              self->m_out_bytes -= self->m_out.front().size();
                              self->m_out.pop_front();
                          }
                          if (self->m_out.empty() && self->m_close_after_write) {
                              asio::error_code e;
                              self->m_socket.shutdown(asio::ip::tcp::socket::shutdown_send, e);
                              return;
                          }
                          self->write();
                          if (auto t = self->m_tunnel.lock()) t->pump();
                      });
}

} // namespace relay
