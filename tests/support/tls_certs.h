// Test certificates for the TLS tests, made with openssl in a scratch
// directory the first time a test asks for them and removed when the test
// program ends. Made once per process, from one thread (the test's).
#pragma once

#include "tests/support/shell.h"

#include <string>

namespace test_support {

struct tls_certs {
    // The name in the server certificate (subject CN and DNS name).
    static constexpr char const* server_name = "tls.test";
    static constexpr char const* key_password = "Sesame 42";

    // Throws std::runtime_error with openssl's complaint when it cannot make them.
    static tls_certs const& get();

    std::string ca_cert;              // the CA that signed server_cert
    std::string other_ca_cert;        // a CA that signed nothing here
    std::string server_cert;          // CN server_name, signed by ca_cert
    std::string server_key;           // its key, unencrypted PEM
    std::string encrypted_key;        // the same key, AES-256 encrypted PKCS#8 with key_password
    std::string legacy_encrypted_key; // the same key, AES-128 in the traditional PEM encryption
    std::string self_signed_cert;     // CN server_name, signed by its own key
    std::string self_signed_key;

private:
    tls_certs();
    scratch_dir m_dir;
};

} // namespace test_support
