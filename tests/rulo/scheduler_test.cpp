// The task scheduler: modes, ids, cancelling, del ownership and executors.
#include "rulo/clock.h"
#include "rulo/lock.h"
#include "rulo/scheduler.h"
#include "rulo/semaphore.h"
#include "rulo/thread_pool.h"
#include "tests/rulo/failing_thread_start.h"
#include "tests/support/framework_env.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <thread>
#include <vector>

namespace {

constexpr int64_t limit_ms = 10000; // generous: nothing should take a fraction of it

// True when another thread can take the task lock while the caller waits.
bool task_lock_is_free() {
    auto taken = std::make_shared<rulo::semaphore>(1, 0);
    std::thread([taken] {
        rulo::rec_lock l(rulo::task_lock());
        taken->post();
    }).detach();
    return taken->wait_ms(limit_ms);
}

// Records its runs and its del; must outlive the task (wait for `deleted`).
struct probe {
    std::atomic<int> runs{0}, dels{0};
    rulo::semaphore ran{1, 0}, deleted{1, 0};
    int64_t id = -1;
    std::function<void(probe&)> on_run;
    std::vector<int64_t> starts, ends; // relative time around each run; read after del
    int runs_at_del = -1;
    bool check_lock = false, del_lock_free = false;

    static void run(void* p) {
        probe& self = *static_cast<probe*>(p);
        int64_t start = rulo::relative_time();
        if (self.on_run) self.on_run(self);
        self.starts.push_back(start);
        self.ends.push_back(rulo::relative_time());
        ++self.runs;
        self.ran.post();
    }
    static void del(void* p) {
        probe& self = *static_cast<probe*>(p);
        self.del_lock_free = self.check_lock && task_lock_is_free();
        self.runs_at_del = self.runs;
        ++self.dels;
        self.deleted.post();
    }
    rulo::runnable r() { return rulo::runnable{&run, &del, this}; }
};

TEST(Scheduler, ModesRunOnceOrPeriodicallyOnEveryTarget) {
    rulo::thread_pool own(2, 1000, rulo::thread::normal);
    std::set<int64_t> ids;
    for (int where = 0; where < 3; ++where) { // scheduler thread, scheduler pool, own executor
        for (auto mode : {rulo::schedule_at, rulo::schedule_every, rulo::schedule_now_and_every}) {
            SCOPED_TRACE(testing::Message() << "target " << where << " mode " << int(mode));
            probe p;
            int64_t const t0 = rulo::relative_time(), period = 20;
            int64_t const time = mode == rulo::schedule_at ? t0 + 30 : period;
            if (where == 2)
                rulo::schedule_task_executor(&p.id, time, mode, own.get_executor(), p.r());
            else
                rulo::schedule_task(&p.id, time, mode, where == 1, p.r());
            if (mode != rulo::schedule_at) {
                for (int i = 0; i < 3; ++i) ASSERT_TRUE(p.ran.wait_ms(limit_ms));
                rulo::cancel_task(p.id);
            }
            ASSERT_TRUE(p.deleted.wait_ms(limit_ms));
            EXPECT_TRUE(ids.insert(p.id).second && p.id > 0) << p.id;
            EXPECT_EQ(p.runs.load(), p.runs_at_del); // nothing ran after del
            EXPECT_TRUE(mode == rulo::schedule_at ? p.runs_at_del == 1 : p.runs_at_del >= 3) << p.runs_at_del;
            int64_t const first_due[] = {time, t0 + period, t0}; // by mode
            EXPECT_GE(p.starts.at(0), first_due[mode]);
            // The period counts from the end of the previous run.
            for (size_t i = 1; i < p.starts.size(); ++i) EXPECT_GE(p.starts[i], p.ends[i - 1] + period);
        }
    }
}

TEST(Scheduler, DelIsCalledOnceAfterTheLastRunAndOutsideTheTaskLock) {
    for (int64_t unknown : {int64_t(0), int64_t(-1), INT64_MAX}) rulo::cancel_task(unknown);
    enum how { idle, cancelled_running, cancelled_inside_third_run };
    struct {
        how end;
        int runs;
    } const cases[] = {{idle, 0}, {cancelled_running, 1}, {cancelled_inside_third_run, 3}};
    for (auto const& c : cases) {
        SCOPED_TRACE(c.end);
        probe p;
        p.check_lock = true;
        rulo::semaphore started(1, 0), gate(1, 0);
        if (c.end == idle) rulo::schedule_task(&p.id, 3600000, rulo::schedule_every, false, p.r());
        if (c.end == cancelled_running) {
            p.on_run = [&](probe&) {
                started.post();
                gate.wait();
            };
            rulo::schedule_task(&p.id, 5, rulo::schedule_now_and_every, true, p.r());
            ASSERT_TRUE(started.wait_ms(limit_ms));
        }
        if (c.end == cancelled_inside_third_run) {
            p.on_run = [](probe& self) {
                if (self.runs == 2) rulo::cancel_task(self.id); // the run finishes first
            };
            rulo::schedule_task(&p.id, 1, rulo::schedule_now_and_every, false, p.r());
        } else {
            rulo::cancel_task(p.id);
            EXPECT_EQ(p.dels.load(), c.end == idle ? 1 : 0) << "idle tasks end at once";
            gate.post();
        }
        ASSERT_TRUE(p.deleted.wait_ms(limit_ms));
        rulo::cancel_task(p.id); // finished: ignored
        EXPECT_TRUE(p.del_lock_free);
        EXPECT_EQ(p.dels.load(), 1);
        EXPECT_EQ(p.runs_at_del, c.runs);
        EXPECT_EQ(p.runs.load(), c.runs);
    }
}

// A task the executor deletes unrun still ends its round: a one-shot task is
// deleted, a periodic one is refused again each period until cancelled.
TEST(Scheduler, RefusedHandOutEndsTheRoundInsteadOfStrandingTheTask) {
    rulo::semaphore refused(1, 0);
    auto refuse = [](void* ctx, rulo::run_fn, rulo::run_fn del, void* arg) {
        del(arg);
        static_cast<rulo::semaphore*>(ctx)->post();
    };
    rulo::executor const ex{refuse, &refused};
    probe once, periodic;
    rulo::schedule_task_executor(&once.id, 0, rulo::schedule_at, ex, once.r());
    ASSERT_TRUE(once.deleted.wait_ms(limit_ms));
    rulo::schedule_task_executor(&periodic.id, 2, rulo::schedule_now_and_every, ex, periodic.r());
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(refused.wait_ms(limit_ms));
    rulo::cancel_task(periodic.id);
    ASSERT_TRUE(periodic.deleted.wait_ms(limit_ms));
    EXPECT_EQ(once.runs + periodic.runs, 0);
    EXPECT_EQ(periodic.dels.load(), 1);
}

// A schedule that cannot start the scheduler thread throws and leaves the task
// with the caller; the next schedule starts the thread again. The thread ends
// as soon as nothing is queued: retry until a schedule has to start a new one.
TEST(Scheduler, FailedSchedulerThreadStartLeavesTheTaskWithTheCaller) {
    bool failed_once = false;
    for (int attempt = 0; attempt < 2000 && !failed_once; ++attempt) {
        probe p;
        test_support::fail_next_thread_starts(1);
        std::string const error =
            test_support::thrown([&] { rulo::schedule_task(&p.id, 0, rulo::schedule_at, false, p.r()); });
        test_support::fail_next_thread_starts(0);
        if (!error.empty()) {
            failed_once = true;
            EXPECT_EQ(error, ":Error in 'detach'");
            EXPECT_EQ(p.id, -1);
            EXPECT_EQ(p.runs + p.dels, 0);
        } else {
            ASSERT_TRUE(p.deleted.wait_ms(limit_ms));
            std::this_thread::yield();
        }
    }
    ASSERT_TRUE(failed_once);
    probe q;
    rulo::schedule_task(&q.id, 0, rulo::schedule_at, false, q.r());
    ASSERT_TRUE(q.deleted.wait_ms(limit_ms));
    EXPECT_EQ(q.runs.load(), 1);
}

} // namespace
