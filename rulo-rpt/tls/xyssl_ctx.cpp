#include "rulo-rpt/tls/xyssl_ctx.h"

#include "rulo/exception.h"
#include "rulo/xfile.h"

#include <openssl/bio.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <fcntl.h>

#include <cstring>
#include <memory>

namespace rulo {

namespace {

// RC4 and 3DES are not offered: current peers refuse them.
char const default_suites[] = "AES256-SHA:AES128-SHA";
char const dh_suites[] = "DHE-RSA-AES256-SHA:AES256-SHA:AES128-SHA";

using bio_ptr = std::unique_ptr<BIO, decltype(&BIO_free)>;

// The library's reason for the last failure on this thread, and an empty queue.
std::string library_text() {
    unsigned long code = ERR_peek_last_error();
    char text[256] = "unknown reason";
    if (code) ERR_error_string_n(code, text, sizeof text);
    ERR_clear_error();
    return text;
}

// The function exception `function`, with the file and the library's reason.
[[noreturn]] void fail(char const* function, std::string const& file, std::string const& reason) {
    exception e = exception::function(function);
    e.stream() << ": " << file << ": " << reason;
    throw e;
}

// The whole file. Throws `function` when it cannot be read.
std::string read_file(char const* function, std::string const& file) {
    _mmap* map = nullptr;
    try {
        map = mmap_open(file.c_str(), O_RDONLY, -1);
    } catch (std::exception const& e) {
        fail(function, file, e.what());
    }
    std::string text(static_cast<char const*>(map->addr), map->len);
    mmap_close(map);
    return text;
}

bio_ptr memory_bio(std::string const& bytes) {
    return bio_ptr(BIO_new_mem_buf(bytes.data(), int(bytes.size())), &BIO_free);
}

object<xyssl_x509> parse_certificate(char const* function, std::string const& file) {
    object<xyssl_x509> cert = xyssl_parse_x509(read_file(function, file));
    if (!cert) fail(function, file, library_text());
    return cert;
}

// Hands the password to the key parser; an empty one refuses, so that the
// library never asks on a terminal.
int give_password(char* out, int size, int, void* arg) {
    std::string const& password = *static_cast<std::string const*>(arg);
    if (password.empty() || int(password.size()) > size) return -1;
    std::memcpy(out, password.data(), password.size());
    return int(password.size());
}

// The published 2048-bit group of RFC 7919; the server sends it to the client
// in every DHE handshake, so nothing about it is secret.
EVP_PKEY* builtin_group() {
    EVP_PKEY_CTX* pctx = EVP_PKEY_CTX_new_from_name(nullptr, "DH", nullptr);
    EVP_PKEY* group = nullptr;
    char name[] = "ffdhe2048";
    OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, name, 0),
                           OSSL_PARAM_construct_end()};
    if (!pctx || EVP_PKEY_fromdata_init(pctx) != 1 ||
        EVP_PKEY_fromdata(pctx, &group, EVP_PKEY_KEY_PARAMETERS, params) != 1) {
        group = nullptr;
    }
    EVP_PKEY_CTX_free(pctx);
    return group;
}

// The moving of ciphertext through the owner's I/O functions: a BIO whose
// data pointer is the context.
BIO_METHOD* hook_method(int (*write)(BIO*, char const*, int), int (*read)(BIO*, char*, int)) {
    static BIO_METHOD* const method = [&] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "rulo TLS hooks");
        BIO_meth_set_write(m, write);
        BIO_meth_set_read(m, read);
        BIO_meth_set_ctrl(m,
                          [](BIO*, int cmd, long, void*) -> long { return cmd == BIO_CTRL_FLUSH ? 1 : 0; });
        BIO_meth_set_create(m, [](BIO* b) {
            BIO_set_init(b, 1);
            return 1;
        });
        return m;
    }();
    return method;
}

} // namespace

xyssl_x509::~xyssl_x509() {
    for (X509* c : certs) X509_free(c);
}

object<xyssl_x509> xyssl_parse_x509(std::string const& bytes) {
    object<xyssl_x509> cert(new xyssl_x509);
    bio_ptr bio = memory_bio(bytes);
    if (bytes.find("-----BEGIN") != std::string::npos) {
        while (X509* c = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) cert->certs.push_back(c);
        ERR_clear_error(); // the end of the text reads as "no start line"
    } else if (X509* c = d2i_X509_bio(bio.get(), nullptr)) {
        cert->certs.push_back(c);
    }
    if (cert->certs.empty()) return object<xyssl_x509>();
    cert->parsed = true;
    return cert;
}

xyssl_rsa::~xyssl_rsa() {
    EVP_PKEY_free(pk);
}

xyssl_ctx::xyssl_ctx() : m_ctx(SSL_CTX_new(TLS_method())) {
    if (!m_ctx) fail("xyssl_ctx", "context", library_text());
    SSL_CTX_set_security_level(m_ctx, 0);
    if (SSL_CTX_set_min_proto_version(m_ctx, TLS1_VERSION) != 1 ||
        SSL_CTX_set_max_proto_version(m_ctx, TLS1_2_VERSION) != 1 ||
        SSL_CTX_set_cipher_list(m_ctx, default_suites) != 1) {
        SSL_CTX_free(m_ctx);
        fail("xyssl_ctx", "context", library_text());
    }
    // No resumption, no renegotiation, no compression; the end of the stream
    // without close_notify is a close like any other.
    SSL_CTX_set_options(m_ctx, SSL_OP_NO_TICKET | SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION |
                                   SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_set_session_cache_mode(m_ctx, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_mode(m_ctx, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_cert_verify_callback(m_ctx, &verify_peer, this);
    set_verify_peer(true);
}

xyssl_ctx::~xyssl_ctx() {
    SSL_CTX_free(m_ctx);
}

void xyssl_ctx::set_verify_peer(bool verify) {
    m_verify = verify;
}

void xyssl_ctx::set_cert(std::string const& cert_file, std::string const& key_file,
                         std::string const& password) {
    object<xyssl_x509> cert = parse_certificate("set_cert", cert_file);
    std::string const pem = read_file("set_cert", key_file);
    bio_ptr bio = memory_bio(pem);
    object<xyssl_rsa> key(new xyssl_rsa);
    key->pk =
        PEM_read_bio_PrivateKey(bio.get(), nullptr, &give_password, const_cast<std::string*>(&password));
    if (!key->pk) fail("set_cert", key_file, library_text());
    if (X509_check_private_key(cert->certs.front(), key->pk) != 1) {
        fail("set_cert", key_file, "the key does not belong to " + cert_file + ": " + library_text());
    }
    key->parsed = true;
    use_cert(cert, key);
}

void xyssl_ctx::use_cert(object<xyssl_x509> cert, object<xyssl_rsa> key) {
    bool ok = SSL_CTX_use_certificate(m_ctx, cert->certs.front()) == 1 &&
              SSL_CTX_use_PrivateKey(m_ctx, key->pk) == 1 && SSL_CTX_clear_chain_certs(m_ctx) == 1;
    for (size_t i = 1; ok && i < cert->certs.size(); ++i)
        ok = SSL_CTX_add1_chain_cert(m_ctx, cert->certs[i]) == 1;
    if (!ok) fail("use_cert", "certificate", library_text());
    m_cert = cert;
    m_key = key;
}

void xyssl_ctx::set_trusted_ca(std::string const& ca_file, std::string const& peer_name) {
    use_trusted_ca(parse_certificate("set_trusted_ca", ca_file), peer_name);
}

void xyssl_ctx::use_trusted_ca(object<xyssl_x509> ca, std::string const& peer_name) {
    X509_STORE* store = X509_STORE_new();
    // Every certificate given is an anchor of its own, whether or not it is
    // a self-signed root.
    X509_STORE_set_flags(store, X509_V_FLAG_PARTIAL_CHAIN);
    for (X509* c : ca->certs) X509_STORE_add_cert(store, c);
    SSL_CTX_set_cert_store(m_ctx, store);
    m_peer_name = peer_name;
    m_ca = ca;
}

void xyssl_ctx::pin_peer_cert(object<xyssl_x509> cert) {
    m_pinned = cert;
}

int xyssl_ctx::verify_peer(X509_STORE_CTX* store, void* self) {
    xyssl_ctx* me = static_cast<xyssl_ctx*>(self);
    if (!me->m_pinned) return X509_verify_cert(store);
    X509* presented = X509_STORE_CTX_get0_cert(store);
    if (presented && X509_cmp(presented, me->m_pinned->certs.front()) == 0) return 1;
    X509_STORE_CTX_set_error(store, X509_V_ERR_CERT_UNTRUSTED);
    return 0;
}

void xyssl_ctx::enable_dh(bool load, std::string const& dh_file) {
    if (load) {
        EVP_PKEY* group = nullptr;
        std::string where = "built-in group";
        if (dh_file.empty()) {
            group = builtin_group();
        } else {
            where = dh_file;
            std::string const pem = read_file("enable_dh", dh_file);
            bio_ptr bio = memory_bio(pem);
            group = PEM_read_bio_Parameters(bio.get(), nullptr);
            if (group && EVP_PKEY_is_a(group, "DH") != 1) {
                EVP_PKEY_free(group);
                group = nullptr;
            }
        }
        if (!group) fail("enable_dh", where, library_text());
        if (SSL_CTX_set0_tmp_dh_pkey(m_ctx, group) != 1) {
            EVP_PKEY_free(group);
            fail("enable_dh", where, library_text());
        }
    }
    if (SSL_CTX_set_cipher_list(m_ctx, dh_suites) != 1) fail("enable_dh", "suites", library_text());
}

void xyssl_ctx::set_io(void* arg, send_fn send, recv_fn recv) {
    m_io_arg = arg;
    m_send = send;
    m_recv = recv;
}

int xyssl_ctx::bio_write(BIO* bio, char const* data, int length) {
    xyssl_ctx* me = static_cast<xyssl_ctx*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    int rc = me->m_send
                 ? me->m_send(me->m_io_arg, reinterpret_cast<unsigned char const*>(data), size_t(length))
                 : XYSSL_ERR_NET_TRY_AGAIN;
    if (rc >= 0) return rc;
    if (rc == XYSSL_ERR_NET_TRY_AGAIN) BIO_set_retry_write(bio);
    return -1;
}

int xyssl_ctx::bio_read(BIO* bio, char* data, int length) {
    xyssl_ctx* me = static_cast<xyssl_ctx*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    int rc = me->m_recv ? me->m_recv(me->m_io_arg, reinterpret_cast<unsigned char*>(data), size_t(length))
                        : XYSSL_ERR_NET_TRY_AGAIN;
    if (rc > 0) return rc;
    if (rc == XYSSL_ERR_NET_TRY_AGAIN || rc == 0) BIO_set_retry_read(bio);
    return -1;
}

SSL* xyssl_ctx::new_connection(int endpoint, int descriptor) {
    SSL* ssl = SSL_new(m_ctx);
    if (!ssl) return nullptr;
    bool ok = true;
    if (descriptor != -1) {
        ok = SSL_set_fd(ssl, descriptor) == 1;
    } else {
        BIO* bio = BIO_new(hook_method(&bio_write, &bio_read));
        ok = bio != nullptr;
        if (ok) {
            BIO_set_data(bio, this);
            SSL_set_bio(ssl, bio, bio);
        }
    }
    if (endpoint == 1) {
        SSL_set_accept_state(ssl);
        SSL_set_verify(ssl, m_verify ? SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT : SSL_VERIFY_NONE,
                       nullptr);
    } else {
        SSL_set_connect_state(ssl);
        SSL_set_verify(ssl, m_verify ? SSL_VERIFY_PEER : SSL_VERIFY_NONE, nullptr);
        if (ok && !m_peer_name.empty() && !m_pinned) {
            ok = SSL_set_tlsext_host_name(ssl, m_peer_name.c_str()) == 1 &&
                 SSL_set1_host(ssl, m_peer_name.c_str()) == 1;
        }
    }
    if (!ok) {
        SSL_free(ssl);
        return nullptr;
    }
    return ssl;
}

} // namespace rulo
