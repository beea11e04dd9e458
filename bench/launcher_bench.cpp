// Start-up of a packed launcher: wall time from spawning it to the first
// instruction of its payload (a program that writes the monotonic clock
// first), for a 40 MiB payload. Against the same files packed by makeself with
// xz at the same preset; makeself has no LZMA-alone mode, and xz's container
// around the same LZMA coder is the closest it offers. Both are timed in the
// same run; the closing line gives the ratio (of the medians, with
// --benchmark_repetitions). Packing happens once, outside the timed loop.
// bench/launcher_compare.sh compares whole processes at 40 and 160 MiB with
// `xz -d` as well, and gives their peak memory.
#include "launcher/appendix_format.h"
#include "tools/packer/appendix_writer.h"
#include "tools/packer/manifest.h"

#include "bench/ratio_main.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace {

constexpr std::size_t payload_size = std::size_t(40) << 20;
constexpr unsigned preset = 6; // the packer's default

std::string read_bytes(std::string const& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_bytes(std::string const& path, std::string const& bytes, mode_t mode = 0644) {
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(bytes.data(), std::streamsize(bytes.size()));
    ::chmod(path.c_str(), mode);
}

std::int64_t now_ns() {
    timespec t;
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return std::int64_t(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

// Both packed files, made once: the stamp program and 40 MiB of data that
// compresses about as well as program files do (text-like runs with
// incompressible stretches).
struct packed {
    std::string dir, ours, theirs, stamp, cache, tmp;

    packed() {
        char const* t = std::getenv("TMPDIR");
        std::string pattern = std::string(t && *t ? t : "/tmp") + "/launcher_bench_XXXXXX";
        if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp");
        dir = pattern;
        std::string const files = dir + "/payload";
        cache = dir + "/cache";
        tmp = dir + "/tmp";
        stamp = dir + "/stamp";
        std::filesystem::create_directories(files);
        std::filesystem::create_directories(cache);
        std::filesystem::create_directories(tmp);

        static char const* const words[] = {"session",  "relay",  "channel ", "plugin\n",
                                            "\x01\x02", "buffer", "0x7f3a",   "connect",
                                            "packet ",  "\t",     "desk",     "(void)"};
        std::uint32_t seed = 12345;
        std::string data;
        data.reserve(payload_size);
        while (data.size() < payload_size) {
            seed = seed * 1103515245 + 12345;
            if ((seed >> 8) % 4096 == 0) { // now and then 4 KiB of noise
                for (int i = 0; i < 4096; ++i) {
                    seed = seed * 1103515245 + 12345;
                    data.push_back(char(seed >> 16));
                }
            } else {
                data += words[(seed >> 16) % std::size(words)];
            }
        }
        data.resize(payload_size);
        write_bytes(files + "/data.bin", data);
        std::string const stamp_program = read_bytes(LAUNCH_STAMP);
        write_bytes(files + "/launch_stamp", stamp_program, 0755);

        std::vector<packer::manifest_record> records(2);
        records[0].type = launcher::record_lzma_archive;
        records[0].name = "bench";
        records[0].entries = {{"launch_stamp", "", stamp_program}, {"data.bin", "", std::move(data)}};
        records[1].type = launcher::record_exe_at_end;
        records[1].name = "launch_stamp";
        ours = dir + "/packed_launcher";
        write_bytes(ours, packer::pack_launcher(read_bytes(LAUNCHER_IMAGE), records, preset), 0755);

        theirs = dir + "/packed.run";
        std::string const make = "makeself --quiet --xz --complevel " + std::to_string(preset) +
                                 " --nox11 --noprogress '" + files + "' '" + theirs +
                                 "' bench ./launch_stamp";
        if (std::system(make.c_str()) != 0) throw std::runtime_error("makeself failed (is it installed?)");
    }
    ~packed() {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
};

packed& the_files() {
    static packed p;
    return p;
}

// Spawns the packed file, waits for its end (the launcher ends by SIGKILL,
// makeself by exit) and returns the seconds from the spawn to the stamp.
double start_to_payload(std::string const& program, std::vector<std::string> extra_env) {
    packed& p = the_files();
    ::unlink(p.stamp.c_str());
    std::vector<std::string> envs;
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "TMPDIR=", 7) != 0) envs.push_back(*e);
    envs.push_back("TMPDIR=" + p.tmp);
    envs.push_back("LAUNCH_STAMP=" + p.stamp);
    envs.insert(envs.end(), extra_env.begin(), extra_env.end());
    std::vector<char*> envp;
    for (auto& e : envs) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string arg0 = program;
    char* argv[] = {arg0.data(), nullptr};
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    std::int64_t const start = now_ns();
    int const rc = ::posix_spawn(&pid, program.c_str(), &fa, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) return -1;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    std::string const stamp = read_bytes(p.stamp);
    return stamp.empty() ? -1 : double(std::stoll(stamp) - start) / 1e9;
}

void run(benchmark::State& state, std::string const& program, std::vector<std::string> const& env) {
    for (auto _ : state) {
        double seconds = -1;
        try {
            seconds = start_to_payload(program, env);
        } catch (std::exception const& e) {
            state.SkipWithError(e.what());
            break;
        }
        if (seconds < 0) {
            state.SkipWithError("the payload did not run");
            break;
        }
        state.SetIterationTime(seconds);
    }
    state.SetBytesProcessed(std::int64_t(state.iterations() * payload_size));
}

// The packed files, made on first use; null (and the benchmark skipped) when
// they cannot be made.
packed* files_or_skip(benchmark::State& state) {
    try {
        return &the_files();
    } catch (std::exception const& e) {
        state.SkipWithError(e.what());
        return nullptr;
    }
}

void BM_desk_launcher(benchmark::State& state) {
    if (packed* p = files_or_skip(state)) run(state, p->ours, {"DESK_LAUNCHER_ROOT=" + p->cache});
}

void BM_makeself_xz(benchmark::State& state) {
    if (packed* p = files_or_skip(state)) run(state, p->theirs, {});
}

BENCHMARK(BM_desk_launcher)->Unit(benchmark::kMillisecond)->MinTime(3.0)->UseManualTime();
BENCHMARK(BM_makeself_xz)->Unit(benchmark::kMillisecond)->MinTime(3.0)->UseManualTime();

} // namespace

int main(int argc, char** argv) {
    return bench_support::run_with_ratio(argc, argv, "BM_desk_launcher", "BM_makeself_xz",
                                         "desk_launcher / makeself --xz, start to payload");
}
