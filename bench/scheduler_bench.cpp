// Throughput of the task scheduler and the thread pool, in tasks per second:
// bursts of one-shot no-op tasks due now, each burst waited for until every
// task has run, on the scheduler thread and on the scheduler pool; and plain
// pool hand-outs.
//
// Beside the rate, each pool benchmark counts per burst the threads that ran
// a task for the first time (threads the burst had to start: thread ids are
// remembered per thread, so this needs nothing from the pool) and the most
// tasks that were inside their run at once. A pool that starts more threads
// than ever run at once pays thread starts for nothing.
#include "rulo/executor.h"
#include "rulo/init.h"
#include "rulo/scheduler.h"
#include "rulo/semaphore.h"
#include "rulo/thread_pool.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>

namespace {

// Counts runs of one burst; the last run of the burst posts `all_ran`.
struct burst {
    std::atomic<int64_t> left{0};
    std::atomic<int64_t> new_threads{0};
    std::atomic<int> inside{0}, most_inside{0};
    rulo::semaphore all_ran{1, 0};

    static void run(void* p) {
        auto* self = static_cast<burst*>(p);
        thread_local bool seen = false; // per thread, for the life of the process
        if (!seen) {
            seen = true;
            self->new_threads.fetch_add(1, std::memory_order_relaxed);
        }
        int now = self->inside.fetch_add(1, std::memory_order_relaxed) + 1;
        int most = self->most_inside.load(std::memory_order_relaxed);
        while (now > most && !self->most_inside.compare_exchange_weak(most, now, std::memory_order_relaxed)) {
        }
        self->inside.fetch_sub(1, std::memory_order_relaxed);
        if (self->left.fetch_sub(1) == 1) self->all_ran.post();
    }
    static void del(void*) {}
    rulo::runnable r() { return rulo::runnable{&run, &del, this}; }

    void start(int64_t n) {
        left = n;
        most_inside = 0;
    }
    // Threads started and most tasks at once, both per burst.
    void report(benchmark::State& state, int64_t n, int64_t sum_most) const {
        double const bursts = double(state.iterations());
        state.counters["tasks"] = benchmark::Counter(double(n) * bursts, benchmark::Counter::kIsRate);
        state.counters["threads_started"] = double(new_threads.load()) / bursts;
        state.counters["most_at_once"] = double(sum_most) / bursts;
    }
};

void BM_schedule_now(benchmark::State& state, bool use_pool) {
    int64_t const n = state.range(0);
    burst b;
    int64_t sum_most = 0;
    for (auto _ : state) {
        b.start(n);
        for (int64_t i = 0; i < n; ++i) rulo::schedule_task(nullptr, 0, rulo::schedule_at, use_pool, b.r());
        b.all_ran.wait();
        sum_most += b.most_inside.load();
    }
    b.report(state, n, sum_most);
}

void BM_pool_execute(benchmark::State& state) {
    int64_t const n = state.range(0);
    rulo::thread_pool pool(int(state.range(1)), 1000, rulo::thread::normal);
    burst b;
    int64_t sum_most = 0;
    for (auto _ : state) {
        b.start(n);
        for (int64_t i = 0; i < n; ++i) pool.execute(b.r());
        b.all_ran.wait();
        sum_most += b.most_inside.load();
    }
    b.report(state, n, sum_most);
}

// The first burst on a fresh pool (unlimited threads): how many threads it
// starts. The workers of each round leave after 100 ms.
void BM_pool_cold_burst(benchmark::State& state) {
    int64_t const n = state.range(0);
    burst b;
    int64_t sum_most = 0;
    for (auto _ : state) {
        rulo::thread_pool pool(1 << 30, 100, rulo::thread::normal);
        b.start(n);
        for (int64_t i = 0; i < n; ++i) pool.execute(b.r());
        b.all_ran.wait();
        sum_most += b.most_inside.load();
    }
    b.report(state, n, sum_most);
}

// Registered first: the first burst the process hands the scheduler pool,
// which has no worker yet (meaningful only when run before the others).
BENCHMARK_CAPTURE(BM_schedule_now, scheduler_pool_first_burst, true)->Arg(1000)->Iterations(1)->UseRealTime();
BENCHMARK_CAPTURE(BM_schedule_now, scheduler_thread, false)->Arg(1000)->UseRealTime();
BENCHMARK_CAPTURE(BM_schedule_now, scheduler_pool, true)->Arg(1000)->UseRealTime();
BENCHMARK(BM_pool_execute)->Args({1000, 1})->Args({1000, 4})->Args({1000, 1 << 30})->UseRealTime();
BENCHMARK(BM_pool_cold_burst)->Arg(1000)->Iterations(100)->UseRealTime();

} // namespace
