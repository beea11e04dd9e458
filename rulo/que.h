// The blocking queue: first in, first out, with a pop that waits for a value.
#pragma once

#include "rulo/lock.h"
#include "rulo/semaphore.h"

#include <deque>
#include <utility>

namespace xstd {

// A queue handed between threads, for example the packets of a plugin
// dispatcher (held through a rulo::object handle by its producer and its
// consumer). Any thread may push and pop. All state is under m_mutex; pop
// waits on m_ready with the mutex released, and push posts m_ready once for
// every reader it finds waiting. The queue must outlive every call on it.
template <class T>
class que {
public:
    que() : m_ready(2147483647, 1) {}
    que(que const&) = delete;
    que& operator=(que const&) = delete;

    // Appends at the back and wakes one waiting reader. Takes m_mutex.
    void push(T const& value) {
        rulo::rec_lock lock(m_mutex);
        m_items.push_back(value);
        if (m_waiting > 0) {
            --m_waiting;
            m_ready.post();
        }
    }

    // Takes the front value. Blocks until there is one; never returns without a value.
    T pop() {
        for (;;) {
            {
                rulo::rec_lock lock(m_mutex);
                if (!m_items.empty()) {
                    T value = std::move(m_items.front());
                    m_items.pop_front();
                    return value;
                }
                ++m_waiting;
            }
            // A post may come from a push meant for another reader, or be the
            // initial count: whoever wakes looks again and waits again if empty.
            m_ready.wait();
        }
    }

private:
    rulo::rec_mutex m_mutex;
    rulo::semaphore m_ready;
    std::deque<T> m_items;
    int m_waiting = 0;
};

} // namespace xstd
