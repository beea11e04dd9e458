// The relative and absolute clocks and the time texts.
#include "rulo/clock.h"
#include "tests/support/shell.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <utility>

namespace {

TEST(Clock, RelativeTimeIsMonotonicMilliseconds) {
    int64_t a = rulo::relative_time();
    timespec ts{0, 20 * 1000 * 1000};
    nanosleep(&ts, nullptr); // only the clock's own progress is checked, never its speed
    int64_t b = rulo::relative_time();
    EXPECT_GE(b - a, 20);
    EXPECT_GE(rulo::relative_time_t(), b / 1000);
    EXPECT_LE(rulo::relative_time_t(), rulo::relative_time() / 1000);
}

TEST(Clock, AbsoluteTimeFollowsTheRealTimeClock) {
    // Bracketed by the same clock read directly (time() reads a coarser one).
    auto now_ms = [] {
        timespec ts;
        clock_gettime(CLOCK_REALTIME, &ts);
        return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
    };
    int64_t before = now_ms();
    int64_t ms = rulo::absolute_time();
    int64_t after = now_ms();
    EXPECT_GE(ms, before);
    EXPECT_LE(ms, after);
    EXPECT_EQ(rulo::to_time_t(1999), 1);
    EXPECT_EQ(rulo::to_time_t(-1999), -1);
    EXPECT_LE(uint64_t(before), xstd::get_ms_time());
}

TEST(Clock, AddMsCarriesIntoSeconds) {
    struct row {
        timespec start;
        int64_t ms;
        timespec want;
    };
    row const table[] = {
        {{5, 0}, 1999, {6, 999000000}},
        {{5, 999999999}, 1, {6, 999999}},
        {{0, 500000000}, 500, {1, 0}},
    };
    for (auto const& r : table) {
        timespec t = r.start;
        rulo::add_ms(t, r.ms);
        EXPECT_EQ(std::pair(t.tv_sec, t.tv_nsec), std::pair(r.want.tv_sec, r.want.tv_nsec)) << r.ms;
    }
    EXPECT_EQ(rulo::get_ns({2, 5}), 2000000005);
    EXPECT_EQ(rulo::get_ms_from_ns(2999999), 2);
}

// Deadlines made from "for ever" time-outs hold at the ends of the range.
TEST(Clock, DeadlineArithmeticSaturates) {
    struct {
        int64_t a, b, sum;
    } const sums[] = {
        {1000, 500, 1500},          {1000, INT64_MAX, INT64_MAX},
        {-5, INT64_MIN, INT64_MIN}, {INT64_MAX, -1, INT64_MAX - 1},
        {-1000, -3000, -4000},
    };
    for (auto const& r : sums) EXPECT_EQ(rulo::add_saturated(r.a, r.b), r.sum) << r.a << " + " << r.b;
    EXPECT_EQ(rulo::seconds_to_ms(7), 7000);
    EXPECT_EQ(rulo::seconds_to_ms(-7), -7000);
    EXPECT_EQ(rulo::seconds_to_ms(INT64_MAX / 1000 + 1), INT64_MAX);
    EXPECT_EQ(rulo::seconds_to_ms(INT64_MIN / 1000 - 1), INT64_MIN);
}

TEST(Clock, TimeTextsHaveTheAsctimeForm) {
    setenv("TZ", "UTC", 1);
    tzset();
    // asctime's form of the epoch and a later date (C standard's layout).
    EXPECT_EQ(rulo::ctime(0), "Thu Jan  1 00:00:00 1970");
    // The same form as coreutils prints it (an English locale gives the C names).
    std::string date = test_support::run_command("LC_ALL=C date -u -d @0 '+%a %b %e %H:%M:%S %Y'").out;
    EXPECT_EQ(rulo::ctime(0) + "\n", date);
    EXPECT_EQ(rulo::ctime(741484148), "Wed Jun 30 23:49:08 1993");
    tm parts{};
    rulo::localtime(parts, 86400 * 365);
    EXPECT_EQ(rulo::asctime(parts), "Fri Jan  1 00:00:00 1971"); // without asctime's line end
    unsetenv("TZ");
    tzset();
}

} // namespace
