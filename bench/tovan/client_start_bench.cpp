// Client start to session up: from the exec of a client process, with the
// desk already waiting for it on tovan_relay, to the moment the client has
// the desk's "version" on the session channel (warm: one untimed run first;
// median of 10, goal <= 1 s). The client is the program's set-up code (the
// framework's start and the connector's attempt with the typed code) run by
// client_start_driver. The phases come from the relay's event log, put on
// the benchmark's clock by an admin command logged just before the exec:
//
//   exec -> accept -> tls-up -> resolve (47) -> bound (37) -> leg joined -> version
//   |process start, |mux head, |control   |     |session leg   |end-to-end TLS,
//   |framework init |mux TLS   |channel   |     |opened        |reliable channel
//
// In the same run, the same join made in this process (a new client
// connector, no exec) tells what the process start adds.
#include "bench/tovan/driver_process.h"
#include "bench/tovan/session_end.h"
#include "rulo/init.h"
#include "tests/support/relay_process.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <memory>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

bool const short_pass = std::getenv("BENCH_SHORT") != nullptr;
std::string const dh_file = TOVAN_SOURCE_DIR "/conf_static/dh.pem";

double ms_between(clock_type::time_point a, clock_type::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    std::size_t const n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// The relay (with its event log) and a scratch HOME, for the run.
struct stand {
    std::string home;
    std::unique_ptr<test_support::relay_process> relay;

    stand() {
        char pattern[] = "/tmp/client_start_XXXXXX";
        if (::mkdtemp(pattern)) home = pattern;
        ::setenv("HOME", home.c_str(), 1); // the client process inherits it
        relay = std::make_unique<test_support::relay_process>();
    }
    ~stand() {
        relay.reset();
        std::error_code ec;
        if (!home.empty()) std::filesystem::remove_all(home, ec);
    }
    vyn::connector_config config(bool client) const {
        return bench_support::session_config(client, relay->port(), relay->cert_path(),
                                             relay->dir() + "/key.pem", dh_file);
    }
    // A desk that has its code and its session leg open at the relay.
    std::unique_ptr<bench_support::session_end> waiting_desk() {
        auto desk = std::make_unique<bench_support::session_end>(config(false));
        desk->start(config(false).proxy_host);
        if (desk->host.wait_code().empty()) return nullptr;
        if (relay
                ->wait_log({"\"event\":\"leg\"", "\"sid\":\"" + desk->sid() + "\"", "\"role\":\"desk\""},
                           std::chrono::seconds(30))
                .empty())
            return nullptr;
        return desk;
    }
};

std::unique_ptr<stand> g_stand;
std::string g_summary; // the closing line, once the benchmark ran

stand* the_stand() {
    static bool tried = false;
    if (!tried) {
        tried = true;
        try {
            g_stand = std::make_unique<stand>();
        } catch (std::exception const&) {
        }
    }
    return g_stand.get();
}

// The relay's log lines from the one that holds `mark`.
std::vector<std::string> log_after(std::string const& log, std::string const& mark) {
    std::vector<std::string> lines;
    std::istringstream in(log);
    bool seen = false;
    for (std::string line; std::getline(in, line);) {
        if (!seen && line.find(mark) != std::string::npos) seen = true;
        if (seen) lines.push_back(line);
    }
    return lines;
}

long long number_after(std::string const& line, std::string const& key) {
    auto at = line.find("\"" + key + "\":");
    return at == std::string::npos ? -1 : std::atoll(line.c_str() + at + key.size() + 3);
}

// The "ms" of the first line holding every part whose number `key` is `conn`
// (any when key is empty); -1 when none does.
long long event_ms(std::vector<std::string> const& lines, std::vector<std::string> const& parts,
                   std::string const& key = "", long long conn = 0) {
    for (std::string const& line : lines)
        if (std::all_of(parts.begin(), parts.end(),
                        [&](std::string const& p) { return line.find(p) != std::string::npos; }) &&
            (key.empty() || number_after(line, key) == conn))
            return number_after(line, "ms");
    return -1;
}

// Milliseconds from the exec to each relay event of the client's connection.
struct phases {
    static constexpr char const* names[] = {"accept", "tls_up", "resolve", "bound", "joined"};
    std::map<std::string, std::vector<double>> at;

    // Adds one run: `lines` start at the mark, logged at relay time mark_ms,
    // which the benchmark's clock read as `offset` ms before the exec.
    bool add(std::vector<std::string> const& lines, long long mark_ms, double offset) {
        long long conn = -1;
        for (std::string const& line : lines)
            if (line.find("\"event\":\"accept\"") != std::string::npos) {
                conn = number_after(line, "conn");
                break;
            }
        if (conn < 0) return false;
        long long const ms[] = {
            event_ms(lines, {"\"event\":\"accept\""}, "conn", conn),
            event_ms(lines, {"\"event\":\"tls-up\""}, "conn", conn),
            event_ms(lines, {"\"event\":\"control-call\"", "\"method\":47"}, "conn", conn),
            event_ms(lines, {"\"event\":\"bind\"", "\"method\":37"}, "conn", conn),
            event_ms(lines, {"\"event\":\"legs-joined\""}, "client_conn", conn),
        };
        for (std::size_t i = 0; i < std::size(names); ++i) {
            if (ms[i] < 0) return false;
            at[names[i]].push_back(double(ms[i] - mark_ms) - offset);
        }
        return true;
    }
};

void BM_client_start_to_session_up(benchmark::State& state) {
    stand* s = the_stand();
    if (!s) {
        state.SkipWithError("the relay did not start");
        return;
    }
    std::vector<double> totals;
    phases relay_phases;
    int run = 0;
    for (auto _ : state) {
        // Warm: the first run (binary, libraries, the relay's pinned key) is not counted.
        for (bool warm = run++ == 0;; warm = false) {
            std::unique_ptr<bench_support::session_end> desk = s->waiting_desk();
            if (!desk) {
                state.SkipWithError("the desk did not get its session");
                return;
            }
            std::string const mark = "client-start-" + std::to_string(run) + (warm ? "w" : "");
            auto const before = clock_type::now();
            try {
                s->relay->admin("mark " + mark); // no such command: logged, then refused
            } catch (std::runtime_error const&) {
            }
            auto const marked = clock_type::now();
            auto const start = clock_type::now();
            bench_support::driver_process client({CLIENT_START_DRIVER, std::to_string(s->relay->port()),
                                                  desk->code(), s->relay->cert_path(), dh_file});
            std::string const line = client.line();
            auto const up = clock_type::now();
            if (line != "version") {
                state.SkipWithError(("the client did not come up: " + line).c_str());
                return;
            }
            if (warm) continue;
            state.SetIterationTime(std::chrono::duration<double>(up - start).count());
            totals.push_back(ms_between(start, up));
            // The mark's log time is taken as the middle of the admin round trip.
            double const offset = ms_between(before, start) - ms_between(before, marked) / 2;
            auto const lines = log_after(s->relay->log_text(), mark);
            long long const mark_ms = lines.empty() ? -1 : number_after(lines.front(), "ms");
            if (mark_ms >= 0) relay_phases.add(lines, mark_ms, offset);
            break;
        }
    }
    state.counters["median_ms"] = median(totals);
    g_summary = "client start to session up: median " + std::to_string(int(median(totals) + 0.5)) +
                " ms (goal <= 1000 ms); relay events, ms after the exec:";
    for (char const* name : phases::names)
        g_summary += std::string(" ") + name + " " + std::to_string(int(median(relay_phases.at[name]) + 0.5));
    g_summary += " (the relay logs whole milliseconds)";
    for (char const* name : phases::names)
        state.counters[std::string(name) + "_ms"] = median(relay_phases.at[name]);
}

// The same join without a process: a new client connector in this process.
void BM_client_join_in_process(benchmark::State& state) {
    stand* s = the_stand();
    if (!s) {
        state.SkipWithError("the relay did not start");
        return;
    }
    std::vector<double> totals;
    for (auto _ : state) {
        std::unique_ptr<bench_support::session_end> desk = s->waiting_desk();
        if (!desk) {
            state.SkipWithError("the desk did not get its session");
            return;
        }
        auto const start = clock_type::now();
        bench_support::session_end client(s->config(true));
        client.host.type_code(desk->code());
        client.start(s->config(true).proxy_host);
        if (!client.host.wait_version()) {
            state.SkipWithError("the client did not come up");
            return;
        }
        auto const up = clock_type::now();
        state.SetIterationTime(std::chrono::duration<double>(up - start).count());
        totals.push_back(ms_between(start, up));
    }
    state.counters["median_ms"] = median(totals);
}

} // namespace

int main(int argc, char** argv) {
    static rulo::init* api = new rulo::init(nullptr);
    (void)api;
    int const runs = short_pass ? 2 : 10;
    benchmark::RegisterBenchmark("BM_client_start_to_session_up", BM_client_start_to_session_up)
        ->Unit(benchmark::kMillisecond)
        ->UseManualTime()
        ->Iterations(runs);
    benchmark::RegisterBenchmark("BM_client_join_in_process", BM_client_join_in_process)
        ->Unit(benchmark::kMillisecond)
        ->UseManualTime()
        ->Iterations(runs);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    if (!g_summary.empty()) std::printf("%s\n", g_summary.c_str());
    benchmark::Shutdown();
    g_stand.reset();
    return 0;
}
