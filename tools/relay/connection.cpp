// A client connection: ways in, head, frames, the channel 1 TLS link, control
// commands and output. The services behind the channels are in channel_services.cpp.
#include "tools/relay/connection.h"

#include "tools/relay/codec.h"
#include "tools/relay/wire.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

namespace relay {

namespace {

// How long data sent to a client may go unacknowledged before its
// connection fails (TCP_USER_TIMEOUT, milliseconds), as the programs' own
// sockets do.
constexpr int unacknowledged_limit_ms = 20000;

// Which security a named service must be opened with; ECHO takes either.
enum class security { secure, plain, either };

struct service_entry {
    char const* name;
    int kind;
    security sec;
};

constexpr service_entry services[] = {
    {"VYNRPC", 1, security::secure}, {"VYNMSG", 2, security::secure}, {"PLUGINS", 3, security::plain},
    {"VYNL2", 4, security::plain},   {"ECHO", 0, security::either},
};

} // namespace

connection::connection(relay_server& server, asio::ip::tcp::socket socket, std::uint64_t id)
    : m_server(server), m_socket(std::move(socket)), m_timer(m_socket.get_executor()), m_id(id) {
    asio::error_code ec;
    auto ep = m_socket.remote_endpoint(ec);
    m_peer = ec ? "?" : ep.address().to_string() + ":" + std::to_string(ep.port());
    m_socket.set_option(asio::ip::tcp::no_delay(true), ec);
    // A client that vanished without closing (cable pulled, machine gone,
    // a path gone silent) is found by keep-alive probes after about 70 s of
    // silence, or, while data for it is in flight, once that data has gone
    // unacknowledged for unacknowledged_limit_ms. Without the bound the
    // kernel retransmits for about 15 minutes, and the session's other end
    // waits that long on a dead leg. A client whose system still
    // acknowledges (a stopped process) is not cut.
    m_socket.set_option(asio::socket_base::keep_alive(true), ec);
    int const idle = 60, interval = 10, probes = 6;
    int const fd = m_socket.native_handle();
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
    ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &unacknowledged_limit_ms, sizeof unacknowledged_limit_ms);
}

connection::connection(relay_server& server, asio::any_io_executor executor, std::uint64_t id,
                       std::string peer, std::weak_ptr<stream_carrier> carrier)
    : m_server(server), m_socket(executor), m_timer(executor), m_id(id), m_peer(std::move(peer)),
      m_tunnelled(true), m_carrier(std::move(carrier)) {}

connection::~connection() {
    for (auto& [id, ch] : m_channels)
        for (auto& [name, d] : ch.downloads) ::close(d.fd);
}

void connection::start() {
    ev("accept").num("conn", static_cast<std::int64_t>(m_id)).str("peer", m_peer);
    arm_timer(m_server.opts().head_time_limit, "no head in time");
    read();
}

void connection::arm_timer(std::chrono::seconds limit, char const* reason) {
    m_timer.expires_after(limit);
    m_timer.async_wait([self = shared_from_this(), reason](asio::error_code ec) {
        if (!ec) self->close(reason);
    });
}

std::string connection::describe() const {
    static char const* const names[] = {"detect", "head", "frames", "rejected", "closed"};
    std::string s = "conn " + std::to_string(m_id) + " " + m_peer + " " + names[static_cast<int>(m_phase)] +
                    " tls=" + (m_tls && m_tls->established() ? "1" : "0") +
                    " https=" + (m_outer ? "1" : "0") + " out=" + std::to_string(m_out_bytes) + " channels=";
    bool first = true;
    for (auto const& [id, ch] : m_channels) {
        if (!first) s += ",";
        first = false;
        s += std::to_string(id) + ":" + ch.name + (ch.secure ? ":s" : ":p");
    }
    return s;
}

void connection::close(std::string const& reason) {
    if (m_phase == phase::closed) return;
    auto self = shared_from_this();
    m_phase = phase::closed;
    ev("close", true).num("conn", static_cast<std::int64_t>(m_id)).str("reason", reason);
    asio::error_code ec;
    m_timer.cancel();
    m_socket.shutdown(asio::ip::tcp::socket::shutdown_both, ec);
    m_socket.close(ec);
    std::vector<std::uint64_t> ids;
    for (auto const& [id, ch] : m_channels) ids.push_back(id);
    for (auto id : ids) end_channel(id);
    m_out.clear();
    m_out_bytes = 0;
    for (auto& w : m_waiters)
        if (auto c = w.lock()) c->wake();
    m_waiters.clear();
    m_server.forget(m_id);
    if (auto carrier = m_carrier.lock()) carrier->ended(reason);
}

event_log::line connection::ev(std::string_view name, bool always) {
    // A client can make events as fast as it sends frames: past the budget
    // only its end is logged, so it cannot fill the disk through the log.
    ++m_events;
    if (m_events == max_events_per_connection)
        event_log::line(m_server.log(), "log-muted").num("conn", static_cast<std::int64_t>(m_id));
    return event_log::line(m_server.log(), name, always || m_events < max_events_per_connection);
}

void connection::guarded(std::function<void()> const& step) {
    // Whatever goes wrong with one client ends that client only, never the
    // relay's I/O loop and so every other connection.
    try {
        step();
    } catch (std::exception const& e) {
        ev("internal-error", true).num("conn", static_cast<std::int64_t>(m_id)).str("what", e.what());
        close(std::string("internal error: ") + e.what());
    }
}

void connection::violation(std::string const& reason) {
    ev("violation", true).num("conn", static_cast<std::int64_t>(m_id)).str("reason", reason);
    close("violation: " + reason);
}

// ---------------------------------------------------------------------------
// Input.

bool connection::blocked() const {
    if (m_out_bytes > output_high_water) return true;
    for (auto const& [id, ch] : m_channels) {
        if (ch.kind != service::leg) continue;
        if (auto p = ch.partner.lock(); p && p->pending_output() > output_high_water) return true;
    }
    return false;
}

void connection::add_waiter(std::weak_ptr<connection> const& w) {
    for (auto const& known : m_waiters)
        if (!known.owner_before(w) && !w.owner_before(known)) return;
    m_waiters.push_back(w);
}

void connection::wake() {
    read();
}

void connection::read() {
    if (m_reading || m_phase == phase::closed) return;
    if (blocked()) {
        // Resumed by the write completion of whichever queue is full.
        for (auto const& [id, ch] : m_channels)
            if (auto p = ch.partner.lock(); p && p->pending_output() > output_high_water)
                p->add_waiter(weak_from_this());
        return;
    }
    if (m_tunnelled) {
        if (auto carrier = m_carrier.lock()) carrier->input_ready();
        return;
    }
    m_reading = true;
    m_socket.async_read_some(asio::buffer(m_read_buf),
                             [self = shared_from_this()](asio::error_code ec, std::size_t n) {
                                 self->m_reading = false;
                                 if (self->m_phase == phase::closed) return;
                                 if (ec) {
                                     self->close(self->m_phase == phase::rejected ? "refused"
                                                 : ec == asio::error::eof         ? "end of stream"
                                                                                  : ec.message());
                                     return;
                                 }
                                 self->guarded([&] { self->on_read(std::string_view(self->m_read_buf, n)); });
                                 self->read();
                             });
}

void connection::feed(std::string_view data) {
    if (m_phase == phase::closed || data.empty()) return;
    guarded([&] { on_read(data); });
}

void connection::on_read(std::string_view data) {
    // A refused client's further bytes are read and dropped, so closing does
    // not reset the connection under the refusal it has not read yet.
    if (m_phase == phase::rejected) return;
    if (m_phase == phase::detect) {
        // A TLS handshake record opens the HTTPS way in; anything else must be the head.
        if (static_cast<unsigned char>(data[0]) == 0x16)
            m_outer = std::make_unique<tls_session>(m_server.tls_context());
        m_phase = phase::head;
    }
    if (!m_outer) {
        on_plain(data);
        return;
    }
    std::string plaintext, records;
    bool const ok = m_outer->feed(data.data(), data.size(), plaintext, records);
    if (!records.empty()) queue(std::move(records));
    if (!ok) {
        ev("tls-error", true)
            .num("conn", static_cast<std::int64_t>(m_id))
            .str("layer", "https")
            .str("error", m_outer->error());
        close("https: " + m_outer->error());
        return;
    }
    if (!plaintext.empty()) on_plain(plaintext);
}

void connection::on_plain(std::string_view data) {
    if (m_phase == phase::head) {
        m_head_in.append(data);
        on_head();
        return;
    }
    if (m_phase != phase::frames) return;
    m_frames_in.append(data);
    on_frames(m_frames_in, false);
}

void connection::on_head() {
    request_head head;
    parse_status s = parse_head(m_head_in, head);
    if (s == parse_status::need_more) return;
    if (s == parse_status::ok && !m_outer && !m_tunnelled &&
        (head.method == "GET" || head.method == "POST")) {
        // An HTTP tunnel leg: the socket and what came with the head go to the
        // tunnel code; this connection ends without a protocol of its own.
        auto self = shared_from_this();
        m_timer.cancel();
        m_phase = phase::closed;
        m_server.forget(m_id);
        m_server.take_tunnel_leg(std::move(m_socket), m_id, m_peer, std::move(m_head_in));
        return;
    }
    bool const good = s == parse_status::ok && head.method == "MUXV2" &&
                      (head.version == "HTTP/1.0" || head.version == "HTTP/1.1");
    if (!good) {
        ev("bad-head")
            .num("conn", static_cast<std::int64_t>(m_id))
            .str("head", std::string_view(m_head_in).substr(0, 256));
        send_stream("HTTP/1.0 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        m_phase = phase::rejected;
        m_close_after_write = true;
        arm_timer(refusal_linger, "refused");
        return;
    }
    ev("handshake")
        .num("conn", static_cast<std::int64_t>(m_id))
        .flag("https", m_outer != nullptr)
        .str("target", head.field("Connection-Target"))
        .str("original", head.field("Connection-Target-Original"))
        .str("service", head.field("Service"))
        .str("check_last_public_ip", head.field("Check-Last-Public-Ip"))
        .str("connection_data", head.field("Connection-Data"));
    std::string reply =
        "HTTP/1.0 200 OK\r\nProtocol: MUXV2\r\nConnection-Data: " + m_server.connection_data() + "\r\n";
    for (auto const& [name, value] : m_server.opts().reply_fields) reply += name + ": " + value + "\r\n";
    reply += "\r\n";
    send_stream(std::move(reply));
    m_timer.cancel();
    m_phase = phase::frames;
    m_frames_in = m_head_in.substr(head.size);
    m_head_in.clear();
    m_head_in.shrink_to_fit();
    if (!m_frames_in.empty()) on_frames(m_frames_in, false);
}

void connection::on_frames(std::string& buffer, bool inside_tls) {
    std::size_t pos = 0;
    while (m_phase == phase::frames) {
        frame_view f;
        parse_status s = parse_frame(std::string_view(buffer).substr(pos), f);
        if (s == parse_status::need_more) break;
        if (s == parse_status::malformed) {
            violation(inside_tls ? "malformed frame inside TLS" : "malformed frame");
            return;
        }
        pos += f.consumed;
        if (f.channel == 1) {
            if (inside_tls) {
                violation("channel 1 inside TLS");
                return;
            }
            on_tls_records(f.payload);
        } else if (f.channel == 0) {
            on_control(f.payload, inside_tls);
        } else {
            on_channel_data(f.channel, f.payload, inside_tls);
        }
    }
    if (m_phase == phase::closed) return;
    buffer.erase(0, pos);
}

void connection::on_tls_records(std::string_view records) {
    if (!m_tls) m_tls = std::make_unique<tls_session>(m_server.tls_context());
    bool const was_up = m_tls->established();
    std::string plaintext, out;
    bool const ok = m_tls->feed(records.data(), records.size(), plaintext, out);
    for (std::size_t at = 0; at < out.size(); at += 0xFFFF)
        send_frame(1, std::string_view(out).substr(at, 0xFFFF), false);
    if (!ok) {
        ev("tls-error", true)
            .num("conn", static_cast<std::int64_t>(m_id))
            .str("layer", "channel 1")
            .str("error", m_tls->error());
        close("channel 1: " + m_tls->error());
        return;
    }
    if (!was_up && m_tls->established()) ev("tls-up").num("conn", static_cast<std::int64_t>(m_id));
    if (plaintext.empty()) return;
    m_secure_in += plaintext;
    on_frames(m_secure_in, true);
}

// ---------------------------------------------------------------------------
// Channel 0.

void connection::on_control(std::string_view payload, bool inside_tls) {
    std::string b(payload), command;
    try {
        rulo_packet_pop(b, command);
        if (command == "open") {
            long long id = 0;
            std::string name;
            bool secure = false;
            xstd::packet_pop(b, id, name, secure);
            on_open(id, name, secure, inside_tls);
        } else if (command == "connection-keys") {
            std::string hash;
            rulo_packet_pop(b, hash);
            if (!inside_tls) return violation("connection keys outside TLS");
            bool const cached = hash == m_server.key_hash();
            ev("keys").num("conn", static_cast<std::int64_t>(m_id)).str("hash", hash).flag("cached", cached);
            if (cached) {
                send_control(make_packet(std::string("connection-keys-cached")));
            } else {
                std::string map;
                rulo_packet_push(map, std::map<std::string, std::string>{{"key_hash", m_server.key_hash()}});
                send_control(make_packet(std::string("connection-keys"), blob{map}));
            }
        } else if (command == "ping-stealth") {
            ev("ping-stealth").num("conn", static_cast<std::int64_t>(m_id)).flag("inside_tls", inside_tls);
            // Answered beside the TLS link: the client sends it while that link is not up.
            send_control(make_packet(std::string("pong-stealth")), true);
        } else {
            ev("control-ignored").num("conn", static_cast<std::int64_t>(m_id)).str("command", command);
        }
    } catch (std::exception const&) {
        if (m_phase != phase::closed) violation("malformed control packet");
    }
}

void connection::on_open(std::int64_t id, std::string const& name, bool secure, bool inside_tls) {
    if (id < 2) return violation("open of reserved channel " + std::to_string(id));
    if (m_channels.count(static_cast<std::uint64_t>(id)))
        return violation("channel " + std::to_string(id) + " opened twice");
    if (secure && !inside_tls) return violation("secure channel opened outside TLS");
    if (m_channels.size() >= max_channels_per_connection) return violation("too many channels");
    auto const* entry = std::find_if(std::begin(services), std::end(services),
                                     [&](service_entry const& e) { return name == e.name; });
    ev("open")
        .num("conn", static_cast<std::int64_t>(m_id))
        .num("channel", id)
        .str("name", name)
        .flag("secure", secure)
        .flag("inside_tls", inside_tls);
    auto const uid = static_cast<std::uint64_t>(id);
    if (entry == std::end(services)) {
        // Not a breach: a newer client may ask for a service this relay lacks.
        send_control(make_packet(std::string("channel-error"), static_cast<long long>(id),
                                 std::string("unknown service")));
        return;
    }
    if ((entry->sec == security::secure && !secure) || (entry->sec == security::plain && secure))
        return violation("channel " + name + " opened with the wrong security");
    channel& ch = m_channels[uid];
    ch.name = name;
    ch.secure = secure;
    ch.kind = static_cast<service>(entry->kind);
    // Bytes right behind the open, for clients that must not lose what comes
    // before they expect it.
    if (ch.kind == service::echo && !m_server.opts().echo_greeting.empty())
        send_frame(uid, m_server.opts().echo_greeting, secure);
    if (ch.kind == service::leg) {
        if (m_server.sessions().switches.refuse_legs) {
            send_channel_error(uid, "session legs refused");
            return;
        }
        // A connection bound to a session opens that end's leg of it.
        if (m_server.sessions().offer_leg(*this, uid)) return;
        if (!m_server.opts().pair_unbound) {
            send_channel_error(uid, "no session to join");
            return;
        }
        auto [partner, pch] = m_server.offer_leg(weak_from_this(), uid);
        if (auto p = partner.lock()) {
            ch.partner = partner;
            ch.partner_channel = pch;
            ev("pair")
                .num("conn", static_cast<std::int64_t>(m_id))
                .num("channel", id)
                .num("peer_conn", static_cast<std::int64_t>(p->id()))
                .num("peer_channel", static_cast<std::int64_t>(pch));
            p->leg_joined(pch, weak_from_this(), uid);
        }
    }
}

void connection::end_channel(std::uint64_t id) {
    auto it = m_channels.find(id);
    if (it == m_channels.end()) return;
    channel ch = std::move(it->second);
    m_channels.erase(it);
    // What the channel carried, and on which path: a secure channel's bytes all came through TLS.
    ev("channel-end")
        .num("conn", static_cast<std::int64_t>(m_id))
        .num("channel", static_cast<std::int64_t>(id))
        .str("name", ch.name)
        .flag("secure", ch.secure)
        .num("frames_in", static_cast<std::int64_t>(ch.frames_in))
        .num("bytes_in", static_cast<std::int64_t>(ch.bytes_in));
    for (auto& [name, d] : ch.downloads) ::close(d.fd);
    if (ch.kind == service::leg) {
        m_server.sessions().leg_ended(m_id, id);
        if (auto p = ch.partner.lock())
            p->leg_ended(ch.partner_channel);
        else
            m_server.withdraw_leg(this, id);
    }
}

bool connection::send_channel_error(std::uint64_t channel, std::string const& text) {
    if (!m_channels.count(channel) || m_phase != phase::frames) return false;
    ev("channel-error")
        .num("conn", static_cast<std::int64_t>(m_id))
        .num("channel", static_cast<std::int64_t>(channel))
        .str("text", text);
    send_control(make_packet(std::string("channel-error"), static_cast<long long>(channel), text));
    end_channel(channel);
    return true;
}

bool connection::send_channel_closed(std::uint64_t channel) {
    if (!m_channels.count(channel) || m_phase != phase::frames) return false;
    ev("channel-closed")
        .num("conn", static_cast<std::int64_t>(m_id))
        .num("channel", static_cast<std::int64_t>(channel));
    send_control(make_packet(std::string("channel-closed"), static_cast<long long>(channel)));
    end_channel(channel);
    return true;
}

void connection::send_pong(std::string const& data) {
    send_control(make_packet(std::string("pong"), blob{data}));
}

// ---------------------------------------------------------------------------
// Output.

void connection::send_control(std::string const& packet, bool raw) {
    send_frame(0, packet, !raw && m_tls != nullptr);
}

void connection::send_frame(std::uint64_t channel, std::string_view payload, bool secure) {
    if (m_phase == phase::closed) return;
    std::string frame;
    frame.reserve(payload.size() + 8);
    append_frame(frame, channel, payload);
    if (!secure) {
        send_stream(std::move(frame));
        return;
    }
    if (!m_tls) return; // no secure link was ever started: nothing can reach the client
    std::string records;
    if (!m_tls->write(frame, records)) {
        close("channel 1: " + m_tls->error());
        return;
    }
    for (std::size_t at = 0; at < records.size(); at += 0xFFFF)
        send_frame(1, std::string_view(records).substr(at, 0xFFFF), false);
}

void connection::send_stream(std::string data) {
    if (m_phase == phase::closed) return;
    if (!m_outer) {
        queue(std::move(data));
        return;
    }
    std::string records;
    if (!m_outer->write(data, records)) {
        close("https: " + m_outer->error());
        return;
    }
    queue(std::move(records));
}

void connection::queue(std::string data) {
    if (data.empty() || m_phase == phase::closed) return;
    m_out_bytes += data.size();
    m_out.push_back(std::move(data));
    write();
}

std::string connection::take_output(std::size_t max) {
    std::string out;
    while (!m_out.empty() && out.size() < max) {
        std::string& front = m_out.front();
        std::size_t const n = std::min(front.size(), max - out.size());
        m_out_bytes -= n;
        if (n == front.size()) {
            // Whole pieces move without a copy when they can.
            if (out.empty())
                out = std::move(front);
            else
                out += front;
            m_out.pop_front();
        } else {
            out.append(front, 0, n);
            front.erase(0, n);
        }
    }
    if (!out.empty() && m_phase != phase::closed) output_drained();
    return out;
}

void connection::output_drained() {
    if (m_out_bytes >= output_low_water) return;
    guarded([&] { pump_downloads(); });
    std::vector<std::weak_ptr<connection>> waiters;
    waiters.swap(m_waiters);
    for (auto& w : waiters)
        if (auto c = w.lock()) c->wake();
    read();
}

void connection::write() {
    if (m_tunnelled) {
        if (auto carrier = m_carrier.lock(); carrier && !m_out.empty()) carrier->output_ready();
        return;
    }
    if (m_writing || m_out.empty()) return;
    m_writing = true;
    std::vector<asio::const_buffer> buffers;
    std::size_t count = std::min<std::size_t>(m_out.size(), 64);
    for (std::size_t i = 0; i < count; ++i) buffers.emplace_back(asio::buffer(m_out[i]));
    asio::async_write(m_socket, buffers,
                      [self = shared_from_this(), count](asio::error_code ec, std::size_t) {
                          self->m_writing = false;
                          if (self->m_phase == phase::closed) return;
                          if (ec) {
                              self->close("write: " + ec.message());
                              return;
                          }
                          for (std::size_t i = 0; i < count; ++i) {
                              self->m_out_bytes -= self->m_out.front().size();
                              self->m_out.pop_front();
                          }
                          if (self->m_out.empty() && self->m_close_after_write) {
                              // The refusal is out: end the sending side and read
                              // until the client's end (or the linger limit).
                              asio::error_code e;
                              self->m_socket.shutdown(asio::ip::tcp::socket::shutdown_send, e);
                              return;
                          }
                          self->write();
                          self->output_drained();
                      });
}

} // namespace relay
