// The relay's identity: a certificate and key in PEM, loaded from files or
// made on first start (self-signed RSA-2048) and saved for the next start,
// so a client that pinned the certificate keeps trusting the relay.
#pragma once

#include <string>

namespace relay {

struct identity {
    std::string cert_pem;
    std::string key_pem;
    std::string cert_der;
};

// Loads cert_path and key_path when both exist; otherwise makes a new pair
// and writes it there (key file mode 0600). Throws std::runtime_error naming
// the file or OpenSSL step that failed.
identity load_or_make_identity(std::string const& cert_path, std::string const& key_path);

// Lower-case hex SHA-256 of the bytes.
std::string sha256_hex(std::string const& bytes);

} // namespace relay
