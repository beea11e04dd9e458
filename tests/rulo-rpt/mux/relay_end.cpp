#include "tests/rulo-rpt/mux/relay_end.h"

#include "rulo/base64.h"
#include "rulo/lock.h"
#include "rulo/packet.h"

#include <chrono>

namespace mux_test {

std::string leb128(unsigned long long value) {
    std::string out;
    do {
        unsigned char byte = value & 0x7f;
        value >>= 7;
        if (value) byte |= 0x80;
        out.push_back(static_cast<char>(byte));
    } while (value);
    return out;
}

std::string frame(long long id, std::string const& payload) {
    std::string body = leb128(static_cast<unsigned long long>(id)) + payload;
    return leb128(body.size()) + body;
}

namespace {

// A LEB128 number at in[at]; false when the bytes end first.
bool read_leb128(std::string const& in, std::size_t& at, unsigned long long& value) {
    value = 0;
    for (int shift = 0; at < in.size(); shift += 7) {
        unsigned char const byte = static_cast<unsigned char>(in[at++]);
        value |= static_cast<unsigned long long>(byte & 0x7f) << shift;
        if (!(byte & 0x80)) return true;
    }
    return false;
}

bool take_frame(std::string& in, long long& id, std::string& payload) {
    std::size_t at = 0;
    unsigned long long length = 0;
    if (!read_leb128(in, at, length) || in.size() - at < length) return false;
    std::string body = in.substr(at, length);
    in.erase(0, at + length);
    std::size_t inner = 0;
    unsigned long long channel = 0;
    read_leb128(body, inner, channel);
    id = static_cast<long long>(channel);
    payload = body.substr(inner);
    return true;
}

} // namespace

// The TLS engine's lower transport: its records leave as channel-1 frames.
class relay_end::tls_lower : public rptTransport {
public:
    explicit tls_lower(relay_end* owner) : m_owner(owner) {}
    void send(netbuf const& data) override {
        if (m_owner) m_owner->send_raw(frame(1, data.to_string()));
    }
    void disconnect() override { m_owner = nullptr; }
    void set_sink(rulo::object<rptTransportSink>) override {}
    void no_delay() override {}
    int64_t last_received() override { return 0; }
    void ioctl(std::string const&, std::string&) override {}

private:
    relay_end* m_owner;
};

// The TLS engine's sink: plaintext holds frames of the secure channels.
class relay_end::tls_upper : public rptTransportSink {
public:
    explicit tls_upper(relay_end* owner) : m_owner(owner) {}
    void received(netbuf const& data) override {
        if (!m_owner) return;
        m_owner->m_secure_in += data.to_string();
        long long id = 0;
        std::string payload;
        while (m_owner && take_frame(m_owner->m_secure_in, id, payload)) m_owner->on_frame(id, payload, true);
    }
    void broken() override { m_owner = nullptr; }
    void queue_empty() override {
        if (!m_owner) return;
        std::lock_guard<std::mutex> lock(m_owner->m_mutex);
        m_owner->m_tls_up = true;
        m_owner->m_changed.notify_all();
    }

private:
    relay_end* m_owner;
};

relay_end::relay_end(rulo::object<rptTransport> transport, config c)
    : m_config(std::move(c)), m_transport(transport.get()) {}

relay_end::~relay_end() {
    rulo::object<rulo::rptXYSSL> tls;
    {
        rulo::rulo_lock_guard lock;
        // The pair's transport may be gone by now.
        m_transport = nullptr;
        tls = std::move(m_tls);
    }
    if (tls) tls->disconnect();
}

void relay_end::changed() {
    ++m_version;
    m_changed.notify_all();
}

// What the relay sends inside one of its own calls waits for the end of the
// outermost one and then leaves in one piece: a transport that delivers
// inline would otherwise run the client's answer, and so the relay's TLS
// engine, inside that engine's own call.
class relay_end::nest {
public:
    explicit nest(relay_end& r) : m_r(r) { ++m_r.m_depth; }
    ~nest() {
        if (--m_r.m_depth == 0) m_r.flush_out();
    }

private:
    relay_end& m_r;
};

void relay_end::flush_out() {
    while (!m_out.empty() && m_transport) {
        std::string bytes;
        bytes.swap(m_out);
        try {
            m_transport->send(netbuf::from_string(bytes));
        } catch (...) {
            // The link has ended; broken() tells the rest.
        }
    }
}

void relay_end::send_raw(std::string const& bytes) {
    rulo::rulo_lock_guard lock;
    nest n(*this);
    m_out += bytes;
}

void relay_end::received(netbuf const& data) {
    nest n(*this);
    m_in += data.to_string();
    if (!m_head_done) {
        std::size_t const end = m_in.find("\r\n\r\n");
        if (end == std::string::npos) return;
        m_head_done = true;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_head = m_in.substr(0, end + 4);
            changed();
        }
        m_in.erase(0, end + 4);
        if (m_config.silent) return;
        std::string reply = m_config.raw_reply;
        if (reply.empty()) {
            std::string packed;
            rulo_packet_push(packed, m_config.data);
            reply = "HTTP/1.0 " + std::to_string(m_config.status) + " OK\r\nProtocol: " + m_config.protocol +
                    "\r\nConnection-Data: " + rulo::base64_encode(packed) + "\r\n";
            for (auto const& field : m_config.extra_fields)
                reply += field.first + ": " + field.second + "\r\n";
            reply += "\r\n";
        }
        if (m_config.trickle) {
            // Each byte its own delivery, not joined by the nesting.
            for (char c : reply) m_transport->send(netbuf::from_string(std::string(1, c)));
            if (!m_config.after_head.empty()) send_raw(m_config.after_head);
        } else {
            send_raw(reply + m_config.after_head);
        }
    }
    long long id = 0;
    std::string payload;
    while (take_frame(m_in, id, payload)) on_frame(id, payload, false);
}

void relay_end::broken() {
    rulo::object<rulo::rptXYSSL> tls = std::move(m_tls);
    if (tls) tls->disconnect();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_ended = true;
    changed();
}

void relay_end::start_tls() {
    rulo::object<rulo::xyssl_ctx> ctx(new rulo::xyssl_ctx);
    ctx->set_verify_peer(false);
    ctx->set_cert(m_config.cert_file, m_config.key_file, "");
    m_tls = rulo::object<rulo::rptXYSSL>(
        new rulo::rptXYSSL(rulo::object<rptTransportSink>(new tls_upper(this)), ctx, true));
    m_tls->start(rulo::object<rptTransport>(new tls_lower(this)));
}

void relay_end::on_frame(long long id, std::string const& payload, bool via_tls) {
    if (id == 1 && !via_tls) {
        if (!m_tls) start_tls();
        rulo::object<rulo::rptXYSSL> tls = m_tls;
        tls->received(netbuf::from_string(payload));
        return;
    }
    if (id == 0) {
        on_control(netbuf::from_string(payload), via_tls);
        return;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bytes[id] += payload;
    if (!via_tls) ++m_plain_frames[id];
    changed();
}

void relay_end::on_control(netbuf packet, bool via_tls) {
    std::string command;
    xstd::packet_pop(packet, command);
    if (command == "open") {
        long long id = 0;
        std::string name;
        bool secure = false;
        xstd::packet_pop(packet, id, name, secure);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_opens.push_back({id, name, secure, via_tls});
            changed();
        }
        if (!m_config.greeting.empty()) send_data(id, m_config.greeting, secure);
    } else if (command == "connection-keys") {
        std::string hash;
        xstd::packet_pop(packet, hash);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_key_requests.push_back(hash);
            changed();
        }
        if (!m_config.answer_keys) return;
        netbuf answer;
        if (hash == m_config.key_hash) {
            xstd::packet_push(answer, std::string("connection-keys-cached"));
        } else {
            std::map<std::string, std::string> keys = m_config.keys;
            keys["key_hash"] = m_config.key_hash;
            netbuf packed;
            rulo_packet_push(packed, keys);
            xstd::packet_push(answer, std::string("connection-keys"), packed);
        }
        send_control(answer, true);
    } else if (command == "ping-stealth") {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_pings;
            changed();
        }
        netbuf answer;
        xstd::packet_push(answer, std::string("pong-stealth"));
        if (m_config.answer_pings) send_control(answer, false);
    }
}

void relay_end::send_control(netbuf const& packet, bool via_tls) {
    rulo::rulo_lock_guard lock;
    nest n(*this);
    std::string const f = frame(0, packet.to_string());
    if (via_tls)
        m_tls->send(netbuf::from_string(f));
    else
        send_raw(f);
}

void relay_end::send_data(long long id, std::string const& bytes, bool via_tls) {
    rulo::rulo_lock_guard lock;
    nest n(*this);
    std::string const f = frame(id, bytes);
    if (via_tls)
        m_tls->send(netbuf::from_string(f));
    else
        send_raw(f);
}

std::string relay_end::head() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_head;
}

std::vector<relay_end::opened> relay_end::opens() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_opens;
}

std::vector<std::string> relay_end::key_requests() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_key_requests;
}

int relay_end::pings() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_pings;
}

int relay_end::plain_data_frames(long long id) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_plain_frames.find(id);
    return it == m_plain_frames.end() ? 0 : it->second;
}

std::string relay_end::channel_bytes(long long id) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_bytes.find(id);
    return it == m_bytes.end() ? std::string() : it->second;
}

bool relay_end::ended() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_ended;
}

bool relay_end::tls_up() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_tls_up;
}

bool relay_end::wait_for(std::function<bool()> const& done, int64_t ms) const {
    auto const limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    std::unique_lock<std::mutex> lock(m_mutex);
    while (true) {
        uint64_t const seen = m_version;
        lock.unlock();
        bool const ok = done();
        lock.lock();
        if (ok) return true;
        if (m_version == seen && m_changed.wait_until(lock, limit) == std::cv_status::timeout) {
            lock.unlock();
            return done();
        }
    }
}

} // namespace mux_test
