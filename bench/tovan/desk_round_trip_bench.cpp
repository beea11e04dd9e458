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
#include "bench/tovan/session_end.h"
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

// The relay, the desk and the client, made on first use and kept for the run.
struct session {
    std::string home;
    std::unique_ptr<test_support::relay_process> relay;
    std::unique_ptr<bench_support::session_end> desk, client;
    bool up = false;

    session() {
        // The multiplexer pins the relay's certificate in the user's store.
        char pattern[] = "/tmp/desk_round_trip_XXXXXX";
        if (::mkdtemp(pattern)) home = pattern;
        ::setenv("HOME", home.c_str(), 1);
        // The relay's event log stays out of the measured path.
        relay = std::make_unique<test_support::relay_process>(std::vector<std::string>{"--log", "/dev/null"});
        std::string const cert = relay->cert_path(), key = relay->dir() + "/key.pem";
        std::string const dh = TOVAN_SOURCE_DIR "/conf_static/dh.pem";
        auto const desk_config = bench_support::session_config(false, relay->port(), cert, key, dh);
        desk = std::make_unique<bench_support::session_end>(desk_config);
        desk->start(desk_config.proxy_host);
        std::string const code = desk->host.wait_code();
        if (code.empty()) return;
        auto const client_config = bench_support::session_config(true, relay->port(), cert, key, dh);
        client = std::make_unique<bench_support::session_end>(client_config);
        client->host.type_code(code);
        client->start(client_config.proxy_host);
        if (!client->host.wait_version() || !desk->host.wait_version()) return;
        desk->host.echo_on(desk->conn.safe_channel());
        up = client->conn.safe_channel().get() != nullptr;
    }
    ~session() {
        client.reset();
        desk.reset();
        relay.reset();
        std::error_code ec;
        if (!home.empty()) std::filesystem::remove_all(home, ec);
    }
    // One message to the desk and back.
    bool round_trip(netbuf const& ping) {
        int64_t const want = client->host.answers() + 1;
        client->conn.safe_channel()->send(bench_support::plugin_channel, ping);
        return client->host.wait_answers(want);
    }
};

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
