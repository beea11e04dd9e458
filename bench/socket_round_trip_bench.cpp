// Small-message round trip over loopback: 64 bytes from one rptSocket to
// another and back (an echo sink on the poller thread), against a plain
// blocking TCP ping-pong between two threads, in the same run. The closing
// line gives the time ratio (ours / plain), goal at most 1.5.
#include "bench/bench_peers.h"
#include "bench/loopback_pair.h"
#include "bench/ratio_main.h"
#include "rulo/init.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <condition_variable>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr int message = 64;

// Counts the bytes back at the client; the benchmark thread waits on it.
class reply_sink : public rptTransportSink {
public:
    void received(netbuf const& data) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bytes += data.size();
        m_arrived.notify_all();
    }
    void broken() override {}
    void queue_empty() override {}
    void wait_for(int64_t total) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_arrived.wait(lock, [&] { return m_bytes >= total; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_arrived;
    int64_t m_bytes = 0;
};

// Sends back what arrives; set up once the pair exists.
class echo_sink : public rptTransportSink {
public:
    void received(netbuf const& data) override { transport->send(data); }
    void broken() override {}
    void queue_empty() override {}
    rulo::object<rulo::rptSocket> transport;
};

void BM_rptSocket_round_trip(benchmark::State& state) {
    rulo::object<reply_sink> replies(new reply_sink);
    rulo::object<echo_sink> echo(new echo_sink);
    bench_support::loopback_pair pair{replies, echo};
    echo->transport = pair.server;
    pair.client->no_delay();
    pair.server->no_delay();
    netbuf const ping = netbuf::from_string(std::string(message, 'p'));
    int64_t total = 0;
    for (auto _ : state) {
        pair.client->send(ping);
        total += message;
        replies->wait_for(total);
    }
    echo->transport.reset();
}

bool exact(int fd, char* data, int n, bool sending) {
    for (int at = 0; at < n;) {
        ssize_t k = sending ? ::send(fd, data + at, n - at, MSG_NOSIGNAL) : ::recv(fd, data + at, n - at, 0);
        if (k <= 0) return false;
        at += int(k);
    }
    return true;
}

void BM_blocking_ping_pong(benchmark::State& state) {
    bench_support::loopback_listener listener;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(listener.port);
    int client = ::socket(AF_INET, SOCK_STREAM, 0);
    if (::connect(client, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        state.SkipWithError("connect");
        return;
    }
    int server = ::accept(listener.fd, nullptr, nullptr);
    ::close(listener.fd);
    int one = 1;
    ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::thread echo([server] {
        char buf[message];
        while (exact(server, buf, message, false) && exact(server, buf, message, true)) {
        }
    });
    char buf[message] = {};
    for (auto _ : state) {
        if (!exact(client, buf, message, true) || !exact(client, buf, message, false)) {
            state.SkipWithError("ping-pong");
            break;
        }
    }
    ::close(client); // the echo thread sees the end
    echo.join();
    ::close(server);
}

BENCHMARK(BM_rptSocket_round_trip)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_blocking_ping_pong)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(2.0);

} // namespace

int main(int argc, char** argv) {
    static rulo::init* api = new rulo::init(nullptr);
    (void)api;
    return bench_support::run_with_ratio(
        argc, argv, "BM_rptSocket_round_trip", "BM_blocking_ping_pong",
        "rptSocket 64-byte round trip / blocking TCP ping-pong (goal <= 1.5)");
}
