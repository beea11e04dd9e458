// tovan_desk on a private Xvfb: the time from exec to the X server's map of
// its 279 by 230 window (warm, median of 20), and its resident memory after
// 10 s idle with its timer running; the same for a minimal Qt program that
// shows an empty dialog of that size, measured in the same run.
#include "tests/tovan/xvfb_server.h"

#include <benchmark/benchmark.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

struct x_watch {
    tovan_test::xvfb_server server{1024, 768};
    xcb_connection_t* connection = nullptr;

    x_watch() {
        connection = xcb_connect(server.display().c_str(), nullptr);
        xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
        uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
        xcb_change_window_attributes(connection, screen->root, XCB_CW_EVENT_MASK, &mask);
        xcb_flush(connection);
    }
    ~x_watch() { xcb_disconnect(connection); }

    // Waits for the map of a 279 by 230 top-level window; false after 60 s.
    bool wait_map() {
        auto const deadline = clock_type::now() + std::chrono::seconds(60);
        pollfd p{xcb_get_file_descriptor(connection), POLLIN, 0};
        while (clock_type::now() < deadline) {
            while (xcb_generic_event_t* e = xcb_poll_for_event(connection)) {
                bool hit = false;
                if ((e->response_type & 0x7f) == XCB_MAP_NOTIFY) {
                    auto* m = reinterpret_cast<xcb_map_notify_event_t*>(e);
                    xcb_get_geometry_reply_t* g =
                        xcb_get_geometry_reply(connection, xcb_get_geometry(connection, m->window), nullptr);
                    hit = g && g->width == 279 && g->height == 230;
                    std::free(g);
                }
                std::free(e);
                if (hit) return true;
            }
            ::poll(&p, 1, 100);
        }
        return false;
    }
};

// Made on first use; main ends it, which stops the server.
std::unique_ptr<x_watch> g_watch;

x_watch& watch() {
    if (!g_watch) g_watch = std::make_unique<x_watch>();
    return *g_watch;
}

struct program {
    char const* path;
    std::vector<std::string> args;
};

program const desk{TOVAN_RUN_DIR "/tovan_desk", {"--vynwex"}};
program const minimal{MINIMAL_DIALOG, {}};

pid_t start(program const& p) {
    return tovan_test::spawn(watch().server.display(), TOVAN_RUN_DIR, p.path, p.args, "/dev/null");
}

void stop(pid_t pid) {
    ::kill(pid, SIGTERM);
    if (tovan_test::wait_exit(pid, std::chrono::seconds(30)) == -1) ::waitpid(pid, nullptr, 0);
}

double start_ms(program const& p) {
    auto const t0 = clock_type::now();
    pid_t pid = start(p);
    bool shown = watch().wait_map();
    auto const t1 = clock_type::now();
    stop(pid);
    return shown ? std::chrono::duration<double, std::milli>(t1 - t0).count() : -1;
}

double median_start_ms(program const& p, int runs) {
    start_ms(p); // warm the caches
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) times.push_back(start_ms(p));
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

// Resident memory in MiB: the whole, and its private (anonymous) and
// file-backed parts (code and fonts, shared with other programs).
struct resident {
    double total = -1, anon = -1, file = -1;
};

resident idle_rss_mb(program const& p) {
    pid_t pid = start(p);
    resident r;
    if (watch().wait_map()) {
        std::this_thread::sleep_for(std::chrono::seconds(10));
        std::ifstream status("/proc/" + std::to_string(pid) + "/status");
        for (std::string line; std::getline(status, line);) {
            for (auto [label, out] :
                 {std::pair{"VmRSS:", &r.total}, {"RssAnon:", &r.anon}, {"RssFile:", &r.file}})
                if (line.rfind(label, 0) == 0) *out = std::stod(line.substr(std::strlen(label))) / 1024.0;
        }
    }
    stop(pid);
    return r;
}

void BM_StartToWindowShown(benchmark::State& state) {
    for (auto _ : state) {
        double d = median_start_ms(desk, 20);
        double m = median_start_ms(minimal, 20);
        state.SetIterationTime(d / 1000.0);
        state.counters["desk_median_ms"] = d;
        state.counters["minimal_median_ms"] = m;
        state.counters["ratio"] = m > 0 ? d / m : 0;
    }
}
BENCHMARK(BM_StartToWindowShown)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_IdleResidentMemory(benchmark::State& state) {
    for (auto _ : state) {
        for (auto [name, p] : {std::pair{"desk", &desk}, {"minimal", &minimal}}) {
            resident const r = idle_rss_mb(*p);
            state.counters[std::string(name) + "_rss_mb"] = r.total;
            state.counters[std::string(name) + "_anon_mb"] = r.anon;
            state.counters[std::string(name) + "_file_mb"] = r.file;
        }
    }
}
BENCHMARK(BM_IdleResidentMemory)->Iterations(1)->Unit(benchmark::kSecond);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    g_watch.reset();
    return 0;
}
