// Thread pools, the executor adapters and the piggyback executor.
#include "rulo/exception.h"
#include "rulo/piggyback_executor.h"
#include "rulo/semaphore.h"
#include "rulo/thread_pool.h"
#include "tests/rulo/failing_thread_start.h"
#include "tests/support/framework_env.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

namespace {

constexpr int64_t limit_ms = 10000; // generous: nothing should take a fraction of it

// A heap runnable: fn on run, on_del when deleted.
struct job {
    std::function<void()> fn, on_del;
    void run() { fn(); }
    ~job() {
        if (on_del) on_del();
    }
};

rulo::runnable make_job(std::function<void()> fn, std::function<void()> on_del = {}) {
    return rulo::runnable_f<job>::make(new job{std::move(fn), std::move(on_del)});
}

// One worker runs the queue in order, swallowing exceptions, and keeps the
// pool's data alive after the last handle is gone.
TEST(ThreadPool, OneWorkerRunsTheQueueInOrderAfterTheHandleWent) {
    rulo::semaphore gate(1, 0), done(1, 0);
    std::vector<int> order; // read after the dels, which post done
    {
        rulo::thread_pool pool(1, 20, rulo::thread::normal);
        for (int i = 0; i < 3; ++i)
            pool.execute(make_job(
                [&, i] {
                    if (i == 0) gate.wait(); // keep the worker busy until all three are in
                    order.push_back(i);
                    if (i == 1) throw rulo::exception("swallowed by the worker");
                },
                [&] { done.post(); }));
    }
    gate.post();
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(done.wait_ms(limit_ms));
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
}

TEST(ThreadPool, WorkerStartFailureLeavesTheRunnableWithTheCaller) {
    rulo::thread_pool pool(2, 5000, rulo::thread::normal);
    std::atomic<int> runs{0}, dels{0};
    rulo::runnable r = make_job([&] { ++runs; }, [&] { ++dels; });
    test_support::fail_next_thread_starts(1);
    EXPECT_EQ(test_support::thrown([&] { pool.execute(r); }), ":Error in 'detach'");
    EXPECT_EQ(runs + dels, 0);
    EXPECT_EQ(pool.running() + int(pool.queued()), 0);

    // The executor adapter cannot throw: the refused runnable is deleted, unrun, once.
    test_support::fail_next_thread_starts(1);
    rulo::executor e = pool.get_executor();
    e.execute(r);
    EXPECT_EQ(runs, 0);
    EXPECT_EQ(dels, 1);

    rulo::semaphore done(1, 0); // the pool is still usable
    e.execute(make_job([&] { done.post(); }));
    ASSERT_TRUE(done.wait_ms(limit_ms));
}

// Work handed over just as workers time out must still run: between rounds a
// varying part of idle_ms passes, so execute meets workers at every stage of expiring.
TEST(ThreadPool, NoRunnableIsLostAtTheIdleTimeOut) {
    rulo::thread_pool pool(2, 1, rulo::thread::normal);
    std::atomic<int> runs{0};
    rulo::semaphore done(1, 0); // posted by each del
    int executed = 0;
    for (int i = 0; i < 600; ++i) {
        int batch = 1 + i % 3; // a third of the rounds also queue behind two busy workers
        for (int k = 0; k < batch; ++k, ++executed)
            pool.execute(make_job([&] { ++runs; }, [&] { done.post(); }));
        for (int k = 0; k < batch; ++k) ASSERT_TRUE(done.wait_ms(limit_ms)) << "round " << i;
        auto until = std::chrono::steady_clock::now() + std::chrono::microseconds((i % 25) * 60);
        while (std::chrono::steady_clock::now() < until) {
        }
    }
    EXPECT_EQ(runs.load(), executed);
    // Without work the workers leave; there is no event for that, so poll.
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
    while (pool.running() != 0 && std::chrono::steady_clock::now() < end) std::this_thread::yield();
    EXPECT_EQ(pool.running(), 0);
}

struct counting_piggyback : rulo::piggyback_executor {
    void wake_up() override { ++wakes; }
    int wakes = 0;
};

// Work queued while draining runs in the same drain; work never drained is
// deleted unrun with the executor.
TEST(PiggybackExecutor, DrainRunsWhatIsQueuedMeanwhileAndTheRestIsDeleted) {
    int runs = 0, dels = 0;
    auto note = [&] { return make_job([&] { ++runs; }, [&] { ++dels; }); };
    {
        counting_piggyback p;
        p.execute(make_job([&] { p.execute(note()); }, [&] { ++dels; }));
        p.execute_tasks();
        EXPECT_EQ(runs, 1);
        EXPECT_EQ(p.wakes, 2);
        p.execute(note());
    }
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(dels, 3);
}

} // namespace
