// The plugin negotiation as a user meets it: the real desk and client on a
// private Xvfb, in a session through tovan_relay, which serves the package
// of the echo plugin (auto-start at both ends; each end's package cache is
// warm after a first, untimed run).
// - Negotiation: from the client's exec (the desk waiting for it) to the
//   peer's hello received by the plugin at each end, against the same run's
//   session-up time (the client's log of the peer's "version"); medians of
//   10 runs. Goal: at most 300 ms more than the session-up time.
// - Plugin round trip: 64 bytes from the client's plugin, echoed by the
//   desk's plugin through both programs and the relay, median of 1,000,
//   against the same size's round trip on the bare session channel (the
//   session benchmark's pair of connectors). Goal: at most 1.5 times.
//   That pair shares one process, so one poller thread and one framework
//   lock serve both ends; the same pair with the desk's end in a process of
//   its own (as the two programs are) is measured too and gives the second
//   ratio, which is what the plugin host adds to the channel.
//   Five runs of each, interleaved; the ratios are of the medians. On a
//   virtual machine a run's trips come out either near the single-CPU time
//   or well above it, as the scheduler keeps the threads of the chain
//   together or spreads them, so single runs of either kind are far apart.
//   Run under "taskset -c N" (every process on one CPU) it gives the work
//   of each path alone, free of that luck.
// BENCH_SHORT=1: 2 runs and 50 round trips, one run of each; NB_TRIPS=n:
// n round trips (for profiling a long run).
#include "bench/ratio_main.h"
#include "bench/tovan/run_dir.h"
#include "bench/tovan/session_pair.h"
#include "rulo/init.h"
#include "tests/tovan/xvfb_server.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using clock_type = std::chrono::steady_clock;

bool const short_pass = std::getenv("BENCH_SHORT") != nullptr;
int const runs = short_pass ? 2 : 10;
int const trips = std::getenv("NB_TRIPS") ? std::max(1, std::atoi(std::getenv("NB_TRIPS")))
                  : short_pass            ? 50
                                          : 1000;

using bench_support::read_all;

int64_t now_ns() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    std::size_t const n = v.size();
    return n == 0 ? 0 : n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// The relay with the echo plugin's catalogue, two run directories (each with
// its HOME and package cache, kept for the whole run) and the display.
struct stand {
    tovan_test::xvfb_server server{1024, 768};
    std::string root;
    std::unique_ptr<test_support::relay_process> relay;

    stand() {
        char pattern[] = "/tmp/negotiation_bench.XXXXXX";
        if (!::mkdtemp(pattern)) throw std::runtime_error("mkdtemp");
        root = pattern;
        std::ofstream(root + "/catalogue.ini")
            << "name=bpecho\nversion=1.0\nplatform=linux64\nlib=libbpecho.so\n"
               "download_ticket=bpecho_1_0.plugin\nauto_start=true\n";
        relay = std::make_unique<test_support::relay_process>(std::vector<std::string>{
            "--files", PLUGIN_FIXTURES, "--catalogue", root + "/catalogue.ini", "--log", "/dev/null"});
        for (char const* name : {"tovan_desk", "tovan_client"}) bench_support::make_run_dir(root, name);
    }
    ~stand() {
        relay.reset();
        std::error_code ec;
        fs::remove_all(root, ec);
    }
    std::string dir(char const* name) const { return root + "/" + name; }

    pid_t start(char const* name, std::vector<std::string> args, int pings) {
        std::string const d = dir(name);
        for (char const* f : {"/VYNDesk.out", "/VYNClient.out", "/hello", "/rtt", "/code"})
            ::unlink((d + f).c_str());
        std::vector<std::string> const common = {"--vynwex", "--proxy-address",
                                                 "127.0.0.1:" + std::to_string(relay->port()),
                                                 "--force-transport", "direct"};
        args.insert(args.begin(), common.begin(), common.end());
        std::string const home = std::getenv("HOME") ? std::getenv("HOME") : "";
        ::setenv("HOME", (d + "/home").c_str(), 1);
        ::setenv("BP_HELLO", (d + "/hello").c_str(), 1);
        ::setenv("BP_RTT", (d + "/rtt").c_str(), 1);
        if (pings) ::setenv("BP_PINGS", std::to_string(pings).c_str(), 1);
        pid_t const pid = tovan_test::spawn(server.display(), d, d + "/" + name, args, "/dev/null");
        ::unsetenv("BP_PINGS");
        ::setenv("HOME", home.c_str(), 1);
        return pid;
    }

    struct times {
        double up = -1, hello = -1; // seconds from the client's exec
        double trip = -1;           // the plugin's median round trip, seconds
    };
    // One session: the desk waits, the client starts; until both plugins
    // have their peer's hello (and with pings, the round trips are done).
    times one(int pings) {
        times t;
        pid_t const desk = start("tovan_desk",
                                 {"--username", "u", "--password", "p", "--get-code", "--output-file",
                                  dir("tovan_desk") + "/code"},
                                 0);
        pid_t client = -1;
        auto const deadline = clock_type::now() + std::chrono::seconds(120);
        // Fine steps for the start's times; the round trips' end is waited
        // for in coarse ones, so that this process's polling does not load
        // the machine while the plugins' trips are timed.
        auto waiting = [&](auto done, std::chrono::microseconds step = std::chrono::microseconds(500)) {
            while (!done()) {
                if (clock_type::now() > deadline) return false;
                std::this_thread::sleep_for(step);
            }
            return true;
        };
        std::string const desk_log = dir("tovan_desk") + "/VYNDesk.out";
        std::string const client_log = dir("tovan_client") + "/VYNClient.out";
        std::string code;
        if (waiting([&] {
                code = read_all(dir("tovan_desk") + "/code");
                return !code.empty() && read_all(desk_log).find("connection state 5\n") != std::string::npos;
            })) {
            code = code.substr(0, code.find(' '));
            int64_t const exec = now_ns();
            client = start("tovan_client", {"--connect", code}, pings);
            auto seconds_since = [&](int64_t at) { return double(at - exec) / 1e9; };
            bool up = false;
            waiting([&] {
                if (!up && read_all(client_log).find("new request :version ") != std::string::npos) {
                    up = true;
                    t.up = seconds_since(now_ns());
                }
                return up && !read_all(dir("tovan_desk") + "/hello").empty() &&
                       !read_all(dir("tovan_client") + "/hello").empty();
            });
            int64_t const last = std::max(std::atoll(read_all(dir("tovan_desk") + "/hello").c_str()),
                                          std::atoll(read_all(dir("tovan_client") + "/hello").c_str()));
            if (up && last > exec) t.hello = seconds_since(last);
            if (pings && waiting([&] { return !read_all(dir("tovan_client") + "/rtt").empty(); },
                                 std::chrono::milliseconds(20))) {
                long long const ns = std::atoll(read_all(dir("tovan_client") + "/rtt").c_str());
                if (ns > 0) t.trip = double(ns) / 1e9;
            }
        }
        for (pid_t pid : {desk, client})
            if (pid > 0) {
                ::kill(pid, SIGKILL);
                tovan_test::wait_exit(pid, std::chrono::seconds(10));
            }
        return t;
    }
};

stand* the_stand() {
    static std::unique_ptr<stand> s;
    static bool tried = false;
    if (!tried) {
        tried = true;
        try {
            s = std::make_unique<stand>();
            if (s->one(0).hello < 0) s.reset(); // fills both caches
        } catch (std::exception const&) {
            s.reset();
        }
    }
    return s.get();
}

double g_up = 0, g_hello = 0;

void BM_negotiation(benchmark::State& state) {
    stand* s = the_stand();
    if (!s) {
        state.SkipWithError("the session with the echo plugin did not come up");
        return;
    }
    for (auto _ : state) {
        std::vector<double> up, hello;
        for (int i = 0; i < runs; ++i) {
            auto const t = s->one(0);
            if (t.hello < 0) {
                state.SkipWithError("a run did not reach both hellos");
                return;
            }
            up.push_back(t.up);
            hello.push_back(t.hello);
        }
        g_up = median(up);
        g_hello = median(hello);
        state.SetIterationTime(g_hello);
        state.counters["session_up_ms"] = g_up * 1e3;
        state.counters["spread_ms"] =
            (*std::max_element(hello.begin(), hello.end()) - *std::min_element(hello.begin(), hello.end())) *
            1e3;
    }
}

void BM_plugin_round_trip(benchmark::State& state) {
    stand* s = the_stand();
    if (!s) {
        state.SkipWithError("the session with the echo plugin did not come up");
        return;
    }
    for (auto _ : state) {
        auto const t = s->one(trips);
        if (t.trip < 0) {
            state.SkipWithError("the plugin's round trips did not finish");
            return;
        }
        state.SetIterationTime(t.trip);
    }
}

// The bare session channel's round trip of the same size, one after the other.
template <class Pair>
void session_trips(benchmark::State& state, Pair& pair) {
    if (!pair.up) {
        state.SkipWithError("the session through the relay did not come up");
        return;
    }
    netbuf const ping = netbuf::from_string(std::string(64, 'p'));
    for (auto _ : state) {
        std::vector<double> each;
        for (int i = 0; i < trips; ++i) {
            auto const t0 = clock_type::now();
            if (!pair.round_trip(ping)) {
                state.SkipWithError("no answer");
                return;
            }
            each.push_back(std::chrono::duration<double>(clock_type::now() - t0).count());
        }
        state.SetIterationTime(median(each));
    }
}

std::unique_ptr<bench_support::session_pair> g_pair;
std::unique_ptr<bench_support::session_pair_apart> g_apart;

void BM_session_round_trip(benchmark::State& state) {
    if (!g_pair) g_pair = std::make_unique<bench_support::session_pair>();
    session_trips(state, *g_pair);
}

// The same with the desk's end in a process of its own, as the programs are.
void BM_session_round_trip_apart(benchmark::State& state) {
    if (!g_apart) g_apart = std::make_unique<bench_support::session_pair_apart>(CLIENT_START_DRIVER);
    session_trips(state, *g_apart);
}

BENCHMARK(BM_negotiation)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
// Five of each, interleaved (main() asks for it), so that the load of a
// shared machine falls on the plugin's trips and the bare channel's alike;
// the ratios are those of the medians.
int const trip_runs = short_pass ? 1 : 5;
BENCHMARK(BM_plugin_round_trip)
    ->Iterations(1)
    ->Repetitions(trip_runs)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_session_round_trip)
    ->Iterations(1)
    ->Repetitions(trip_runs)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_session_round_trip_apart)
    ->Iterations(1)
    ->Repetitions(trip_runs)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv) {
    static rulo::init* api = new rulo::init(nullptr);
    (void)api;
    std::vector<char*> args(argv, argv + argc);
    char interleave[] = "--benchmark_enable_random_interleaving=true";
    if (std::none_of(args.begin(), args.end(), [](char const* a) {
            return std::string(a).rfind("--benchmark_enable_random_interleaving", 0) == 0;
        }))
        args.insert(args.begin() + 1, interleave);
    int count = int(args.size());
    args.push_back(nullptr);
    int const result = bench_support::run_with_ratios(
        count, args.data(),
        {{"BM_plugin_round_trip", "BM_session_round_trip",
          "plugin round trip / session channel round trip, medians (goal <= 1.5)"},
         {"BM_plugin_round_trip", "BM_session_round_trip_apart",
          "plugin round trip / session channel round trip with the ends in two processes, medians"}});
    g_pair.reset();
    g_apart.reset();
    if (g_hello > 0)
        std::printf(
            "negotiation: hello at both ends %.0f ms, session up %.0f ms, %.0f ms more (goal <= 300)\n",
            g_hello * 1e3, g_up * 1e3, (g_hello - g_up) * 1e3);
    return result;
}
