// A 64-byte message on a plugin sub-channel, from the client to the desk and
// back, between two sessions that the program's own set-up code built: the
// desk creates the session on tovan_relay (run by the benchmark on
// 127.0.0.1), the client joins by its code, and the reliable channel runs
// under end-to-end TLS through the relay's joined legs. Against, in the same
// run, a TCP ping-pong of the same size through a socat forwarder (client to
// socat to echo: two TCP hops, as client to relay to desk) and one over a
// direct loopback connection.
#include "bench/bench_peers.h"
#include "bench/ratio_main.h"
#include "bench/tovan/session_pair.h"
#include "rulo/init.h"
#include "tests/support/relay_process.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>

namespace {

constexpr int message = 64;

using session = bench_support::session_pair;

std::unique_ptr<session> g_session;

session* the_session() {
    static bool tried = false;
    if (!tried) {
        tried = true;
        try {
            g_session = std::make_unique<session>();
        } catch (std::exception const&) {
        }
    }
    return g_session && g_session->up ? g_session.get() : nullptr;
}

void BM_desk_client_round_trip(benchmark::State& state) {
    session* s = the_session();
    if (!s) {
        state.SkipWithError("the session through the relay did not come up");
        return;
    }
    netbuf const ping = netbuf::from_string(std::string(message, 'p'));
    for (auto _ : state)
        if (!s->round_trip(ping)) {
            state.SkipWithError("no answer");
            break;
        }
}

// Below the system's ephemeral range, so that no connection of the run holds it.
int forwarder_port() {
    return 24000 + (::getpid() % 4000);
}

void BM_socat_ping_pong(benchmark::State& state) {
    if (!bench_support::have_programs("socat")) {
        state.SkipWithError("socat is not installed (scripts/deps.sh)");
        return;
    }
    bench_support::loopback_listener listener;
    int const front = forwarder_port();
    bench_support::background forwarder({"socat",
                                         "TCP-LISTEN:" + std::to_string(front) + ",bind=127.0.0.1,reuseaddr",
                                         "TCP:127.0.0.1:" + std::to_string(listener.port) + ",nodelay"});
    bench_support::ping_pong_through(state, listener, front, message);
}

void BM_tcp_ping_pong(benchmark::State& state) {
    auto const [client, server] = bench_support::loopback_connection();
    if (client < 0) {
        state.SkipWithError("no loopback connection");
        return;
    }
    bench_support::ping_pong(state, client, server, message);
}

BENCHMARK(BM_desk_client_round_trip)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_socat_ping_pong)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_tcp_ping_pong)->Unit(benchmark::kMicrosecond)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    static rulo::init* api = new rulo::init(nullptr);
    (void)api;
    int const result = bench_support::run_with_ratios(
        argc, argv,
        {{"BM_desk_client_round_trip", "BM_socat_ping_pong",
          "desk-client round trip / TCP ping-pong through socat (goal <= 1.5)"},
         {"BM_desk_client_round_trip", "BM_tcp_ping_pong", "desk-client round trip / direct TCP ping-pong"},
         {"BM_socat_ping_pong", "BM_tcp_ping_pong", "socat ping-pong / direct TCP ping-pong"}});
    g_session.reset();
    return result;
}
