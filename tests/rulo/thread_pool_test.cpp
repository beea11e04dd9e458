// Thread pools, the executor adapters and the piggyback executor.
#include "rulo/exception.h"
#include "rulo/executor.h"
#include "rulo/piggyback_executor.h"
#include "rulo/semaphore.h"
#include "rulo/thread_pool.h"
#include "tests/rulo/failing_thread_start.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <pthread.h>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

constexpr int64_t limit_ms = 10000; // generous: nothing here should take a fraction of it

// A heap runnable: fn on run, on_del when deleted.
struct job {
    std::function<void()> fn;
    std::function<void()> on_del;
    void run() { fn(); }
    ~job() {
        if (on_del) on_del();
    }
};

rulo::runnable make_job(std::function<void()> fn, std::function<void()> on_del = {}) {
    return rulo::runnable_f<job>::make(new job{std::move(fn), std::move(on_del)});
}

// Polls a condition that has no event of its own (a worker ending), up to limit_ms.
bool eventually(std::function<bool()> cond) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

TEST(RunAndDelete, RunsThenDeletesAndSwallowsBoth) {
    std::vector<int> seen;
    struct thrower {
        std::vector<int>* seen;
        void run() {
            seen->push_back(1);
            throw std::runtime_error("run");
        }
        ~thrower() noexcept(false) {
            seen->push_back(2);
            throw rulo::exception("del");
        }
    };
    rulo::runnable_f<thrower>::make(new thrower{&seen}).run_and_delete();
    EXPECT_EQ(seen, (std::vector<int>{1, 2}));
}

TEST(ThreadPool, WithOneThreadRunsThreeInOrderOnOneWorker) {
    rulo::thread_pool pool(1, 5000, rulo::thread::normal);
    rulo::semaphore gate(1, 0), done(1, 0);
    std::mutex m;
    std::vector<int> order;
    std::vector<pthread_t> threads;
    std::atomic<int> dels{0};
    for (int i = 0; i < 3; ++i) {
        pool.execute(make_job(
            [&, i] {
                if (i == 0) gate.wait(); // keep the worker busy until all three are in
                std::lock_guard<std::mutex> l(m);
                order.push_back(i);
                threads.push_back(pthread_self());
                if (i == 1) throw rulo::exception("swallowed by the worker");
            },
            [&] {
                ++dels;
                done.post();
            }));
    }
    EXPECT_EQ(pool.running(), 1);
    EXPECT_EQ(pool.queued(), 2u);
    gate.post();
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(done.wait_ms(limit_ms));
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(dels.load(), 3);
    ASSERT_EQ(threads.size(), 3u);
    EXPECT_TRUE(pthread_equal(threads[0], threads[1]) && pthread_equal(threads[1], threads[2]));
    EXPECT_EQ(pool.running(), 1);
}

TEST(ThreadPool, IdleWorkerTakesTheNextHandOverThenExpires) {
    rulo::thread_pool pool(4, 100, rulo::thread::normal);
    rulo::semaphore done(1, 0);
    pthread_t first{}, second{};
    pool.execute(make_job([&] { first = pthread_self(); }, [&] { done.post(); }));
    ASSERT_TRUE(done.wait_ms(limit_ms));
    // Work that comes while the worker idles is handed to it, not to a new worker.
    ASSERT_TRUE(eventually([&] { return pool.idle_count() == 1; }));
    pool.execute(make_job([&] { second = pthread_self(); }, [&] { done.post(); }));
    ASSERT_TRUE(done.wait_ms(limit_ms));
    EXPECT_TRUE(pthread_equal(first, second));
    EXPECT_LE(pool.running(), 1);
    // Without work the worker leaves after idle_ms.
    EXPECT_TRUE(eventually([&] { return pool.running() == 0 && pool.idle_count() == 0; }));
}

TEST(ThreadPool, WorkerStartFailureLeavesTheRunnableWithTheCaller) {
    rulo::thread_pool pool(2, 5000, rulo::thread::normal);
    std::atomic<int> runs{0}, dels{0};
    rulo::semaphore done(1, 0);
    rulo::runnable r = make_job([&] { ++runs; },
                                [&] {
                                    ++dels;
                                    done.post();
                                });

    test_support::fail_next_thread_starts(1);
    try {
        pool.execute(r);
        FAIL() << "execute must report the failed worker start";
    } catch (rulo::exception const& e) {
        EXPECT_EQ(e.description(), ":Error in 'detach'");
    }
    EXPECT_EQ(runs.load(), 0);
    EXPECT_EQ(dels.load(), 0);
    EXPECT_EQ(pool.running(), 0);
    EXPECT_EQ(pool.queued(), 0u);

    // The executor adapter cannot throw: the refused runnable is deleted, unrun, once.
    test_support::fail_next_thread_starts(1);
    rulo::executor e = pool.get_executor();
    e.execute(r);
    EXPECT_EQ(runs.load(), 0);
    EXPECT_EQ(dels.load(), 1);
    EXPECT_TRUE(done.wait_ms(0));
    EXPECT_EQ(pool.running(), 0);

    // The pool is still usable.
    ASSERT_EQ(test_support::thread_start_failures_left(), 0);
    e.execute(make_job([&] { ++runs; }, [&] { done.post(); }));
    ASSERT_TRUE(done.wait_ms(limit_ms));
    EXPECT_EQ(runs.load(), 1);
}

// Work handed over exactly when workers time out must still run: each round
// waits for its work, then lets a varying part of idle_ms pass, so the next
// execute meets workers at every stage of expiring.
TEST(ThreadPool, NoRunnableIsLostAtTheIdleTimeOut) {
    constexpr int rounds = 600;
    rulo::thread_pool pool(2, 1, rulo::thread::normal);
    std::atomic<int> runs{0}, dels{0};
    rulo::semaphore done(1, 0);
    int executed = 0;
    for (int i = 0; i < rounds; ++i) {
        int batch = 1 + i % 3; // a third of the rounds also queue behind two busy workers
        for (int k = 0; k < batch; ++k, ++executed)
            pool.execute(make_job([&] { ++runs; },
                                  [&] {
                                      ++dels;
                                      done.post();
                                  }));
        for (int k = 0; k < batch; ++k) ASSERT_TRUE(done.wait_ms(limit_ms)) << "round " << i;
        auto until = std::chrono::steady_clock::now() + std::chrono::microseconds((i % 25) * 60);
        while (std::chrono::steady_clock::now() < until) {
        }
    }
    EXPECT_EQ(runs.load(), executed);
    EXPECT_EQ(dels.load(), executed);
    EXPECT_TRUE(eventually([&] { return pool.running() == 0; }));
}

TEST(ThreadPool, ManyThreadsExecutingConcurrentlyRunEverything) {
    rulo::thread_pool pool(3, 50, rulo::thread::normal);
    constexpr int per_thread = 300;
    std::atomic<int> runs{0};
    rulo::semaphore done(1, 0);
    std::vector<std::thread> producers;
    for (int t = 0; t < 4; ++t)
        producers.emplace_back([&] {
            rulo::executor e = pool.get_executor();
            for (int i = 0; i < per_thread; ++i) e.execute(make_job([&] { ++runs; }, [&] { done.post(); }));
        });
    for (auto& p : producers) p.join();
    for (int i = 0; i < 4 * per_thread; ++i) ASSERT_TRUE(done.wait_ms(limit_ms));
    EXPECT_EQ(runs.load(), 4 * per_thread);
    EXPECT_LE(pool.running(), 3);
}

TEST(ThreadPool, LastHandleGoingLeavesRunningWorkToFinish) {
    rulo::semaphore gate(1, 0), done(1, 0);
    std::atomic<int> runs{0};
    {
        rulo::thread_pool pool(1, 20, rulo::thread::normal);
        for (int i = 0; i < 3; ++i)
            pool.execute(make_job(
                [&, i] {
                    if (i == 0) gate.wait();
                    ++runs;
                },
                [&] { done.post(); }));
    }
    gate.post(); // the worker holds the pool data and drains the queue
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(done.wait_ms(limit_ms));
    EXPECT_EQ(runs.load(), 3);
}

class counting_piggyback : public rulo::piggyback_executor {
public:
    void wake_up() override { ++wakes; }
    std::atomic<int> wakes{0};
};

TEST(PiggybackExecutor, DrainRunsWhatIsQueuedWhileDraining) {
    counting_piggyback p;
    rulo::executor e = p.get_executor();
    std::vector<int> order;
    int dels = 0;
    auto note = [&](int n) { return make_job([&, n] { order.push_back(n); }, [&] { ++dels; }); };
    e.execute(note(1));
    e.execute(make_job(
        [&] {
            order.push_back(2);
            e.execute(note(4));
            e.execute(note(5));
            throw std::runtime_error("swallowed by the drain");
        },
        [&] { ++dels; }));
    e.execute(note(3));
    EXPECT_EQ(p.wakes.load(), 3);
    EXPECT_EQ(p.queued(), 3u);
    p.execute_tasks();
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4, 5}));
    EXPECT_EQ(dels, 5);
    EXPECT_EQ(p.wakes.load(), 5);
    EXPECT_EQ(p.queued(), 0u);
}

TEST(PiggybackExecutor, UndrainedWorkIsDeletedUnrunWithTheExecutor) {
    int runs = 0, dels = 0;
    {
        counting_piggyback p;
        p.execute(make_job([&] { ++runs; }, [&] { ++dels; }));
    }
    EXPECT_EQ(runs, 0);
    EXPECT_EQ(dels, 1);
}

} // namespace
