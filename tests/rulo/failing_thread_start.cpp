// Interposes pthread_create for the test binary: the framework's thread
// starts resolve to this definition, which forwards to the next one (the
// C library's, or a sanitizer's interceptor) unless a failure is pending.
#include "tests/rulo/failing_thread_start.h"

#include <atomic>
#include <cerrno>
#include <dlfcn.h>
#include <pthread.h>

namespace {

std::atomic<int> g_failures{0};

using create_fn = int (*)(pthread_t*, pthread_attr_t const*, void* (*)(void*), void*);

create_fn next_create() {
    static create_fn next = reinterpret_cast<create_fn>(dlsym(RTLD_NEXT, "pthread_create"));
    return next;
}

} // namespace

namespace test_support {

void fail_next_thread_starts(int n) {
    g_failures.store(n);
}
int thread_start_failures_left() {
    return g_failures.load();
}

} // namespace test_support

extern "C" int pthread_create(pthread_t* thread, pthread_attr_t const* attr, void* (*start)(void*),
                              void* arg) noexcept {
    int left = g_failures.load();
    while (left > 0 && !g_failures.compare_exchange_weak(left, left - 1)) {
    }
    if (left > 0) return EAGAIN;
    return next_create()(thread, attr, start, arg);
}
