// Certificates, keys, cipher suites and Diffie-Hellman parameters of one TLS
// connection.
//
// An xyssl_ctx is made by whoever opens a TLS connection (the session channel
// with the application's certificate, the multiplexer's control link, a socket
// that is put under TLS), configured on that thread, and then handed to one
// TLS session (xyssl), which owns the connection state kept here. It is held
// through rulo::object handles; it takes no lock of its own: configuration
// happens before the session starts, and the session's calls are serialised
// by its engine under the framework lock.
//
// The library's context is set up lazily, at the first handshake step, once
// the session knows whether it is the client or the server end; every setting
// made before that applies.
#pragma once

#include "rulo/object.h"

#include <mbedtls/pk.h>
#include <mbedtls/ssl.h>
#include <mbedtls/x509_crt.h>

#include <string>

namespace rulo {

// A certificate (chain) read from a PEM file.
class xyssl_x509 {
public:
    xyssl_x509() { mbedtls_x509_crt_init(&crt); }
    ~xyssl_x509() { mbedtls_x509_crt_free(&crt); }
    xyssl_x509(xyssl_x509 const&) = delete;
    xyssl_x509& operator=(xyssl_x509 const&) = delete;

    mbedtls_x509_crt crt;
    bool parsed = false;
};

// A private key read from a PEM file (RSA for every key the system uses).
class xyssl_rsa {
public:
    xyssl_rsa() { mbedtls_pk_init(&pk); }
    ~xyssl_rsa() { mbedtls_pk_free(&pk); }
    xyssl_rsa(xyssl_rsa const&) = delete;
    xyssl_rsa& operator=(xyssl_rsa const&) = delete;

    mbedtls_pk_context pk;
    bool parsed = false;
};

class xyssl_ctx {
public:
    // The library's I/O functions, as the session installs them.
    using send_fn = int (*)(void* arg, unsigned char const* data, size_t length);
    using recv_fn = int (*)(void* arg, unsigned char* data, size_t length);

    // Peer verification required, the framework's TLS random source, the
    // default suites (AES-256 and AES-128 with RSA key exchange), TLS 1.0 to
    // 1.2. Throws the function exception "xyssl_ctx" when the library refuses.
    xyssl_ctx();
    ~xyssl_ctx();
    xyssl_ctx(xyssl_ctx const&) = delete;
    xyssl_ctx& operator=(xyssl_ctx const&) = delete;

    // true: the peer must present a certificate that the trusted CA signed
    // (and that carries the expected name, when one is set); false: none is checked.
    void set_verify_peer(bool verify);
    // Reads a PEM certificate and a PEM private key (decrypted with password
    // when it is not empty) and uses them. Throws "set_cert" when either file
    // cannot be read or parsed, or the password is wrong.
    void set_cert(std::string const& cert_file, std::string const& key_file, std::string const& password);
    void use_cert(object<xyssl_x509> cert, object<xyssl_rsa> key);
    // Reads the PEM CA certificate the peer's must chain to; peer_name, when
    // not empty, must be the name in the peer's certificate. Throws "set_trusted_ca".
    void set_trusted_ca(std::string const& ca_file, std::string const& peer_name);
    void use_trusted_ca(object<xyssl_x509> ca, std::string const& peer_name);
    // Offers DHE-RSA with AES-256 first, then the default suites. With load,
    // also takes the group a server sends: from dh_file (PEM "DH PARAMETERS")
    // when one is named, else the built-in 2048-bit group of RFC 7919
    // (ffdhe2048). A client needs no group (the server sends it). Throws
    // "enable_dh" when the file cannot be read or parsed.
    void enable_dh(bool load, std::string const& dh_file = std::string());

    std::string const& peer_name() const { return m_peer_name; }

    // For the session. set_io names the functions the library moves
    // ciphertext with; setup prepares the connection as client (0) or
    // server (1) and returns 0 or the library's error code.
    void set_io(void* arg, send_fn send, recv_fn recv);
    int setup(int endpoint);
    mbedtls_ssl_context* ssl() { return &m_ssl; }

private:
    mbedtls_ssl_context m_ssl;
    mbedtls_ssl_config m_conf;
    object<xyssl_x509> m_cert;
    object<xyssl_x509> m_ca;
    object<xyssl_rsa> m_key;
    std::string m_peer_name;
    void* m_io_arg = nullptr;
    send_fn m_send = nullptr;
    recv_fn m_recv = nullptr;
};

// The suites as the library numbers them (the TLS cipher suite numbers).
constexpr int tls_rsa_aes256_sha = 0x35;
constexpr int tls_rsa_aes128_sha = 0x2F;
constexpr int tls_dhe_rsa_aes256_sha = 0x39;

} // namespace rulo
