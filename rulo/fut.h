// Futures and deferred calls.
//
// rulo::pcall runs a function with two arguments on an executor and returns at
// once a rulo::fut that becomes set with the result or with the exception the
// call raised; any thread may wait for it with a time-out (sync). The program
// uses it to run a user prompt on the user-interface thread from a worker and
// wait for the answer.
//
// Alongside: the per-thread timeout sections and deadlines, which record what
// a thread is doing for hang detection. That bookkeeping is guarded by
// rulo::threads_mutex().
#pragma once

#include "rulo/atomic.h"
#include "rulo/exception.h"
#include "rulo/executor.h"
#include "rulo/lock.h"
#include "rulo/semaphore.h"

#include <cstdint>
#include <pthread.h>
#include <set>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

// Who to tell when a future leaves its pending state. Each distinct entry is
// registered once; entries are ordered by (ctx, on_value, on_exception).
struct xapi_fut_notify {
    void* ctx;
    void (*on_value)(void* ctx);
    void (*on_exception)(void* ctx, char const* text);
};

bool operator<(xapi_fut_notify const& a, xapi_fut_notify const& b);

namespace rulo {

namespace fut_detail {

// Calls every on_value (or on_exception with text); a throwing callback is
// skipped so that the others are still told.
void notify_value(std::set<xapi_fut_notify> const& waiters);
void notify_exception(std::set<xapi_fut_notify> const& waiters, std::string const& text);
// The entry sync registers: posts the semaphore at ctx.
xapi_fut_notify semaphore_entry(semaphore& s);
// Waits on s: without limit for ms < 0, else up to ms. Blocks.
bool wait(semaphore& s, int64_t ms);

} // namespace fut_detail

// A future: a handle on shared state that is pending, then either done (with
// a T) or failed (with a rulo::exception), never back. Copies share the
// state, which lives while any copy (or the task that sets it) does.
// Any thread may set or wait; the state's lock guards it, and waiters are
// notified on the setting thread after that lock is released.
template <class T>
class fut {
public:
    struct pending {
        std::set<xapi_fut_notify> waiters;
    };
    struct data {
        rec_mutex lock;
        std::variant<pending, exception, T> state;
    };

    fut() = default;
    fut(fut const&) = default;
    fut& operator=(fut const&) = delete;

    // pending -> done; throws "set" when already set or failed (the first result stays).
    void set(T const& v) {
        if (!try_set(v)) throw exception::function("set");
    }
    // pending -> failed; throws "set_exception" when already set or failed.
    void set_exception(exception const& e) {
        if (!try_set_exception(e)) throw exception::function("set_exception");
    }
    // As set / set_exception, but false instead of a throw when no longer pending.
    bool try_set(T const& v) {
        std::set<xapi_fut_notify> waiters;
        {
            rec_lock lock(m_data->lock);
            auto* p = std::get_if<0>(&m_data->state);
            if (!p) return false;
            T value(v);
            waiters.swap(p->waiters);
            m_data->state.template emplace<2>(std::move(value));
        }
        fut_detail::notify_value(waiters);
        return true;
    }
    bool try_set_exception(exception const& e) {
        std::set<xapi_fut_notify> waiters;
        std::string text;
        {
            rec_lock lock(m_data->lock);
            auto* p = std::get_if<0>(&m_data->state);
            if (!p) return false;
            exception stored(e);
            text = stored.description();
            waiters.swap(p->waiters);
            m_data->state.template emplace<1>(stored);
        }
        fut_detail::notify_exception(waiters, text);
        return true;
    }

    // Blocks up to ms milliseconds (ms < 0: without limit) until the future
    // is set, then returns its value or throws a copy of its exception. When
    // the time runs out first the future becomes failed with "/timeout" for
    // every holder; a value that arrived meanwhile is returned instead.
    // The reference lives as long as this handle (or a copy of it).
    T& sync(int64_t ms) & { return wait_for_result(ms); }
    // On a temporary (pcall(...).sync(ms)) the state may go with the handle
    // at the end of the statement: the value is returned as a copy.
    T sync(int64_t ms) && { return wait_for_result(ms); }

    bool is_pending() const { return index() == 0; }
    bool is_failed() const { return index() == 1; }
    bool is_done() const { return index() == 2; }

private:
    T& wait_for_result(int64_t ms) {
        data& d = *m_data;
        semaphore posted(1, 0);
        xapi_fut_notify const entry = fut_detail::semaphore_entry(posted);
        {
            rec_lock lock(d.lock);
            auto* p = std::get_if<0>(&d.state);
            if (!p) return result_locked();
            p->waiters.insert(entry);
        }
        if (!fut_detail::wait(posted, ms)) {
            std::set<xapi_fut_notify> others;
            bool timed_out = false;
            {
                rec_lock lock(d.lock);
                if (auto* p = std::get_if<0>(&d.state)) {
                    p->waiters.erase(entry);
                    others.swap(p->waiters);
                    d.state.template emplace<1>(exception("/timeout"));
                    timed_out = true;
                }
            }
            if (timed_out) {
                fut_detail::notify_exception(others, "/timeout");
            } else {
                // A setter took our entry before we could withdraw it; its
                // post must land before `posted` goes out of scope.
                posted.wait();
            }
        }
        rec_lock lock(d.lock);
        return result_locked();
    }
    std::size_t index() const {
        rec_lock lock(m_data->lock);
        return m_data->state.index();
    }
    // Caller holds the lock. A done state never changes again, so the
    // reference stays valid after the lock is released.
    T& result_locked() {
        if (auto* v = std::get_if<2>(&m_data->state)) return *v;
        if (auto* e = std::get_if<1>(&m_data->state)) throw exception(*e);
        throw exception::function("sync");
    }

    refc<data> m_data;
};

// Live posted tasks.
extern atomic g_ptask_counter;

// A task run once on an executor when its pending count drops to zero
// (start() for a fresh task). The executor owns it from then on: its
// runnable runs run() and then deletes the task, both swallowing exceptions.
class ptask_void : private object_counter<&g_ptask_counter> {
public:
    explicit ptask_void(executor const& e) : m_executor(e), m_pending(1) {}
    ptask_void(ptask_void const&) = delete;
    ptask_void& operator=(ptask_void const&) = delete;

    virtual void remove() = 0;
    virtual void run() = 0;
    virtual ~ptask_void();

    void start() { dec(); }
    // Atomic; the one caller that reaches zero hands the task to its executor.
    // A null executor means the scheduler thread; when that cannot take it the
    // task is deleted and the exception reaches the caller.
    void dec();

protected:
    executor m_executor;
    atomic m_pending;
};

// A task with a result future.
template <class T>
class ptask : public ptask_void {
public:
    explicit ptask(executor const& e) : ptask_void(e) {}
    // A task deleted before delivering (its executor refused it) fails its
    // future, so that no waiter waits for ever.
    ~ptask() override {
        try {
            if (m_result.is_pending()) m_result.try_set_exception(exception::function("ptask"));
        } catch (...) {
        }
    }

    fut<T> result() const { return m_result; }

protected:
    fut<T> m_result;
};

// The value type of a call's future: a call returning nothing gives int 1.
template <class R>
struct pcall_return_type {
    using type = R;
};
template <>
struct pcall_return_type<void> {
    using type = int;
};

// f(a1, a2) with copies of its arguments, setting the future with the result
// (1 for void), with the callee's rulo::exception, or with ":" for any other
// exception. A result arriving after the future failed (time-out) is dropped.
template <class R, class T, class F, class A1, class A2>
class pcalltask2 : public ptask<T> {
public:
    pcalltask2(executor const& e, F f, A1 a1, A2 a2)
        : ptask<T>(e), m_f(std::move(f)), m_a1(std::move(a1)), m_a2(std::move(a2)) {}

    void remove() override {}
    void run() override {
        try {
            if constexpr (std::is_void_v<R>) {
                m_f(m_a1, m_a2);
                this->m_result.try_set(1);
            } else {
                this->m_result.try_set(m_f(m_a1, m_a2));
            }
        } catch (exception const& e) {
            this->m_result.try_set_exception(e);
        } catch (...) {
            this->m_result.try_set_exception(exception());
        }
    }

private:
    F m_f;
    A1 m_a1;
    A2 m_a2;
};

template <class F, class A1, class A2>
using pcall_result_t = std::invoke_result_t<F&, A1&, A2&>;
template <class F, class A1, class A2>
using pcall_value_t = typename pcall_return_type<std::remove_cvref_t<pcall_result_t<F, A1, A2>>>::type;

// Runs f(a1, a2) on e and returns its future at once. The arguments are copied
// into the task; the future is set on the executor's thread.
template <class F, class A1, class A2>
fut<pcall_value_t<F, A1, A2>> pcall(executor const& e, F f, A1 a1, A2 a2) {
    using T = pcall_value_t<F, A1, A2>;
    auto* task = new pcalltask2<pcall_result_t<F, A1, A2>, T, F, A1, A2>(e, std::move(f), std::move(a1),
                                                                         std::move(a2));
    fut<T> result = task->result();
    task->start();
    return result;
}

// Records, while it lives, that the calling thread is inside the named section.
// Never throws.
class timeout_section {
public:
    explicit timeout_section(std::string name);
    ~timeout_section();
    timeout_section(timeout_section const&) = delete;
    timeout_section& operator=(timeout_section const&) = delete;

private:
    bool m_pushed = false;
};

// Sets the calling thread's deadline to relative_time_t() + seconds. Takes threads_mutex().
void prevent_timeout(long seconds);

// What a hang detector reads: the section names of a thread (outermost first)
// and its deadline in seconds on the relative clock (false when none was set).
// Take threads_mutex().
std::vector<std::string> timeout_sections(pthread_t thread);
bool timeout_deadline(pthread_t thread, int64_t* seconds);

} // namespace rulo
