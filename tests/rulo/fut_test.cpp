// Futures, deferred calls and the timeout bookkeeping.
#include "rulo/clock.h"
#include "rulo/exception.h"
#include "rulo/fut.h"
#include "rulo/semaphore.h"
#include "tests/support/framework_env.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int64_t limit_ms = 10000; // generous: nothing should take a fraction of it

using test_support::thrown;
auto const add = [](int a, int b) { return a + b; };

// The first result stays: a later set of either kind throws that setter's
// name; a time-out, or one set, ends the wait of every holder.
TEST(Fut, TheFirstResultCountsForEveryWaiter) {
    rulo::fut<int> done, failed, late;
    done.set(7);
    EXPECT_EQ(thrown([&] { done.set_exception(rulo::exception("x")); }), ":Error in 'set_exception'");
    EXPECT_EQ(done.sync(0), 7);
    failed.set_exception(rulo::exception("gone"));
    EXPECT_EQ(thrown([&] { failed.set(2); }), ":Error in 'set'");
    EXPECT_EQ(thrown([&] { failed.sync(-1); }), "gone");

    std::string seen;
    std::thread patient([late, &seen]() mutable { seen = thrown([&] { late.sync(-1); }); });
    EXPECT_EQ(thrown([&] { late.sync(5); }), "/timeout");
    patient.join();
    EXPECT_EQ(seen, "/timeout");
    for (int round = 0; round < 50; ++round) {
        rulo::fut<std::string> f;
        std::atomic<int> values{0};
        auto wait = [f, &values]() mutable { values += f.sync(-1) == "value"; };
        std::thread a(wait), b(wait);
        for (int k = 0; k < 100; ++k) std::this_thread::yield(); // mostly after the waits began
        f.set("value");
        a.join();
        b.join();
        EXPECT_EQ(values.load(), 2);
    }
}

// A setter racing a waiter's time-out: the waiter gets the value or
// "/timeout", never the setter's refusal, and the setter never reaches the
// waiter's semaphore after sync returned (ASan and TSan watch for that).
TEST(Fut, SetterRacingATimeOutGivesTheValueOrTimeout) {
    constexpr int rounds = 2000;
    std::atomic<int> set_ok{0};
    int values = 0;
    for (int i = 0; i < rounds; ++i) {
        rulo::fut<int> f;
        std::thread setter([f, i, &set_ok]() mutable { // lands anywhere around the 1 ms
            auto until = std::chrono::steady_clock::now() + std::chrono::microseconds((i % 30) * 50);
            while (std::chrono::steady_clock::now() < until) {
            }
            set_ok += f.try_set(i);
        });
        std::string const error = thrown([&] { values += f.sync(1) == i; });
        EXPECT_TRUE(error.empty() || error == "/timeout") << error;
        setter.join();
    }
    EXPECT_EQ(values, set_ok.load());
}

TEST(Pcall, DeliversTheResultOrTheException) {
    auto failure = [](rulo::executor ex, std::function<void(int, int)> f) {
        return thrown([&] { rulo::pcall(ex, f, 1, 2).sync(limit_ms); });
    };
    rulo::executor const scheduler_thread{};
    EXPECT_EQ(rulo::pcall(scheduler_thread, add, 20, 22).sync(limit_ms), 42);
    EXPECT_EQ(failure(scheduler_thread, [](int, int) { throw rulo::exception("no"); }), "no");
    EXPECT_EQ(failure(scheduler_thread, [](int, int) { throw 17; }), ":");
    // A refused call fails its future instead of leaving it pending for ever.
    auto refuse = [](void*, rulo::run_fn, rulo::run_fn del, void* arg) { del(arg); };
    EXPECT_EQ(failure(rulo::executor{refuse, nullptr}, [](int, int) {}), ":Error in 'ptask'");

    // A result after the time-out is dropped quietly.
    rulo::runnable held;
    auto hold = [](void* out, rulo::run_fn run, rulo::run_fn del, void* arg) {
        *static_cast<rulo::runnable*>(out) = rulo::runnable{run, del, arg};
    };
    rulo::fut<int> f = rulo::pcall(rulo::executor{hold, &held}, add, 6, 7);
    EXPECT_EQ(thrown([&] { f.sync(0); }), "/timeout");
    held.run_and_delete();
    EXPECT_EQ(thrown([&] { f.sync(0); }), "/timeout");
}

// On a temporary future the state goes at the end of the statement: sync
// must hand out the value, not a reference into the freed state (ASan).
TEST(Fut, SyncOnATemporaryReturnsTheValue) {
    std::string const text(100, 'v'); // beyond the short-string buffer: the characters live on the heap
    auto done = [&] {
        rulo::fut<std::string> f;
        f.set(text);
        return f;
    };
    auto const& value = done().sync(0);
    EXPECT_EQ(value, text);
    auto const& sum = rulo::pcall(rulo::executor{}, add, 20, 22).sync(limit_ms);
    EXPECT_EQ(sum, 42);
    // A handle that stays gives a reference into the state it keeps.
    rulo::fut<std::string> kept = done();
    EXPECT_EQ(&kept.sync(0), &kept.sync(-1));
}

TEST(TimeoutSection, NestsPerThreadAndDeadlinesAreSetInSeconds) {
    pthread_t self = pthread_self();
    {
        rulo::timeout_section outer("connect");
        rulo::timeout_section inner("handshake");
        EXPECT_EQ(rulo::timeout_sections(self), (std::vector<std::string>{"connect", "handshake"}));
        std::thread([] { EXPECT_TRUE(rulo::timeout_sections(pthread_self()).empty()); }).join();
    }
    EXPECT_TRUE(rulo::timeout_sections(self).empty());
    int64_t deadline = 0, before = rulo::relative_time_t();
    rulo::prevent_timeout(30);
    ASSERT_TRUE(rulo::timeout_deadline(self, &deadline));
    EXPECT_GE(deadline, before + 30);
    EXPECT_LE(deadline, rulo::relative_time_t() + 30);
    // For ever stays in the future. The sum wraps only once the clock is
    // past its first second, so let it get there.
    if (rulo::relative_time_t() < 1) rulo::semaphore(1, 0).wait_ms(1000 - rulo::relative_time());
    rulo::prevent_timeout(LONG_MAX);
    ASSERT_TRUE(rulo::timeout_deadline(self, &deadline));
    EXPECT_EQ(deadline, INT64_MAX);
}

} // namespace
