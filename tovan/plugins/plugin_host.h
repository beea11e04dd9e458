// The plugin host: the process-wide library tables, the callback registry,
// the pins with their sub-channels and dispatchers, loading, delivery of
// commands, and the unloading at exit.
//
// Ownership: one per process (instance()), never destroyed; the program
// hands it its host_services at start-up (the dialog) and tests hand it fakes.
//
// Locks, outermost first; a thread holding one never takes one above it:
//   1. the load lock (plugin_def::m_plugins_mtx): around opening a library
//      and its lib_init, and, by the package code, around unpacking and the
//      table of unpacked files, so lib_init never meets an unpacking. It is
//      recursive, so a plugin may call any entry from lib_init. Of the
//      entries only "plugin-file" takes it: sent from a direct-mode packet
//      delivery, which holds the framework lock, it would wait there for a
//      lib_init that may want the framework lock itself.
//   2. the framework lock (rulo_lock_guard): the registry, the pins, the
//      sub-channel maps, the dispatchers and the unrouted packets. The
//      framework holds it while it delivers session packets.
//   3. leaves: m_tables_mutex (the two library tables and the load order),
//      the translation lock, the dialog's queues, the session's mutex.
// No leaf is held while locking anything or calling a plugin. Plugins are
// called outside the framework lock, except in direct-mode packet delivery,
// which runs where the framework already holds it.
//
// Threads: load_plugin with an index, notifications and the exit run on the
// GUI thread; everything else on any thread.
#pragma once

#include "tovan/plugins/host_services.h"
#include "tovan/plugins/plugin_def.h"
#include "tovan/plugins/plugin_dispatcher.h"
#include "tovan/plugins/plugin_lib.h"
#include "tovan/plugins/plugin_routes.h"

#include "rulo/lock.h"
#include "rulo/netbuf.h"
#include "rulo/object.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace tovan {

using host_routes = plugin_routes_of<rulo::object<plugin_dispatcher>>;

class plugin_host {
public:
    static plugin_host& instance();

    void set_services(host_services* services) { m_services = services; }
    host_services* services() const { return m_services; }
    rulo::rec_mutex& load_lock() { return plugin_def::m_plugins_mtx; }

    // Loading (GUI thread): the library of defs[index], entered and started;
    // with pin, a new pin over it (the caller owns it). Null otherwise.
    plugin* load_plugin(std::vector<plugin_def>& defs, int index, bool pin);
    // A record handed over by the loaded library whose open handle is handle.
    plugin* load_plugin(tovan_plugin_map* record, void* handle, bool pin);

    // Library tables (leaf lock, copies out).
    rulo::object<plugin_lib> library_of(std::string const& plain_name);
    std::vector<std::pair<std::string, rulo::object<plugin_lib>>> libraries();
    void enter_library(std::string const& key, std::string const& name, rulo::object<plugin_lib> const& lib);
    // "plugin-file": a file the plugin made, deleted with its library's
    // unpacked package files at exit (a handed-over plugin's with its parent
    // library's). A relative name counts from the directory the program
    // started in. False (logged) when the library came from no package.
    bool add_plugin_file(std::string const& plugin, std::string const& file);

    // Commands to libraries (every one for an empty name) and to pins.
    int libs_command(netbuf const& packet, std::string const& plugin);
    // Every pin in name order; with connected_only the pins that are not
    // connected are skipped (not the end of the delivery).
    void plugins_command(bool connected_only, netbuf const& packet);
    // The command entry of one pin; false when it is not pinned.
    bool pin_command(std::string const& name, netbuf const& packet);

    // Callback registry (framework lock). -1 without a library; 1 already there.
    int register_callback(std::string const& plugin, std::string const& name, bool add);
    // -1 when nobody listens, else the AND of every listener's result.
    int invoke_callback(char const* name, void* data);

    // Pins and routes, as the negotiation sets them up (framework lock).
    // The program's one set of routing tables; callers hold the framework
    // lock around every use.
    host_routes& routes() { return m_routes; }
    void add_pin(std::string const& name, rulo::object<plugin> const& pin);
    rulo::object<plugin> get_pin(std::string const& name);
    // Pins a plugin with a new dispatcher (made outside the lock; its
    // "detach" error passes out and nothing is pinned).
    void open_dispatcher(std::string const& name, rulo::object<plugin> const& pin);
    // Unpins it and drops its dispatcher outside the lock; its deinit is the
    // caller's.
    void close_dispatcher(std::string const& name);
    void set_route(int sub_channel, std::string const& name, rulo::object<plugin_dispatcher> const& disp);
    // The pin map as a copy, taken under the framework lock.
    std::map<std::string, rulo::object<plugin>> pins();
    // The sub-channel of a plugin; false when it has none.
    bool channel_of(std::string const& plugin, int& sub_channel);
    // A session packet for the plugin owning sub_channel: handed to its
    // dispatcher, or kept for it (within the limits) when none owns it yet.
    route_result route_packet(int sub_channel, netbuf const& data);
    std::deque<netbuf> take_unrouted(int sub_channel);
    // The pins of one plugin removed (every pin for an empty name), with
    // their routes and dispatchers, and deinit called.
    void remove_pin(std::string const& name);
    // A desktop-plugin command ("fwd_cmd " + packet names another plugin):
    // to the pin, or kept for it (within the limits) when it is not pinned
    // or fails; the negotiation hands kept ones over when it pins the plugin.
    void forward_to_desktop(std::string const& cmd);
    std::deque<std::string> deferred_commands(std::string const& plugin);

    // Exit: refuses later loads, waits up to wait_ms for packet threads,
    // empties the registry, then drops the libraries in reverse load order
    // (handed-over records first): lib_deinit, 10 ms, dlclose, 10 ms. A
    // library still held elsewhere stays mapped (logged).
    void unload_all(int wait_ms = 2000);
    bool closing() const { return m_closing; }

    // Packet threads (the dispatchers count them for the exit).
    void thread_started();
    void thread_ended();
    int running_threads();
    // Waits up to ms for every packet thread to end; false when some still run.
    bool wait_for_threads(int ms);

    // Tests: back to a fresh host (libraries are dropped as at exit).
    void reset_for_tests();

    void log(std::string const& text);

private:
    plugin_host() = default;
    void unload_libraries();

    host_services* m_services = nullptr;
    std::atomic<bool> m_closing{false};

    std::mutex m_tables_mutex;
    std::map<std::string, rulo::object<plugin_lib>> m_loaded_libs;
    std::map<std::string, std::string> m_loaded_libs_map;
    std::vector<std::string> m_load_order; // keys of m_loaded_libs

    struct listener {
        int (*callback)(char const*, void*);
        rulo::object<plugin_lib> library;
    };
    // Under the framework lock:
    std::map<std::string, std::map<std::string, listener>> m_callbacks;
    std::map<std::string, rulo::object<plugin>> m_loaded_plugins;
    host_routes m_routes;

    std::mutex m_threads_mutex;
    std::condition_variable m_threads_done;
    int m_threads = 0;
};

// The host's entry points as the dialog and main see them.
int libs_command(netbuf const& packet, std::string const& plugin);
void remove_pin(std::string const& name);
// Marks the calling thread as inside a direct-mode packet delivery (the
// framework lock is held by the framework); nests.
struct direct_delivery_scope {
    direct_delivery_scope();
    ~direct_delivery_scope();
    static bool active();
};

} // namespace tovan
