// What the plugin negotiation needs of the rest of the program: the
// catalogue, loading and pinning plugins, each pinned plugin's interface
// record entries and dispatcher, the GUI notifications, the program's own
// command queue and the session channel's text sub-channel. The dialog
// implements it over the real plugin host; tests implement it with fake
// plugins and a link between two negotiation cores.
//
// Threads: every method is called on the GUI thread, except routes() and
// log(), which the connection reader's routing (negotiation::route_packet)
// also calls on a transport thread with the framework lock held, and
// queue_command(), which it calls there after releasing the lock. The core
// never calls init_entry, connected_entry, deinit_entry or command_entry
// with the framework lock held. Any method may throw; the core catches
// every failure at the step that made the call and goes on as described
// there.
#pragma once

#include "tovan/plugins/plugin_routes.h"

#include "rulo/netbuf.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tovan {

// One plugin object as the host made it (a pinned plugin or one of its
// children). The core reads the two fields and hands the handle back to the
// host's entry calls; the rest is the host's own.
struct plugin_handle {
    virtual ~plugin_handle() = default;
    // The core connected the plugin: packet threads may now deliver to it.
    // (The host's deinit_entry clears it.)
    virtual void set_connected() {}
    std::string name;
    int proto_version = 0; // the interface record's protocol number
};
using plugin_ptr = std::shared_ptr<plugin_handle>;

// A copy of one catalogue entry, as the negotiation reads it.
struct plugin_entry {
    std::string name;      // the catalogue key "name"
    std::string full_name; // for the log
    int state = 0;         // 0 listed ... 7 prepared, 8 loaded, 9 invalid
    bool auto_start = false;
};

class negotiation_host {
public:
    virtual ~negotiation_host() = default;

    // The catalogue, in load order.
    virtual std::size_t entry_count() = 0;
    virtual plugin_entry entry(std::size_t index) = 0;
    virtual void set_entry_state(std::size_t index, int state) = 0;
    // The peer lacks it: the key "_r_missing_" = "true" and state 9.
    virtual void mark_missing(std::size_t index) = 0;

    // Loads the prepared entry's library (the entry becomes state 8).
    virtual void load_library(std::size_t index) = 0;
    // A new plugin object for the loaded entry's library.
    virtual plugin_ptr make_plugin(std::size_t index) = 0;
    // New child plugin objects, one for each library that this plugin's
    // library handed over; none when the plugin's library has a parent.
    virtual std::vector<plugin_ptr> make_children(plugin_ptr const& parent) = 0;
    // Registers an interface record that a loaded library handed over by the
    // host command "load-plugin" (addresses inside this process).
    virtual void register_handed_record(uint64_t record, uint64_t library) = 0;

    // The interface record's entries.
    virtual int init_entry(plugin_ptr const& p, int peer_proto) = 0;
    virtual void connected_entry(plugin_ptr const& p, int how) = 0;
    virtual void deinit_entry(plugin_ptr const& p) = 0;
    virtual void command_entry(plugin_ptr const& p, netbuf const& packet) = 0;

    // The routing tables the core drives: sub-channels, dispatchers,
    // packets waiting for a route, commands waiting for a plugin. The core
    // holds the framework lock around every use; their deliver() hands a
    // packet to a dispatcher there (on the GUI thread replaying, on a
    // transport thread for the reader): a dispatcher must not block, and may
    // keep the buffer (a netbuf shares its bytes).
    virtual plugin_routes& routes() = 0;
    // The plugin's pin and dispatcher in the host's tables: entered when it
    // is pinned, removed when it is unpinned (after the core dropped its
    // route), both on the GUI thread; the host takes the framework lock only
    // around the table change and makes and drops the dispatcher outside it.
    virtual void open_dispatcher(plugin_ptr const& p) = 0;
    virtual void close_dispatcher(plugin_ptr const& p) = 0;

    // GUI and plugin notifications.
    virtual void log(std::string const& line) = 0;
    virtual void enable_plugin_button(std::string const& name, bool on) = 0;
    virtual void disable_button_top_image(std::string const& name) = 0;
    virtual void update_load_menus() = 0;
    virtual void notify_gui_status(std::string const& text) = 0;
    virtual void notify_gui_event(std::string const& name, std::string const& text) = 0;
    virtual void send_options(std::string const& name, std::string const& event) = 0;

    // Downloads.
    virtual bool has_network() = 0;
    // False when there is no download manager yet.
    virtual bool start_downloads() = 0;
    virtual void update_download_status(int total, int done, int id) = 0;

    // Queues a text for this end's own dispatcher.
    virtual void queue_command(std::string const& text) = 0;
    // Sends a message, whole, to the peer on sub-channel -1.
    virtual void send_peer(std::string const& bytes) = 0;
};

} // namespace tovan
