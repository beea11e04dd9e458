// Chunked buffers used as a byte queue: 1 MiB appended in parts of 64 or
// 1500 bytes (a small message, a full Ethernet payload) and then taken back
// off the front in the same parts. Compared with a std::string read from a
// moving offset, and with plain memcpy into and out of one preallocated
// block, which is the floor of what any buffer can cost. Bytes/s counts the
// 1 MiB once per iteration. BM_same_run_ratio runs the three in turn and
// prints netbuf's share of the others' bandwidth as counters.
#include "rulo/init.h"
#include "rulo/netbuf.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
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

// One round of each kind: 1 MiB in, then out again, in parts of part bytes.
struct rounds {
    explicit rounds(int piece) : part(piece) {}
    int part;
    std::vector<char> out = std::vector<char>(size_t(part), 0);
    std::vector<char> block; // made by the first memcpy round only: the others run with what they had
    std::string s;           // kept across rounds: its capacity is reused, as a long-lived queue's would be

    void netbuf_take() {
        netbuf b;
        fill(b, part);
        while (!b.empty()) {
            b.take_front(out.data(), part);
            benchmark::DoNotOptimize(out.data());
        }
    }
    void netbuf_erase() {
        netbuf b;
        fill(b, part);
        while (!b.empty()) b.erase_front(part);
        benchmark::DoNotOptimize(b.get_ptr());
    }
    void string_take() {
        size_t const n = size_t(part);
        char const* src = source().data();
        for (size_t at = 0; at < size_t(total); at += n) s.append(src + at, std::min(n, total - at));
        // Taking from the front by a read offset: erasing the front each
        // time would move the whole rest of the string.
        for (size_t at = 0; at < s.size(); at += n) {
            std::memcpy(out.data(), s.data() + at, std::min(n, s.size() - at));
            benchmark::DoNotOptimize(out.data());
        }
        s.clear();
    }
    void memcpy_take() {
        size_t const n = size_t(part);
        char const* src = source().data();
        block.resize(size_t(total));
        for (size_t at = 0; at < size_t(total); at += n)
            std::memcpy(block.data() + at, src + at, std::min(n, total - at));
        benchmark::ClobberMemory();
        for (size_t at = 0; at < size_t(total); at += n) {
            std::memcpy(out.data(), block.data() + at, std::min(n, total - at));
            benchmark::DoNotOptimize(out.data());
        }
    }
};

template <void (rounds::*Round)()>
void BM_round(benchmark::State& state) {
    rounds r{int(state.range(0))};
    for (auto _ : state) (r.*Round)();
    state.SetBytesProcessed(int64_t(state.iterations()) * total);
}

// The three kinds in turn within each iteration, so that all see the same
// machine: the counters are netbuf's bandwidth as a share of the others'
// (time of the other / time of netbuf, summed over the run).
void BM_same_run_ratio(benchmark::State& state) {
    using clock = std::chrono::steady_clock;
    rounds r{int(state.range(0))};
    clock::duration nb{}, str{}, mem{};
    for (auto _ : state) {
        auto const t0 = clock::now();
        r.netbuf_take();
        auto const t1 = clock::now();
        r.string_take();
        auto const t2 = clock::now();
        r.memcpy_take();
        auto const t3 = clock::now();
        nb += t1 - t0;
        str += t2 - t1;
        mem += t3 - t2;
    }
    state.counters["netbuf_vs_memcpy"] = double(mem.count()) / double(nb.count());
    state.counters["netbuf_vs_string"] = double(str.count()) / double(nb.count());
}

BENCHMARK(BM_round<&rounds::netbuf_take>)->Name("BM_netbuf_append_take")->Arg(64)->Arg(1500);
BENCHMARK(BM_round<&rounds::netbuf_erase>)->Name("BM_netbuf_append_erase")->Arg(64)->Arg(1500);
BENCHMARK(BM_round<&rounds::string_take>)->Name("BM_string_append_take")->Arg(64)->Arg(1500);
BENCHMARK(BM_round<&rounds::memcpy_take>)->Name("BM_memcpy_append_take")->Arg(64)->Arg(1500);
BENCHMARK(BM_same_run_ratio)->Arg(64)->Arg(1500);

} // namespace
