// Object handles against std::shared_ptr: copy and release of one shared
// object, alone and from eight threads at once, the handle-only paths (a call
// through ->, a handle made from a raw pointer), and the life of an object
// from `new` to its last handle with a small and a large registry.
//
// The make-and-destroy pairs are meant to be read as ratios of one run:
//   object / shared_ptr (same argument), object at 1e6 live / at 1e3 live,
//   and items_per_second of the 8-thread run / the 1-thread run.
#include "rulo/object.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace {

struct payload {
    int value = 1;
    int read() const { return value; }
};

// One object shared by every thread of a run; the threads only copy from it.
struct shared_targets {
    rulo::object<payload> handle{new payload};
    std::shared_ptr<payload> shared = std::make_shared<payload>();
};

shared_targets& targets() {
    static shared_targets* t = new shared_targets;
    return *t;
}

void BM_object_copy_release(benchmark::State& state) {
    rulo::object<payload> const& source = targets().handle;
    for (auto _ : state) {
        rulo::object<payload> copy(source);
        benchmark::DoNotOptimize(copy);
    }
}

void BM_shared_ptr_copy_release(benchmark::State& state) {
    std::shared_ptr<payload> const& source = targets().shared;
    for (auto _ : state) {
        std::shared_ptr<payload> copy(source);
        benchmark::DoNotOptimize(copy);
    }
}

void BM_object_arrow_call(benchmark::State& state) {
    rulo::object<payload> const& source = targets().handle;
    for (auto _ : state) benchmark::DoNotOptimize(source->read());
}

void BM_object_from_raw_pointer(benchmark::State& state) {
    payload* raw = targets().handle.get();
    for (auto _ : state) {
        rulo::object<payload> again(raw);
        benchmark::DoNotOptimize(again);
    }
}

// A fresh object from `new` to its last handle, while the thread keeps
// range(0) other objects alive (registered, for the handle). Every thread of a
// multi-threaded run has objects of its own.
template <class Handle>
void make_and_destroy(benchmark::State& state) {
    std::vector<Handle> live;
    live.reserve(size_t(state.range(0)));
    for (int64_t i = 0; i < state.range(0); ++i) live.emplace_back(new payload);
    for (auto _ : state) {
        Handle fresh(new payload);
        benchmark::DoNotOptimize(fresh);
    }
    state.SetItemsProcessed(state.iterations());
}

// The same with the objects coming and going all over the live set: each step
// replaces a pseudo-randomly chosen one of the range(0) live objects by a new
// one, so the registry is searched at a different place every time.
template <class Handle>
void churn(benchmark::State& state) {
    size_t const n = size_t(state.range(0));
    std::vector<Handle> live;
    live.reserve(n);
    for (size_t i = 0; i < n; ++i) live.emplace_back(new payload);
    uint64_t x = 88172645463325252ull;
    for (auto _ : state) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        live[x % n] = Handle(new payload);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_object_make_and_destroy(benchmark::State& state) {
    make_and_destroy<rulo::object<payload>>(state);
}
void BM_shared_ptr_make_and_destroy(benchmark::State& state) {
    make_and_destroy<std::shared_ptr<payload>>(state);
}
void BM_object_churn(benchmark::State& state) {
    churn<rulo::object<payload>>(state);
}
void BM_shared_ptr_churn(benchmark::State& state) {
    churn<std::shared_ptr<payload>>(state);
}

} // namespace

BENCHMARK(BM_object_copy_release);
BENCHMARK(BM_shared_ptr_copy_release);
BENCHMARK(BM_object_copy_release)->Threads(8);
BENCHMARK(BM_shared_ptr_copy_release)->Threads(8);
BENCHMARK(BM_object_arrow_call);
BENCHMARK(BM_object_arrow_call)->Threads(8);
BENCHMARK(BM_object_from_raw_pointer);
BENCHMARK(BM_object_from_raw_pointer)->Threads(8);
BENCHMARK(BM_object_make_and_destroy)->ArgName("live")->Arg(1000)->Arg(1000000);
BENCHMARK(BM_shared_ptr_make_and_destroy)->ArgName("live")->Arg(1000)->Arg(1000000);
BENCHMARK(BM_object_churn)->ArgName("live")->Arg(1000)->Arg(1000000);
BENCHMARK(BM_shared_ptr_churn)->ArgName("live")->Arg(1000)->Arg(1000000);
BENCHMARK(BM_object_make_and_destroy)->ArgName("live")->Arg(1000)->Threads(1)->Threads(8)->UseRealTime();
BENCHMARK(BM_shared_ptr_make_and_destroy)->ArgName("live")->Arg(1000)->Threads(1)->Threads(8)->UseRealTime();
