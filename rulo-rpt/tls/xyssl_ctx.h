// Certificates, keys, cipher suites and Diffie-Hellman parameters of one TLS
// connection.
//
// An xyssl_ctx is made by whoever opens a TLS connection (the session channel
// with the application's certificate, the multiplexer's control link, a socket
// that is put under TLS), configured on that thread, and then handed to one
// TLS session (xyssl), which makes its connection from it. It is held through
// rulo::object handles; it takes no lock of its own: configuration happens
// before the session starts, and the session's calls are serialised by its
// engine under the framework lock.
//
// It wraps one library context (SSL_CTX). Versions, suites and the security
// level are set on it explicitly, so the system's library configuration
// (minimum version, security level, cipher string) changes nothing.
#pragma once

#include "rulo/object.h"

#include <cstddef>
#include <string>
#include <vector>

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;
typedef struct x509_st X509;
typedef struct evp_pkey_st EVP_PKEY;
typedef struct bio_st BIO;
typedef struct x509_store_ctx_st X509_STORE_CTX;

namespace rulo {

// A certificate, or a chain of them, read from PEM or DER.
class xyssl_x509 {
public:
    xyssl_x509() = default;
    ~xyssl_x509();
    xyssl_x509(xyssl_x509 const&) = delete;
    xyssl_x509& operator=(xyssl_x509 const&) = delete;

    // The certificates in file order; the first is the leaf (or the CA).
    std::vector<X509*> certs;
    bool parsed = false;
};

// A certificate from the bytes of a PEM text (one or more certificates) or of
// one DER certificate; an empty handle when they hold none.
object<xyssl_x509> xyssl_parse_x509(std::string const& bytes);

// A private key read from a PEM file (RSA for every key the system uses).
class xyssl_rsa {
public:
    xyssl_rsa() = default;
    ~xyssl_rsa();
    xyssl_rsa(xyssl_rsa const&) = delete;
    xyssl_rsa& operator=(xyssl_rsa const&) = delete;

    EVP_PKEY* pk = nullptr;
    bool parsed = false;
};

// What the session's I/O functions return besides a byte count.
constexpr int XYSSL_ERR_NET_TRY_AGAIN = -0x0F90;
constexpr int XYSSL_ERR_NET_RECV_FAILED = -0x0F60;
constexpr int XYSSL_ERR_NET_SEND_FAILED = -0x0F70;

class xyssl_ctx {
public:
    // The I/O functions the session moves ciphertext with: a byte count, or
    // XYSSL_ERR_NET_TRY_AGAIN when nothing can move now, or another negative
    // code for a failure.
    using send_fn = int (*)(void* arg, unsigned char const* data, size_t length);
    using recv_fn = int (*)(void* arg, unsigned char* data, size_t length);

    // Peer verification required, the default suites (AES-256 and AES-128
    // with RSA key exchange), TLS 1.0 to 1.2. Throws the function exception
    // "xyssl_ctx" when the library refuses.
    xyssl_ctx();
    ~xyssl_ctx();
    xyssl_ctx(xyssl_ctx const&) = delete;
    xyssl_ctx& operator=(xyssl_ctx const&) = delete;

    // true: the peer must present a certificate that the trusted CA signed
    // (and that carries the expected name, when one is set), or the pinned
    // one; false: none is checked.
    void set_verify_peer(bool verify);
    // Reads a PEM certificate and a PEM private key (decrypted with password
    // when it is not empty; traditional or PKCS#8, AES or DES) and uses them.
    // Throws "set_cert" when either file cannot be read or parsed, the
    // password is wrong or the key belongs to another certificate.
    void set_cert(std::string const& cert_file, std::string const& key_file, std::string const& password);
    void use_cert(object<xyssl_x509> cert, object<xyssl_rsa> key);
    // Reads the PEM CA certificate the peer's must chain to; peer_name, when
    // not empty, must be the name in the peer's certificate. Throws "set_trusted_ca".
    void set_trusted_ca(std::string const& ca_file, std::string const& peer_name);
    void use_trusted_ca(object<xyssl_x509> ca, std::string const& peer_name);
    // The peer must present exactly this certificate (byte for byte, DER);
    // no chain, name or date is checked. Takes the place of a trusted CA.
    void pin_peer_cert(object<xyssl_x509> cert);
    // Offers DHE-RSA with AES-256 first, then the default suites. With load,
    // also takes the group a server sends: from dh_file (PEM "DH PARAMETERS")
    // when one is named, else the built-in 2048-bit group of RFC 7919
    // (ffdhe2048). A client needs no group (the server sends it). Throws
    // "enable_dh" when the file cannot be read or parsed.
    void enable_dh(bool load, std::string const& dh_file = std::string());

    std::string const& peer_name() const { return m_peer_name; }

    // For the session. set_io names the functions the library moves
    // ciphertext with; new_connection makes the connection as client (0) or
    // server (1) over them (or over the descriptor, when it is not -1), or
    // null when the library refuses.
    void set_io(void* arg, send_fn send, recv_fn recv);
    SSL* new_connection(int endpoint, int descriptor);

private:
    static int bio_write(BIO* bio, char const* data, int length);
    static int bio_read(BIO* bio, char* data, int length);
    static int verify_peer(X509_STORE_CTX* store, void* self);

    SSL_CTX* m_ctx = nullptr;
    object<xyssl_x509> m_cert;
    object<xyssl_x509> m_ca;
    object<xyssl_rsa> m_key;
    object<xyssl_x509> m_pinned;
    std::string m_peer_name;
    bool m_verify = true;
    void* m_io_arg = nullptr;
    send_fn m_send = nullptr;
    recv_fn m_recv = nullptr;
};

// The suites as the library numbers them (the TLS cipher suite numbers).
constexpr int tls_rsa_aes256_sha = 0x35;
constexpr int tls_rsa_aes128_sha = 0x2F;
constexpr int tls_dhe_rsa_aes256_sha = 0x39;

} // namespace rulo
