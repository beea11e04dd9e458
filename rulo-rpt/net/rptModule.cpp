#include "rulo-rpt/net/rptModule.h"

#include "rulo/errlog.h"
#include "rulo/exception.h"
#include "rulo/fut.h"
#include "rulo/lock.h"
#include "rulo/random.h"
#include "rulo/semaphore.h"
#include "rulo/thread.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <deque>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <unistd.h>
#include <vector>

namespace rulo {

rptModule* module = nullptr;

namespace {

int g_keepalive = 0;
std::atomic<int> g_running_threads{0};

// A registration's mask: 4 waits for reading, 2 for writing.
int mask_of(int type) {
    return type == rptModule::write_only ? 2 : type == rptModule::read_write ? 6 : 4;
}

// std::shuffle's generator over the framework's sequence (31 bits in every copy).
struct rand_bits {
    using result_type = unsigned;
    static constexpr unsigned min() { return 0; }
    static constexpr unsigned max() { return 0x7fffffff; }
    unsigned operator()() { return rulo::rand() & 0x7fffffff; }
};

} // namespace

// The poll set of one poller: a wake-up pipe and up to 300 sockets.
class native_select {
public:
    native_select() {
        if (::pipe2(m_pipe, O_NONBLOCK | O_CLOEXEC) != 0) throw exception::function("native_select");
    }
    ~native_select() {
        ::close(m_pipe[0]);
        ::close(m_pipe[1]);
    }
    native_select(native_select const&) = delete;
    native_select& operator=(native_select const&) = delete;

    // A wake-up that finds the pipe full is not lost: the pipe is readable anyway.
    void wake() {
        char const x = 'X';
        [[maybe_unused]] ssize_t ignored = ::write(m_pipe[1], &x, 1);
    }
    void drain() {
        char bytes[64];
        while (::read(m_pipe[0], bytes, sizeof bytes) > 0) {
        }
    }
    int read_end() const { return m_pipe[0]; }

    pollfd entries[rptModule::max_sockets + 1];
    int used = 0;

private:
    int m_pipe[2];
};

// One poller thread. Its map and dispatch set are guarded by the framework
// lock; the thread deletes itself when it ends (a non-main poller without sockets).
class selector : public thread {
public:
    struct sock_data {
        object<rptModuleSink> sink;
        int mask;
    };

    selector(semaphore* start, bool main) : thread(true, "", 0), m_start(start), m_main(main) {}

    void run() override;
    void wake() { m_poll.wake(); }

    native_select m_poll;
    std::map<int, sock_data> m_socks;
    std::set<int> m_dispatch; // dispatched in the next pass without waiting
    semaphore* m_start;
    pthread_t m_thread{};
    std::atomic<bool> m_thread_known{false}; // m_thread is set
    bool is_own_thread() const {
        return m_thread_known.load(std::memory_order_acquire) && pthread_equal(m_thread, pthread_self());
    }
    bool const m_main;
};

void selector::run() {
    ++g_running_threads;
    m_thread = pthread_self();
    m_thread_known.store(true, std::memory_order_release);
    // Posted before the first lock: add() waits for it with the framework lock held.
    if (m_start) m_start->post();
    timeout_section section("rptModule::run");
    std::vector<int> ready;
    std::optional<rulo_lock_guard> held;
    held.emplace();
    for (;;) {
        // Held here: from the last pass's dispatch, or from the start. The
        // set is rebuilt before the lock goes, so a pass takes the lock once:
        // a reader that a sink has just woken gets it when the dispatch ends
        // and does not meet the poller taking it again a moment later.
        if (!m_main && m_socks.empty()) break;
        m_poll.entries[0] = pollfd{m_poll.read_end(), POLLIN, 0};
        m_poll.used = 1;
        for (auto const& [fd, data] : m_socks) {
            if (m_poll.used > int(rptModule::max_sockets)) break;
            short events = 0;
            if (data.mask & 4) events |= POLLIN;
            if (data.mask & 2) events |= POLLOUT;
            m_poll.entries[m_poll.used++] = pollfd{fd, events, 0};
        }
        held.reset();
        if (g_keepalive) prevent_timeout(g_keepalive);
        int n = ::poll(m_poll.entries, nfds_t(m_poll.used), rptModule::poll_timeout_ms);
        if (n < 0) n = 0; // EINTR and the like: the next pass tries again
        // Only a pass woken through the pipe reads it: a socket event alone
        // would pay a read that finds nothing.
        if (n > 0 && (m_poll.entries[0].revents & POLLIN)) m_poll.drain();

        held.emplace();
        if (m_main) module->execute_tasks();
        if (n == 0 && m_dispatch.empty()) continue;
        std::set<int> due;
        due.swap(m_dispatch);
        for (int i = 1; i < m_poll.used; ++i)
            if (m_poll.entries[i].revents & (POLLIN | POLLOUT | POLLERR | POLLHUP | POLLNVAL))
                due.insert(m_poll.entries[i].fd);
        ready.assign(due.begin(), due.end());
        // A random order each pass, so that no connection is always served first.
        std::shuffle(ready.begin(), ready.end(), rand_bits{});
        for (int fd : ready) {
            auto it = m_socks.find(fd);
            if (it == m_socks.end()) continue; // removed by an earlier event of this pass
            object<rptModuleSink> sink = it->second.sink;
            try {
                sink->event(fd);
            } catch (...) {
            }
        }
    }
    held.reset();
    --g_running_threads;
}

} // namespace rulo

using rulo::selector;

rptModule::~rptModule() = default;

void rptModule::add(rulo::socket* s, rulo::object<rptModuleSink> sink, int type) {
    rulo::rulo_lock_guard lock;
    int const fd = s->descriptor();
    if (m_descriptors.count(fd)) throw rulo::exception::function("add");
    selector::sock_data data{std::move(sink), rulo::mask_of(type)};

    if (!m_main) {
        rulo::semaphore started(1, 0);
        auto* p = new selector(&started, true);
        m_main = p;
        m_selectors.insert(p);
        p->detach();
        started.wait();
        p->m_start = nullptr;
    }
    selector* pick = nullptr;
    for (selector* p : m_selectors)
        if (!pick || p->m_socks.size() < pick->m_socks.size()) pick = p;
    if (pick->m_socks.size() < max_sockets) {
        pick->m_socks[fd] = std::move(data);
        m_descriptors[fd] = pick;
        pick->wake();
        return;
    }
    // Every poller is full: a new one starts with this socket.
    rulo::semaphore started(1, 0);
    auto* p = new selector(&started, false);
    p->m_socks[fd] = std::move(data);
    m_selectors.insert(p);
    m_descriptors[fd] = p;
    try {
        p->detach();
    } catch (...) {
        m_selectors.erase(p);
        m_descriptors.erase(fd);
        delete p;
        throw;
    }
    // The new thread posts before it first takes the framework lock.
    started.wait();
    p->m_start = nullptr;
}

void rptModule::change(int descriptor, int type) {
    rulo::rulo_lock_guard lock;
    auto it = m_descriptors.find(descriptor);
    if (it == m_descriptors.end()) throw rulo::exception::function("change");
    selector* p = it->second;
    int& mask = p->m_socks[descriptor].mask;
    int const wanted = rulo::mask_of(type);
    // An unchanged mask leaves the poll set as it is: no wake-up, which keeps a
    // send from another thread from costing the poller a pass. From the
    // poller's own dispatch the set is rebuilt at the top of the next pass anyway.
    if (mask == wanted) return;
    mask = wanted;
    if (!p->is_own_thread()) p->wake();
}

void rptModule::remove(int descriptor) {
    rulo::object<rptModuleSink> gone; // released after the lock, with the sink it held
    rulo::rulo_lock_guard lock;
    auto it = m_descriptors.find(descriptor);
    if (it == m_descriptors.end()) throw rulo::exception::function("remove");
    selector* p = it->second;
    auto s = p->m_socks.find(descriptor);
    gone = std::move(s->second.sink);
    p->m_socks.erase(s);
    p->m_dispatch.erase(descriptor);
    p->wake();
    m_descriptors.erase(it);
    if (p != m_main && p->m_socks.empty()) m_selectors.erase(p);
    if (++m_removals >= compact_every) {
        m_removals = 0;
        compact();
    }
}

void rptModule::compact() {
    std::vector<selector*> order(m_selectors.begin(), m_selectors.end());
    // The main poller first, then the fuller before the emptier; equal ones by address.
    std::sort(order.begin(), order.end(), [main = m_main](selector* a, selector* b) {
        if (a == main || b == main) return a == main && b != main;
        if (a->m_socks.size() != b->m_socks.size()) return a->m_socks.size() > b->m_socks.size();
        return a < b;
    });
    std::deque<selector*> queue(order.begin(), order.end());
    int moved = 0, removed = 0;
    while (queue.size() >= 2) {
        selector* front = queue.front();
        selector* back = queue.back();
        if (front->m_socks.size() >= max_sockets) {
            queue.pop_front();
            continue;
        }
        if (!back->m_socks.empty()) {
            auto first = back->m_socks.begin();
            int const fd = first->first;
            front->m_socks[fd] = std::move(first->second);
            back->m_socks.erase(first);
            back->m_dispatch.erase(fd);
            m_descriptors[fd] = front;
            ++moved;
        }
        if (back->m_socks.empty()) {
            queue.pop_back();
            if (back != m_main) {
                m_selectors.erase(back);
                ++removed;
            }
            back->wake();
        }
    }
    for (selector* p : m_selectors) p->wake();
    if (moved || removed)
        rulo::fmt_dbg("socket poller")
            .fmt_verbose("*** status: compacted %1% sockets, removed %2% selectors", moved, removed);
}

void rptModule::wake_up() {
    rulo::rulo_lock_guard lock;
    if (!m_main) {
        auto* p = new selector(nullptr, true);
        m_main = p;
        m_selectors.insert(p);
        p->detach();
    }
    m_main->wake();
}

std::size_t rptModule::poller_count() {
    rulo::rulo_lock_guard lock;
    return m_selectors.size();
}

std::size_t rptModule::registered() {
    rulo::rulo_lock_guard lock;
    return m_descriptors.size();
}

int rptModule::removals_since_compaction() {
    rulo::rulo_lock_guard lock;
    return m_removals;
}

int rptModule::running_threads() {
    return rulo::g_running_threads.load();
}

namespace rulo {

bool async_send(object<socket> const& s, netbuf const* data, rptModule* m) {
    bool const all_left = s->send(data, network_chunk, false);
    m->change(s->descriptor(), all_left ? rptModule::read_only : rptModule::read_write);
    return all_left;
}

} // namespace rulo

void init_rptModule(int keepalive) {
    rulo::g_keepalive = keepalive;
    if (!rulo::module) rulo::module = new rptModule;
}
