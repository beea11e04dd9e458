#include "rulo-rpt/tls/xyssl.h"

#include "rulo/errlog.h"
#include "rulo/exception.h"
#include "rulo/text.h"

#include <mbedtls/ssl_ciphersuites.h>

#include <algorithm>
#include <climits>

namespace rulo {

namespace {

[[noreturn]] void throw_ssl(int code, char const* call) {
    std::string text = "SSL exception 0x" + hex(-code) + "/-0x" + hex(code) + ", caused by '" + call + "'";
    fmt_dbg("XYSSL").fmt_verbose("%1%", text);
    throw exception(text);
}

} // namespace

bool xyssl_try_again(int code) {
    return code == MBEDTLS_ERR_SSL_WANT_READ || code == MBEDTLS_ERR_SSL_WANT_WRITE;
}

xyssl::xyssl(object<xyssl_ctx> ctx, int descriptor, bool read_all) : m_ctx(ctx), m_read_all(read_all) {
    mbedtls_net_init(&m_net);
    if (descriptor != -1) {
        m_net.fd = descriptor;
        m_ctx->set_io(&m_net, mbedtls_net_send, mbedtls_net_recv);
    }
}

xyssl::~xyssl() {
    // The descriptor belongs to the caller: leave it open.
    m_net.fd = -1;
}

void xyssl::check_fail() const {
    if (!m_failed) return;
    fmt_dbg("SSL").log("SSL object in closed state");
    throw exception("SSL object in closed state");
}

bool xyssl::handshake(int endpoint) {
    check_fail();
    if (!m_endpoint_set) {
        if (int rc = m_ctx->setup(endpoint)) {
            m_failed = true;
            throw_ssl(rc, "ssl_setup");
        }
        m_endpoint_set = true;
    }
    int rc = mbedtls_ssl_handshake(m_ctx->ssl());
    if (rc == 0) return true;
    if (xyssl_try_again(rc)) return false;
    m_failed = true;
    throw_ssl(rc, "ssl_handshake");
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
        int rc = mbedtls_ssl_write(m_ctx->ssl(), reinterpret_cast<unsigned char const*>(bytes),
                                   size_t(std::min(length, want)));
        m_write_again = false;
        if (rc < 0) {
            if (xyssl_try_again(rc)) {
                m_write_again = true;
                m_offered = want;
                return false;
            }
            m_failed = true;
            throw_ssl(rc, "ssl_write");
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
        throw_ssl(rc, "ssl_read");
    }
    max = std::max(max, 1);
    int rc;
    for (;;) {
        int n = int(std::clamp<size_t>(mbedtls_ssl_get_bytes_avail(m_ctx->ssl()), 1, size_t(max)));
        unsigned char* room = reinterpret_cast<unsigned char*>(out.allocate_back(n));
        rc = mbedtls_ssl_read(m_ctx->ssl(), room, size_t(n));
        if (rc <= 0) {
            out.erase_back(n);
            break;
        }
        out.erase_back(n - rc);
        if (!m_read_all) return !out.empty();
    }
    // 0 is the end of the stream without close_notify; either way no more
    // records can come, and asking again would answer the same for ever.
    if (rc == 0 || rc == MBEDTLS_ERR_SSL_PEER_CLOSE_NOTIFY) {
        m_peer_closed = true;
        m_failed = true;
    } else if (!xyssl_try_again(rc)) {
        if (out.empty()) {
            m_failed = true;
            throw_ssl(rc, "ssl_read");
        }
        m_read_error = rc;
    }
    return !out.empty();
}

bool xyssl::shutdown() {
    if (m_peer_closed || !m_endpoint_set) {
        m_failed = true;
        return true;
    }
    check_fail();
    int rc = mbedtls_ssl_close_notify(m_ctx->ssl());
    if (rc == 0) {
        m_failed = true;
        return true;
    }
    if (xyssl_try_again(rc)) return false;
    m_failed = true;
    throw_ssl(rc, "ssl_close_notify");
}

int xyssl::ciphersuite() {
    char const* name = mbedtls_ssl_get_ciphersuite(m_ctx->ssl());
    return name ? mbedtls_ssl_get_ciphersuite_id(name) : 0;
}

} // namespace rulo
