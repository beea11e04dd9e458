// Object handles against std::shared_ptr: copy and release of one shared
// object, alone and from eight threads at once, plus the handle-only paths
// (a call through ->, a handle made from a raw pointer).
#include "rulo/object.h"

#include <benchmark/benchmark.h>

#include <memory>

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

void BM_object_make_and_destroy(benchmark::State& state) {
    for (auto _ : state) {
        rulo::object<payload> fresh(new payload);
        benchmark::DoNotOptimize(fresh);
    }
}

void BM_shared_ptr_make_and_destroy(benchmark::State& state) {
    for (auto _ : state) {
        std::shared_ptr<payload> fresh(new payload);
        benchmark::DoNotOptimize(fresh);
    }
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
BENCHMARK(BM_object_make_and_destroy);
BENCHMARK(BM_shared_ptr_make_and_destroy);
