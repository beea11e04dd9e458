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
#include "rulo/que.h"

namespace tovan {

struct queued_packet {
    bool end = false;
    netbuf data;
};
using packet_queue = xstd::que<queued_packet>;

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
