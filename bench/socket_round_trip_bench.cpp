// Small-message round trip over loopback: 64 bytes from one rptSocket to
// another and back (an echo sink on the poller thread), against a plain
// blocking TCP ping-pong between two threads, in the same run. The closing
// line gives the time ratio (ours / plain), goal at most 1.5.
#include "bench/bench_peers.h"
#include "bench/loopback_pair.h"
#include "bench/ratio_main.h"
#include "rulo/init.h"
#include "rulo/lock.h"

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
// The waiter is woken once the poller has let go of its locks: woken at
// once, it would need the framework lock for its next send while the poller
// still holds it, and sleep again.
class reply_sink : public rptTransportSink {
public:
    void received(netbuf const& data) override {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_bytes += data.size();
        }
        rulo::object<reply_sink> self(this);
        rulo::after_framework_unlock([self] { self->m_arrived.notify_all(); });
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
    bench_support::switch_counter switches;
    for (auto _ : state) {
        pair.client->send(ping);
        total += message;
        replies->wait_for(total);
    }
    switches.report(state);
    echo->transport.reset();
}

void BM_blocking_ping_pong(benchmark::State& state) {
    auto [client, server] = bench_support::loopback_connection();
    if (client < 0) {
        state.SkipWithError("connect");
        return;
    }
    bench_support::ping_pong(state, client, server, message);
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
