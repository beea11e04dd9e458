// The socket poller: poller threads that wait on registered sockets with
// poll() and call each socket's sink when it is ready.
//
// One module exists per process (rulo::module, made at start-up). It spreads
// the sockets over poller threads, at most 300 each: the first (main) poller
// starts with the first registration and never ends; another starts when
// every running poller is full, and ends when its last socket goes. Every
// 900th removal packs the sockets into as few pollers as possible.
//
// Threads and locks: add, change and remove may be called from any thread
// and take the framework lock (rulo::rulo_lock_guard). A poller holds that
// lock while it rebuilds its poll set, runs the queued piggyback tasks (main
// poller) and dispatches events, and releases it only around poll(). So every
// rptModuleSink::event runs on a poller thread under the framework lock, and
// may call add, change, remove or a socket's send without deadlock (the lock
// is recursive). An exception thrown by a sink is swallowed there, per
// descriptor; it never ends the poller.
#pragma once

#include "rulo-rpt/net/socket.h"
#include "rulo/object.h"
#include "rulo/piggyback_executor.h"

#include <cstddef>
#include <map>
#include <set>

// The receiver of one registered descriptor's readiness.
// Called on a poller thread with the framework lock held; it may call back
// into the module (change or remove its own descriptor, even add others).
class rptModuleSink {
public:
    virtual void event(int descriptor) = 0;
    virtual ~rptModuleSink() = default;
};

namespace rulo {
class selector;
} // namespace rulo

class rptModule : public rulo::piggyback_executor {
public:
    // What a registered descriptor waits for: write_only, read_write, and
    // every other value reads only (the system passes 0).
    enum event_type { read_only = 0, write_only = 2, read_write = 3 };
    static constexpr std::size_t max_sockets = 300; // per poller thread
    static constexpr int compact_every = 900;       // removals
    static constexpr int poll_timeout_ms = 10000;   // the longest wait of one pass

    rptModule() = default;
    ~rptModule() override;

    // Registers the socket's descriptor with a poller; the module keeps the
    // sink until the descriptor is removed. Throws "add" when it is registered already.
    void add(rulo::socket* s, rulo::object<rptModuleSink> sink, int type);
    // Throws "change" when the descriptor is not registered.
    void change(int descriptor, int type);
    // Throws "remove" when the descriptor is not registered.
    void remove(int descriptor);
    // Starts the main poller when none runs yet, and wakes it to run the queued tasks.
    void wake_up() override;

    // What tests and the status line look at; all take the framework lock.
    std::size_t poller_count(); // pollers the module holds
    std::size_t registered();   // descriptors registered
    int removals_since_compaction();
    // Poller threads that are running (counting those still ending).
    static int running_threads();

private:
    friend class rulo::selector;
    void compact();

    rulo::selector* m_main = nullptr;
    std::set<rulo::selector*> m_selectors;
    std::map<int, rulo::selector*> m_descriptors;
    int m_removals = 0;
};

namespace rulo {

// The process's module; made by init_rptModule at start-up.
extern rptModule* module;

// Sends data (may be null: only the queue) on the socket's non-raw path, up
// to network_chunk bytes a call, and re-arms the descriptor: reading only when
// everything left (true), reading and writing when bytes stay queued (false),
// so that the poller calls again when the socket takes more. Call with the
// framework lock held.
bool async_send(object<socket> const& s, netbuf const* data, rptModule* m);

} // namespace rulo

// Start-up: keeps keepalive (seconds a poller pass may take before the
// hang detector counts it, 0 for none) and makes rulo::module.
void init_rptModule(int keepalive);
