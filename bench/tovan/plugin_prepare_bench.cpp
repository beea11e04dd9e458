// Preparing a plugin package: a 64 MiB incompressible package read from a
// file, verified, unpacked and saved to the cache by plugin_def, against the
// same work by outside programs in the same run: `openssl dgst -sha512` over
// the package, `xz -dc --format=lzma` writing the unpacked container, and a
// copy of the package. The closing line gives the ratio of the medians.
// BENCH_SHORT=1 uses a 1 MiB package.
#include "bench/ratio_main.h"
#include "tovan/plugins/plugin_def.h"

#include "rulo/init.h"
#include "rulo/kv_container.h"
#include "rulo/xfile.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>

namespace {

struct package {
    std::string dir, path, payload_path;
    tovan::plugin_record record;

    package() {
        char const* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/plugin_prepare_bench_XXXXXX";
        if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp");
        dir = pattern;
        std::filesystem::create_directories(dir + "/home");
        std::filesystem::create_directories(dir + "/work");
        ::setenv("HOME", (dir + "/home").c_str(), 1);
        std::filesystem::current_path(dir + "/work");

        size_t const size = std::getenv("BENCH_SHORT") ? size_t(1) << 20 : size_t(64) << 20;
        std::string lib(size, '\0');
        std::mt19937_64 random(42);
        for (size_t i = 0; i + 8 <= size; i += 8) {
            uint64_t const v = random();
            std::memcpy(&lib[i], &v, 8);
        }
        rulo::put_file(dir + "/lib.so", lib);
        path = dir + "/bench.plugin";
        std::string const make = std::string(PLUGIN_PACK) + " --output " + path + " --level 0 --dir bench_1" +
                                 " --file libbench.so=" + dir + "/lib.so --head name=bench --head version=1" +
                                 " --head platform=linux64 --sign " + TOVAN_PLUGIN_KEY_FILE;
        if (std::system(make.c_str()) != 0) throw std::runtime_error("plugin_pack failed");
        std::string payload;
        rulo::kv_load_file(path, record, &payload);
        payload_path = dir + "/payload.lzma";
        rulo::put_file(payload_path, payload);
    }
    ~package() {
        std::error_code ignored;
        std::filesystem::current_path("/", ignored);
        std::filesystem::remove_all(dir, ignored);
    }
};

package& the_package() {
    static package p;
    return p;
}

void BM_prepare_plugin(benchmark::State& state) {
    package& p = the_package();
    for (auto _ : state) {
        std::string message;
        std::unique_ptr<tovan::plugin_def> def(
            tovan::plugin_def::prepare_plugin(p.path, true, p.record, message, true));
        state.PauseTiming();
        if (!def) state.SkipWithError(("prepare_plugin failed: " + message).c_str());
        def.reset();
        tovan::plugin_extracted::remove_all();
        state.ResumeTiming();
    }
}

void BM_openssl_xz_copy(benchmark::State& state) {
    package& p = the_package();
    std::string const command =
        "openssl dgst -sha512 '" + p.path + "' > /dev/null && xz -dc --format=lzma < '" + p.payload_path +
        "' > '" + p.dir + "/work/container' && cp '" + p.path + "' '" + p.dir + "/home/copy.plugin'";
    for (auto _ : state) {
        if (std::system(command.c_str()) != 0) state.SkipWithError("openssl, xz or cp failed");
    }
}

BENCHMARK(BM_prepare_plugin)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_openssl_xz_copy)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    static rulo::init* api = new rulo::init(nullptr);
    (void)api;
    return bench_support::run_with_ratio(argc, argv, "BM_prepare_plugin", "BM_openssl_xz_copy",
                                         "prepare_plugin / (openssl dgst + xz -dc + cp)");
}
