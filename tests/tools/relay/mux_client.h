// A client of the relay protocol written for the relay's tests straight from
// the protocol (PROTOCOL.md): a blocking POSIX socket, the frame layout and
// LEB128 coded here, and OpenSSL as the TLS client of channel 1 (and of the
// HTTPS way in). Nothing of the program's own client stack is used. One
// thread at a time; every wait has a limit.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

namespace relay_test {

using namespace std::chrono_literals;

struct frame {
    std::uint64_t channel = 0;
    std::string payload;
    bool secure = false; // came through channel 1's TLS
};

struct reply {
    int status = 0;
    std::map<std::string, std::string> fields;
    std::string text;
};

class mux_client {
public:
    // Connects to 127.0.0.1:port; with https the connection starts with a TLS
    // handshake whose server certificate must be trusted_pem (when not empty).
    explicit mux_client(unsigned short port, bool https = false, std::string const& trusted_pem = "");
    ~mux_client();
    mux_client(mux_client const&) = delete;
    mux_client& operator=(mux_client const&) = delete;

    unsigned short local_port() const { return m_local_port; }

    // Raw bytes on the stream (inside the HTTPS TLS when there is one).
    void send_raw(std::string const& bytes);
    // As much of bytes as the socket takes without waiting (plain stream only).
    std::size_t try_send_raw(std::string const& bytes);
    // Sends "MUXV2 / HTTP/1.0", Connection-Data: 1 and `extra` lines, reads the
    // reply head; the Connection-Data map lands in connection_data.
    reply handshake(std::string const& extra = "", std::chrono::milliseconds limit = 10s);
    // Reads a reply head only (after a send_raw of a head).
    std::optional<reply> read_reply(std::chrono::milliseconds limit = 10s);

    // The TLS client of channel 1, trusting only the certificate of
    // connection_data["key_cs"]; runs the handshake through channel 1 frames.
    // Throws when it fails. The version and suites offered can be narrowed
    // before (an OpenSSL version constant, 0 for up to TLS 1.2, and an
    // OpenSSL cipher list).
    void start_tls(std::chrono::milliseconds limit = 10s);
    void limit_tls(int version, std::string const& ciphers);
    // The version and suite channel 1 agreed on, as OpenSSL names them.
    std::string tls_version() const;
    std::string tls_cipher() const;

    void send_frame(std::uint64_t channel, std::string const& payload);
    void send_secure(std::uint64_t channel, std::string const& payload);
    // Bytes as they are into the secure link's plaintext stream.
    void send_secure_raw(std::string const& plaintext);
    // A control packet on channel 0: inside TLS or plain.
    void send_control(std::string const& packet, bool secure);
    // "open" with id, name and secure.
    void open(long long id, std::string const& name, bool secure, bool inside_tls);

    // The next frame (secure ones decoded out of channel 1); nullopt at the
    // limit or when the relay closed the connection.
    std::optional<frame> next_frame(std::chrono::milliseconds limit = 10s);
    // Ends the sending side (plain stream only): the relay sees the end of stream.
    void shutdown_send();
    // Reads and drops until the relay closes the connection; false at the limit.
    bool wait_closed(std::chrono::milliseconds limit = 10s);
    bool closed() const { return m_closed; }

    std::map<std::string, std::string> connection_data;

private:
    // Reads once from the socket into m_in (through the HTTPS TLS when
    // there is one); false at the deadline or at the end of the stream.
    bool fill(std::chrono::steady_clock::time_point deadline);
    void write_socket(std::string const& bytes);

    int m_fd = -1;
    unsigned short m_local_port = 0;
    bool m_closed = false;
    SSL_CTX* m_ctx = nullptr;
    SSL* m_outer = nullptr;  // the HTTPS way in
    SSL* m_tls = nullptr;    // channel 1
    std::string m_in;        // plaintext stream bytes not yet taken as frames
    std::string m_secure_in; // channel 1 plaintext not yet taken as frames
};

// LEB128 and frames, written here from the layout.
std::string vint(std::uint64_t v);
std::string make_frame(std::uint64_t channel, std::string const& payload);

} // namespace relay_test
