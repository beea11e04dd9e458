// The one way a session packet reaches a pinned plugin's packet entry: at
// once on the thread that hands it over (direct mode), or through a queue
// and a thread of the plugin's own when its library's lib_init returned 2.
//
// Ownership: held through rulo::object handles by the host's dispatcher map
// (and a caller handing a packet over); the packet thread holds its own
// handles to the queue and the pin, so it outlives the dispatcher until it
// takes the end marker.
// Threads: packet() runs on the session channel's threads (the framework
// holds its lock there) and on the GUI thread replaying kept packets. In
// direct mode the plugin runs on that thread and may call back into the
// host; in queued mode packet() only pushes and returns, and the plugin runs
// on its packet thread, one packet at a time, in arrival order. The queue
// has no length limit. Empty packets are delivered like any other: the end
// of the queue is a marker of its own.
#pragma once

#include "tovan/plugins/plugin_lib.h"

#include "rulo/netbuf.h"
#include "rulo/object.h"

#include <condition_variable>
#include <deque>
#include <mutex>

namespace tovan {

struct queued_packet {
    bool end = false;
    netbuf data;
};

// The packets waiting for one plugin's thread: first in, first out, no
// length limit; push from any thread, pop (blocking) from the packet thread.
// A plain mutex and condition variable: the hand-over's wake-up is most of
// its cost.
class packet_queue {
public:
    void push(queued_packet item) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_items.push_back(std::move(item));
        }
        m_ready.notify_one();
    }
    queued_packet pop() {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_ready.wait(lock, [this] { return !m_items.empty(); });
        queued_packet item = std::move(m_items.front());
        m_items.pop_front();
        return item;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_ready;
    std::deque<queued_packet> m_items;
};

class plugin_dispatcher {
public:
    // Starts the packet thread when the pin's library wants one (the
    // framework's "detach" error passes out when it cannot start).
    explicit plugin_dispatcher(rulo::object<plugin> pin);
    // Queues the end marker; does not wait for the thread.
    ~plugin_dispatcher();
    plugin_dispatcher(plugin_dispatcher const&) = delete;
    plugin_dispatcher& operator=(plugin_dispatcher const&) = delete;

    // Hands one packet over (the queued copy shares the bytes). Delivery
    // failures never reach the caller.
    void packet(netbuf const& data);
    bool queued() const { return bool(m_queue); }

private:
    rulo::object<packet_queue> m_queue;
    rulo::object<plugin> m_plugin;
};

} // namespace tovan
