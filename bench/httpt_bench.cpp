// Upload throughput of the HTTP tunnel ("httpt-direct") against a plain
// rptSocket stream ("direct") over loopback, in the same run, and the time
// one chat-sized write takes to arrive on each. The tunnel's far end is the
// tests' tunnel server (every POST a fresh connection). The closing lines
// give the time ratios (tunnel / direct): at most 2.0 is half of direct's
// throughput or better. Then the POST legs the tunnel opens in 15 s against
// a far end that drops every upload right after its head, as some proxies
// drop an idle one (counter "posts").
#include "bench/bench_peers.h"
#include "bench/loopback_pair.h"
#include "bench/ratio_main.h"
#include "rulo-rpt/http/httpt.h"
#include "rulo/init.h"
#include "tests/rulo-rpt/http/tunnel_server.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

constexpr int64_t block = 1 << 20;
constexpr int64_t blocks = 32; // 32 MiB per iteration
constexpr int64_t line = 64;   // one chat line with its framing

using bench_support::counting_sink;
using bench_support::idle_sink;

// Each iteration sends `count` writes of `size` bytes and waits until all arrived.
void direct_writes(benchmark::State& state, int64_t size, int64_t count) {
    rulo::object<counting_sink> receiver(new counting_sink);
    bench_support::loopback_pair pair{rulo::object<rptTransportSink>(new idle_sink), receiver};
    pair.client->no_delay();
    netbuf const data = netbuf::from_string(std::string(size_t(size), 'x'));
    int64_t total = 0;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < count; ++i) pair.client->send(data);
        total += size * count;
        receiver->wait_for(total);
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    state.SetBytesProcessed(state.iterations() * size * count);
}

void BM_direct_stream(benchmark::State& state) {
    direct_writes(state, block, blocks);
}

void BM_direct_line(benchmark::State& state) {
    direct_writes(state, line, 1);
}

rulo::object<rulo::httpt> open_tunnel(test_support::tunnel_server& server) {
    rulo::object<rulo::httpt> tunnel(new rulo::httpt(rulo::object<rptTransportSink>(new idle_sink),
                                                     rulo::object<rulo::httpt_password>(), 0));
    tunnel->connect(20, 5938, "127.0.0.1:" + std::to_string(server.port()), "", "127.0.0.1");
    return tunnel;
}

void httpt_writes(benchmark::State& state, int64_t size, int64_t count) {
    test_support::tunnel_server server;
    rulo::object<rulo::httpt> tunnel = open_tunnel(server);
    tunnel->no_delay();
    netbuf const data = netbuf::from_string(std::string(size_t(size), 'x'));
    size_t total = 0;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < count; ++i) tunnel->send(data);
        total += size_t(size * count);
        if (!server.wait_for_up(total, 120000)) {
            state.SkipWithError("the tunnel did not deliver in time");
            break;
        }
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    state.SetBytesProcessed(state.iterations() * size * count);
    tunnel->disconnect();
}

void BM_httpt_direct_stream(benchmark::State& state) {
    httpt_writes(state, block, blocks);
}

void BM_httpt_direct_line(benchmark::State& state) {
    httpt_writes(state, line, 1);
}

// Not a speed: the count of POST legs while every one is dropped at its head,
// in 15 s (1 s in a short pass, BENCH_SHORT set).
void BM_httpt_idle_cut_posts(benchmark::State& state) {
    std::chrono::seconds const window(std::getenv("BENCH_SHORT") ? 1 : 15);
    for (auto _ : state) {
        test_support::tunnel_server server;
        rulo::object<rulo::httpt> tunnel = open_tunnel(server);
        std::size_t const before = server.cut_posts(true);
        auto const start = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(window); // the window counted
        state.counters["posts"] = double(server.cut_posts(false) - before);
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        tunnel->disconnect();
    }
}

BENCHMARK(BM_direct_stream)->Unit(benchmark::kMillisecond)->UseManualTime()->MinTime(1.0);
BENCHMARK(BM_httpt_direct_stream)->Unit(benchmark::kMillisecond)->UseManualTime()->MinTime(1.0);
BENCHMARK(BM_direct_line)->Unit(benchmark::kMicrosecond)->UseManualTime()->MinTime(1.0);
BENCHMARK(BM_httpt_direct_line)->Unit(benchmark::kMicrosecond)->UseManualTime()->MinTime(1.0);
BENCHMARK(BM_httpt_idle_cut_posts)->Unit(benchmark::kSecond)->UseManualTime()->Iterations(1);

} // namespace

int main(int argc, char** argv) {
    static rulo::init* api = new rulo::init(nullptr);
    (void)api;
    return bench_support::run_with_ratios(
        argc, argv,
        {{"BM_httpt_direct_stream", "BM_direct_stream", "httpt-direct upload time / direct (goal <= 2.0)"},
         {"BM_httpt_direct_line", "BM_direct_line", "httpt-direct line latency / direct"}});
}
