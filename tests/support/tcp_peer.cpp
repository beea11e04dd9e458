#include "tests/support/tcp_peer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <dirent.h>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace test_support {

namespace {

[[noreturn]] void fail(std::string const& what) {
    throw std::runtime_error(what + ": " + std::to_string(errno));
}

sockaddr_in loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(uint16_t(port));
    return a;
}

int bound_port(int fd) {
    sockaddr_in a{};
    socklen_t length = sizeof a;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) != 0) fail("getsockname");
    return ntohs(a.sin_port);
}

bool wait_fd(int fd, short events, int64_t ms) {
    pollfd p{fd, events, 0};
    int n;
    do {
        n = ::poll(&p, 1, int(ms));
    } while (n < 0 && errno == EINTR);
    return n > 0;
}

// Entries of a /proc directory; the stream reading /proc/self/fd is one of them.
int count_entries(char const* dir, int own) {
    int n = 0;
    DIR* d = ::opendir(dir);
    if (!d) return -1;
    while (dirent* e = ::readdir(d))
        if (e->d_name[0] != '.') ++n;
    ::closedir(d);
    return n - own;
}

} // namespace

tcp_fd& tcp_fd::operator=(tcp_fd&& o) noexcept {
    if (this != &o) {
        reset();
        m_fd = o.m_fd;
        o.m_fd = -1;
    }
    return *this;
}

void tcp_fd::reset() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
}

void tcp_fd::set_receive_buffer(int bytes) {
    if (::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) != 0) fail("SO_RCVBUF");
}

void tcp_fd::reset_connection() {
    linger l{1, 0};
    ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    reset();
}

void tcp_fd::send_all(std::string const& bytes) {
    for (std::size_t at = 0; at < bytes.size();) {
        if (!wait_fd(m_fd, POLLOUT, 30000)) fail("send timed out");
        ssize_t k = ::send(m_fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
        if (k < 0 && errno != EINTR && errno != EAGAIN) fail("send");
        if (k > 0) at += std::size_t(k);
    }
}

std::string tcp_fd::receive_some(std::size_t max, int64_t ms) {
    if (!wait_fd(m_fd, POLLIN, ms)) fail("receive timed out");
    std::string out(max, '\0');
    ssize_t k;
    do {
        k = ::recv(m_fd, out.data(), max, 0);
    } while (k < 0 && errno == EINTR);
    if (k < 0) fail("recv");
    out.resize(std::size_t(k));
    return out;
}

tcp_listener::tcp_listener(int backlog, int receive_buffer)
    : m_fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    if (m_fd.get() < 0) fail("socket");
    // Accepted sockets inherit the listener's receive buffer; set before listen to keep the window small.
    if (receive_buffer > 0) m_fd.set_receive_buffer(receive_buffer);
    sockaddr_in a = loopback(0);
    if (::bind(m_fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) fail("bind");
    if (::listen(m_fd.get(), backlog) != 0) fail("listen");
    m_port = bound_port(m_fd.get());
}

tIProcessId tcp_listener::address() const {
    return tIProcessId(INADDR_LOOPBACK, uint16_t(m_port));
}

tcp_fd tcp_listener::accept(tIProcessId* peer, int64_t ms) {
    if (!wait_fd(m_fd.get(), POLLIN, ms)) fail("accept timed out");
    sockaddr_in a{};
    socklen_t length = sizeof a;
    int fd = ::accept4(m_fd.get(), reinterpret_cast<sockaddr*>(&a), &length, SOCK_CLOEXEC);
    if (fd < 0) fail("accept");
    if (peer) *peer = tIProcessId(ntohl(a.sin_addr.s_addr), ntohs(a.sin_port));
    return tcp_fd(fd);
}

closed_port::closed_port() : m_fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in a = loopback(0);
    if (m_fd.get() < 0 || ::bind(m_fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) fail("bind");
    m_port = bound_port(m_fd.get());
}

tcp_fd tcp_connect(int port) {
    tcp_fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a = loopback(port);
    if (fd.get() < 0 || ::connect(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) fail("connect");
    return fd;
}

int open_descriptors() {
    return count_entries("/proc/self/fd", 1);
}

int thread_count() {
    return count_entries("/proc/self/task", 0);
}

} // namespace test_support
