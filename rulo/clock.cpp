#include "rulo/clock.h"

#include "rulo/exception.h"
#include "rulo/hooks.h"
#include "rulo/lock.h"

#include <sys/time.h>
#include <sys/times.h>
#include <unistd.h>

namespace rulo {
namespace {

bool probe_monotonic() {
    timespec ts;
    return ::clock_gettime(CLOCK_MONOTONIC, &ts) == 0;
}

// Made once, on first use or by init_timer, and never freed.
struct clock_state {
    rec_mutex mutex;
    bool has_monotonic = probe_monotonic();
    int64_t monotonic_start = has_monotonic ? GetTickCount_m() : 0;
    int64_t ticks_per_second = sysconf(_SC_CLK_TCK) > 0 ? sysconf(_SC_CLK_TCK) : 100;
    int64_t last_tick = GetTickCount_t();
    int64_t accumulated_ms = 0;
};

clock_state& state() {
    static clock_state* s = new clock_state;
    return *s;
}

} // namespace

void init_unixtime() {
    tzset();
    state();
}

void init_timer() {
    state();
}

int64_t GetTickCount_m() {
    timespec ts;
    clock_monotonic(ts);
    return get_ns(ts);
}

int64_t GetTickCount_t() {
    struct tms buf;
    return int64_t(::times(&buf));
}

void clock_realtime(timespec& ts) {
    if (::clock_gettime(CLOCK_REALTIME, &ts) != 0) throw exception::function("clock_realtime");
}

void clock_monotonic(timespec& ts) {
    if (::clock_gettime(CLOCK_MONOTONIC, &ts) != 0) throw exception::function("clock_monotonic");
}

int64_t add_saturated(int64_t a, int64_t b) {
    int64_t sum;
    if (__builtin_add_overflow(a, b, &sum)) return b > 0 ? INT64_MAX : INT64_MIN;
    return sum;
}

int64_t seconds_to_ms(int64_t seconds) {
    int64_t ms;
    if (__builtin_mul_overflow(seconds, int64_t(1000), &ms)) return seconds > 0 ? INT64_MAX : INT64_MIN;
    return ms;
}

int64_t get_ns(timespec const& ts) {
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}
int64_t get_ms_from_ns(int64_t ns) {
    return ns / 1000000;
}

void add_ms(timespec& ts, int64_t ms) {
    ts.tv_sec += ms / 1000;
    ts.tv_nsec += (ms % 1000) * 1000000;
    while (ts.tv_nsec > 999999999) {
        ts.tv_nsec -= 1000000000;
        ts.tv_sec += 1;
    }
}

int64_t relative_time() {
    if (x_relative_time) return x_relative_time();
    clock_state& s = state();
    if (s.has_monotonic) return get_ms_from_ns(GetTickCount_m() - s.monotonic_start);
    rec_lock lock(s.mutex);
    int64_t t = GetTickCount_t();
    s.accumulated_ms += (t - s.last_tick) * 1000 / s.ticks_per_second;
    s.last_tick = t;
    return s.accumulated_ms;
}

int64_t relative_time_t() {
    return relative_time() / 1000;
}

int64_t absolute_time() {
    if (x_absolute_time) return x_absolute_time();
    clock_state& s = state();
    rec_lock lock(s.mutex);
    if (!s.has_monotonic) relative_time();
    timespec ts;
    clock_realtime(ts);
    return get_ms_from_ns(get_ns(ts));
}

int64_t absolute_time_t() {
    return absolute_time() / 1000;
}
int64_t to_time_t(int64_t ms) {
    return ms / 1000;
}

void localtime(tm& out, long t) {
    time_t tt = t;
    if (!::localtime_r(&tt, &out)) throw exception::function("localtime");
}

std::string asctime(tm const& t) {
    char buf[64];
    if (!::asctime_r(&t, buf)) throw exception::function("asctime");
    std::string s(buf);
    if (!s.empty()) s.pop_back();
    return s;
}

std::string ctime(long t) {
    tm parts;
    localtime(parts, t);
    return asctime(parts);
}

} // namespace rulo

namespace xstd {

uint64_t get_ms_time() {
    timeval tv;
    if (gettimeofday(&tv, nullptr) != 0) throw rulo::exception::function("get_ms_time");
    return uint64_t(tv.tv_sec) * 1000 + uint64_t(tv.tv_usec) / 1000;
}

} // namespace xstd
