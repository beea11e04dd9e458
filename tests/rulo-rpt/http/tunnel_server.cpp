#include "tests/rulo-rpt/http/tunnel_server.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <sys/socket.h>

namespace test_support {

tunnel_server::tunnel_server(int get_length, std::vector<scripted_get> scripts)
    : m_get_length(get_length), m_scripts(std::move(scripts)), m_listener(64) {
    m_acceptor = std::thread([this] {
        for (;;) {
            tcp_fd fd;
            try {
                fd = m_listener.accept(nullptr, 600000);
            } catch (std::exception const&) {
                return; // stopping (the listener was shut down), or nobody came for ten minutes
            }
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_stopping) return;
            // A client that opens a leg after every cut makes many short
            // connections: their threads are joined as they end.
            for (std::thread::id id : m_served) {
                auto t = std::find_if(m_threads.begin(), m_threads.end(),
                                      [id](std::thread const& x) { return x.get_id() == id; });
                t->join();
                m_threads.erase(t);
            }
            m_served.clear();
            int raw = fd.release();
            m_open.push_back(raw);
            m_threads.emplace_back([this, raw] { serve(raw); });
        }
    });
}

tunnel_server::~tunnel_server() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
        for (int fd : m_open) ::shutdown(fd, SHUT_RDWR);
    }
    m_changed.notify_all();
    ::shutdown(m_listener.fd(), SHUT_RDWR);
    m_acceptor.join();
    for (std::thread& t : m_threads) t.join();
}

// Every answer says "Connection: close": the server ends each connection
// after one exchange, and a proxy must not keep it for a later request.
void tunnel_server::serve(int raw) {
    tcp_fd fd(raw);
    try {
        std::string got;
        while (got.find("\r\n\r\n") == std::string::npos) {
            std::string more = fd.receive_some();
            if (more.empty()) throw std::runtime_error("closed inside a head");
            got += more;
        }
        size_t end = got.find("\r\n\r\n") + 4;
        std::string const head = got.substr(0, end);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_heads.push_back(head);
        }
        if (head.compare(0, 5, "POST ") == 0)
            serve_post(fd, head, got.substr(end));
        else
            serve_get(fd);
    } catch (std::exception const&) {
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_open.erase(std::find(m_open.begin(), m_open.end(), raw));
    if (auto p = std::find(m_open_post.begin(), m_open_post.end(), raw); p != m_open_post.end())
        m_open_post.erase(p);
    m_served.push_back(std::this_thread::get_id());
}

void tunnel_server::serve_post(tcp_fd& fd, std::string const& head, std::string body) {
    size_t at = head.find("Content-Length: ");
    if (at == std::string::npos) throw std::runtime_error("POST without a length");
    size_t const length = std::stoul(head.substr(at + 16));
    size_t index;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        index = m_posts.size();
        m_open_post.push_back(fd.get());
        m_posts.emplace_back();
        m_post_lengths.push_back(int(length));
        m_post_times.push_back(std::chrono::steady_clock::now());
        if (m_cut_posts) ::shutdown(fd.get(), SHUT_RDWR);
    }
    m_changed.notify_all();
    for (size_t done = 0;;) {
        if (body.size() > length - done) throw std::runtime_error("POST body longer than announced");
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_posts[index] += body;
            m_up += body;
        }
        m_changed.notify_all();
        done += body.size();
        if (done == length) break;
        body = fd.receive_some(65536, 60000);
        if (body.empty()) throw std::runtime_error("POST body cut short");
    }
    std::string answer;
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait_for(lock, std::chrono::minutes(1), [this] { return m_stopping || !m_hold; });
        answer = m_post_answer;
    }
    fd.send_all(answer);
}

void tunnel_server::set_post_answer(std::string answer) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_post_answer = std::move(answer);
}

void tunnel_server::hold_answers(bool on) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_hold = on;
    }
    m_changed.notify_all();
}

void tunnel_server::cut_open_posts() {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (int fd : m_open_post) ::shutdown(fd, SHUT_RDWR);
}

std::size_t tunnel_server::cut_posts(bool on) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_cut_posts = on;
    if (on)
        for (int fd : m_open_post) ::shutdown(fd, SHUT_RDWR);
    return m_posts.size();
}

void tunnel_server::serve_get(tcp_fd& fd) {
    int number;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        number = m_gets++;
    }
    if (number < int(m_scripts.size())) {
        // The head goes at once: the client's legs take turns in the proxy
        // handshake, so a GET left unanswered would hold up the first POST.
        fd.send_all(m_scripts[size_t(number)].raw);
        if (!m_scripts[size_t(number)].after.empty()) {
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_changed.wait_for(lock, std::chrono::minutes(1),
                                   [this] { return m_stopping || !m_up.empty(); });
            }
            fd.send_all(m_scripts[size_t(number)].after);
        }
        if (!m_scripts[size_t(number)].close_after) {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_changed.wait(lock, [this] { return m_stopping; });
        }
        return;
    }
    fd.send_all("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(m_get_length) +
                "\r\nConnection: close\r\n\r\n");
    for (size_t left = size_t(m_get_length); left > 0;) {
        std::string piece;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            if (!m_changed.wait_for(lock, std::chrono::minutes(2),
                                    [this] { return m_stopping || !m_down.empty(); }) ||
                m_stopping)
                return;
            piece = m_down.substr(0, std::min(left, size_t(65536)));
            m_down.erase(0, piece.size());
        }
        fd.send_all(piece);
        left -= piece.size();
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_down_sent += piece.size();
        }
        m_changed.notify_all();
    }
}

void tunnel_server::push_down(std::string const& bytes) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_down += bytes;
    }
    m_changed.notify_all();
}

std::string tunnel_server::up_bytes() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_up;
}

std::vector<std::string> tunnel_server::post_bodies() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_posts;
}

std::vector<int> tunnel_server::post_lengths() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_post_lengths;
}

std::vector<std::chrono::steady_clock::time_point> tunnel_server::post_times() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_post_times;
}

std::vector<std::string> tunnel_server::heads() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_heads;
}

bool tunnel_server::wait_for_up(std::size_t n, int64_t ms) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(ms), [&] { return m_up.size() >= n; });
}

bool tunnel_server::wait_for_posts(std::size_t n, int64_t ms) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(ms), [&] { return m_posts.size() >= n; });
}

bool tunnel_server::wait_for_down_sent(std::size_t n, int64_t ms) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(ms), [&] { return m_down_sent >= n; });
}

} // namespace test_support
