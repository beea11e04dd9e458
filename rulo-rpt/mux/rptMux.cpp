#include "rulo-rpt/mux/rptMux.h"

#include "rulo-rpt/choose/server_target.h"
#include "rulo-rpt/mux/mux_frame.h"
#include "rulo-rpt/net/process_id.h"
#include "rulo-rpt/tls/ssl_filter.h"
#include "rulo-rpt/tls/xyssl_ctx.h"
#include "rulo/base64.h"
#include "rulo/clock.h"
#include "rulo/errlog.h"
#include "rulo/exception.h"
#include "rulo/lock.h"
#include "rulo/packet.h"

namespace rulo {

namespace {

fmt_dbg const mux_log("MUXV");

// A target such as "server12.zone" names one server: asking where to go
// makes no sense for it.
bool is_server_address(std::string const& target) {
    return target.compare(0, 6, "server") == 0 && target.size() > 6 && target[6] >= '0' && target[6] <= '9';
}

bool holds_line_break(std::string const& text) {
    return text.find_first_of("\r\n") != std::string::npos;
}

std::string value_of(std::map<std::string, std::string> const& values, char const* key) {
    auto it = values.find(key);
    return it == values.end() ? std::string() : it->second;
}

// Channel 1 carries the TLS records as one byte stream, cut anywhere: pieces
// of at most 64 KiB keep each frame far below the limit, however large the
// records of one big secure payload are together.
netbuf record_frames(netbuf const& records) {
    constexpr int piece = 0xFFFF;
    netbuf frames;
    for (int at = 0; at < records.size(); at += piece)
        frames.append(mux_pack_frame(1, netbuf(records, at, piece)));
    return frames;
}

netbuf control_packet(char const* command) {
    netbuf packet;
    xstd::packet_push(packet, std::string(command));
    return packet;
}

} // namespace

rptMux::rptMux(object<rptMuxSink> sink, std::string original, std::string target, std::string additional,
               std::string const& keys, xstd::StorageLocation location)
    : m_sink(std::move(sink)), m_original(std::move(original)), m_target(std::move(target)),
      m_additional(std::move(additional)), m_location(location) {
    m_reply.is_request = false;
    if (!keys.empty()) {
        std::string packed = keys;
        rulo_packet_pop(packed, m_keys);
    }
}

rptMux::~rptMux() = default;

void rptMux::allow_georeconnect() {
    rulo_lock_guard lock;
    m_georeconnect_allowed = true;
}

std::string rptMux::request_head() {
    if (holds_line_break(m_original) || holds_line_break(m_target) || holds_line_break(m_additional))
        throw exception::function("start_and_wait");
    std::string head = "MUXV2 / HTTP/1.0\r\nConnection-Data: 1\r\n";
    if (!m_georeconnect_allowed) {
        mux_log.fmt_verbose("georeconnect is disabled");
    } else if (m_target.find('*') == std::string::npos) {
        mux_log.fmt_verbose("not using georeconnect, target [%1%] has no wildcard", m_target);
        m_georeconnect_allowed = false;
    } else if (is_server_address(m_target)) {
        mux_log.fmt_verbose("not using georeconnect, target [%1%] is a server address", m_target);
        m_georeconnect_allowed = false;
    } else {
        std::string address = my_saved_ip(m_original);
        if (!is_ip(address) || holds_line_break(address)) address = "?";
        mux_log.fmt_verbose("sending last public IP [%1%] to be checked for georeconnect", address);
        head += "Check-Last-Public-Ip: " + address + "\r\n";
    }
    long long age = 0;
    std::string service, rest = m_additional;
    if (parse_additional(age, service, rest)) head += "Service: " + service + "\r\n";
    head += "Connection-Target-Original: " + m_original + "\r\n";
    head += "Connection-Target: " + m_target + "\r\n\r\n";
    return head;
}

void rptMux::fail_start(char const* log_text) {
    if (log_text) mux_log.fmt_verbose(log_text);
    throw exception::function("start_and_wait");
}

void rptMux::start_and_wait(object<rptTransport> transport, long timeout) {
    try {
        std::string head;
        {
            rulo_lock_guard lock;
            m_transport = transport;
            head = request_head();
        }
        transport->send(netbuf::from_string(head));

        m_reply_sem.wait_ms(seconds_to_ms(timeout));
        {
            rulo_lock_guard lock;
            if (!m_reply_received || !m_reply_accepted) fail_start("no accepted response");
            if (m_georeconnect_signalled) throw georeconnect();
            std::string key_hash = value_of(m_keys, "key_hash");
            if (key_hash.empty() && m_def) key_hash = m_def->get_grid_setting("key_hash");
            netbuf packet;
            xstd::packet_push(packet, std::string("connection-keys"), key_hash);
            send(0, packet, false);
        }

        int64_t const deadline = add_saturated(relative_time(), tls_limit_ms);
        for (;;) {
            m_keys_sem.wait_ms(ping_interval_ms);
            rulo_lock_guard lock;
            if (m_keys_ready) return;
            if (!m_transport) fail_start("disconnected while waiting for SSL handshake");
            int64_t const now = relative_time();
            if (add_saturated(m_transport->last_received(), silence_limit_ms) < now || now > deadline)
                fail_start("SSL handshake timeout");
            mux_log.fmt_verbose("waiting for SSL handshake to complete...");
            send_control(control_packet("ping-stealth"), true);
        }
    } catch (...) {
        disconnect();
        throw;
    }
}

long long rptMux::open_channel(std::string const& name, bool secure,
                               std::function<void(long long)> const& before_open) {
    rulo_lock_guard lock;
    long long const id = ++m_last_id;
    if (secure) m_secure_ids.insert(id);
    if (before_open) before_open(id);
    netbuf packet;
    xstd::packet_push(packet, std::string("open"), id, name, secure);
    send(0, packet, false);
    return id;
}

void rptMux::send_control(netbuf const& packet, bool raw) {
    send(0, packet, raw);
}

void rptMux::send(long long id, netbuf const& data, bool raw) {
    rulo_lock_guard lock;
    object<rptTransport> transport = m_transport;
    if (!transport) throw exception::function("send");
    netbuf frame = mux_pack_frame(id, data);
    if (!raw && m_secure_ids.count(id)) {
        netbuf records = get_ssl_filter()->write(frame);
        // While the handshake holds the records back, the next flush on the
        // receiving side sends them.
        if (records.empty()) return;
        frame = record_frames(records);
    }
    transport->send(frame);
}

object<SSLFilter> rptMux::get_ssl_filter() {
    rulo_lock_guard lock;
    if (m_filter) return m_filter;
    std::string const cert_text = value_of(m_keys, "key_cs");
    if (cert_text.empty()) {
        mux_log.fmt_verbose("empty server cert");
        throw exception::function("get_ssl_filter");
    }
    // The relay sends it as PEM text or DER bytes.
    object<xyssl_x509> cert = xyssl_parse_x509(cert_text);
    if (!cert) {
        mux_log.fmt_verbose("failed to parse server cert");
        throw exception::function("get_ssl_filter");
    }
    object<xyssl_ctx> ctx(new xyssl_ctx);
    // The relay must present exactly this certificate, whoever issued it.
    ctx->set_verify_peer(true);
    ctx->pin_peer_cert(cert);
    m_filter = xyssl_create_filter(ctx, false);
    return m_filter;
}

std::map<std::string, std::string> rptMux::connection_keys() const {
    rulo_lock_guard lock;
    return m_keys;
}

std::map<std::string, std::string> rptMux::connection_data() const {
    rulo_lock_guard lock;
    return m_data;
}

void rptMux::disconnect() {
    mux_log.fmt_verbose("disconnect");
    object<rptTransport> transport;
    object<rptMuxSink> sink;
    {
        rulo_lock_guard lock;
        m_reply_accepted = false;
        m_keys_ready = false;
        transport = std::move(m_transport);
        sink = std::move(m_sink);
    }
    if (transport) {
        try {
            transport->disconnect();
        } catch (...) {
        }
    }
    if (sink) {
        try {
            sink->broken();
        } catch (...) {
        }
    }
    m_reply_sem.post();
    m_keys_sem.post();
}

void rptMux::ioctl(std::string const& key, std::string& value) {
    object<rptTransport> transport;
    {
        rulo_lock_guard lock;
        transport = m_transport;
    }
    if (!transport) throw exception::function("ioctl");
    transport->ioctl(key, value);
}

void rptMux::no_delay() {
    object<rptTransport> transport;
    {
        rulo_lock_guard lock;
        transport = m_transport;
    }
    if (transport) transport->no_delay();
}

int64_t rptMux::last_received() {
    object<rptTransport> transport;
    {
        rulo_lock_guard lock;
        transport = m_transport;
    }
    if (!transport) throw exception::function("last_received");
    return transport->last_received();
}

void rptMux::received(netbuf const& data) {
    try {
        rulo_lock_guard lock;
        if (!m_transport) return;
        if (!m_reply_received) {
            take_reply(data);
        } else if (m_reply_accepted) {
            m_frames_in.append(data);
            take_frames();
        }
    } catch (std::exception const& e) {
        mux_log.fmt_verbose("error while receiving: %1%", e.what());
        disconnect();
    } catch (...) {
        disconnect();
    }
}

void rptMux::take_reply(netbuf const& data) {
    m_reply_bytes += data.size();
    netbuf rest;
    bool complete = false;
    try {
        complete = m_reply.push(data, rest);
    } catch (std::exception const& e) {
        mux_log.fmt_verbose("malformed response: %1%", e.what());
    }
    int const head_bytes = m_reply_bytes - rest.size();
    if (!complete && m_reply.state != -1 && m_reply_bytes <= max_reply_head) return;
    if (head_bytes > max_reply_head)
        mux_log.fmt_verbose("response head longer than %1% bytes", max_reply_head);

    m_reply_received = true;
    bool const accepted = complete && head_bytes <= max_reply_head && m_reply.status >= 200 &&
                          m_reply.status <= 299 && m_reply.get_field("Protocol") == "MUXV2";
    if (complete) {
        netbuf text;
        try {
            m_reply.pop(text);
        } catch (...) {
        }
        mux_log.fmt_verbose("received response: [%1%]", text.to_string());
    }
    mux_log.fmt_verbose("response is %1%", accepted ? "OK" : "FAILURE");
    if (accepted) {
        try {
            accept_reply(rest);
        } catch (...) {
            m_reply_sem.post();
            throw;
        }
    }
    m_reply_sem.post();
    if (accepted) take_frames();
}

void rptMux::accept_reply(netbuf& rest) {
    std::string packed = base64_decode(m_reply.get_field("Connection-Data"));
    std::map<std::string, std::string> data;
    rulo_packet_pop(packed, data);
    m_data = data;

    m_def.reset(new connection_def(value_of(m_data, "grid_id"), value_of(m_data, "grid_name"),
                                   value_of(m_data, "cp_protocol"), m_location));

    // The certificate is trusted on first use per grid: once one is saved
    // for the grid, a server that presents another one fails the TLS link.
    std::string chosen = value_of(m_data, "key_cs");
    std::string const saved = m_def->get_grid_setting("key_cs");
    if (!saved.empty()) chosen = saved;
    if (value_of(m_keys, "key_cs").empty()) {
        m_keys["key_cs"] = chosen;
        if (saved.empty()) {
            mux_log.fmt_verbose("saving server provided certificate");
            mux_log.fmt_verbose("trusting the certificate of grid [%1%] on first use",
                                m_def->get_grid_conf());
        } else {
            mux_log.fmt_verbose("using saved server certificate");
        }
    } else {
        mux_log.fmt_verbose("using saved server certificate");
    }
    m_def->set_grid_setting("key_cs", m_keys["key_cs"]);

    m_secure_ids.insert(0);
    m_frames_in.append(rest);

    std::string additional = m_reply.get_field("Additional");
    if (!additional.empty()) save_additional(m_original, additional);
    m_server_name = get_server_from_serverfield(m_reply);

    std::string const public_ip = m_reply.get_field("Public-Ip");
    if (is_ip(public_ip) && public_ip != my_saved_ip(m_original)) {
        mux_log.fmt_verbose("saving new public IP [%1%]", public_ip);
        save_my_ip(m_original, public_ip);
        if (!m_reply.get_field("Georeconnect").empty()) {
            if (m_georeconnect_allowed) {
                mux_log.fmt_verbose("signalling georeconnect");
                m_georeconnect_signalled = true;
            } else {
                mux_log.fmt_verbose("ignoring server's georeconnect suggestion!");
            }
        }
    }
    m_reply_accepted = true;
}

void rptMux::take_frames() {
    long long id = 0;
    netbuf payload;
    while (m_transport && mux_unpack_frame(m_frames_in, id, payload)) {
        if (id != 1) {
            handle(id, payload, false);
            continue;
        }
        object<SSLFilter> filter = get_ssl_filter();
        netbuf plain = filter->read(payload);
        netbuf out = filter->flush();
        if (!out.empty()) m_transport->send(record_frames(out));
        m_secure_in.append(plain);
        long long inner = 0;
        netbuf inner_payload;
        while (m_transport && mux_unpack_frame(m_secure_in, inner, inner_payload))
            handle(inner, inner_payload, true);
    }
}

void rptMux::handle(long long id, netbuf& data, bool secure) {
    if (!m_sink) return;
    if (id == 0) {
        handle_control(data, secure);
        return;
    }
    // Anyone on the path can put a frame on the plain stream: a secure
    // channel takes only what came through TLS.
    if (!secure && m_secure_ids.count(id)) {
        mux_log.fmt_verbose("dropping %1% bytes for secure channel %2% that came outside TLS", data.size(),
                            id);
        return;
    }
    object<rptMuxSink> sink = m_sink;
    sink->received(id, data);
}

void rptMux::handle_control(netbuf& data, bool secure) {
    object<rptMuxSink> sink = m_sink;
    std::string command;
    xstd::packet_pop(data, command);
    if (command == "channel-closed") {
        long long id = 0;
        xstd::packet_pop(data, id);
        sink->channel_closed(id);
    } else if (command == "channel-error") {
        long long id = 0;
        std::string text;
        xstd::packet_pop(data, id, text);
        sink->channel_error(id, text);
    } else if (command == "pong") {
        netbuf value;
        xstd::packet_pop(data, value);
        sink->pong(value);
    } else if (command == "pong-stealth") {
        mux_log.fmt_verbose("server seems to be still alive");
    } else if (command == "connection-keys" || command == "connection-keys-cached") {
        if (!secure) {
            mux_log.fmt_verbose("cannot update connection keys over insecure link");
            throw exception::function("handle");
        }
        if (command == "connection-keys") {
            netbuf value;
            xstd::packet_pop(data, value);
            std::map<std::string, std::string> keys;
            rulo_packet_pop(value, keys);
            mux_log.fmt_verbose("using server provided connection keys");
            for (auto const& entry : keys)
                if (entry.first != "key_cs") m_keys[entry.first] = entry.second;
        } else {
            mux_log.fmt_verbose("using cached connection keys");
        }
        if (m_def) save_keys();
        m_keys_ready = true;
        m_keys_sem.post();
    }
}

void rptMux::save_keys() {
    for (auto const& entry : m_keys) {
        if (entry.first.compare(0, 4, "key_") != 0) continue;
        mux_log.fmt_verbose("saving key [%1%]", entry.first);
        m_def->set_grid_setting(entry.first, entry.second);
    }
}

void rptMux::broken() {
    disconnect();
}

void rptMux::queue_empty() {
    object<rptMuxSink> sink;
    {
        rulo_lock_guard lock;
        sink = m_sink;
    }
    if (sink) sink->queue_empty();
}

} // namespace rulo
