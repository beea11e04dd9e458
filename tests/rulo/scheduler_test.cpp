// The task scheduler: modes, ids, cancelling, del ownership and executors.
#include "rulo/clock.h"
#include "rulo/exception.h"
#include "rulo/lock.h"
#include "rulo/piggyback_executor.h"
#include "rulo/scheduler.h"
#include "rulo/semaphore.h"
#include "rulo/thread_pool.h"
#include "tests/rulo/failing_thread_start.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <set>
#include <thread>
#include <vector>

namespace {

constexpr int64_t limit_ms = 10000; // generous: nothing here should take a fraction of it

using rulo::relative_time;

// A task that counts its runs and dels. The scheduler writes id before the
// task can run. It must outlive the task: wait for `deleted` first.
struct probe {
    std::atomic<int> runs{0};
    std::atomic<int> dels{0};
    rulo::semaphore ran{1, 0};
    rulo::semaphore deleted{1, 0};
    int64_t id = -1;
    std::function<void(probe&)> on_run;
    std::function<void(probe&)> on_del;
    std::mutex m;
    std::vector<int64_t> starts, ends; // relative time around each run

    static void run(void* p) {
        probe& self = *static_cast<probe*>(p);
        int64_t start = relative_time();
        if (self.on_run) self.on_run(self);
        int64_t end = relative_time();
        {
            std::lock_guard<std::mutex> l(self.m);
            self.starts.push_back(start);
            self.ends.push_back(end);
        }
        ++self.runs;
        self.ran.post();
    }
    static void del(void* p) {
        probe& self = *static_cast<probe*>(p);
        if (self.on_del) self.on_del(self);
        ++self.dels;
        self.deleted.post();
    }
    rulo::runnable r() { return rulo::runnable{&run, &del, this}; }
};

// Records what it is handed; the test runs it.
struct recording_executor {
    std::mutex m;
    std::vector<rulo::runnable> got;
    rulo::semaphore handed{1, 0};
    std::function<void()> on_first;

    static void execute(void* ctx, rulo::run_fn run, rulo::run_fn del, void* arg) {
        auto& self = *static_cast<recording_executor*>(ctx);
        bool first;
        {
            std::lock_guard<std::mutex> l(self.m);
            first = self.got.empty();
            self.got.push_back(rulo::runnable{run, del, arg});
        }
        if (first && self.on_first) self.on_first();
        self.handed.post();
    }
    rulo::executor get() { return rulo::executor{&execute, this}; }
};

// Refuses everything: deletes each runnable unrun, as a pool that cannot start a worker does.
struct refusing_executor {
    std::atomic<int> calls{0};
    rulo::semaphore called{1, 0};

    static void execute(void* ctx, rulo::run_fn, rulo::run_fn del, void* arg) {
        auto& self = *static_cast<refusing_executor*>(ctx);
        del(arg);
        ++self.calls;
        self.called.post();
    }
    rulo::executor get() { return rulo::executor{&execute, this}; }
};

class waking_piggyback : public rulo::piggyback_executor {
public:
    void wake_up() override { woken.post(); }
    rulo::semaphore woken{1, 0};
};

int64_t schedule_nothing() {
    int64_t id = 0;
    rulo::schedule_task(&id, 0, rulo::schedule_at, false,
                        rulo::runnable{[](void*) {}, [](void*) {}, nullptr});
    return id;
}

TEST(Scheduler, FirstIdOfAProcessIsOne) {
    GTEST_FLAG_SET(death_test_style, "threadsafe"); // a fresh process: nothing scheduled yet
    EXPECT_EXIT(std::_Exit(schedule_nothing() == 1 ? 0 : 1), ::testing::ExitedWithCode(0), "");
}

TEST(Scheduler, IdsNeverRepeatAcrossThreads) {
    static std::atomic<int> dels{0};
    dels = 0;
    constexpr int threads = 4, per_thread = 250;
    std::vector<std::vector<int64_t>> ids(threads);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&ids, t] {
            for (int i = 0; i < per_thread; ++i) {
                int64_t id = 0;
                rulo::schedule_task(&id, relative_time() + 3600000, rulo::schedule_at, i % 2 == 0,
                                    rulo::runnable{[](void*) { ADD_FAILURE() << "must not run"; },
                                                   [](void*) { ++dels; }, nullptr});
                ids[t].push_back(id);
                rulo::cancel_task(id); // idle: removed and deleted at once
            }
        });
    for (auto& w : workers) w.join();
    std::set<int64_t> all;
    for (auto const& v : ids) {
        EXPECT_TRUE(std::is_sorted(v.begin(), v.end()));
        all.insert(v.begin(), v.end());
    }
    EXPECT_EQ(all.size(), size_t(threads * per_thread));
    EXPECT_GT(*all.begin(), 0);
    EXPECT_EQ(dels.load(), threads * per_thread);
}

enum class target { scheduler_thread, scheduler_pool, own_executor };

void schedule_on(target where, rulo::thread_pool& own, probe& p, int64_t time,
                 rulo::schedule_task_time mode) {
    if (where == target::own_executor)
        rulo::schedule_task_executor(&p.id, time, mode, own.get_executor(), p.r());
    else
        rulo::schedule_task(&p.id, time, mode, where == target::scheduler_pool, p.r());
}

TEST(Scheduler, ModesRunOnceOrPeriodicallyOnEveryTarget) {
    struct mode_case {
        rulo::schedule_task_time mode;
        int64_t period;
    };
    mode_case const modes[] = {
        {rulo::schedule_at, 0}, {rulo::schedule_every, 20}, {rulo::schedule_now_and_every, 20}};
    target const targets[] = {target::scheduler_thread, target::scheduler_pool, target::own_executor};
    rulo::thread_pool own(2, 1000, rulo::thread::normal);
    for (target where : targets) {
        for (mode_case const& c : modes) {
            SCOPED_TRACE(testing::Message() << "target " << int(where) << " mode " << int(c.mode));
            probe p;
            int runs_at_del = -1;
            p.on_del = [&](probe& self) { runs_at_del = self.runs; };
            int64_t t0 = relative_time();
            if (c.mode == rulo::schedule_at) {
                int64_t due = t0 + 30;
                schedule_on(where, own, p, due, c.mode);
                ASSERT_TRUE(p.deleted.wait_ms(limit_ms));
                EXPECT_EQ(p.runs.load(), 1);
                EXPECT_EQ(runs_at_del, 1);
                EXPECT_GE(p.starts.at(0), due);
                continue;
            }
            schedule_on(where, own, p, c.period, c.mode);
            for (int i = 0; i < 3; ++i) ASSERT_TRUE(p.ran.wait_ms(limit_ms));
            rulo::cancel_task(p.id);
            ASSERT_TRUE(p.deleted.wait_ms(limit_ms));
            EXPECT_EQ(p.dels.load(), 1);
            EXPECT_EQ(p.runs.load(), runs_at_del); // nothing ran after del
            std::lock_guard<std::mutex> l(p.m);
            if (c.mode == rulo::schedule_every) {
                EXPECT_GE(p.starts.at(0), t0 + c.period);
            }
            // The period counts from the end of the previous run.
            for (size_t i = 1; i < p.starts.size(); ++i) EXPECT_GE(p.starts[i], p.ends[i - 1] + c.period);
        }
    }
}

TEST(Scheduler, TasksDueAtTheSameTimeAreCollectedTogetherInIdOrder) {
    probe a, b;
    recording_executor ex;
    int b_dels_after_cancel = -1;
    // Runs on the scheduler thread while it hands out the batch: a task
    // already collected is only marked cancelled, an idle one would be deleted at once.
    ex.on_first = [&] {
        rulo::cancel_task(b.id);
        b_dels_after_cancel = b.dels;
    };
    {
        rulo::rec_lock hold(rulo::task_lock()); // neither can be collected before both are in
        int64_t due = relative_time();
        rulo::schedule_task_executor(&a.id, due, rulo::schedule_at, ex.get(), a.r());
        rulo::schedule_task_executor(&b.id, due, rulo::schedule_at, ex.get(), b.r());
    }
    ASSERT_TRUE(ex.handed.wait_ms(limit_ms));
    ASSERT_TRUE(ex.handed.wait_ms(limit_ms));
    EXPECT_LT(a.id, b.id);
    EXPECT_EQ(b_dels_after_cancel, 0);
    ASSERT_EQ(ex.got.size(), 2u);
    ex.got[0].run_and_delete();
    EXPECT_EQ(a.runs.load(), 1);
    EXPECT_EQ(b.runs.load(), 0);
    EXPECT_EQ(a.dels.load(), 1);
    ex.got[1].run_and_delete(); // the cancelled run still happens, then ends the task
    EXPECT_EQ(b.runs.load(), 1);
    EXPECT_EQ(b.dels.load(), 1);
}

TEST(Scheduler, CancelFromInsideItsOwnRunFinishesTheRunAndStops) {
    for (bool use_pool : {false, true}) {
        SCOPED_TRACE(use_pool ? "pool" : "scheduler thread");
        probe p;
        bool run_finished = false;
        int runs_at_del = -1;
        p.on_run = [&](probe& self) {
            if (self.runs == 2) {
                rulo::cancel_task(self.id);
                EXPECT_EQ(self.dels.load(), 0); // not while it runs
                run_finished = true;
            }
        };
        p.on_del = [&](probe& self) {
            runs_at_del = self.runs;
            EXPECT_TRUE(run_finished);
        };
        rulo::schedule_task(&p.id, 1, rulo::schedule_now_and_every, use_pool, p.r());
        ASSERT_TRUE(p.deleted.wait_ms(limit_ms));
        EXPECT_EQ(runs_at_del, 3);
        EXPECT_EQ(p.runs.load(), 3);
        EXPECT_EQ(p.dels.load(), 1);
    }
}

TEST(Scheduler, CancelIgnoresUnknownAndFinishedIdsAndEndsIdleTasks) {
    for (int64_t unknown : {int64_t(0), int64_t(-1), INT64_MAX}) rulo::cancel_task(unknown);

    probe finished;
    rulo::schedule_task(&finished.id, 0, rulo::schedule_at, false, finished.r());
    ASSERT_TRUE(finished.deleted.wait_ms(limit_ms));
    rulo::cancel_task(finished.id);
    EXPECT_EQ(finished.runs.load(), 1);
    EXPECT_EQ(finished.dels.load(), 1);

    struct idle_case {
        char const* what;
        int64_t time;
        int mode;
    };
    idle_case const cases[] = {{"due in an hour", relative_time() + 3600000, rulo::schedule_at},
                               {"period of an hour", 3600000, rulo::schedule_every},
                               {"unknown mode: recorded, never queued", 0, 7}};
    for (idle_case const& c : cases) {
        SCOPED_TRACE(c.what);
        probe p;
        rulo::schedule_task(&p.id, c.time, rulo::schedule_task_time(c.mode), false, p.r());
        EXPECT_GT(p.id, finished.id);
        rulo::cancel_task(p.id); // deleted at once, on this thread
        EXPECT_EQ(p.dels.load(), 1);
        EXPECT_EQ(p.runs.load(), 0);
        rulo::cancel_task(p.id);
        EXPECT_EQ(p.dels.load(), 1);
    }
}

// True when another thread can take the task lock while the caller waits:
// the caller does not hold it.
bool task_lock_is_free() {
    auto taken = std::make_shared<rulo::semaphore>(1, 0);
    std::thread([taken] {
        rulo::rec_lock l(rulo::task_lock());
        taken->post();
    }).detach();
    return taken->wait_ms(limit_ms);
}

TEST(Scheduler, DelIsCalledOnceAndOutsideTheTaskLock) {
    enum class how { ran_on_thread, ran_on_pool, cancelled_idle, cancelled_running };
    struct del_case {
        char const* what;
        how end;
    };
    del_case const cases[] = {{"one-shot on the scheduler thread", how::ran_on_thread},
                              {"one-shot on the pool", how::ran_on_pool},
                              {"cancelled while queued", how::cancelled_idle},
                              {"cancelled while running", how::cancelled_running}};
    for (del_case const& c : cases) {
        SCOPED_TRACE(c.what);
        probe p;
        rulo::semaphore started(1, 0), gate(1, 0);
        bool lock_free = false;
        p.on_del = [&](probe&) { lock_free = task_lock_is_free(); };
        switch (c.end) {
        case how::ran_on_thread:
        case how::ran_on_pool:
            rulo::schedule_task(&p.id, 0, rulo::schedule_at, c.end == how::ran_on_pool, p.r());
            break;
        case how::cancelled_idle:
            rulo::schedule_task(&p.id, 3600000, rulo::schedule_every, false, p.r());
            rulo::cancel_task(p.id);
            break;
        case how::cancelled_running:
            p.on_run = [&](probe&) {
                started.post();
                gate.wait();
            };
            rulo::schedule_task(&p.id, 5, rulo::schedule_now_and_every, true, p.r());
            ASSERT_TRUE(started.wait_ms(limit_ms));
            rulo::cancel_task(p.id);
            EXPECT_EQ(p.dels.load(), 0);
            gate.post();
            break;
        }
        ASSERT_TRUE(p.deleted.wait_ms(limit_ms));
        EXPECT_TRUE(lock_free);
        EXPECT_EQ(p.dels.load(), 1);
    }
}

TEST(Scheduler, ExecutorModeHandsTheTaskToTheExecutor) {
    waking_piggyback pb;
    probe p;
    pthread_t ran_on{};
    p.on_run = [&](probe&) { ran_on = pthread_self(); };
    rulo::schedule_task_executor(&p.id, 0, rulo::schedule_at, pb.get_executor(), p.r());
    ASSERT_TRUE(pb.woken.wait_ms(limit_ms));
    pb.execute_tasks();
    EXPECT_EQ(p.runs.load(), 1);
    EXPECT_EQ(p.dels.load(), 1);
    EXPECT_TRUE(pthread_equal(ran_on, pthread_self()));

    // A null execute function means the scheduler thread.
    probe q;
    q.on_run = [&](probe&) { ran_on = pthread_self(); };
    rulo::schedule_task_executor(&q.id, 0, rulo::schedule_at, rulo::executor{}, q.r());
    ASSERT_TRUE(q.deleted.wait_ms(limit_ms));
    EXPECT_EQ(q.runs.load(), 1);
    EXPECT_FALSE(pthread_equal(ran_on, pthread_self()));
}

TEST(Scheduler, RefusedHandOutEndsTheRoundInsteadOfStrandingTheTask) {
    refusing_executor ex;
    probe once;
    rulo::schedule_task_executor(&once.id, 0, rulo::schedule_at, ex.get(), once.r());
    ASSERT_TRUE(once.deleted.wait_ms(limit_ms));
    EXPECT_EQ(once.runs.load(), 0);

    // A periodic task stays scheduled: refused again each period until cancelled.
    probe periodic;
    rulo::schedule_task_executor(&periodic.id, 2, rulo::schedule_now_and_every, ex.get(), periodic.r());
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(ex.called.wait_ms(limit_ms));
    rulo::cancel_task(periodic.id);
    ASSERT_TRUE(periodic.deleted.wait_ms(limit_ms));
    EXPECT_EQ(periodic.runs.load(), 0);
    EXPECT_EQ(periodic.dels.load(), 1);
}

TEST(Scheduler, FailedSchedulerThreadStartLeavesTheTaskWithTheCaller) {
    bool failed_once = false;
    // The scheduler thread ends as soon as nothing is queued; retry until a
    // schedule finds it gone and has to start a new one.
    for (int attempt = 0; attempt < 500 && !failed_once; ++attempt) {
        auto p = std::make_unique<probe>();
        int64_t id = -1;
        test_support::fail_next_thread_starts(1);
        try {
            rulo::schedule_task(&id, 0, rulo::schedule_at, false, p->r());
        } catch (rulo::exception const& e) {
            failed_once = true;
            EXPECT_EQ(e.description(), ":Error in 'detach'");
            EXPECT_EQ(id, -1);
            EXPECT_EQ(p->runs.load(), 0);
            EXPECT_EQ(p->dels.load(), 0);
            continue;
        }
        test_support::fail_next_thread_starts(0);
        ASSERT_TRUE(p->deleted.wait_ms(limit_ms));
        std::this_thread::sleep_for(std::chrono::milliseconds(1)); // let the thread end
    }
    test_support::fail_next_thread_starts(0);
    ASSERT_TRUE(failed_once);

    // The next schedule starts the thread again.
    probe q;
    rulo::schedule_task(&q.id, 0, rulo::schedule_at, false, q.r());
    ASSERT_TRUE(q.deleted.wait_ms(limit_ms));
    EXPECT_EQ(q.runs.load(), 1);
}

TEST(Scheduler, PeriodicTaskSurvivesAFailedSchedulerThreadRestart) {
    // A periodic task on the pool: while it runs nothing is queued, so the
    // scheduler thread ends and the task's re-queue must start a new one.
    probe p;
    rulo::semaphore started(1, 0), gate(1, 0);
    p.on_run = [&](probe&) {
        started.post();
        gate.wait();
    };
    rulo::schedule_task(&p.id, 10, rulo::schedule_now_and_every, true, p.r());
    bool refused = false;
    for (int round = 0; round < 50 && !refused; ++round) {
        ASSERT_TRUE(started.wait_ms(limit_ms));
        std::this_thread::sleep_for(std::chrono::milliseconds(20)); // let the scheduler thread end
        test_support::fail_next_thread_starts(1);
        gate.post();
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        while (!refused && std::chrono::steady_clock::now() < end) {
            refused = test_support::thread_start_failures_left() == 0;
            std::this_thread::yield();
        }
        test_support::fail_next_thread_starts(0);
    }
    ASSERT_TRUE(refused);
    // The task stayed queued: the next schedule's thread runs it again.
    probe q;
    rulo::schedule_task(&q.id, 0, rulo::schedule_at, false, q.r());
    ASSERT_TRUE(q.deleted.wait_ms(limit_ms));
    ASSERT_TRUE(started.wait_ms(limit_ms));
    rulo::cancel_task(p.id);
    gate.post();
    ASSERT_TRUE(p.deleted.wait_ms(limit_ms));
    EXPECT_EQ(p.dels.load(), 1);
}

} // namespace
