// TLS stream throughput over loopback: an rptXYSSL client on one rptSocket
// sending to an rptXYSSL server on another, against iperf3 tunnelled through
// a pair of stunnel4 processes (OpenSSL) moving the same number of bytes in
// the same run, both with AES-256-CBC and SHA-1 records. The closing lines
// give the time ratio (ours / stunnel): at most 1.0 is as fast or faster,
// and the ratio of CPU time (user + sys) per GiB: both our ends (this whole
// process) against the two stunnel4 processes.
#include "bench/bench_peers.h"
#include "bench/loopback_pair.h"
#include "bench/ratio_main.h"
#include "rulo-rpt/tls/rptXYSSL.h"
#include "rulo-rpt/tls/xyssl_ctx.h"
#include "rulo/init.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int64_t block = 1 << 20;
constexpr int64_t blocks = 128; // 128 MiB per iteration

using bench_support::counting_sink;
using bench_support::idle_sink;
using bench_support::run_output;

using bench_support::bench_cert;

// CPU seconds per GiB of each iteration, for the closing line.
std::vector<double> ours_cpu, theirs_cpu;

double process_cpu_seconds() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

double const gib_per_iteration = double(block * blocks) / double(1 << 30);

bench_cert& certificate() {
    static bench_cert c;
    return c;
}

void BM_rptXYSSL_stream(benchmark::State& state) {
    if (!certificate().made()) {
        state.SkipWithError("openssl could not make a certificate");
        return;
    }
    rulo::object<rulo::xyssl_ctx> client_ctx(new rulo::xyssl_ctx), server_ctx(new rulo::xyssl_ctx);
    client_ctx->set_verify_peer(false);
    server_ctx->set_verify_peer(false);
    server_ctx->set_cert(certificate().cert, certificate().key, "");
    rulo::object<counting_sink> receiver(new counting_sink);
    rulo::object<rulo::rptXYSSL> client(
        new rulo::rptXYSSL(rulo::object<rptTransportSink>(new idle_sink), client_ctx, false));
    rulo::object<rulo::rptXYSSL> server(new rulo::rptXYSSL(receiver, server_ctx, true));
    {
        bench_support::loopback_pair pair{client, server};
        server->start(pair.server);
        client->start(pair.client);
        netbuf const data = netbuf::from_string(std::string(block, 'x'));
        int64_t total = 0;
        for (auto _ : state) {
            auto start = std::chrono::steady_clock::now();
            double const cpu_start = process_cpu_seconds();
            for (int i = 0; i < blocks; ++i) client->send(data); // encrypted here, queued on the socket
            total += block * blocks;
            if (!receiver->wait_for(total)) {
                state.SkipWithError("the TLS connection broke");
                break;
            }
            state.SetIterationTime(
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
            ours_cpu.push_back((process_cpu_seconds() - cpu_start) / gib_per_iteration);
        }
        state.counters["cpu_s_per_GiB"] = median(ours_cpu);
        client->disconnect();
        server->disconnect();
    }
    state.SetBytesProcessed(state.iterations() * block * blocks);
}

std::vector<std::string> stunnel(std::string const& name, std::string const& accept,
                                 std::string const& connect, bool client) {
    return bench_support::stunnel(certificate(), name, accept, connect, client);
}

void BM_stunnel_iperf3_stream(benchmark::State& state) {
    if (!bench_support::have_programs("iperf3 stunnel4")) {
        state.SkipWithError("iperf3 or stunnel4 is not installed (scripts/deps.sh)");
        return;
    }
    if (!certificate().made()) {
        state.SkipWithError("openssl could not make a certificate");
        return;
    }
    using bench_support::listening_program;
    for (auto _ : state) {
        listening_program server([](uint16_t port) {
            return std::vector<std::string>{"iperf3", "-s", "-B", "127.0.0.1", "-p", std::to_string(port)};
        });
        listening_program tls_server([&](uint16_t port) {
            return stunnel("tls_server", "127.0.0.1:" + std::to_string(port), server.address(), false);
        });
        listening_program tls_client([&](uint16_t port) {
            return stunnel("tls_client", "127.0.0.1:" + std::to_string(port), tls_server.address(), true);
        });
        if (!server.started() || !tls_server.started() || !tls_client.started()) {
            state.SkipWithError("iperf3 or stunnel4 did not listen");
            return;
        }
        double const seconds = bench_support::iperf3_seconds(tls_client.port(), block * blocks);
        if (seconds <= 0) {
            state.SkipWithError("no iperf3 result");
            return;
        }
        state.SetIterationTime(seconds);
        theirs_cpu.push_back((tls_server.cpu_seconds() + tls_client.cpu_seconds()) / gib_per_iteration);
    }
    state.counters["cpu_s_per_GiB"] = median(theirs_cpu);
    state.SetBytesProcessed(state.iterations() * block * blocks);
}

BENCHMARK(BM_rptXYSSL_stream)->Unit(benchmark::kMillisecond)->UseManualTime()->MinTime(2.0);
BENCHMARK(BM_stunnel_iperf3_stream)->Unit(benchmark::kMillisecond)->UseManualTime()->MinTime(2.0);

} // namespace

int main(int argc, char** argv) {
    static rulo::init* api = new rulo::init(nullptr);
    (void)api;
    int const rc = bench_support::run_with_ratio(argc, argv, "BM_rptXYSSL_stream", "BM_stunnel_iperf3_stream",
                                                 "rptXYSSL stream time / stunnel4 with iperf3 (goal <= 1.0)");
    double const ours = median(ours_cpu), theirs = median(theirs_cpu);
    if (ours > 0 && theirs > 0) {
        std::printf(
            "CPU per GiB, both rptXYSSL ends / the stunnel4 pair (goal <= 1.0): %.2f (%.2f s / %.2f s)\n",
            ours / theirs, ours, theirs);
    }
    return rc;
}
