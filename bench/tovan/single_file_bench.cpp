// The single file against the unpacked program, in the same run:
//
// - Start: from the exec of build/tovan_desk.run (copied to a scratch folder,
//   unpacking into its cache slot every time) to the X server's map of the
//   desk's window, against the exec of the run directory's tovan_desk to the
//   same map; on a private Xvfb, warm (one untimed start of each first),
//   median of 20 starts of each taken in turn (3 in the CI's short pass,
//   BENCH_SHORT). The first start of each with a fresh HOME comes first and
//   is reported as the cold start (the page cache is not dropped: the machine
//   is shared).
// - Size: each single file against `tar cJf` of the same files (those its
//   manifest lists, under the same names), and how much of it is the launcher.
#include "bench/tovan/window_map.h"
#include "tools/packer/manifest.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using clock_type = std::chrono::steady_clock;

bool const short_pass = std::getenv("BENCH_SHORT") != nullptr;

std::string read_bytes(std::string const& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A scratch folder for the run, removed at the end.
struct scratch {
    std::string path;
    scratch() {
        char const* t = std::getenv("TMPDIR");
        std::string pattern = std::string(t && *t ? t : "/tmp") + "/single_file_bench_XXXXXX";
        if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp");
        path = pattern;
    }
    ~scratch() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return -1;
    std::sort(v.begin(), v.end());
    return v[std::size_t(p * double(v.size() - 1) + 0.5)];
}

// One way of starting the desk: the program run, and the folder it runs in.
struct way {
    std::string program, dir;
};

// The program a launcher runs (its only child); 0 when there is none.
pid_t child_of(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    pid_t child = 0;
    return in >> child ? child : 0;
}

// Exec to window mapped, in ms (-1 when no window came), with HOME home.
// The desk is then ended; a launcher's program first, so the launcher
// deletes what it unpacked before the next start.
double start_ms(bench_support::window_map& x, way const& w, std::string const& home) {
    fs::create_directories(home);
    ::setenv("HOME", home.c_str(), 1);
    auto const t0 = clock_type::now();
    pid_t const pid = tovan_test::spawn(x.server.display(), w.dir, w.program, {"--vynwex"}, "/dev/null");
    bool const shown = x.wait_map();
    auto const t1 = clock_type::now();
    pid_t const program = child_of(pid);
    ::kill(program ? program : pid, SIGTERM);
    if (tovan_test::wait_exit(pid, std::chrono::seconds(30)) == -1) ::waitpid(pid, nullptr, 0);
    return shown ? std::chrono::duration<double, std::milli>(t1 - t0).count() : -1;
}

void BM_SingleFileStartToWindow(benchmark::State& state) {
    scratch s;
    std::string const file = s.path + "/tovan_desk.run";
    fs::copy_file(TOVAN_DESK_RUN, file);
    way const packed{file, s.path}, unpacked{TOVAN_RUN_DIR "/tovan_desk", TOVAN_RUN_DIR};
    bench_support::window_map x;
    for (auto _ : state) {
        // The system's libraries into the page cache, then each cold.
        start_ms(x, unpacked, s.path + "/home-warm");
        double const cold_packed = start_ms(x, packed, s.path + "/home-cold-packed");
        double const cold_unpacked = start_ms(x, unpacked, s.path + "/home-cold-unpacked");
        start_ms(x, packed, s.path + "/home-warm");
        std::vector<double> p, u;
        for (int i = 0; i < (short_pass ? 3 : 20); ++i) {
            p.push_back(start_ms(x, packed, s.path + "/home-warm"));
            u.push_back(start_ms(x, unpacked, s.path + "/home-warm"));
        }
        double const pm = percentile(p, 0.5), um = percentile(u, 0.5);
        state.SetIterationTime(pm / 1000.0);
        state.counters["run_median_ms"] = pm;
        state.counters["run_p10_ms"] = percentile(p, 0.1);
        state.counters["run_p90_ms"] = percentile(p, 0.9);
        state.counters["direct_median_ms"] = um;
        state.counters["direct_p10_ms"] = percentile(u, 0.1);
        state.counters["direct_p90_ms"] = percentile(u, 0.9);
        state.counters["ratio"] = um > 0 ? pm / um : 0;
        state.counters["cold_run_ms"] = cold_packed;
        state.counters["cold_direct_ms"] = cold_unpacked;
    }
}
BENCHMARK(BM_SingleFileStartToWindow)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// The entries of a single file's manifest, staged under their names and
// packed by tar cJf (xz at its default preset, as the packer's 6).
std::uintmax_t tar_xz_bytes(std::string const& manifest, std::string const& dir) {
    auto const records = packer::parse_manifest(read_bytes(manifest));
    for (auto const& r : records)
        for (auto const& e : r.entries) {
            fs::create_directories(fs::path(dir + "/files/" + e.name).parent_path());
            fs::copy_file(e.source, dir + "/files/" + e.name);
        }
    std::string const out = dir + "/files.tar.xz";
    std::string const command = "tar cJf '" + out + "' -C '" + dir + "/files' .";
    if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
    return fs::file_size(out);
}

void BM_SingleFileSize(benchmark::State& state) {
    for (auto _ : state) {
        for (auto [name, file, manifest] :
             {std::tuple{"desk", TOVAN_DESK_RUN, TOVAN_BUILD_DIR "/tovan/tovan_desk.manifest"},
              std::tuple{"client", TOVAN_CLIENT_RUN, TOVAN_BUILD_DIR "/tovan/tovan_client.manifest"}}) {
            scratch s;
            double const tar = double(tar_xz_bytes(manifest, s.path));
            double const whole = double(fs::file_size(file));
            double const launcher = double(fs::file_size(TOVAN_LAUNCHER_IMAGE));
            state.counters[std::string(name) + "_run_bytes"] = whole;
            state.counters[std::string(name) + "_tar_xz_bytes"] = tar;
            state.counters[std::string(name) + "_ratio"] = whole / tar;
            state.counters[std::string(name) + "_appendix_ratio"] = (whole - launcher) / tar;
        }
        state.counters["launcher_bytes"] = double(fs::file_size(TOVAN_LAUNCHER_IMAGE));
    }
}
BENCHMARK(BM_SingleFileSize)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
