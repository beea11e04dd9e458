#include "rulo-rpt/tls/xyssl_ctx.h"

#include "rulo/exception.h"
#include "rulo/random.h"
#include "rulo/xfile.h"

#include <mbedtls/dhm.h>
#include <mbedtls/error.h>

#include <fcntl.h>

#include <vector>

namespace rulo {

namespace {

// The lists the library keeps a pointer to; each ends with 0. RC4 and 3DES
// are not offered: current peers refuse them.
int const default_suites[] = {tls_rsa_aes256_sha, tls_rsa_aes128_sha, 0};
int const dh_suites[] = {tls_dhe_rsa_aes256_sha, tls_rsa_aes256_sha, tls_rsa_aes128_sha, 0};

// The published 2048-bit group of RFC 7919; the server sends it to the client
// in every DHE handshake, so nothing about it is secret.
unsigned char const ffdhe2048_p[] = MBEDTLS_DHM_RFC7919_FFDHE2048_P_BIN;
unsigned char const ffdhe2048_g[] = MBEDTLS_DHM_RFC7919_FFDHE2048_G_BIN;

std::string library_text(int code) {
    char text[200];
    mbedtls_strerror(code, text, sizeof text);
    return text;
}

// The function exception `function`, with the file and the library's reason.
[[noreturn]] void fail(char const* function, std::string const& file, std::string const& reason) {
    exception e = exception::function(function);
    e.stream() << ": " << file << ": " << reason;
    throw e;
}

// The whole file, followed by a NUL: the PEM parser takes a string and
// counts the terminator in the length. Throws `function` when it cannot be read.
std::vector<unsigned char> read_pem(char const* function, std::string const& file) {
    _mmap* map = nullptr;
    try {
        map = mmap_open(file.c_str(), O_RDONLY, -1);
    } catch (std::exception const& e) {
        fail(function, file, e.what());
    }
    unsigned char const* bytes = static_cast<unsigned char const*>(map->addr);
    std::vector<unsigned char> text(bytes, bytes + map->len);
    mmap_close(map);
    text.push_back(0);
    return text;
}

object<xyssl_x509> parse_certificate(char const* function, std::string const& file) {
    std::vector<unsigned char> pem = read_pem(function, file);
    object<xyssl_x509> cert(new xyssl_x509);
    if (int rc = mbedtls_x509_crt_parse(&cert->crt, pem.data(), pem.size())) {
        fail(function, file, library_text(rc));
    }
    cert->parsed = true;
    return cert;
}

} // namespace

xyssl_ctx::xyssl_ctx() {
    mbedtls_ssl_init(&m_ssl);
    mbedtls_ssl_config_init(&m_conf);
    if (int rc = mbedtls_ssl_config_defaults(&m_conf, MBEDTLS_SSL_IS_CLIENT, MBEDTLS_SSL_TRANSPORT_STREAM,
                                             MBEDTLS_SSL_PRESET_DEFAULT)) {
        mbedtls_ssl_config_free(&m_conf);
        exception e = exception::function("xyssl_ctx");
        e.stream() << ": " << library_text(rc);
        throw e;
    }
    set_verify_peer(true);
    mbedtls_ssl_conf_rng(&m_conf, xstd::rnd_f, nullptr);
    mbedtls_ssl_conf_ciphersuites(&m_conf, default_suites);
    mbedtls_ssl_conf_min_version(&m_conf, MBEDTLS_SSL_MAJOR_VERSION_3, MBEDTLS_SSL_MINOR_VERSION_1);
    mbedtls_ssl_conf_max_version(&m_conf, MBEDTLS_SSL_MAJOR_VERSION_3, MBEDTLS_SSL_MINOR_VERSION_3);
}

xyssl_ctx::~xyssl_ctx() {
    mbedtls_ssl_free(&m_ssl);
    mbedtls_ssl_config_free(&m_conf);
}

void xyssl_ctx::set_verify_peer(bool verify) {
    mbedtls_ssl_conf_authmode(&m_conf, verify ? MBEDTLS_SSL_VERIFY_REQUIRED : MBEDTLS_SSL_VERIFY_NONE);
}

void xyssl_ctx::set_cert(std::string const& cert_file, std::string const& key_file,
                         std::string const& password) {
    object<xyssl_x509> cert = parse_certificate("set_cert", cert_file);
    std::vector<unsigned char> pem = read_pem("set_cert", key_file);
    object<xyssl_rsa> key(new xyssl_rsa);
    unsigned char const* pwd = reinterpret_cast<unsigned char const*>(password.data());
    if (int rc = mbedtls_pk_parse_key(&key->pk, pem.data(), pem.size(), password.empty() ? nullptr : pwd,
                                      password.size())) {
        fail("set_cert", key_file, library_text(rc));
    }
    if (int rc = mbedtls_pk_check_pair(&cert->crt.pk, &key->pk)) {
        fail("set_cert", key_file, "the key does not belong to " + cert_file + ": " + library_text(rc));
    }
    key->parsed = true;
    use_cert(cert, key);
}

void xyssl_ctx::use_cert(object<xyssl_x509> cert, object<xyssl_rsa> key) {
    if (int rc = mbedtls_ssl_conf_own_cert(&m_conf, &cert->crt, &key->pk)) {
        fail("use_cert", "certificate", library_text(rc));
    }
    m_cert = cert;
    m_key = key;
}

void xyssl_ctx::set_trusted_ca(std::string const& ca_file, std::string const& peer_name) {
    use_trusted_ca(parse_certificate("set_trusted_ca", ca_file), peer_name);
}

void xyssl_ctx::use_trusted_ca(object<xyssl_x509> ca, std::string const& peer_name) {
    m_peer_name = peer_name;
    mbedtls_ssl_conf_ca_chain(&m_conf, &ca->crt, nullptr);
    m_ca = ca;
}

void xyssl_ctx::enable_dh(bool load, std::string const& dh_file) {
    if (load) {
        if (dh_file.empty()) {
            if (int rc = mbedtls_ssl_conf_dh_param_bin(&m_conf, ffdhe2048_p, sizeof ffdhe2048_p, ffdhe2048_g,
                                                       sizeof ffdhe2048_g)) {
                fail("enable_dh", "built-in group", library_text(rc));
            }
        } else {
            mbedtls_dhm_context dhm;
            mbedtls_dhm_init(&dhm);
            int rc = mbedtls_dhm_parse_dhmfile(&dhm, dh_file.c_str());
            if (rc == 0) rc = mbedtls_ssl_conf_dh_param_ctx(&m_conf, &dhm);
            mbedtls_dhm_free(&dhm);
            if (rc) fail("enable_dh", dh_file, library_text(rc));
        }
    }
    mbedtls_ssl_conf_ciphersuites(&m_conf, dh_suites);
}

void xyssl_ctx::set_io(void* arg, send_fn send, recv_fn recv) {
    m_io_arg = arg;
    m_send = send;
    m_recv = recv;
    if (m_ssl.conf) mbedtls_ssl_set_bio(&m_ssl, arg, send, recv, nullptr);
}

int xyssl_ctx::setup(int endpoint) {
    mbedtls_ssl_conf_endpoint(&m_conf, endpoint == 1 ? MBEDTLS_SSL_IS_SERVER : MBEDTLS_SSL_IS_CLIENT);
    if (int rc = mbedtls_ssl_setup(&m_ssl, &m_conf)) return rc;
    if (!m_peer_name.empty()) {
        if (int rc = mbedtls_ssl_set_hostname(&m_ssl, m_peer_name.c_str())) return rc;
    }
    mbedtls_ssl_set_bio(&m_ssl, m_io_arg, m_send, m_recv, nullptr);
    return 0;
}

} // namespace rulo
