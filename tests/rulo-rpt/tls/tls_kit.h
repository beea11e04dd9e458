// What the TLS tests share: a sink that records what reaches it, and a pair of
// in-memory transports that the test itself pumps, so that every delivery
// happens on the test's thread at a point the test chooses.
#pragma once

#include "rulo-rpt/rptTransport.h"
#include "rulo/netbuf.h"
#include "rulo/object.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <random>
#include <string>

namespace tls_kit {

using namespace std::chrono_literals;

// Collects received bytes and counts broken() and queue_empty(); any thread.
class recording_sink : public rptTransportSink {
public:
    void received(netbuf const& data) override {
        std::lock_guard<std::mutex> g(m_mutex);
        if (m_broken) ++m_after_broken;
        m_data += data.to_string();
        if (on_received) on_received(data);
        m_changed.notify_all();
    }
    void broken() override {
        std::lock_guard<std::mutex> g(m_mutex);
        ++m_broken;
        m_changed.notify_all();
    }
    void queue_empty() override {
        std::lock_guard<std::mutex> g(m_mutex);
        if (m_broken) ++m_after_broken;
        ++m_empties;
    }

    std::string data() const {
        std::lock_guard<std::mutex> g(m_mutex);
        return m_data;
    }
    int broken_count() const {
        std::lock_guard<std::mutex> g(m_mutex);
        return m_broken;
    }
    int empties() const {
        std::lock_guard<std::mutex> g(m_mutex);
        return m_empties;
    }
    // Events that came after broken(): must stay 0.
    int after_broken() const {
        std::lock_guard<std::mutex> g(m_mutex);
        return m_after_broken;
    }
    bool wait_bytes(size_t n, std::chrono::seconds limit = 60s) const {
        std::unique_lock<std::mutex> g(m_mutex);
        return m_changed.wait_for(g, limit, [&] { return m_data.size() >= n || m_broken; }) &&
               m_data.size() >= n;
    }
    bool wait_broken(std::chrono::seconds limit = 60s) const {
        std::unique_lock<std::mutex> g(m_mutex);
        return m_changed.wait_for(g, limit, [&] { return m_broken > 0; });
    }

    // Runs inside received(), with the sink's mutex held.
    std::function<void(netbuf const&)> on_received;

private:
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::string m_data;
    int m_broken = 0;
    int m_empties = 0;
    int m_after_broken = 0;
};

// One end of a memory_pair: its sends wait in a queue for pump().
class memory_end : public rptTransport {
public:
    void send(netbuf const& data) override {
        if (!down) outgoing.push_back(data);
    }
    void disconnect() override { down = true; }
    void set_sink(rulo::object<rptTransportSink> s) override { sink = s; }
    void no_delay() override {}
    int64_t last_received() override { return 0; }
    void ioctl(std::string const&, std::string& value) override { value = "memory"; }

    rulo::object<rptTransportSink> sink; // whoever receives what the other end sends
    std::deque<netbuf> outgoing;
    bool down = false;
    bool told_broken = false;
};

// Two transports joined back to back. pump() moves what each end sent to the
// other end's sink, cut into pieces of 1..max_piece bytes (0: as sent), until
// nothing moves; an end that was disconnected makes the other's sink broken().
class memory_pair {
public:
    memory_pair() : a(new memory_end), b(new memory_end) {}

    rulo::object<memory_end> a, b;

    void pump(int max_piece = 0) {
        for (bool moved = true; moved;) {
            moved = deliver(*a.get(), *b.get(), max_piece) | deliver(*b.get(), *a.get(), max_piece);
        }
    }

private:
    bool deliver(memory_end& from, memory_end& to, int max_piece) {
        bool moved = false;
        while (!from.outgoing.empty()) {
            netbuf data = from.outgoing.front();
            from.outgoing.pop_front();
            moved = true;
            if (!to.sink || to.down) continue;
            if (max_piece <= 0) {
                to.sink->received(data);
                continue;
            }
            std::string bytes = data.to_string();
            for (size_t at = 0; at < bytes.size();) {
                size_t n = std::min(bytes.size() - at, size_t(1 + m_random() % unsigned(max_piece)));
                to.sink->received(netbuf::from_buffer(bytes.data() + at, int(n)));
                at += n;
            }
        }
        if (from.down && !to.down && !to.told_broken && to.sink) {
            to.told_broken = true;
            to.sink->broken();
            moved = true;
        }
        return moved;
    }

    std::mt19937 m_random{20261209};
};

// A port of 127.0.0.1 that was free a moment ago, for a server that must be
// told its port.
inline int free_loopback_port() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
    ::close(fd);
    return ntohs(a.sin_port);
}

inline std::string random_bytes(size_t n, unsigned seed) {
    std::mt19937 r(seed);
    std::string s(n, '\0');
    for (char& c : s) c = char(r());
    return s;
}

} // namespace tls_kit
