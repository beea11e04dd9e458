// Throughput of the task scheduler and the thread pool, in tasks per second:
// a batch of one-shot tasks due now, waited for until every one has run, on
// the scheduler thread and on the scheduler pool; and plain pool hand-outs.
#include "rulo/executor.h"
#include "rulo/init.h"
#include "rulo/scheduler.h"
#include "rulo/semaphore.h"
#include "rulo/thread_pool.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>

namespace {

// Counts runs of one batch; the last run of the batch posts `all_ran`.
struct batch {
    std::atomic<int64_t> left{0};
    rulo::semaphore all_ran{1, 0};

    static void run(void* p) {
        auto* self = static_cast<batch*>(p);
        if (self->left.fetch_sub(1) == 1) self->all_ran.post();
    }
    static void del(void*) {}
    rulo::runnable r() { return rulo::runnable{&run, &del, this}; }
};

void BM_schedule_now(benchmark::State& state, bool use_pool) {
    int64_t const n = state.range(0);
    batch b;
    for (auto _ : state) {
        b.left = n;
        for (int64_t i = 0; i < n; ++i) rulo::schedule_task(nullptr, 0, rulo::schedule_at, use_pool, b.r());
        b.all_ran.wait();
    }
    state.counters["tasks"] =
        benchmark::Counter(double(n) * double(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_pool_execute(benchmark::State& state) {
    int64_t const n = state.range(0);
    rulo::thread_pool pool(int(state.range(1)), 1000, rulo::thread::normal);
    batch b;
    for (auto _ : state) {
        b.left = n;
        for (int64_t i = 0; i < n; ++i) pool.execute(b.r());
        b.all_ran.wait();
    }
    state.counters["tasks"] =
        benchmark::Counter(double(n) * double(state.iterations()), benchmark::Counter::kIsRate);
}

BENCHMARK_CAPTURE(BM_schedule_now, scheduler_thread, false)->Arg(1000)->UseRealTime();
BENCHMARK_CAPTURE(BM_schedule_now, scheduler_pool, true)->Arg(1000)->UseRealTime();
BENCHMARK(BM_pool_execute)->Args({1000, 1})->Args({1000, 4})->UseRealTime();

} // namespace
