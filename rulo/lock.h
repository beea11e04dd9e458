// Recursive mutex and scoped locks: every lock the framework takes is one of these.
//
// rec_mutex is always recursive: a thread may take it again while holding it.
// The failures of the underlying POSIX calls are thrown as function
// exceptions named after the failing operation ("rec_mutex", "lock", "unlock", "slock").
#pragma once

#include "rulo/hooks.h"

#include <functional>
#include <pthread.h>

namespace rulo {

class rec_mutex {
public:
    rec_mutex();
    ~rec_mutex();
    rec_mutex(rec_mutex const&) = delete;
    rec_mutex& operator=(rec_mutex const&) = delete;

    void lock();
    void unlock();

private:
    pthread_mutex_t m_mutex;
};

// Holds a rec_mutex for its scope; a null pointer holds nothing.
class rec_lock {
public:
    explicit rec_lock(rec_mutex& m);
    explicit rec_lock(rec_mutex* m);
    ~rec_lock();
    rec_lock(rec_lock const&) = delete;
    rec_lock& operator=(rec_lock const&) = delete;

private:
    rec_mutex* m_mutex;
};

// The process-wide recursive attribute every rec_mutex is made with; set up on
// first use and by framework start-up. Aborts if the attribute cannot be made.
pthread_mutexattr_t* recursive_attribute();

// Holds the one process-wide framework lock (in a plugin: the host's, through
// the borrowed hooks) for its scope. Recursive; valid once start-up has run.
class rulo_lock_guard {
public:
    rulo_lock_guard() { rulo_lock(); }
    ~rulo_lock_guard() { rulo_unlock(); }
    rulo_lock_guard(rulo_lock_guard const&) = delete;
    rulo_lock_guard& operator=(rulo_lock_guard const&) = delete;
};

// Runs fn on this thread right after it releases its outermost hold of the
// framework lock, or at once when it holds none. For waking a thread that
// waits for something this thread made under the lock (a poller's dispatch
// pass holds it throughout): woken earlier, that thread would at once want
// the lock, or preempt this one on its CPU, and sleep a second time. The
// functions of one release run in the order they were given; an exception
// from one is swallowed. A thread that deferred a wake-up must not wait for
// the woken thread before it lets go of the lock (nothing may wait under
// the framework lock anyway: the poller needs it to deliver). A plugin's
// copy of the framework, which borrows its host's lock and so cannot see
// when it is released, runs fn at once.
void after_framework_unlock(std::function<void()> fn);

} // namespace rulo

// Holds a plain pthread mutex for its scope.
class slock {
public:
    explicit slock(pthread_mutex_t& m);
    ~slock();
    slock(slock const&) = delete;
    slock& operator=(slock const&) = delete;

private:
    pthread_mutex_t* m_mutex;
};
