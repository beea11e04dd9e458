// The chooser's ways to the relay server (tovan_relay, a process of its own)
// against each other in the same run: a session over "direct", over the HTTP
// tunnel straight to the relay ("httpt-direct") and over the tunnel through a
// real squid ("httpt-proxy"), each carrying blocks on a plain "ECHO" channel
// out and back (throughput) and one small message at a time (round trip).
// The same squid as a CONNECT pipe ("https-proxy") shows what the proxy
// itself passes on this machine. Then the time get_next takes to fall
// through a closed first port to a working second one. The closing lines
// give the time ratios (ours / theirs): a throughput ratio of at most 2.0
// against direct is half of direct's or better. A short pass (BENCH_SHORT
// set) moves 4 MiB per iteration instead of 32.
#include "bench/bench_peers.h"
#include "bench/ratio_main.h"
#include "rulo-rpt/choose/AutoTransport.h"
#include "rulo-rpt/mux/rptSRMux.h"
#include "rulo-rpt/rpc/rpcWrapper.h"
#include "rulo/init.h"
#include "rulo/scheduler.h"
#include "tests/support/relay_process.h"
#include "tests/support/squid_proxy.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <sys/socket.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace {

using bench_support::counting_sink;

constexpr int64_t block = 256 * 1024;

int64_t blocks() {
    return std::getenv("BENCH_SHORT") ? 16 : 128;
}

class empty_answer_sink : public rulo::rpcWrapperSink {
public:
    void func(netbuf const&, rulo::object<reply>) override {}
};

// The relay, for "httpt-proxy" a squid in front of it that asks for
// nothing, and a session over the one method the chooser is forced to.
class way_stand {
public:
    explicit way_stand(std::string const& method) {
        char pattern[] = "/tmp/httpt_relay_bench_XXXXXX";
        if (::mkdtemp(pattern)) m_home = pattern;
        ::setenv("HOME", m_home.c_str(), 1);
        m_relay =
            std::make_unique<test_support::relay_process>(std::vector<std::string>{"--log", "/dev/null"});
        std::string const at = "127.0.0.1:" + std::to_string(m_relay->port());
        std::map<std::string, std::string> options{{"connect", at}, {"force", method}};
        if (method == "httpt-proxy" || method == "https-proxy") {
            m_proxy = std::make_unique<test_support::squid_proxy>(test_support::squid_proxy::scheme::none,
                                                                  m_relay->port(), "", "", "", true);
            options["http_proxy"] = "127.0.0.1:" + std::to_string(m_proxy->port());
        }
        std::string last_success;
        rulo::AutoTransport chooser(options, last_success);
        m_connected = sr->start_and_wait(30, rulo::scheduler_pool(), chooser,
                                         rulo::object<rulo::rpcWrapperSink>(new empty_answer_sink), false,
                                         "o.lan", "t.lan", "", "");
    }
    ~way_stand() {
        sr->disconnect();
        m_proxy.reset();
        m_relay.reset();
        std::error_code ec;
        if (!m_home.empty()) std::filesystem::remove_all(m_home, ec);
    }
    way_stand(way_stand const&) = delete;
    way_stand& operator=(way_stand const&) = delete;

    bool connected() const { return m_connected; }
    rulo::object<rulo::rptSRMux> sr{new rulo::rptSRMux};

private:
    std::string m_home;
    std::unique_ptr<test_support::relay_process> m_relay;
    std::unique_ptr<test_support::squid_proxy> m_proxy;
    bool m_connected = false;
};

void echo_stream(benchmark::State& state, char const* method) {
    if ((std::string(method) == "httpt-proxy" || std::string(method) == "https-proxy") &&
        !test_support::squid_proxy::installed(test_support::squid_proxy::scheme::none)) {
        state.SkipWithError("squid is not installed");
        return;
    }
    way_stand stand(method);
    if (!stand.connected()) {
        state.SkipWithError("no session with the relay");
        return;
    }
    rulo::object<counting_sink> echoed(new counting_sink);
    rulo::object<rptTransport> channel = stand.sr->get_transport("ECHO", echoed, false);
    netbuf const data = netbuf::from_string(std::string(block, 'e'));
    int64_t const n = blocks();
    int64_t total = 0;
    for (auto _ : state) {
        auto const start = std::chrono::steady_clock::now();
        for (int64_t i = 0; i < n; ++i) channel->send(data); // queued on the multiplexer
        total += block * n;
        if (!echoed->wait_for(total)) {
            state.SkipWithError("the relay connection broke or stalled");
            break;
        }
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    channel->disconnect();
    state.SetBytesProcessed(state.iterations() * block * n * 2);
}

void BM_direct_echo(benchmark::State& state) {
    echo_stream(state, "direct");
}
void BM_httpt_direct_echo(benchmark::State& state) {
    echo_stream(state, "httpt-direct");
}
void BM_httpt_proxy_echo(benchmark::State& state) {
    echo_stream(state, "httpt-proxy");
}
// The same squid as a plain pipe (CONNECT, then TLS to the relay): what the
// proxy itself passes on this machine.
void BM_https_proxy_echo(benchmark::State& state) {
    echo_stream(state, "https-proxy");
}

// One 64-byte message out and back at a time.
void echo_round_trip(benchmark::State& state, char const* method) {
    way_stand stand(method);
    if (!stand.connected()) {
        state.SkipWithError("no session with the relay");
        return;
    }
    rulo::object<counting_sink> echoed(new counting_sink);
    rulo::object<rptTransport> channel = stand.sr->get_transport("ECHO", echoed, false);
    channel->no_delay();
    stand.sr->get_rpc_wrapper()->get_rptTransport()->no_delay();
    netbuf const message = netbuf::from_string(std::string(64, 'r'));
    int64_t total = 0;
    for (auto _ : state) {
        channel->send(message);
        total += 64;
        if (!echoed->wait_for(total)) {
            state.SkipWithError("the relay connection broke or stalled");
            break;
        }
    }
    channel->disconnect();
}

void BM_direct_round_trip(benchmark::State& state) {
    echo_round_trip(state, "direct");
}
void BM_httpt_direct_round_trip(benchmark::State& state) {
    echo_round_trip(state, "httpt-direct");
}

// get_next from a fresh chooser whose first port is closed and whose second
// one listens: the refused connect, then the one that works.
void BM_fall_through_closed_port(benchmark::State& state) {
    bench_support::loopback_listener open(1024);
    uint16_t closed;
    {
        bench_support::loopback_listener probe; // a port free a moment ago
        closed = probe.port;
        ::close(probe.fd);
    }
    if (open.fd < 0) {
        state.SkipWithError("no listener");
        return;
    }
    std::atomic<bool> stop{false};
    std::thread acceptor([&] {
        for (int fd; !stop && (fd = ::accept(open.fd, nullptr, nullptr)) >= 0;) ::close(fd);
    });
    std::map<std::string, std::string> const options{
        {"connect", "127.0.0.1:" + std::to_string(closed) + "," + std::to_string(open.port)},
        {"force", "direct"}};
    rulo::object<rptTransportSink> sink(new bench_support::idle_sink);
    for (auto _ : state) {
        std::string last;
        rulo::AutoTransport chooser(options, last);
        rulo::object<rptTransport> t = chooser.get_next(sink, false, 5);
        if (!t) {
            state.SkipWithError("nothing connected");
            break;
        }
        t->disconnect();
    }
    stop = true;
    ::shutdown(open.fd, SHUT_RDWR);
    acceptor.join();
    ::close(open.fd);
}

} // namespace

int main(int argc, char** argv) {
    static rulo::init* api = new rulo::init(nullptr);
    (void)api;
    // A benchmark's own minimum time wins over --benchmark_min_time: CI's
    // short pass gets a short one here.
    double const seconds = std::getenv("BENCH_SHORT") ? 0.01 : 1.0;
    for (auto [name, fn] : {std::pair{"BM_direct_echo", &BM_direct_echo},
                            {"BM_httpt_direct_echo", BM_httpt_direct_echo},
                            {"BM_httpt_proxy_echo", BM_httpt_proxy_echo},
                            {"BM_https_proxy_echo", BM_https_proxy_echo}})
        benchmark::RegisterBenchmark(name, fn)
            ->Unit(benchmark::kMillisecond)
            ->UseManualTime()
            ->MinTime(seconds);
    for (auto [name, fn] : {std::pair{"BM_direct_round_trip", &BM_direct_round_trip},
                            {"BM_httpt_direct_round_trip", BM_httpt_direct_round_trip},
                            {"BM_fall_through_closed_port", BM_fall_through_closed_port}})
        benchmark::RegisterBenchmark(name, fn)->Unit(benchmark::kMicrosecond)->MinTime(seconds);
    return bench_support::run_with_ratios(
        argc, argv,
        {{"BM_httpt_direct_echo", "BM_direct_echo", "httpt-direct echo time / direct (goal <= 2.0)"},
         {"BM_httpt_proxy_echo", "BM_direct_echo", "httpt-proxy echo time / direct (goal <= 2.0)"},
         {"BM_httpt_proxy_echo", "BM_https_proxy_echo",
          "httpt-proxy echo time / https-proxy (the same squid as a pipe)"},
         {"BM_httpt_direct_round_trip", "BM_direct_round_trip", "httpt-direct round trip / direct"}});
}
