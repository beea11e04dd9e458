#include "tests/tools/relay/mux_client.h"

#include "rulo/base64.h"
#include "rulo/packet.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace relay_test {

std::string vint(std::uint64_t v) {
    std::string out;
    do {
        unsigned char b = v & 0x7F;
        v >>= 7;
        if (v) b |= 0x80;
        out.push_back(static_cast<char>(b));
    } while (v);
    return out;
}

std::string make_frame(std::uint64_t channel, std::string const& payload) {
    std::string id = vint(channel);
    return vint(id.size() + payload.size()) + id + payload;
}

namespace {

// One frame off the front of buffer; false while incomplete.
bool take_frame(std::string& buffer, frame& out) {
    std::uint64_t length = 0;
    std::size_t i = 0;
    for (int shift = 0;; shift += 7, ++i) {
        if (i >= buffer.size()) return false;
        auto b = static_cast<unsigned char>(buffer[i]);
        length |= static_cast<std::uint64_t>(b & 0x7F) << shift;
        if (!(b & 0x80)) break;
    }
    ++i;
    if (buffer.size() - i < length) return false;
    std::uint64_t channel = 0;
    std::size_t j = i;
    for (int shift = 0;; shift += 7, ++j) {
        auto b = static_cast<unsigned char>(buffer[j]);
        channel |= static_cast<std::uint64_t>(b & 0x7F) << shift;
        if (!(b & 0x80)) break;
    }
    ++j;
    out.channel = channel;
    out.payload = buffer.substr(j, i + length - j);
    buffer.erase(0, i + length);
    return true;
}

SSL* new_client(SSL_CTX* ctx) {
    SSL* ssl = SSL_new(ctx);
    SSL_set_bio(ssl, BIO_new(BIO_s_mem()), BIO_new(BIO_s_mem()));
    SSL_set_connect_state(ssl);
    return ssl;
}

std::string drain(SSL* ssl) {
    std::string out;
    char buf[16384];
    int n;
    while ((n = BIO_read(SSL_get_wbio(ssl), buf, sizeof buf)) > 0)
        out.append(buf, static_cast<std::size_t>(n));
    return out;
}

// Feeds records, returns the plaintext; throws when the session failed.
std::string feed(SSL* ssl, std::string const& records) {
    if (!records.empty()) BIO_write(SSL_get_rbio(ssl), records.data(), static_cast<int>(records.size()));
    std::string plain;
    if (!SSL_is_init_finished(ssl)) {
        int r = SSL_do_handshake(ssl);
        if (r != 1 && SSL_get_error(ssl, r) != SSL_ERROR_WANT_READ)
            throw std::runtime_error("TLS handshake failed: " + std::to_string(ERR_get_error()));
        if (r != 1) return plain;
    }
    char buf[16384];
    while (true) {
        int r = SSL_read(ssl, buf, sizeof buf);
        if (r > 0) {
            plain.append(buf, static_cast<std::size_t>(r));
            continue;
        }
        int e = SSL_get_error(ssl, r);
        if (e == SSL_ERROR_WANT_READ) break;
        throw std::runtime_error("TLS read failed");
    }
    return plain;
}

std::string encrypt(SSL* ssl, std::string const& plain) {
    if (!plain.empty() && SSL_write(ssl, plain.data(), static_cast<int>(plain.size())) <= 0)
        throw std::runtime_error("TLS write failed");
    return drain(ssl);
}

void trust(SSL_CTX* ctx, std::string const& pem) {
    BIO* b = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    X509* cert = PEM_read_bio_X509(b, nullptr, nullptr, nullptr);
    BIO_free(b);
    if (!cert) throw std::runtime_error("no certificate to trust");
    X509_STORE_add_cert(SSL_CTX_get_cert_store(ctx), cert);
    X509_free(cert);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
}

} // namespace

mux_client::mux_client(unsigned short port, bool https, std::string const& trusted_pem) {
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0) throw std::runtime_error("socket");
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        throw std::runtime_error("connect: " + std::to_string(errno));
    int one = 1;
    ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    socklen_t len = sizeof a;
    ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &len);
    m_local_port = ntohs(a.sin_port);
    m_ctx = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_max_proto_version(m_ctx, TLS1_2_VERSION);
    SSL_CTX_set_cipher_list(m_ctx, "AES256-SHA:AES128-SHA:DHE-RSA-AES256-SHA:@SECLEVEL=0");
    if (https) {
        SSL_CTX* outer_ctx = SSL_CTX_new(TLS_client_method());
        SSL_CTX_set_max_proto_version(outer_ctx, TLS1_2_VERSION);
        SSL_CTX_set_cipher_list(outer_ctx, "AES256-SHA:AES128-SHA:DHE-RSA-AES256-SHA:@SECLEVEL=0");
        if (!trusted_pem.empty()) trust(outer_ctx, trusted_pem);
        m_outer = new_client(outer_ctx);
        SSL_CTX_free(outer_ctx); // the session holds a reference
        SSL_do_handshake(m_outer);
        write_socket(drain(m_outer));
        auto deadline = std::chrono::steady_clock::now() + 10s;
        while (!SSL_is_init_finished(m_outer))
            if (!fill(deadline)) throw std::runtime_error("HTTPS handshake did not finish");
    }
}

mux_client::~mux_client() {
    if (m_tls) SSL_free(m_tls);
    if (m_outer) SSL_free(m_outer);
    SSL_CTX_free(m_ctx);
    if (m_fd >= 0) ::close(m_fd);
}

void mux_client::write_socket(std::string const& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::send(m_fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw std::runtime_error("send: " + std::to_string(errno));
        done += static_cast<std::size_t>(n);
    }
}

std::size_t mux_client::try_send_raw(std::string const& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::send(m_fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    return done;
}

void mux_client::send_raw(std::string const& bytes) {
    write_socket(m_outer ? encrypt(m_outer, bytes) : bytes);
}

bool mux_client::fill(std::chrono::steady_clock::time_point deadline) {
    if (m_closed) return false;
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd p{m_fd, POLLIN, 0};
    int r = ::poll(&p, 1, static_cast<int>(std::max<long long>(0, left.count())));
    if (r <= 0) return false;
    char buf[65536];
    ssize_t n = ::recv(m_fd, buf, sizeof buf, 0);
    if (n <= 0) {
        m_closed = true;
        return false;
    }
    std::string bytes(buf, static_cast<std::size_t>(n));
    if (m_outer) {
        std::string plain = feed(m_outer, bytes);
        write_socket(drain(m_outer));
        m_in += plain;
    } else {
        m_in += bytes;
    }
    return true;
}

std::optional<reply> mux_client::read_reply(std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    std::size_t end;
    while ((end = m_in.find("\r\n\r\n")) == std::string::npos)
        if (!fill(deadline)) return std::nullopt;
    reply r;
    r.text = m_in.substr(0, end + 4);
    m_in.erase(0, end + 4);
    std::size_t pos = r.text.find("\r\n");
    std::string start = r.text.substr(0, pos);
    if (start.size() < 12 || start.compare(0, 5, "HTTP/") != 0) return std::nullopt;
    r.status = std::stoi(start.substr(9, 3));
    while (true) {
        std::size_t next = r.text.find("\r\n", pos + 2);
        if (next == std::string::npos || next == pos + 2) break;
        std::string line = r.text.substr(pos + 2, next - pos - 2);
        std::size_t colon = line.find(':');
        std::string value = line.substr(colon + 1);
        while (!value.empty() && value.front() == ' ') value.erase(0, 1);
        r.fields[line.substr(0, colon)] = value;
        pos = next;
    }
    return r;
}

reply mux_client::handshake(std::string const& extra, std::chrono::milliseconds limit) {
    send_raw("MUXV2 / HTTP/1.0\r\nConnection-Data: 1\r\n" + extra + "\r\n");
    auto r = read_reply(limit);
    if (!r) throw std::runtime_error("no handshake reply");
    connection_data.clear();
    if (r->fields.count("Connection-Data")) {
        std::string packed = rulo::base64_decode(r->fields["Connection-Data"]);
        rulo_packet_pop(packed, connection_data);
    }
    return *r;
}

void mux_client::limit_tls(int version, std::string const& ciphers) {
    if (version) {
        SSL_CTX_set_min_proto_version(m_ctx, version);
        SSL_CTX_set_max_proto_version(m_ctx, version);
    }
    if (SSL_CTX_set_cipher_list(m_ctx, ciphers.c_str()) != 1 &&
        SSL_CTX_set_ciphersuites(m_ctx, ciphers.c_str()) != 1)
        throw std::runtime_error("no such cipher list: " + ciphers);
}

std::string mux_client::tls_version() const {
    return m_tls ? SSL_get_version(m_tls) : "";
}

std::string mux_client::tls_cipher() const {
    return m_tls ? SSL_get_cipher_name(m_tls) : "";
}

void mux_client::start_tls(std::chrono::milliseconds limit) {
    trust(m_ctx, connection_data.at("key_cs"));
    m_tls = new_client(m_ctx);
    SSL_do_handshake(m_tls);
    send_frame(1, drain(m_tls));
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!SSL_is_init_finished(m_tls)) {
        frame f;
        while (!take_frame(m_in, f))
            if (!fill(deadline)) throw std::runtime_error("channel 1 TLS handshake did not finish");
        if (f.channel != 1)
            throw std::runtime_error("frame on channel " + std::to_string(f.channel) + " during TLS");
        m_secure_in += feed(m_tls, f.payload);
        std::string out = drain(m_tls);
        if (!out.empty()) send_frame(1, out);
    }
}

void mux_client::send_frame(std::uint64_t channel, std::string const& payload) {
    send_raw(make_frame(channel, payload));
}

void mux_client::send_secure(std::uint64_t channel, std::string const& payload) {
    send_secure_raw(make_frame(channel, payload));
}

void mux_client::send_secure_raw(std::string const& plaintext) {
    std::string records = encrypt(m_tls, plaintext);
    for (std::size_t at = 0; at < records.size(); at += 0xFFFF) send_frame(1, records.substr(at, 0xFFFF));
}

void mux_client::send_control(std::string const& packet, bool secure) {
    if (secure)
        send_secure(0, packet);
    else
        send_frame(0, packet);
}

void mux_client::open(long long id, std::string const& name, bool secure, bool inside_tls) {
    std::string p;
    xstd::packet_push(p, std::string("open"), id, name, secure);
    send_control(p, inside_tls);
}

std::optional<frame> mux_client::next_frame(std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (true) {
        frame f;
        if (take_frame(m_secure_in, f)) {
            f.secure = true;
            return f;
        }
        if (take_frame(m_in, f)) {
            if (f.channel != 1 || !m_tls) return f;
            m_secure_in += feed(m_tls, f.payload);
            std::string out = drain(m_tls);
            if (!out.empty()) send_frame(1, out);
            continue;
        }
        if (!fill(deadline)) return std::nullopt;
    }
}

void mux_client::shutdown_send() {
    ::shutdown(m_fd, SHUT_WR);
}

bool mux_client::wait_closed(std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!m_closed) {
        if (!fill(deadline) && !m_closed) return false;
        m_in.clear(); // dropped, so a long stream does not pile up here
    }
    return true;
}

} // namespace relay_test
