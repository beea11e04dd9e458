// tovan_desk on a private Xvfb: the time from exec to the X server's map of
// its 279 by 230 window (warm, median of 20), and its resident memory after
// 10 s idle with its timer running; the same for a minimal Qt program that
// shows an empty dialog of that size, measured in the same run. And the time
// from exec to the last lib_start of ten plugins (the test fixture's
// directory), against exec to the window shown with an empty directory
// (medians of 10, same run).
#include "bench/tovan/window_map.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

// Made on first use; main ends it, which stops the server.
std::unique_ptr<bench_support::window_map> g_watch;

bench_support::window_map& watch() {
    if (!g_watch) g_watch = std::make_unique<bench_support::window_map>();
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

// A directory of ten bench plugins and a FIFO each writes one byte to at
// its lib_start; removed with the object.
struct plugin_stage {
    std::string dir, fifo;
    int fd = -1;
    explicit plugin_stage(int plugins) {
        char tmpl[] = "/tmp/tovan_plugin_bench_XXXXXX";
        dir = ::mkdtemp(tmpl);
        for (int i = 0; i < plugins; ++i) {
            std::string const name = "bp" + std::to_string(i) + ".so";
            std::filesystem::copy_file(std::string(BENCH_PLUGIN_DIR) + "/" + name, dir + "/" + name);
        }
        fifo = dir + "/started";
        ::mkfifo(fifo.c_str(), 0600);
        fd = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
        ::setenv("TOVAN_TEST_PLUGINS", dir.c_str(), 1);
        ::setenv("BP_FIFO", fifo.c_str(), 1);
    }
    ~plugin_stage() {
        ::close(fd);
        ::unsetenv("TOVAN_TEST_PLUGINS");
        ::unsetenv("BP_FIFO");
        std::filesystem::remove_all(dir);
    }
    // Waits for count start bytes; false after 60 s.
    bool wait_started(int count) {
        auto const deadline = clock_type::now() + std::chrono::seconds(60);
        pollfd p{fd, POLLIN, 0};
        for (int got = 0; got < count;) {
            if (clock_type::now() > deadline) return false;
            char buf[16];
            ssize_t const n = ::read(fd, buf, std::min<int>(sizeof buf, count - got));
            if (n > 0)
                got += int(n);
            else
                ::poll(&p, 1, 100);
        }
        return true;
    }
};

double plugins_started_ms(plugin_stage& stage, int plugins) {
    auto const t0 = clock_type::now();
    pid_t pid = start(desk);
    bool const started = plugins ? stage.wait_started(plugins) : watch().wait_map();
    auto const t1 = clock_type::now();
    // A map left unread would count for the next run.
    if (plugins) watch().wait_map();
    stop(pid);
    return started ? std::chrono::duration<double, std::milli>(t1 - t0).count() : -1;
}

void BM_StartWithTenPlugins(benchmark::State& state) {
    int const runs = std::getenv("BENCH_SHORT") ? 2 : 10;
    for (auto _ : state) {
        std::vector<double> with, without;
        {
            plugin_stage empty(0);
            plugins_started_ms(empty, 0);
            for (int i = 0; i < runs; ++i) without.push_back(plugins_started_ms(empty, 0));
        }
        {
            plugin_stage ten(10);
            plugins_started_ms(ten, 10);
            for (int i = 0; i < runs; ++i) with.push_back(plugins_started_ms(ten, 10));
        }
        std::sort(with.begin(), with.end());
        std::sort(without.begin(), without.end());
        double const w = with[with.size() / 2], wo = without[without.size() / 2];
        state.SetIterationTime(w / 1000.0);
        state.counters["ten_plugins_median_ms"] = w;
        state.counters["empty_dir_median_ms"] = wo;
        state.counters["extra_ms"] = w - wo;
        state.counters["spread_ms"] = with.back() - with.front();
    }
}
BENCHMARK(BM_StartWithTenPlugins)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    g_watch.reset();
    return 0;
}
