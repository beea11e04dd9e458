// The framework's clocks and time texts.
//
// Relative time is signed 64-bit milliseconds on the monotonic clock, counted
// from start-up; every time-out and schedule of the framework uses it.
// Absolute time is milliseconds since the epoch. Names ending in _t give seconds.
// In a plugin, relative_time is the host's clock (see hooks.h).
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace rulo {

void init_unixtime(); // tzset and probe of the monotonic clock
void init_timer();    // the state of the relative clock

int64_t relative_time();
int64_t relative_time_t();
int64_t absolute_time();
int64_t absolute_time_t();
int64_t to_time_t(int64_t ms);

// a + b held to the int64_t range. Every deadline (a clock reading plus a
// time-out) is made with it, so that a time-out meaning "for ever"
// (INT64_MAX) stays in the far future instead of wrapping into the past.
int64_t add_saturated(int64_t a, int64_t b);
// Seconds to milliseconds, held to the int64_t range likewise.
int64_t seconds_to_ms(int64_t seconds);

int64_t GetTickCount_m(); // monotonic nanoseconds
int64_t GetTickCount_t(); // ticks of times()
void clock_realtime(timespec& ts);
void clock_monotonic(timespec& ts);
int64_t get_ns(timespec const& ts);
int64_t get_ms_from_ns(int64_t ns);
void add_ms(timespec& ts, int64_t ms);

void localtime(tm& out, long t);
std::string asctime(tm const& t); // without the trailing newline
std::string ctime(long t);        // 24 characters: "Wed Jun 30 21:49:08 1993"

} // namespace rulo

namespace xstd {
uint64_t get_ms_time();
} // namespace xstd
