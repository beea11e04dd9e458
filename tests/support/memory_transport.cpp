#include "tests/support/memory_transport.h"

#include "rulo/clock.h"
#include "rulo/exception.h"
#include "rulo/lock.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <random>
#include <utility>
#include <vector>

namespace test_support {

struct memory_link {
    // One event for one side: bytes for its sink, "your queue is empty", or the end.
    struct item {
        enum kind { data, drained, end };
        int to;
        kind what;
        netbuf bytes;
    };

    explicit memory_link(memory_transport_pair::options const& o) : opt(o), cuts(o.seed) {}

    // The framework lock is held by the caller of everything below.
    void dispatch(std::vector<item>& items);
    void process(item const& i);
    void end_side(int side);

    memory_transport_pair::options const opt;
    rulo::object<rptTransportSink> sink[2];
    bool ended[2] = {false, false}; // nothing more reaches this side's sink; its send throws
    int64_t last[2] = {0, 0};
    int no_delay[2] = {0, 0};
    std::mt19937 cuts;

    // The delivery queue of the threaded mode.
    std::mutex m;
    std::condition_variable cv;
    std::deque<item> queue;
    bool busy = false;
    bool stop = false;
};

void memory_link::dispatch(std::vector<item>& items) {
    if (!opt.threaded) {
        for (item const& i : items) process(i);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(m);
        for (item& i : items) queue.push_back(std::move(i));
    }
    cv.notify_all();
}

void memory_link::process(item const& i) {
    if (ended[i.to]) return;
    // A copy: the sink may replace or drop its own handle from inside the call.
    rulo::object<rptTransportSink> s = sink[i.to];
    switch (i.what) {
    case item::data:
        last[i.to] = rulo::relative_time();
        if (s) {
            try {
                s->received(i.bytes);
            } catch (...) {
                // as a socket does: a sink's failure stays with the sink
            }
        }
        break;
    case item::drained:
        if (s) s->queue_empty();
        break;
    case item::end:
        end_side(i.to);
        if (s) s->broken();
        break;
    }
}

void memory_link::end_side(int side) {
    ended[side] = true;
    sink[side].reset();
}

memory_transport::memory_transport(std::shared_ptr<memory_link> link, int side)
    : m_link(std::move(link)), m_side(side) {}

void memory_transport::send(netbuf const& data) {
    rulo::rulo_lock_guard lock;
    memory_link& l = *m_link;
    if (l.ended[m_side]) throw rulo::exception::function("send");
    std::vector<memory_link::item> items;
    int const size = data.size();
    for (int offset = 0; offset < size;) {
        int piece = size - offset;
        if (l.opt.random_pieces) piece = std::min(piece, int(l.cuts() % 64) + 1);
        items.push_back({1 - m_side, memory_link::item::data, netbuf(data, offset, piece)});
        offset += piece;
    }
    items.push_back({m_side, memory_link::item::drained, netbuf()});
    l.dispatch(items);
}

void memory_transport::disconnect() {
    rulo::rulo_lock_guard lock;
    memory_link& l = *m_link;
    if (l.ended[m_side]) return;
    l.end_side(m_side);
    std::vector<memory_link::item> items{{1 - m_side, memory_link::item::end, netbuf()}};
    l.dispatch(items);
}

void memory_transport::set_sink(rulo::object<rptTransportSink> sink) {
    rulo::rulo_lock_guard lock;
    if (!m_link->ended[m_side]) m_link->sink[m_side] = std::move(sink);
}

void memory_transport::no_delay() {
    rulo::rulo_lock_guard lock;
    ++m_link->no_delay[m_side];
}

int64_t memory_transport::last_received() {
    rulo::rulo_lock_guard lock;
    return m_link->last[m_side];
}

void memory_transport::ioctl(std::string const&, std::string&) {
    throw rulo::exception::function("ioctl");
}

int memory_transport::no_delay_calls() const {
    rulo::rulo_lock_guard lock;
    return m_link->no_delay[m_side];
}

memory_transport_pair::memory_transport_pair() : memory_transport_pair(options{}) {}

memory_transport_pair::memory_transport_pair(options const& o) : m_link(std::make_shared<memory_link>(o)) {
    a = rulo::object<memory_transport>(new memory_transport(m_link, 0));
    b = rulo::object<memory_transport>(new memory_transport(m_link, 1));
    if (!o.threaded) return;
    m_thread = std::thread([link = m_link] {
        std::unique_lock<std::mutex> lock(link->m);
        for (;;) {
            link->cv.wait(lock, [&] { return link->stop || !link->queue.empty(); });
            if (link->stop) return;
            memory_link::item i = std::move(link->queue.front());
            link->queue.pop_front();
            link->busy = true;
            lock.unlock();
            {
                rulo::rulo_lock_guard framework;
                link->process(i);
            }
            lock.lock();
            link->busy = false;
            link->cv.notify_all();
        }
    });
}

memory_transport_pair::~memory_transport_pair() {
    {
        std::lock_guard<std::mutex> lock(m_link->m);
        m_link->stop = true;
    }
    m_link->cv.notify_all();
    if (m_thread.joinable()) m_thread.join();
    // Sinks usually hold their transport: drop them so that neither keeps the other alive.
    rulo::object<rptTransportSink> gone[2];
    {
        rulo::rulo_lock_guard lock;
        gone[0] = std::move(m_link->sink[0]);
        gone[1] = std::move(m_link->sink[1]);
        std::lock_guard<std::mutex> queue_lock(m_link->m);
        m_link->queue.clear();
    }
}

void memory_transport_pair::break_link() {
    rulo::rulo_lock_guard lock;
    std::vector<memory_link::item> items{{0, memory_link::item::end, netbuf()},
                                         {1, memory_link::item::end, netbuf()}};
    m_link->dispatch(items);
}

bool memory_transport_pair::wait_delivered(int64_t ms) {
    std::unique_lock<std::mutex> lock(m_link->m);
    return m_link->cv.wait_for(lock, std::chrono::milliseconds(ms),
                               [&] { return m_link->queue.empty() && !m_link->busy; });
}

} // namespace test_support
