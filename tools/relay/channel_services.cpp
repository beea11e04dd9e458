// What each named service does with the bytes of its channels: ECHO, VYNRPC,
// VYNMSG, PLUGINS and VYNL2. Members of connection, on the relay's one I/O thread.
#include "tools/relay/codec.h"
#include "tools/relay/connection.h"
#include "tools/relay/control_methods.h"
#include "tools/relay/wire.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace relay {

namespace {

bool decimal(std::string_view s) {
    return !s.empty() && s.size() <= 10 &&
           std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

} // namespace

// ---------------------------------------------------------------------------
// Channel data.

void connection::on_channel_data(std::uint64_t id, std::string_view payload, bool inside_tls) {
    auto it = m_channels.find(id);
    if (it == m_channels.end()) {
        // A frame may cross the relay's channel-closed or channel-error; not a breach.
        ev("drop")
            .num("conn", static_cast<std::int64_t>(m_id))
            .num("channel", static_cast<std::int64_t>(id))
            .num("bytes", static_cast<std::int64_t>(payload.size()));
        return;
    }
    channel& ch = it->second;
    if (ch.secure && !inside_tls) return violation("secure channel data outside TLS");
    if (!ch.secure && inside_tls) return violation("plain channel data inside TLS");
    ch.bytes_in += payload.size();
    ++ch.frames_in;
    switch (ch.kind) {
    case service::echo:
        send_frame(id, payload, ch.secure);
        break;
    case service::rpc:
        on_rpc(id, ch, payload);
        break;
    case service::msg:
        on_message(id, payload);
        break;
    case service::plugins:
        on_plugins(id, ch, payload);
        break;
    case service::leg:
        if (m_server.sessions().tap(m_id, id, payload)) break;
        if (auto p = ch.partner.lock()) {
            p->leg_data(ch.partner_channel, payload);
        } else if (ch.input.size() + payload.size() > max_unpaired_leg_bytes) {
            send_channel_error(id, "session leg buffer full");
        } else {
            ch.input.append(payload);
        }
        break;
    }
}

bool connection::send_rpc(std::uint64_t channel, std::string const& text) {
    auto it = m_channels.find(channel);
    if (it == m_channels.end() || it->second.kind != service::rpc) return false;
    send_frame(channel, std::to_string(text.size()) + "\n" + text, true);
    return true;
}

void connection::on_rpc(std::uint64_t id, channel& ch, std::string_view data) {
    ch.input.append(data);
    std::size_t pos = 0;
    while (m_phase == phase::frames) {
        packet_line line;
        std::string_view rest = std::string_view(ch.input).substr(pos);
        parse_status s = parse_packet_line(rest, line, max_rpc_payload);
        if (s == parse_status::need_more) break;
        if (s == parse_status::malformed) return violation("malformed RPC length line");
        if (line.ok_line) {
            pos += line.line_size;
            continue;
        }
        if (rest.size() - line.line_size < line.length) break;
        std::string_view packet = rest.substr(line.line_size, line.length);
        pos += line.line_size + line.length;
        std::size_t nl = packet.find('\n');
        std::string_view header = packet.substr(0, nl);
        std::string_view body = nl == std::string_view::npos ? std::string_view() : packet.substr(nl + 1);
        std::size_t blank = header.find(' ');
        std::string_view word = header.substr(0, blank);
        std::string_view arg =
            blank == std::string_view::npos ? std::string_view() : header.substr(blank + 1);
        if (word == "result") {
            if (arg == "0") {
                ev("rpc-ping")
                    .num("conn", static_cast<std::int64_t>(m_id))
                    .num("channel", static_cast<std::int64_t>(id));
                send_rpc(id, "result 0\n");
            } else {
                ev("rpc-result")
                    .num("conn", static_cast<std::int64_t>(m_id))
                    .str("id", arg)
                    .str("body", body);
            }
        } else if (decimal(word)) {
            ev("rpc-call")
                .num("conn", static_cast<std::int64_t>(m_id))
                .num("channel", static_cast<std::int64_t>(id))
                .str("id", word)
                .str("body", body);
            answer_control_call(m_server, *this, id, std::string(word), body);
        } else {
            return violation("RPC message without a call id");
        }
    }
    if (m_phase == phase::closed) return;
    auto it = m_channels.find(id);
    if (it != m_channels.end()) it->second.input.erase(0, pos);
}

void connection::on_message(std::uint64_t id, std::string_view payload) {
    std::string b(payload), name;
    int zero = 0;
    try {
        xstd::packet_pop(b, zero, name);
    } catch (std::exception const&) {
        return violation("malformed named message");
    }
    // The connection says who it is with "id" (session id, key) and
    // "software_type"; later messages carry both.
    if (name == "id") {
        std::string sid, key, rest = b;
        try {
            rulo_packet_pop(rest, sid, key);
            m_msg_sid = sid;
        } catch (std::exception const&) {
        }
    } else if (name == "software_type") {
        std::string role, rest = b;
        try {
            rulo_packet_pop(rest, role);
            m_msg_role = role;
        } catch (std::exception const&) {
        }
    }
    ev("message")
        .num("conn", static_cast<std::int64_t>(m_id))
        .num("channel", static_cast<std::int64_t>(id))
        .str("name", name)
        .str("sid", m_msg_sid)
        .str("role", m_msg_role)
        .str("body", b);
    if (name == "chat_live") m_server.sessions().chat_live(*this, b);
    if (name == "message") log_posted_text(b);
}

void connection::log_posted_text(std::string body) {
    // A transcript is a packet of its kind ("desk_chat" or "client_chat"),
    // then a map of its two forms (the map on top); anything else, the
    // session message among them, is logged as comments, as it is.
    std::string kind;
    std::map<std::string, std::string> forms;
    bool transcript = false;
    try {
        std::string rest = body;
        xstd::packet_pop(rest, forms, kind);
        transcript = rest.empty() && (kind == "desk_chat" || kind == "client_chat");
    } catch (std::exception const&) {
        transcript = false;
    }
    if (transcript) {
        ev("transcript")
            .num("conn", static_cast<std::int64_t>(m_id))
            .str("sid", m_msg_sid)
            .str("role", m_msg_role)
            .str("kind", kind)
            .str("plain", forms["CHAT_TRANSCRIPT_PLAIN"])
            .str("html", forms["CHAT_TRANSCRIPT"]);
    } else {
        ev("comments")
            .num("conn", static_cast<std::int64_t>(m_id))
            .str("sid", m_msg_sid)
            .str("role", m_msg_role)
            .str("text", body);
    }
}

void connection::on_plugins(std::uint64_t id, channel& ch, std::string_view payload) {
    std::string b(payload), command, name;
    unsigned long long offset = 0;
    try {
        rulo_packet_pop(b, command);
        if (command == "download")
            xstd::packet_pop(b, name, offset);
        else if (command == "cancel")
            rulo_packet_pop(b, name);
    } catch (std::exception const&) {
        return violation("malformed download command");
    }
    if (command == "download") {
        start_download(id, ch, name, offset);
    } else if (command == "cancel") {
        auto it = ch.downloads.find(name);
        ev("cancel")
            .num("conn", static_cast<std::int64_t>(m_id))
            .str("name", name)
            .flag("pending", it != ch.downloads.end());
        if (it != ch.downloads.end()) {
            ::close(it->second.fd);
            ch.downloads.erase(it);
            ch.download_order.erase(std::remove(ch.download_order.begin(), ch.download_order.end(), name),
                                    ch.download_order.end());
        }
    } else {
        ev("control-ignored").num("conn", static_cast<std::int64_t>(m_id)).str("command", command);
    }
}

void connection::start_download(std::uint64_t id, channel& ch, std::string const& name,
                                std::uint64_t offset) {
    ev("download")
        .num("conn", static_cast<std::int64_t>(m_id))
        .str("name", name)
        .num("offset", static_cast<std::int64_t>(offset));
    auto fail = [&](std::string const& text) {
        ev("download-error")
            .num("conn", static_cast<std::int64_t>(m_id))
            .str("name", name)
            .str("error", text);
        send_frame(id, make_packet(std::string("error"), name, text), false);
    };
    // A second request for a name restarts it.
    if (auto it = ch.downloads.find(name); it != ch.downloads.end()) {
        ::close(it->second.fd);
        ch.downloads.erase(it);
        ch.download_order.erase(std::remove(ch.download_order.begin(), ch.download_order.end(), name),
                                ch.download_order.end());
    }
    if (m_server.opts().files_dir.empty()) return fail("No files are served");
    std::size_t running = 0;
    for (auto const& [cid, c] : m_channels) running += c.downloads.size();
    if (running >= max_downloads_per_connection) return fail("Too many downloads");
    if (!safe_file_name(name)) return fail("Invalid file name");
    int fd = ::open((m_server.opts().files_dir + "/" + name).c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (fd >= 0) ::close(fd);
        return fail("File not found");
    }
    if (offset > static_cast<std::uint64_t>(st.st_size)) {
        ::close(fd);
        return fail("Offset beyond the end of the file");
    }
    download d;
    d.fd = fd;
    d.offset = offset;
    d.size = static_cast<std::uint64_t>(st.st_size);
    if (auto f = m_server.opts().download_faults.find(name); f != m_server.opts().download_faults.end())
        d.fault = f->second;
    if (d.fault.what == download_fault::error) {
        ::close(fd);
        ev("download-fault").str("name", name).str("fault", "error").num("sent", 0);
        return fail(d.fault.text);
    }
    if (d.fault.what == download_fault::short_by_one && d.size > d.offset) --d.size;
    ch.downloads[name] = d;
    ch.download_order.push_back(name);
    pump_downloads();
}

void connection::pump_downloads() {
    // One chunk of each running download in turn while little output waits.
    // Sending may end the connection (and with it every channel), so the
    // channel is looked up afresh for each chunk.
    bool progress = true;
    while (progress && m_phase == phase::frames && m_out_bytes < output_low_water) {
        progress = false;
        std::vector<std::uint64_t> ids;
        for (auto const& [id, ch] : m_channels)
            if (!ch.download_order.empty()) ids.push_back(id);
        for (std::uint64_t id : ids) {
            if (m_phase != phase::frames) return;
            auto it = m_channels.find(id);
            if (it == m_channels.end() || it->second.download_order.empty()) continue;
            channel& ch = it->second;
            progress = true;
            std::string name = ch.download_order.front();
            ch.download_order.pop_front();
            download d = ch.downloads[name];
            std::uint64_t step = std::min<std::uint64_t>(download_chunk, d.size - d.offset);
            if (d.fault.what == download_fault::rate)
                step = std::min<std::uint64_t>(step, std::max<std::uint64_t>(1, d.fault.value / 10));
            bool const breaking =
                d.fault.what == download_fault::break_after && d.offset + step >= d.fault.value;
            if (breaking) step = d.fault.value > d.offset ? d.fault.value - d.offset : 0;
            std::size_t const n = static_cast<std::size_t>(step);
            std::string data(n, '\0');
            ssize_t got = n ? ::pread(d.fd, data.data(), n, static_cast<off_t>(d.offset)) : 0;
            bool const last = !breaking && got == static_cast<ssize_t>(n) && d.offset + n == d.size;
            if (got != static_cast<ssize_t>(n) || last || breaking) {
                ::close(d.fd);
                ch.downloads.erase(name);
            } else if (d.fault.what == download_fault::rate) {
                ch.downloads[name].offset += n;
                park_download(id, name);
            } else {
                ch.downloads[name].offset += n;
                ch.download_order.push_back(name);
            }
            if (got != static_cast<ssize_t>(n)) {
                send_frame(id, make_packet(std::string("error"), name, std::string("Read error")), false);
                continue;
            }
            if (last && d.fault.what == download_fault::corrupt && n) data.back() ^= 1;
            if (last && d.fault.what == download_fault::long_by_one) data.push_back('\0');
            if (!data.empty())
                send_frame(id, make_packet(std::string("pkt"), name, blob{std::move(data)}), false);
            if (breaking) {
                // Once: the next download of the ticket goes through.
                m_server.set_download_fault(name, {});
                ev("download-fault")
                    .str("name", name)
                    .str("fault", "break")
                    .num("sent", static_cast<std::int64_t>(d.offset + n));
                // What was sent still reaches the client; then the relay's side ends.
                if (m_tunnelled || m_out.empty()) return close("download-fault break");
                m_phase = phase::rejected;
                m_close_after_write = true;
                arm_timer(refusal_linger, "download-fault break");
                return;
            }
            if (last && d.fault.what != download_fault::none && d.fault.what != download_fault::rate)
                ev("download-fault")
                    .str("name", name)
                    .str("fault", fault_name(d.fault.what))
                    .num("sent",
                         static_cast<std::int64_t>(d.size + (d.fault.what == download_fault::long_by_one)));
            if (last) {
                ev("download-complete")
                    .num("conn", static_cast<std::int64_t>(m_id))
                    .str("name", name)
                    .num("size", static_cast<std::int64_t>(d.size));
                send_frame(id, make_packet(std::string("complete"), name), false);
            }
        }
    }
}

void connection::park_download(std::uint64_t channel, std::string const& name) {
    ch_download(channel, name)->parked = true;
    auto timer = std::make_shared<asio::steady_timer>(m_timer.get_executor(), std::chrono::milliseconds(100));
    timer->async_wait([weak = weak_from_this(), timer, channel, name](asio::error_code ec) {
        auto self = weak.lock();
        if (ec || !self || self->m_phase != phase::frames) return;
        download* d = self->ch_download(channel, name);
        if (!d || !d->parked) return; // cancelled or restarted meanwhile
        d->parked = false;
        self->m_channels[channel].download_order.push_back(name);
        self->pump_downloads();
    });
}

connection::download* connection::ch_download(std::uint64_t channel, std::string const& name) {
    auto c = m_channels.find(channel);
    if (c == m_channels.end()) return nullptr;
    auto d = c->second.downloads.find(name);
    return d == c->second.downloads.end() ? nullptr : &d->second;
}

// ---------------------------------------------------------------------------
// Session legs and channel ends.

void connection::leg_data(std::uint64_t channel, std::string_view data) {
    if (m_channels.count(channel)) send_frame(channel, data, false);
}

void connection::leg_joined(std::uint64_t id, std::weak_ptr<connection> partner,
                            std::uint64_t partner_channel) {
    auto it = m_channels.find(id);
    if (it == m_channels.end()) return;
    it->second.partner = partner;
    it->second.partner_channel = partner_channel;
    std::string waiting;
    waiting.swap(it->second.input);
    if (auto p = partner.lock(); p && !waiting.empty()) p->leg_data(partner_channel, waiting);
}

bool connection::is_open_leg(std::uint64_t channel) const {
    auto it = m_channels.find(channel);
    return it != m_channels.end() && it->second.kind == service::leg && m_phase == phase::frames;
}

void connection::leg_ended(std::uint64_t id) {
    auto it = m_channels.find(id);
    if (it == m_channels.end()) return;
    it->second.partner.reset();
    send_channel_closed(id);
}

bool connection::send_message(std::uint64_t channel, std::string const& packet) {
    auto it = m_channels.find(channel);
    if (it == m_channels.end() || it->second.kind != service::msg) return false;
    send_frame(channel, packet, true);
    return true;
}

} // namespace relay
