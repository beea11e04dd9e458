// One server-side TLS session over memory BIOs: the relay feeds it the
// client's records and sends what it produces, so the session never touches
// a socket. Used for the control link on channel 1 and for the HTTPS way in.
// Owned by one connection and used on the relay's one I/O thread.
#pragma once

#include <memory>
#include <string>

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;

namespace relay {

struct identity;

// The server context: the relay's certificate, TLS 1.0 to 1.2, the suites
// AES256-SHA, AES128-SHA and DHE-RSA-AES256-SHA. Throws std::runtime_error.
std::shared_ptr<SSL_CTX> make_server_context(identity const& id);

class tls_session {
public:
    explicit tls_session(std::shared_ptr<SSL_CTX> ctx);
    ~tls_session();
    tls_session(tls_session const&) = delete;
    tls_session& operator=(tls_session const&) = delete;

    // Takes records from the client; appends the plaintext they carry to
    // plaintext and the records to send back to records. False when the
    // session failed (bad record, handshake failure); error() says why.
    bool feed(char const* data, std::size_t size, std::string& plaintext, std::string& records);
    // Encrypts plaintext into records; before the handshake ends the bytes
    // wait and leave with the first records after it. False on failure.
    bool write(std::string const& plaintext, std::string& records);

    bool established() const { return m_established; }
    std::string const& error() const { return m_error; }

private:
    bool pump(std::string& records);
    bool flush_pending(std::string& records);
    bool failed(int ret, char const* step);

    std::shared_ptr<SSL_CTX> m_ctx;
    SSL* m_ssl = nullptr;
    bool m_established = false;
    std::string m_pending; // plaintext written before the handshake ended
    std::string m_error;
};

} // namespace relay
