// Plain POSIX TCP ends on 127.0.0.1, the peers that socket-layer tests talk
// to: a listener whose accept queue the test controls, and the accepted or
// connected descriptor. Every wait has a limit; failures throw
// std::runtime_error. Used from the test's own thread.
#pragma once

#include "rulo-rpt/net/process_id.h"

#include <cstdint>
#include <string>

namespace test_support {

// An owned descriptor, closed when the object goes.
class tcp_fd {
public:
    explicit tcp_fd(int fd = -1) : m_fd(fd) {}
    ~tcp_fd() { reset(); }
    tcp_fd(tcp_fd&& o) noexcept : m_fd(o.m_fd) { o.m_fd = -1; }
    tcp_fd& operator=(tcp_fd&& o) noexcept;
    int get() const { return m_fd; }
    // Gives the descriptor up without closing it.
    int release() {
        int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    void reset();

    void set_receive_buffer(int bytes);
    // Ends the connection with a reset (SO_LINGER 0) instead of a close.
    void reset_connection();
    void send_all(std::string const& bytes);
    // What arrives next, at most max bytes; "" when the peer closed.
    std::string receive_some(std::size_t max = 65536, int64_t ms = 30000);

private:
    int m_fd;
};

class tcp_listener {
public:
    // Listens on an ephemeral port of 127.0.0.1 with the given accept queue;
    // receive_buffer (when > 0) is what accepted connections start with.
    explicit tcp_listener(int backlog = 16, int receive_buffer = 0);
    int port() const { return m_port; }
    tIProcessId address() const;
    // Accepts one connection within ms; its peer address goes into *peer.
    tcp_fd accept(tIProcessId* peer = nullptr, int64_t ms = 30000);
    int fd() const { return m_fd.get(); }

private:
    tcp_fd m_fd;
    int m_port = 0;
};

// A port of 127.0.0.1 that nothing listens on (bound, never listening).
class closed_port {
public:
    closed_port();
    int port() const { return m_port; }

private:
    tcp_fd m_fd;
    int m_port = 0;
};

// A blocking client connection to 127.0.0.1:port.
tcp_fd tcp_connect(int port);

// The number of open descriptors and of threads of this process (/proc/self).
int open_descriptors();
int thread_count();

} // namespace test_support
