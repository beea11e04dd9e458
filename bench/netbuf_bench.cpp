// Chunked buffers used as a byte queue: 1 MiB appended in parts of 64 or
// 1500 bytes (a small message, a full Ethernet payload) and then taken back
// off the front in the same parts. Compared with a std::string read from a
// moving offset, and with plain memcpy into and out of one preallocated
// block, which is the floor of what any buffer can cost. Bytes/s counts the
// 1 MiB once per iteration.
#include "rulo/init.h"
#include "rulo/netbuf.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr int total = 1 << 20;

std::vector<char> const& source() {
    static std::vector<char> const bytes = [] {
        std::vector<char> b(total);
        std::mt19937 rng(7);
        for (auto& c : b) c = char(rng());
        return b;
    }();
    return bytes;
}

void fill(netbuf& b, int part) {
    char const* src = source().data();
    for (int at = 0; at < total; at += part) b.append(src + at, std::min(part, total - at));
}

void BM_netbuf_append_take(benchmark::State& state) {
    int const part = int(state.range(0));
    std::vector<char> out(size_t(part), 0);
    for (auto _ : state) {
        netbuf b;
        fill(b, part);
        while (!b.empty()) {
            b.take_front(out.data(), part);
            benchmark::DoNotOptimize(out.data());
        }
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * total);
}

void BM_netbuf_append_erase(benchmark::State& state) {
    int const part = int(state.range(0));
    for (auto _ : state) {
        netbuf b;
        fill(b, part);
        while (!b.empty()) b.erase_front(part);
        benchmark::DoNotOptimize(b.get_ptr());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * total);
}

void BM_string_append_take(benchmark::State& state) {
    size_t const part = size_t(state.range(0));
    std::vector<char> out(part, 0);
    char const* src = source().data();
    std::string s; // kept across iterations: its capacity is reused, as a long-lived queue's would be
    for (auto _ : state) {
        for (size_t at = 0; at < size_t(total); at += part) s.append(src + at, std::min(part, total - at));
        // Taking from the front by a read offset: erasing the front each
        // time would move the whole rest of the string.
        for (size_t at = 0; at < s.size(); at += part) {
            size_t n = std::min(part, s.size() - at);
            std::memcpy(out.data(), s.data() + at, n);
            benchmark::DoNotOptimize(out.data());
        }
        s.clear();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * total);
}

void BM_memcpy_append_take(benchmark::State& state) {
    size_t const part = size_t(state.range(0));
    std::vector<char> block(size_t(total), 0), out(part, 0);
    char const* src = source().data();
    for (auto _ : state) {
        for (size_t at = 0; at < size_t(total); at += part)
            std::memcpy(block.data() + at, src + at, std::min(part, total - at));
        benchmark::ClobberMemory();
        for (size_t at = 0; at < size_t(total); at += part) {
            std::memcpy(out.data(), block.data() + at, std::min(part, total - at));
            benchmark::DoNotOptimize(out.data());
        }
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * total);
}

BENCHMARK(BM_netbuf_append_take)->Arg(64)->Arg(1500);
BENCHMARK(BM_netbuf_append_erase)->Arg(64)->Arg(1500);
BENCHMARK(BM_string_append_take)->Arg(64)->Arg(1500);
BENCHMARK(BM_memcpy_append_take)->Arg(64)->Arg(1500);

} // namespace
