// Thread pools, the executor adapters and the piggyback executor.
#include "rulo/exception.h"
#include "rulo/piggyback_executor.h"
#include "rulo/scheduler.h"
#include "rulo/semaphore.h"
#include "rulo/thread_pool.h"
#include "tests/rulo/failing_thread_start.h"
#include "tests/support/framework_env.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
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

// Workers going idle or leaving send no event: poll, within the usual limit.
bool eventually(std::function<bool()> const& done) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::yield();
    }
    return true;
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
    EXPECT_TRUE(eventually([&] { return pool.running() == 0; })); // without work the workers leave
}

// Several threads execute at once, and runnables execute more from the
// workers, while workers expire (idle_ms 1): every runnable runs once, and
// no wake is left counted as on its way (a pool that thought so would queue
// the next round for ever).
TEST(ThreadPool, ConcurrentExecutesFromInsideAndOutsideAllRun) {
    rulo::thread_pool pool(6, 1, rulo::thread::normal);
    constexpr int producers = 4, per_producer = 300;
    std::atomic<int> runs{0};
    rulo::semaphore done(1, 0); // posted by each del
    for (int round = 0; round < 3; ++round) {
        std::vector<std::thread> threads;
        for (int p = 0; p < producers; ++p)
            threads.emplace_back([&] {
                for (int i = 0; i < per_producer; ++i)
                    pool.execute(make_job(
                        [&] {
                            ++runs;
                            pool.execute(make_job([&] { ++runs; }, [&] { done.post(); }));
                        },
                        [&] { done.post(); }));
            });
        for (auto& t : threads) t.join();
        for (int i = 0; i < 2 * producers * per_producer; ++i) ASSERT_TRUE(done.wait_ms(limit_ms)) << i;
        EXPECT_EQ(runs.load(), (round + 1) * 2 * producers * per_producer);
        EXPECT_LE(pool.running(), 6);
        EXPECT_TRUE(eventually([&] { return pool.running() == 0 && pool.idle_count() == 0; }));
    }
}

// An idle time meaning "for ever" keeps the worker: one worker serves every round.
TEST(ThreadPool, WorkersIdleForEverStay) {
    rulo::thread_pool pool(4, INT64_MAX, rulo::thread::normal);
    rulo::semaphore done(1, 0);
    for (int round = 0; round < 3; ++round) {
        pool.execute(make_job([] {}, [&] { done.post(); }));
        ASSERT_TRUE(done.wait_ms(limit_ms));
        ASSERT_TRUE(eventually([&] { return pool.idle_count() == 1; })) << "round " << round;
    }
    EXPECT_EQ(pool.started(), 1);
    EXPECT_EQ(pool.running(), 1);
}

// Tasks that wait until n of them run at once: a pool that waited for a
// task to end before it gave the next one a thread would never get there.
// The second round finds n idle workers and must start no thread.
TEST(ThreadPool, TasksWaitingForEachOtherAllGetAThread) {
    constexpr int n = 24;
    rulo::thread_pool pool(INT_MAX, limit_ms, rulo::thread::normal);
    auto to_pool = [&](rulo::runnable r) { pool.execute(r); };
    auto to_scheduler_pool = [](rulo::runnable r) {
        rulo::schedule_task(nullptr, 0, rulo::schedule_at, true, r);
    };
    struct {
        char const* target;
        std::function<void(rulo::runnable)> submit;
    } const rounds[] = {
        {"fresh pool", to_pool}, {"idle workers", to_pool}, {"scheduler pool", to_scheduler_pool}};
    for (auto const& round : rounds) {
        SCOPED_TRACE(round.target);
        std::atomic<int> inside{0}, met{0};
        rulo::semaphore all_in(1, 0), done(1, 0);
        for (int i = 0; i < n; ++i)
            round.submit(make_job(
                [&] {
                    if (++inside < n) {
                        met += all_in.wait_ms(limit_ms);
                        return;
                    }
                    for (int k = 1; k < n; ++k) all_in.post();
                    ++met;
                },
                [&] { done.post(); }));
        for (int i = 0; i < n; ++i) ASSERT_TRUE(done.wait_ms(2 * limit_ms));
        EXPECT_EQ(met.load(), n);
        ASSERT_TRUE(eventually([&] { return pool.idle_count() == n; }));
        EXPECT_EQ(pool.started(), n);
    }
}

// A burst wakes the worker that went idle last; the others sleep on
// towards their time-out. Each row releases three busy workers in an order.
TEST(ThreadPool, TheMostRecentlyIdleWorkerIsWokenFirst) {
    int const orders[][3] = {{2, 0, 1}, {1, 2, 0}, {0, 1, 2}};
    for (auto const& order : orders) {
        SCOPED_TRACE(order[2]);
        rulo::thread_pool pool(INT_MAX, limit_ms, rulo::thread::normal);
        rulo::semaphore gate[3]{{1, 0}, {1, 0}, {1, 0}}, inside(1, 0), done(1, 0);
        pthread_t worker[3], woken{};
        for (int i = 0; i < 3; ++i)
            pool.execute(make_job(
                [&, i] {
                    worker[i] = pthread_self();
                    inside.post();
                    gate[i].wait();
                },
                [&] { done.post(); }));
        for (int i = 0; i < 3; ++i) ASSERT_TRUE(inside.wait_ms(limit_ms));
        for (int k = 0; k < 3; ++k) {
            gate[order[k]].post();
            ASSERT_TRUE(done.wait_ms(limit_ms));
            ASSERT_TRUE(eventually([&] { return pool.idle_count() == std::size_t(k + 1); }));
        }
        pool.execute(make_job([&] { woken = pthread_self(); }, [&] { done.post(); }));
        ASSERT_TRUE(done.wait_ms(limit_ms));
        EXPECT_TRUE(pthread_equal(woken, worker[order[2]]));
        EXPECT_EQ(pool.started(), 3);
    }
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
