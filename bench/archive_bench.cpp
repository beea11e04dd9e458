// Archive extraction: a 50 MiB package (50 files of 1 MiB) decoded and
// written by extract_lz_files_ex, against `xz -d --format=lzma` decoding the
// same stream to one file. Both are timed in the same run; the closing line
// gives the ratio of the two.
#include "rulo/archive.h"
#include "rulo/init.h"
#include "rulo/lock_directory.h"
#include "rulo/xfile.h"

#include "bench/ratio_main.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <unistd.h>

namespace {

constexpr size_t file_count = 50;
constexpr size_t file_size = size_t(1) << 20;

std::string u32(uint32_t v) {
    return {char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
}

// The package, made once: a container of text-like data (compresses about
// as well as program files do), compressed by xz, its size field filled in.
struct package {
    std::string dir;
    std::string stream_path;
    std::string stream;
    size_t content_size = 0;

    package() {
        char const* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/archive_bench_XXXXXX";
        if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp");
        dir = pattern;

        static char const* const words[] = {"session",  "relay",  "channel ", "plugin\n",
                                            "\x01\x02", "buffer", "0x7f3a",   "connect",
                                            "packet ",  "\t",     "desk",     "(void)"};
        uint32_t seed = 12345;
        std::string content = u32(3) + "pkg" + u32(file_count);
        for (size_t i = 0; i < file_count; ++i) {
            std::string name = "lib/part" + std::to_string(i) + ".so";
            content += u32(uint32_t(name.size())) + name + u32(uint32_t(file_size));
            size_t end = content.size() + file_size;
            while (content.size() < end) {
                seed = seed * 1103515245 + 12345;
                std::string w = words[(seed >> 16) % std::size(words)];
                content.append(w, 0, end - content.size());
            }
        }
        content_size = content.size();
        rulo::put_file(dir + "/content", content);
        stream_path = dir + "/content.lzma";
        std::string const make = "xz --format=lzma -1 -c < '" + dir + "/content' > '" + stream_path + "'";
        if (std::system(make.c_str()) != 0) throw std::runtime_error("xz failed");
        rulo::get_file(stream, stream_path);
        // xz leaves the size unknown, which extraction refuses.
        for (int i = 0; i < 8; ++i) stream[size_t(5 + i)] = char(uint64_t(content_size) >> (8 * i));
        rulo::put_file(stream_path, stream);
    }
    ~package() {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
};

package& the_package() {
    static package p;
    return p;
}

void BM_extract_lz_files_ex(benchmark::State& state) {
    package& p = the_package();
    for (auto _ : state) {
        std::set<std::string> files;
        std::unique_ptr<rulo::lock_directory> lock(rulo::extract_lz_files_ex(p.dir, p.stream, &files));
        state.PauseTiming();
        if (!lock || files.size() != file_count) state.SkipWithError("extraction failed");
        for (std::string const& f : files) ::unlink(f.c_str());
        lock.reset();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(int64_t(state.iterations() * the_package().content_size));
}

void BM_xz_decode_to_file(benchmark::State& state) {
    package& p = the_package();
    std::string const command = "xz -d --format=lzma -c < '" + p.stream_path + "' > '" + p.dir + "/xz.out'";
    for (auto _ : state) {
        if (std::system(command.c_str()) != 0) state.SkipWithError("xz failed");
    }
    state.SetBytesProcessed(int64_t(state.iterations() * the_package().content_size));
}

BENCHMARK(BM_extract_lz_files_ex)->Unit(benchmark::kMillisecond)->MinTime(3.0)->UseRealTime();
BENCHMARK(BM_xz_decode_to_file)->Unit(benchmark::kMillisecond)->MinTime(3.0)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    static rulo::init* api = new rulo::init(nullptr);
    (void)api;
    return bench_support::run_with_ratio(argc, argv, "BM_extract_lz_files_ex", "BM_xz_decode_to_file",
                                         "extract_lz_files_ex / xz -d");
}
