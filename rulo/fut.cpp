#include "rulo/fut.h"

#include "rulo/clock.h"
#include "rulo/scheduler.h"
#include "rulo/thread.h"

#include <cstdint>
#include <map>
#include <tuple>

bool operator<(xapi_fut_notify const& a, xapi_fut_notify const& b) {
    auto key = [](xapi_fut_notify const& n) {
        return std::make_tuple(reinterpret_cast<std::uintptr_t>(n.ctx),
                               reinterpret_cast<std::uintptr_t>(n.on_value),
                               reinterpret_cast<std::uintptr_t>(n.on_exception));
    };
    return key(a) < key(b);
}

namespace rulo {

namespace fut_detail {

namespace {

void post_semaphore(void* ctx) {
    static_cast<semaphore*>(ctx)->post();
}
void post_semaphore_text(void* ctx, char const*) {
    static_cast<semaphore*>(ctx)->post();
}

} // namespace

void notify_value(std::set<xapi_fut_notify> const& waiters) {
    for (xapi_fut_notify const& n : waiters) {
        try {
            if (n.on_value) n.on_value(n.ctx);
        } catch (...) {
        }
    }
}

void notify_exception(std::set<xapi_fut_notify> const& waiters, std::string const& text) {
    for (xapi_fut_notify const& n : waiters) {
        try {
            if (n.on_exception) n.on_exception(n.ctx, text.c_str());
        } catch (...) {
        }
    }
}

xapi_fut_notify semaphore_entry(semaphore& s) {
    return xapi_fut_notify{&s, &post_semaphore, &post_semaphore_text};
}

bool wait(semaphore& s, int64_t ms) {
    if (ms < 0) {
        s.wait();
        return true;
    }
    return s.wait_ms(ms);
}

} // namespace fut_detail

atomic g_ptask_counter;

ptask_void::~ptask_void() = default;

void ptask_void::dec() {
    if (!m_pending.dec_zero()) return;
    runnable r = runnable_f<ptask_void>::make(this);
    if (m_executor.fn) {
        m_executor.execute(r);
        return;
    }
    try {
        schedule_task(nullptr, 0, schedule_at, false, r);
    } catch (...) {
        // Refused before anyone took it: still ours.
        r.del(r.arg);
        throw;
    }
}

namespace {

// Both maps are guarded by threads_mutex() and never freed: threads may still
// record while the process exits.
std::map<pthread_t, std::vector<std::string>>& sections() {
    static auto* m = new std::map<pthread_t, std::vector<std::string>>;
    return *m;
}

std::map<pthread_t, int64_t>& deadlines() {
    static auto* m = new std::map<pthread_t, int64_t>;
    return *m;
}

} // namespace

timeout_section::timeout_section(std::string name) {
    try {
        rec_lock lock(threads_mutex());
        sections()[pthread_self()].push_back(std::move(name));
        m_pushed = true;
    } catch (...) {
    }
}

timeout_section::~timeout_section() {
    if (!m_pushed) return;
    try {
        rec_lock lock(threads_mutex());
        auto it = sections().find(pthread_self());
        if (it == sections().end()) return;
        if (it->second.size() <= 1)
            sections().erase(it);
        else
            it->second.pop_back();
    } catch (...) {
    }
}

void prevent_timeout(long seconds) {
    int64_t deadline = add_saturated(relative_time_t(), seconds);
    rec_lock lock(threads_mutex());
    deadlines()[pthread_self()] = deadline;
}

std::vector<std::string> timeout_sections(pthread_t thread) {
    rec_lock lock(threads_mutex());
    auto it = sections().find(thread);
    return it == sections().end() ? std::vector<std::string>() : it->second;
}

bool timeout_deadline(pthread_t thread, int64_t* seconds) {
    rec_lock lock(threads_mutex());
    auto it = deadlines().find(thread);
    if (it == deadlines().end()) return false;
    if (seconds) *seconds = it->second;
    return true;
}

} // namespace rulo
