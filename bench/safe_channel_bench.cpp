// Two reliable channels streaming numbered packets on three indexes over
// in-memory pairs, 1 GiB in all, with no break against 1,000 random breaks
// (half of them losing the bytes in flight), in the same run. Each run also
// checks what it measures: every packet once, in order, equal SHA-256 per index.
#include "tests/rulo-rpt/channel/soak.h"

#include <benchmark/benchmark.h>

#include <cstdlib>

namespace {

void stream(benchmark::State& state) {
    safe_kit::soak_options o;
    // CI's one short pass (BENCH_SHORT set) proves the program runs: 32 MiB and a tenth of the breaks.
    bool const short_pass = std::getenv("BENCH_SHORT") != nullptr;
    o.bytes_each_way = short_pass ? 16ull << 20 : 512ull << 20; // 1 GiB both ways together
    o.breaks = int(state.range(0)) / (short_pass ? 10 : 1);
    o.seed = 11;
    o.pieces_every = 0; // whole sends: the cost measured is the channel's, not the cutting
    o.limit_ms = 1200000;
    safe_kit::soak_result r;
    for (auto _ : state) r = safe_kit::run_soak(o);
    if (!r.completed || !r.failure.empty()) {
        state.SkipWithError(r.failure.empty() ? "not everything arrived" : r.failure.c_str());
        return;
    }
    state.SetBytesProcessed(int64_t(r.bytes));
    state.counters["MiB"] = double(r.bytes) / 1048576.0;
    state.counters["packets"] = double(r.packets);
    state.counters["breaks"] = r.breaks;
    state.counters["connections"] = double(r.connections);
}

BENCHMARK(stream)->Arg(0)->Arg(1000)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

} // namespace
