#include "tools/relay/tls_session.h"

#include "tools/relay/certificate.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>

#include <stdexcept>

namespace relay {

std::shared_ptr<SSL_CTX> make_server_context(identity const& id) {
    std::shared_ptr<SSL_CTX> ctx(SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
    if (!ctx) throw std::runtime_error("SSL_CTX_new");
    SSL_CTX_set_min_proto_version(ctx.get(), TLS1_VERSION);
    SSL_CTX_set_max_proto_version(ctx.get(), TLS1_2_VERSION);
    // The client offers only these suites over TLS 1.0 to 1.2; they need the
    // lowest security level of this OpenSSL to be usable at all.
    if (SSL_CTX_set_cipher_list(ctx.get(), "AES256-SHA:AES128-SHA:DHE-RSA-AES256-SHA:@SECLEVEL=0") != 1)
        throw std::runtime_error("SSL_CTX_set_cipher_list");
    SSL_CTX_set_dh_auto(ctx.get(), 1);
    SSL_CTX_set_options(ctx.get(), SSL_OP_NO_TICKET | SSL_OP_NO_COMPRESSION);

    BIO* cb = BIO_new_mem_buf(id.cert_pem.data(), static_cast<int>(id.cert_pem.size()));
    X509* cert = PEM_read_bio_X509(cb, nullptr, nullptr, nullptr);
    BIO_free(cb);
    BIO* kb = BIO_new_mem_buf(id.key_pem.data(), static_cast<int>(id.key_pem.size()));
    EVP_PKEY* key = PEM_read_bio_PrivateKey(kb, nullptr, nullptr, nullptr);
    BIO_free(kb);
    bool ok = cert && key && SSL_CTX_use_certificate(ctx.get(), cert) == 1 &&
              SSL_CTX_use_PrivateKey(ctx.get(), key) == 1 && SSL_CTX_check_private_key(ctx.get()) == 1;
    X509_free(cert);
    EVP_PKEY_free(key);
    if (!ok) throw std::runtime_error("the certificate or key cannot be used for TLS");
    return ctx;
}

tls_session::tls_session(std::shared_ptr<SSL_CTX> ctx) : m_ctx(std::move(ctx)) {
    m_ssl = SSL_new(m_ctx.get());
    if (!m_ssl) throw std::runtime_error("SSL_new");
    SSL_set_bio(m_ssl, BIO_new(BIO_s_mem()), BIO_new(BIO_s_mem()));
    SSL_set_accept_state(m_ssl);
}

tls_session::~tls_session() {
    SSL_free(m_ssl);
}

bool tls_session::failed(int ret, char const* step) {
    int const e = SSL_get_error(m_ssl, ret);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) return false;
    unsigned long code = ERR_get_error();
    char text[256] = "";
    if (code) ERR_error_string_n(code, text, sizeof text);
    ERR_clear_error();
    m_error = std::string(step) + ": " + (code ? text : e == SSL_ERROR_ZERO_RETURN ? "closed" : "failed");
    return true;
}

bool tls_session::pump(std::string& records) {
    BIO* out = SSL_get_wbio(m_ssl);
    char buf[16384];
    int n;
    while ((n = BIO_read(out, buf, sizeof buf)) > 0) records.append(buf, static_cast<std::size_t>(n));
    return true;
}

bool tls_session::flush_pending(std::string& records) {
    if (!m_established || m_pending.empty()) return true;
    std::string pending;
    pending.swap(m_pending);
    return write(pending, records);
}

bool tls_session::feed(char const* data, std::size_t size, std::string& plaintext, std::string& records) {
    if (!m_error.empty()) return false;
    if (size && BIO_write(SSL_get_rbio(m_ssl), data, static_cast<int>(size)) != static_cast<int>(size)) {
        m_error = "BIO_write";
        return false;
    }
    if (!m_established) {
        int r = SSL_do_handshake(m_ssl);
        if (r == 1) {
            m_established = true;
        } else if (failed(r, "handshake")) {
            pump(records); // the alert
            return false;
        }
    }
    if (m_established) {
        char buf[16384];
        while (true) {
            int r = SSL_read(m_ssl, buf, sizeof buf);
            if (r > 0) {
                plaintext.append(buf, static_cast<std::size_t>(r));
                continue;
            }
            if (failed(r, "read")) {
                pump(records);
                return false;
            }
            break;
        }
    }
    pump(records);
    return flush_pending(records);
}

bool tls_session::write(std::string const& plaintext, std::string& records) {
    if (!m_error.empty()) return false;
    if (!m_established) {
        m_pending += plaintext;
        return true;
    }
    std::size_t done = 0;
    while (done < plaintext.size()) {
        int const piece = static_cast<int>(std::min<std::size_t>(plaintext.size() - done, 16384));
        int r = SSL_write(m_ssl, plaintext.data() + done, piece);
        if (r <= 0) {
            failed(r, "write");
            if (m_error.empty()) m_error = "write: blocked";
            return false;
        }
        done += static_cast<std::size_t>(r);
        pump(records);
    }
    return true;
}

} // namespace relay
