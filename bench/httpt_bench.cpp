// Upload throughput of the HTTP tunnel ("httpt-direct") against a plain
// rptSocket stream ("direct") over loopback, in the same run. The tunnel's
// far end is the tests' tunnel server (every POST a fresh connection). The
// closing line gives the time ratio (tunnel / direct): at most 2.0 is half of
// direct's throughput or better.
#include "bench/bench_peers.h"
#include "bench/loopback_pair.h"
#include "bench/ratio_main.h"
#include "rulo-rpt/http/httpt.h"
#include "rulo/init.h"
#include "tests/rulo-rpt/http/tunnel_server.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <string>

namespace {

constexpr int64_t block = 1 << 20;
constexpr int64_t blocks = 32; // 32 MiB per iteration

using bench_support::counting_sink;
using bench_support::idle_sink;

void BM_direct_stream(benchmark::State& state) {
    rulo::object<counting_sink> receiver(new counting_sink);
    bench_support::loopback_pair pair{rulo::object<rptTransportSink>(new idle_sink), receiver};
    netbuf const data = netbuf::from_string(std::string(block, 'x'));
    int64_t total = 0;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < blocks; ++i) pair.client->send(data);
        total += block * blocks;
        receiver->wait_for(total);
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    state.SetBytesProcessed(state.iterations() * block * blocks);
}

void BM_httpt_direct_stream(benchmark::State& state) {
    test_support::tunnel_server server;
    rulo::object<rulo::httpt> tunnel(new rulo::httpt(rulo::object<rptTransportSink>(new idle_sink),
                                                     rulo::object<rulo::httpt_password>(), 0));
    tunnel->connect(20, 5938, "127.0.0.1:" + std::to_string(server.port()), "", "127.0.0.1");
    netbuf const data = netbuf::from_string(std::string(block, 'x'));
    size_t total = 0;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < blocks; ++i) tunnel->send(data);
        total += size_t(block * blocks);
        if (!server.wait_for_up(total, 120000)) {
            state.SkipWithError("the tunnel did not deliver in time");
            break;
        }
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    state.SetBytesProcessed(state.iterations() * block * blocks);
    tunnel->disconnect();
}

BENCHMARK(BM_direct_stream)->Unit(benchmark::kMillisecond)->UseManualTime()->MinTime(1.0);
BENCHMARK(BM_httpt_direct_stream)->Unit(benchmark::kMillisecond)->UseManualTime()->MinTime(1.0);

} // namespace

int main(int argc, char** argv) {
    static rulo::init* api = new rulo::init(nullptr);
    (void)api;
    return bench_support::run_with_ratio(argc, argv, "BM_httpt_direct_stream", "BM_direct_stream",
                                         "httpt-direct upload time / direct (goal <= 2.0)");
}
