// Locks, semaphores and detached threads.
#include "rulo/clock.h"
#include "rulo/exception.h"
#include "rulo/lock.h"
#include "rulo/semaphore.h"
#include "rulo/thread.h"
#include "tests/support/framework_env.h"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

namespace {

TEST(Locks, RecMutexIsRecursiveAndGuardsAcrossThreadsAndSlockUnlocks) {
    rulo::rec_mutex m;
    int shared = 0;
    {
        rulo::rec_lock a(m);
        rulo::rec_lock b(&m);
        rulo::rec_lock none(static_cast<rulo::rec_mutex*>(nullptr));
    }
    std::thread t[4];
    for (auto& th : t)
        th = std::thread([&] {
            for (int i = 0; i < 10000; ++i) {
                rulo::rec_lock l(m);
                ++shared;
            }
        });
    for (auto& th : t) th.join();
    EXPECT_EQ(shared, 40000);

    pthread_mutex_t plain = PTHREAD_MUTEX_INITIALIZER;
    { slock l(plain); }
    EXPECT_EQ(pthread_mutex_trylock(&plain), 0);
    pthread_mutex_unlock(&plain);
}

TEST(Semaphore, CountsWithoutACapAndTimedWaitsLastTheirTime) {
    rulo::semaphore s(1, 0);
    EXPECT_FALSE(s.wait_ms(-5));
    s.post();
    s.post(); // the first constructor argument does not cap the count
    EXPECT_TRUE(s.wait_ms(0));
    EXPECT_TRUE(s.wait_ms(0));
    EXPECT_FALSE(s.wait_ms(0));
    int64_t start = rulo::relative_time();
    EXPECT_FALSE(s.wait(1L));
    EXPECT_GE(rulo::relative_time() - start, 1000);
}

// A time-out meaning "for ever" must wait for the post, not wrap into the
// past and give up at once (or overflow while converting seconds).
TEST(Semaphore, WaitsForEverWaitForThePost) {
    struct {
        char const* call;
        std::function<bool(rulo::semaphore&)> wait;
    } const cases[] = {
        {"wait_ms(INT64_MAX)", [](rulo::semaphore& s) { return s.wait_ms(INT64_MAX); }},
        {"wait(LONG_MAX)", [](rulo::semaphore& s) { return s.wait(LONG_MAX); }},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.call);
        rulo::semaphore s(1, 0), waiting(1, 0);
        bool taken = false;
        std::thread waiter([&] {
            waiting.post();
            taken = c.wait(s);
        });
        ASSERT_TRUE(waiting.wait_ms(10000));
        s.post(); // almost always after the wait began: a wrapped deadline has returned false by then
        waiter.join();
        EXPECT_TRUE(taken);
    }
}

// Callers keep a semaphore on their stack and end it as soon as their wait
// returns, while the posting thread may still be inside post(): post must
// touch nothing of it once the count is visible (ASan and TSan watch).
TEST(Semaphore, WaiterMayEndItWhilePostReturns) {
    std::atomic<rulo::semaphore*> shared{nullptr};
    std::thread poster([&] {
        for (int i = 0; i < 2000; ++i) {
            rulo::semaphore* s;
            while ((s = shared.exchange(nullptr)) == nullptr) std::this_thread::yield();
            s->post();
        }
    });
    for (int i = 0; i < 2000; ++i) {
        auto s = std::make_unique<rulo::semaphore>(1, 0);
        shared = s.get();
        if (i % 2) {
            s->wait();
        } else {
            ASSERT_TRUE(s->wait_ms(10000));
        }
    }
    poster.join();
}

class probe_thread : public rulo::thread {
public:
    probe_thread(rulo::semaphore* release, std::atomic<int>* finished)
        : rulo::thread(false, "poller", 3), m_release(release), m_finished(finished) {}
    ~probe_thread() override { synchronize(); } // run() uses our members

protected:
    void run() override {
        if (m_release) m_release->wait();
        ++*m_finished;
    }

private:
    rulo::semaphore* m_release;
    std::atomic<int>* m_finished;
};

TEST(Thread, DeleteWaitsForRunAndASecondDetachThrows) {
    rulo::semaphore release(1, 0);
    std::atomic<int> finished{0};
    auto* t = new probe_thread(&release, &finished);
    EXPECT_EQ(t->name(), "poller:3");
    t->synchronize(); // never started: returns at once
    t->detach();
    EXPECT_EQ(test_support::thrown([&] { t->detach(); }), ":Error in 'detach'");
    std::thread releaser([&] { release.post(); });
    delete t; // blocks until run() has returned
    EXPECT_EQ(finished.load(), 1);
    releaser.join();
}

TEST(Thread, SelfDeletingThreadsEndOnTheirOwn) {
    rulo::semaphore done(1, 0);
    struct notifying : rulo::thread {
        rulo::semaphore* done;
        explicit notifying(rulo::semaphore* d) : rulo::thread(true, "", 0), done(d) {}
        void run() override { done->post(); }
    };
    for (int i = 0; i < 50; ++i) (new notifying(&done))->detach();
    for (int i = 0; i < 50; ++i) ASSERT_TRUE(done.wait_ms(60000));
}

// 4,294,968 ms in microseconds is 704 past 2^32: a sleep computed in 32 bits
// would last under a millisecond.
TEST(Sleep, LargeValuesDoNotWrap) {
    static std::atomic<bool> woke{false};
    std::thread([] {
        Sleep(4294968);
        woke = true;
    }).detach();
    Sleep(300);
    EXPECT_FALSE(woke.load());
}

} // namespace
