#include "rulo-rpt/tls/xyssl.h"

#include "rulo/errlog.h"
#include "rulo/exception.h"
#include "rulo/text.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <climits>

namespace rulo {

namespace {

enum class outcome { again, closed, failed };

// What a library call that returned rc <= 0 means. For a failure, code is
// the library's packed error number, negated (or the I/O functions' failure
// when the library queued none), and reason its text. Empties the thread's
// error queue either way.
outcome classify(SSL* ssl, int rc, int& code, std::string& reason) {
    int const kind = SSL_get_error(ssl, rc);
    unsigned long const queued = ERR_peek_last_error();
    ERR_clear_error();
    if (kind == SSL_ERROR_WANT_READ || kind == SSL_ERROR_WANT_WRITE) return outcome::again;
    // The peer's close_notify, or the end of the stream without one.
    if (kind == SSL_ERROR_ZERO_RETURN) return outcome::closed;
    if (queued) {
        code = -int(queued & 0x7FFFFFFF);
        char text[256];
        ERR_error_string_n(queued, text, sizeof text);
        reason = text;
    } else if (kind == SSL_ERROR_SYSCALL) {
        code = XYSSL_ERR_NET_RECV_FAILED;
        reason = "the transport below failed";
    } else {
        code = -kind;
        reason = "library error";
    }
    return outcome::failed;
}

[[noreturn]] void throw_ssl(int code, char const* call, std::string const& reason) {
    std::string text = "SSL exception 0x" + hex(-code) + "/-0x" + hex(code) + ", caused by '" + call + "'";
    fmt_dbg("XYSSL").fmt_verbose("%1%", text + ": " + reason);
    throw exception(text);
}

} // namespace

bool xyssl_try_again(int code) {
    return code == XYSSL_ERR_NET_TRY_AGAIN;
}

xyssl::xyssl(object<xyssl_ctx> ctx, int descriptor, bool read_all)
    : m_ctx(ctx), m_descriptor(descriptor), m_read_all(read_all) {}

xyssl::~xyssl() {
    // The descriptor belongs to the caller: SSL_free leaves it open.
    SSL_free(m_ssl);
}

void xyssl::check_fail() const {
    if (!m_failed) return;
    fmt_dbg("SSL").log("SSL object in closed state");
    throw exception("SSL object in closed state");
}

bool xyssl::try_again_or_throw(int rc, char const* call) {
    int code = 0;
    std::string reason;
    outcome o = classify(m_ssl, rc, code, reason);
    if (o == outcome::again) return true;
    m_failed = true;
    if (o == outcome::closed) {
        m_peer_closed = true;
        code = XYSSL_ERR_NET_RECV_FAILED;
        reason = "the peer closed the connection";
    }
    throw_ssl(code, call, reason);
}

bool xyssl::handshake(int endpoint) {
    check_fail();
    if (!m_endpoint_set) {
        ERR_clear_error();
        m_ssl = m_ctx->new_connection(endpoint, m_descriptor);
        if (!m_ssl) {
            m_failed = true;
            unsigned long const queued = ERR_get_error();
            ERR_clear_error();
            throw_ssl(-int(queued & 0x7FFFFFFF), "ssl_setup", "the connection cannot be made");
        }
        m_endpoint_set = true;
    }
    ERR_clear_error();
    int rc = SSL_do_handshake(m_ssl);
    if (rc == 1) return true;
    try_again_or_throw(rc, "ssl_handshake");
    return false;
}

bool xyssl::connect() {
    return handshake(0);
}

bool xyssl::accept() {
    return handshake(1);
}

bool xyssl::write(netbuf const* data, unsigned long max) {
    check_fail();
    if (data) m_pending.append(*data);
    if (m_pending.empty()) return true;
    int limit = max == 0 || max > INT_MAX ? INT_MAX : int(max);
    for (;;) {
        // The library must see the same bytes again after it answered "again".
        int want = m_write_again ? m_offered : std::min(limit, m_pending.size());
        char const* bytes;
        int length;
        m_pending.front(bytes, length, want);
        length = std::min(length, want);
        ERR_clear_error();
        int rc = SSL_write(m_ssl, bytes, length);
        m_write_again = false;
        if (rc <= 0) {
            try_again_or_throw(rc, "ssl_write");
            m_write_again = true;
            m_offered = length;
            return false;
        }
        m_pending.erase_front(rc);
        if (m_pending.empty()) return true;
    }
}

bool xyssl::read(netbuf& out, int max) {
    check_fail();
    out.clear();
    if (int rc = m_read_error) {
        m_read_error = 0;
        m_failed = true;
        throw_ssl(rc, "ssl_read", m_read_reason);
    }
    max = std::max(max, 1);
    int rc;
    for (;;) {
        int n = std::clamp(SSL_pending(m_ssl), 1, max);
        char* room = out.allocate_back(n);
        ERR_clear_error();
        rc = SSL_read(m_ssl, room, n);
        if (rc <= 0) {
            out.erase_back(n);
            break;
        }
        out.erase_back(n - rc);
        if (!m_read_all) return !out.empty();
    }
    int code = 0;
    std::string reason;
    switch (classify(m_ssl, rc, code, reason)) {
    case outcome::again:
        break;
    case outcome::closed:
        // No more records can come, and asking again would answer the same for ever.
        m_peer_closed = true;
        m_failed = true;
        break;
    case outcome::failed:
        if (out.empty()) {
            m_failed = true;
            throw_ssl(code, "ssl_read", reason);
        }
        m_read_error = code;
        m_read_reason = reason;
        break;
    }
    return !out.empty();
}

bool xyssl::shutdown() {
    if (m_peer_closed || !m_endpoint_set) {
        m_failed = true;
        return true;
    }
    check_fail();
    ERR_clear_error();
    // 0 means our close_notify is out and the peer's has not come: we do not wait for it.
    int rc = SSL_shutdown(m_ssl);
    if (rc >= 0) {
        m_failed = true;
        return true;
    }
    try_again_or_throw(rc, "ssl_close_notify");
    return false;
}

int xyssl::ciphersuite() {
    SSL_CIPHER const* cipher = m_ssl ? SSL_get_current_cipher(m_ssl) : nullptr;
    return cipher ? int(SSL_CIPHER_get_protocol_id(cipher)) : 0;
}

} // namespace rulo
