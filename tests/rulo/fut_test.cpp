// Futures, deferred calls and the timeout bookkeeping.
#include "rulo/clock.h"
#include "rulo/exception.h"
#include "rulo/fut.h"
#include "rulo/piggyback_executor.h"
#include "rulo/semaphore.h"
#include "rulo/thread_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <pthread.h>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int64_t limit_ms = 10000; // generous: nothing here should take a fraction of it

// The text of the rulo::exception that f throws; "" when it throws none.
std::string thrown_text(std::function<void()> const& f) {
    try {
        f();
    } catch (rulo::exception const& e) {
        return e.description();
    }
    return "";
}

class drained_by_test : public rulo::piggyback_executor {
public:
    void wake_up() override {}
};

TEST(Fut, SyncOnASetFutureReturnsAtOnce) {
    rulo::fut<int> f;
    EXPECT_TRUE(f.is_pending());
    f.set(7);
    EXPECT_TRUE(f.is_done());
    EXPECT_EQ(f.sync(0), 7);
    EXPECT_EQ(f.sync(-1), 7);
    rulo::fut<int> copy(f); // copies share the state
    EXPECT_EQ(copy.sync(0), 7);

    rulo::fut<int> failed;
    failed.set_exception(rulo::exception("gone"));
    EXPECT_EQ(thrown_text([&] { failed.sync(-1); }), "gone");
}

TEST(Fut, SyncWithZeroOnAPendingFutureFailsItWithTimeout) {
    rulo::fut<int> f;
    rulo::fut<int> other_holder(f);
    EXPECT_EQ(thrown_text([&] { f.sync(0); }), "/timeout");
    EXPECT_TRUE(other_holder.is_failed());
    EXPECT_EQ(thrown_text([&] { other_holder.sync(-1); }), "/timeout");
    // The late result is refused; the time-out stays.
    EXPECT_EQ(thrown_text([&] { f.set(1); }), ":Error in 'set'");
    EXPECT_FALSE(f.try_set(1));
}

TEST(Fut, SettingTwiceThrowsAndKeepsTheFirstResult) {
    struct case_ {
        char const* what;
        std::function<void(rulo::fut<int>&)> first, second;
        char const* error;
    };
    auto set = [](int v) { return [v](rulo::fut<int>& f) { f.set(v); }; };
    auto fail = [](char const* t) { return [t](rulo::fut<int>& f) { f.set_exception(rulo::exception(t)); }; };
    case_ const cases[] = {{"set, set", set(1), set(2), ":Error in 'set'"},
                           {"set, set_exception", set(1), fail("x"), ":Error in 'set_exception'"},
                           {"set_exception, set", fail("x"), set(2), ":Error in 'set'"},
                           {"set_exception twice", fail("x"), fail("y"), ":Error in 'set_exception'"}};
    for (case_ const& c : cases) {
        SCOPED_TRACE(c.what);
        rulo::fut<int> f;
        c.first(f);
        EXPECT_EQ(thrown_text([&] { c.second(f); }), c.error);
        std::string kept = thrown_text([&] { EXPECT_EQ(f.sync(0), 1); });
        EXPECT_EQ(kept, f.is_done() ? "" : "x");
    }
}

TEST(Fut, NegativeWaitLastsUntilTheValueIsSet) {
    for (int i = 0; i < 100; ++i) {
        rulo::fut<std::string> f;
        rulo::fut<std::string> setter_copy(f);
        std::thread setter([setter_copy]() mutable {
            for (int k = 0; k < 100; ++k) std::this_thread::yield(); // mostly after the wait began
            setter_copy.set("value");
        });
        EXPECT_EQ(f.sync(-1), "value");
        setter.join();
    }
}

TEST(Fut, OneSetReleasesEveryWaiter) {
    for (bool fail : {false, true}) {
        SCOPED_TRACE(fail ? "set_exception" : "set");
        rulo::fut<int> f;
        std::atomic<int> values{0}, errors{0};
        std::vector<std::thread> waiters;
        for (int i = 0; i < 2; ++i)
            waiters.emplace_back([f, &values, &errors]() mutable {
                try {
                    if (f.sync(-1) == 42) ++values;
                } catch (rulo::exception const& e) {
                    if (e.description() == "boom") ++errors;
                }
            });
        if (fail)
            f.set_exception(rulo::exception("boom"));
        else
            f.set(42);
        for (auto& w : waiters) w.join();
        EXPECT_EQ(values.load(), fail ? 0 : 2);
        EXPECT_EQ(errors.load(), fail ? 2 : 0);
    }
}

TEST(Fut, ATimedOutWaiterReleasesTheOthersWithTimeout) {
    rulo::fut<int> f;
    std::string seen;
    std::thread patient([f, &seen]() mutable { seen = thrown_text([&] { f.sync(-1); }); });
    EXPECT_EQ(thrown_text([&] { f.sync(5); }), "/timeout");
    patient.join();
    EXPECT_EQ(seen, "/timeout");
}

// A setter racing a waiter's time-out: the waiter gets the value or
// "/timeout", never the setter's refusal, and the setter never reaches the
// waiter's semaphore after sync returned (ASan and TSan watch for that).
TEST(Fut, SetterRacingATimeOutGivesTheValueOrTimeout) {
    constexpr int rounds = 2000;
    rulo::semaphore go(1, 0), set_done(1, 0);
    rulo::fut<int>* current = nullptr;
    std::atomic<bool> stop{false};
    std::atomic<int> set_ok{0};
    std::thread setter([&] {
        for (int i = 0;; ++i) {
            go.wait();
            if (stop) return;
            rulo::fut<int> f(*current);
            // Land anywhere around the waiter's 1 ms.
            auto until = std::chrono::steady_clock::now() + std::chrono::microseconds((i % 30) * 50);
            while (std::chrono::steady_clock::now() < until) {
            }
            if (f.try_set(i)) ++set_ok;
            set_done.post();
        }
    });
    int values = 0, timeouts = 0;
    for (int i = 0; i < rounds; ++i) {
        rulo::fut<int> f;
        current = &f;
        go.post();
        try {
            EXPECT_EQ(f.sync(1), i);
            ++values;
        } catch (rulo::exception const& e) {
            ASSERT_EQ(e.description(), "/timeout") << "round " << i;
            ++timeouts;
        }
        ASSERT_TRUE(set_done.wait_ms(limit_ms));
    }
    stop = true;
    go.post();
    setter.join();
    EXPECT_EQ(values + timeouts, rounds);
    EXPECT_EQ(values, set_ok.load());
}

void greet(std::string* out, std::string name) {
    *out = "hello " + name;
}
int add(int a, int b) {
    return a + b;
}

TEST(Pcall, DeliversTheResultOrTheException) {
    rulo::thread_pool pool(2, 1000, rulo::thread::normal);
    rulo::executor e = pool.get_executor();

    std::string greeting;
    EXPECT_EQ(rulo::pcall(e, &greet, &greeting, std::string("world")).sync(limit_ms), 1);
    EXPECT_EQ(greeting, "hello world");
    EXPECT_EQ(rulo::pcall(e, &add, 2, 3).sync(limit_ms), 5);

    struct failing_case {
        char const* what;
        std::function<void(int, int)> f;
        char const* text;
    };
    failing_case const cases[] = {
        {"framework exception", [](int, int) { throw rulo::exception("callee says no"); }, "callee says no"},
        {"standard exception", [](int, int) { throw std::runtime_error("foreign"); }, ":"},
        {"anything else", [](int, int) { throw 17; }, ":"},
    };
    for (failing_case const& c : cases) {
        SCOPED_TRACE(c.what);
        rulo::fut<int> f = rulo::pcall(e, c.f, 1, 2);
        EXPECT_EQ(thrown_text([&] { f.sync(limit_ms); }), c.text);
    }
}

TEST(Pcall, RunsOnTheExecutorAndCountsLiveTasks) {
    drained_by_test pb;
    int64_t before = rulo::g_ptask_counter.value();
    pthread_t ran_on{};
    rulo::fut<int> f = rulo::pcall(
        pb.get_executor(),
        [&](int a, int b) {
            ran_on = pthread_self();
            return a * b;
        },
        6, 7);
    EXPECT_TRUE(f.is_pending());
    EXPECT_EQ(rulo::g_ptask_counter.value(), before + 1);
    pb.execute_tasks();
    EXPECT_EQ(f.sync(0), 42);
    EXPECT_TRUE(pthread_equal(ran_on, pthread_self()));
    EXPECT_EQ(rulo::g_ptask_counter.value(), before);
}

TEST(Pcall, ALateResultAfterTheTimeOutIsDropped) {
    drained_by_test pb;
    int calls = 0;
    rulo::fut<int> f = rulo::pcall(
        pb.get_executor(), [&](int, int) { return ++calls; }, 0, 0);
    EXPECT_EQ(thrown_text([&] { f.sync(0); }), "/timeout");
    pb.execute_tasks(); // the call still runs; its result is refused quietly
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(thrown_text([&] { f.sync(0); }), "/timeout");
}

TEST(Pcall, ARefusedCallFailsItsFutureInsteadOfHanging) {
    auto refuse = [](void*, rulo::run_fn, rulo::run_fn del, void* arg) { del(arg); };
    rulo::fut<int> f = rulo::pcall(rulo::executor{refuse, nullptr}, &add, 1, 1);
    EXPECT_EQ(thrown_text([&] { f.sync(-1); }), ":Error in 'ptask'");

    // A null executor means the scheduler thread.
    EXPECT_EQ(rulo::pcall(rulo::executor{}, &add, 20, 22).sync(limit_ms), 42);
}

TEST(TimeoutSection, NestsPerThreadAndDropsTheEntryWhenEmpty) {
    pthread_t self = pthread_self();
    EXPECT_TRUE(rulo::timeout_sections(self).empty());
    {
        rulo::timeout_section outer("connect");
        {
            rulo::timeout_section inner("handshake");
            EXPECT_EQ(rulo::timeout_sections(self), (std::vector<std::string>{"connect", "handshake"}));
            std::vector<std::string> elsewhere{"x"};
            std::thread([&] { elsewhere = rulo::timeout_sections(pthread_self()); }).join();
            EXPECT_TRUE(elsewhere.empty());
        }
        EXPECT_EQ(rulo::timeout_sections(self), (std::vector<std::string>{"connect"}));
    }
    EXPECT_TRUE(rulo::timeout_sections(self).empty());
}

TEST(TimeoutSection, PreventTimeoutSetsTheDeadlineInSeconds) {
    int64_t deadline = 0;
    std::thread([&] { EXPECT_FALSE(rulo::timeout_deadline(pthread_self(), &deadline)); }).join();
    int64_t before = rulo::relative_time_t();
    rulo::prevent_timeout(30);
    int64_t after = rulo::relative_time_t();
    ASSERT_TRUE(rulo::timeout_deadline(pthread_self(), &deadline));
    EXPECT_GE(deadline, before + 30);
    EXPECT_LE(deadline, after + 30);
    rulo::prevent_timeout(5); // overwritten, not added
    ASSERT_TRUE(rulo::timeout_deadline(pthread_self(), &deadline));
    EXPECT_LE(deadline, rulo::relative_time_t() + 5);
}

} // namespace
