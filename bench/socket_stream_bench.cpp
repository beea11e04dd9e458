// Stream throughput over loopback: one rptSocket sending to another, both
// driven by the poller, against iperf3 moving the same number of bytes on the
// same machine in the same run. The closing line gives the time ratio
// (ours / iperf3): at most 2.0 is half of iperf3's throughput or better.
#include "bench/bench_peers.h"
#include "bench/loopback_pair.h"
#include "bench/ratio_main.h"
#include "rulo/init.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <string>
#include <unistd.h>

namespace {

constexpr int64_t block = 1 << 20;
constexpr int64_t blocks = 256; // 256 MiB per iteration

using bench_support::counting_sink;
using bench_support::idle_sink;

void BM_rptSocket_stream(benchmark::State& state) {
    rulo::object<counting_sink> receiver(new counting_sink);
    bench_support::loopback_pair pair{rulo::object<rptTransportSink>(new idle_sink), receiver};
    netbuf const data = netbuf::from_string(std::string(block, 'x'));
    int64_t total = 0;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < blocks; ++i) pair.client->send(data); // queued; the poller pushes it out
        total += block * blocks;
        receiver->wait_for(total);
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    state.SetBytesProcessed(state.iterations() * block * blocks);
}

void BM_iperf3_stream(benchmark::State& state) {
    if (!bench_support::have_programs("iperf3")) {
        state.SkipWithError("iperf3 is not installed (scripts/deps.sh)");
        return;
    }
    for (auto _ : state) {
        bench_support::listening_program server([](uint16_t port) {
            return std::vector<std::string>{
                "iperf3", "-s", "-1", "-B", "127.0.0.1", "-p", std::to_string(port)};
        });
        double const seconds =
            server.started() ? bench_support::iperf3_seconds(server.port(), block * blocks) : 0;
        if (seconds <= 0) {
            state.SkipWithError("no iperf3 result");
            return;
        }
        state.SetIterationTime(seconds);
    }
    state.SetBytesProcessed(state.iterations() * block * blocks);
}

BENCHMARK(BM_rptSocket_stream)->Unit(benchmark::kMillisecond)->UseManualTime()->MinTime(2.0);
BENCHMARK(BM_iperf3_stream)->Unit(benchmark::kMillisecond)->UseManualTime()->MinTime(2.0);

} // namespace

int main(int argc, char** argv) {
    static rulo::init* api = new rulo::init(nullptr);
    (void)api;
    return bench_support::run_with_ratio(argc, argv, "BM_rptSocket_stream", "BM_iperf3_stream",
                                         "rptSocket stream time / iperf3 (goal <= 2.0)");
}
