#include "tests/tools/relay/tunnel_bridge.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <stdexcept>

namespace relay_test {

namespace {

using clock_type = std::chrono::steady_clock;
constexpr auto answer_limit = std::chrono::seconds(30);

// Waits in short slices so that a stop is seen; false on stop or at the deadline.
bool wait_fd(int fd, short events, std::atomic<bool> const& stop, clock_type::time_point deadline) {
    while (!stop) {
        if (clock_type::now() >= deadline) return false;
        pollfd p{fd, events, 0};
        int const r = ::poll(&p, 1, 100);
        if (r > 0) return true;
        if (r < 0 && errno != EINTR) return false;
    }
    return false;
}

bool send_all(int fd, char const* data, std::size_t size, std::atomic<bool> const& stop) {
    while (size > 0) {
        if (!wait_fd(fd, POLLOUT, stop, clock_type::now() + answer_limit)) return false;
        ssize_t const n = ::send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// Reads until an answer head is complete; head gets it, rest what followed.
bool read_head(int fd, std::string& head, std::string& rest, std::atomic<bool> const& stop) {
    std::string in;
    auto const deadline = clock_type::now() + answer_limit;
    while (in.find("\r\n\r\n") == std::string::npos) {
        if (in.size() > 65536 || !wait_fd(fd, POLLIN, stop, deadline)) return false;
        char buf[4096];
        ssize_t const n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return false;
        in.append(buf, static_cast<std::size_t>(n));
    }
    std::size_t const end = in.find("\r\n\r\n") + 4;
    head = in.substr(0, end);
    rest = in.substr(end);
    return true;
}

// The Content-Length of an answer head, -1 when it has none.
long long content_length(std::string const& head) {
    std::size_t at = 0;
    while ((at = head.find("\r\n", at)) != std::string::npos) {
        at += 2;
        if (head.compare(at, 15, "Content-Length:") == 0) return std::stoll(head.substr(at + 15));
    }
    return -1;
}

} // namespace

tunnel_bridge::tunnel_bridge(settings s) : m_settings(std::move(s)) {
    m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (m_listen < 0 || ::bind(m_listen, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(m_listen, 1) != 0 || ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        throw std::runtime_error("tunnel_bridge: cannot listen");
    m_local_port = ntohs(a.sin_port);
    m_acceptor = std::thread([this] { accept_loop(); });
}

tunnel_bridge::~tunnel_bridge() {
    m_stop = true;
    if (m_acceptor.joinable()) m_acceptor.join();
    if (m_down.joinable()) m_down.join();
    if (m_up.joinable()) m_up.join();
    if (m_local >= 0) ::close(m_local);
    ::close(m_listen);
}

std::vector<std::string> tunnel_bridge::get_heads() const {
    std::lock_guard lock(m_mutex);
    return m_get_heads;
}

std::vector<std::size_t> tunnel_bridge::get_bodies() const {
    std::lock_guard lock(m_mutex);
    return m_get_bodies;
}

std::vector<std::size_t> tunnel_bridge::post_lengths() const {
    std::lock_guard lock(m_mutex);
    return m_post_lengths;
}

std::string tunnel_bridge::error() const {
    std::lock_guard lock(m_mutex);
    return m_error;
}

void tunnel_bridge::fail(std::string const& what) {
    {
        std::lock_guard lock(m_mutex);
        if (m_error.empty()) m_error = what;
    }
    // The local client sees the tunnel end as the end of its stream.
    ::shutdown(m_local, SHUT_RDWR);
}

void tunnel_bridge::accept_loop() {
    if (!wait_fd(m_listen, POLLIN, m_stop, clock_type::now() + answer_limit)) return;
    m_local = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
    if (m_local < 0) return;
    int one = 1;
    ::setsockopt(m_local, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    m_down = std::thread([this] { down_loop(); });
}

int tunnel_bridge::open_leg() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(m_settings.port);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
    if (fd >= 0) ::close(fd);
    return -1;
}

std::string tunnel_bridge::request_line(char const* method) const {
    std::string target =
        m_settings.absolute ? "http://" + m_settings.host + m_settings.path : m_settings.path;
    return std::string(method) + " " + target + " HTTP/1.1\r\n";
}

void tunnel_bridge::down_loop() {
    while (!m_stop) {
        int const fd = open_leg();
        if (fd < 0) return fail("GET leg: cannot connect");
        std::string const request = request_line("GET") +
                                    "User-Agent: VYN\r\nConnection: keep-alive\r\nHost: " + m_settings.host +
                                    "\r\n" + m_settings.extra_fields + "\r\n";
        std::string head, body;
        bool ok = send_all(fd, request.data(), request.size(), m_stop) && read_head(fd, head, body, m_stop);
        long long const length = ok ? content_length(head) : -1;
        if (!ok || head.compare(0, 13, "HTTP/1.1 200 ") != 0 || length < 0) {
            ::close(fd);
            if (m_stop) return;
            return fail("GET leg: no good answer: " + head);
        }
        {
            std::lock_guard lock(m_mutex);
            m_get_heads.push_back(head);
        }
        if (!m_up_started.exchange(true)) m_up = std::thread([this] { up_loop(); });
        auto left = static_cast<std::size_t>(length);
        if (body.size() > left) {
            ::close(fd);
            return fail("GET leg: bytes beyond the Content-Length");
        }
        while (true) {
            if (!body.empty() && !send_all(m_local, body.data(), body.size(), m_stop)) {
                ::close(fd);
                return;
            }
            left -= body.size();
            body.clear();
            if (left == 0) break;
            // A body fills as the relay has bytes: no limit but the stop.
            if (!wait_fd(fd, POLLIN, m_stop, clock_type::time_point::max())) {
                ::close(fd);
                return;
            }
            char buf[65536];
            ssize_t const n = ::recv(fd, buf, std::min(sizeof buf, left), 0);
            if (n <= 0) {
                ::close(fd);
                return fail("GET leg: body cut short");
            }
            body.assign(buf, static_cast<std::size_t>(n));
        }
        ::close(fd);
        std::lock_guard lock(m_mutex);
        m_get_bodies.push_back(static_cast<std::size_t>(length));
    }
}

void tunnel_bridge::up_loop() {
    std::mt19937 random(std::random_device{}());
    while (!m_stop) {
        std::size_t const budget = 500000 + random() % 500000;
        int const fd = open_leg();
        if (fd < 0) return fail("POST leg: cannot connect");
        std::string const head = request_line("POST") + "Host: " + m_settings.host +
                                 "\r\nUser-Agent: VYN\r\nContent-Length: " + std::to_string(budget) +
                                 "\r\nContent-Type: application/octet-stream\r\nConnection: keep-alive\r\n"
                                 "Cache-Control: private,max-age=0\r\n" +
                                 m_settings.extra_fields + "\r\n";
        if (!send_all(fd, head.data(), head.size(), m_stop)) {
            ::close(fd);
            return fail("POST leg: cannot send its head");
        }
        std::size_t left = budget;
        while (left > 0) {
            if (!wait_fd(m_local, POLLIN, m_stop, clock_type::time_point::max())) {
                ::close(fd);
                return;
            }
            char buf[65536];
            ssize_t const n = ::recv(m_local, buf, std::min(sizeof buf, left), 0);
            if (n <= 0) { // the local client is gone
                ::close(fd);
                return;
            }
            if (!send_all(fd, buf, static_cast<std::size_t>(n), m_stop)) {
                ::close(fd);
                return fail("POST leg: body not taken");
            }
            left -= static_cast<std::size_t>(n);
        }
        std::string answer, rest;
        bool const ok = read_head(fd, answer, rest, m_stop);
        ::close(fd);
        if (!ok || answer.compare(0, 13, "HTTP/1.1 200 ") != 0) {
            if (m_stop) return;
            return fail("POST leg: no good answer: " + answer);
        }
        std::lock_guard lock(m_mutex);
        m_post_lengths.push_back(budget);
    }
}

} // namespace relay_test
