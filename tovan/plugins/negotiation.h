// The plugin negotiation between the two ends of a session: which plugins
// run, which protocol each end's copy speaks, and which sub-channel of the
// session channel carries each one. It holds its own tables (peer requests,
// forced plugins, each pin's connected and request-pending flags and
// children, pending GUI events, the pending drop, the channel numbering) and
// handles every "module_plugin_" message; the pins' handles, routes,
// dispatchers, packets waiting for a route and commands waiting for a
// plugin are the host's (negotiation_host::routes), which it drives.
//
// Owner: the main dialog, one per process, for the life of the dialog. The
// wanted table, the connection state, the peer's version and the old-peer
// flag are the dispatcher's session state, read and written in place; its
// role (is_client) must be set before the core is made, which numbers its
// channels from it.
//
// Threads and locks: everything runs on the GUI thread, one message at a
// time, except route_packet(), which the connection reader calls on a
// transport thread, and change_channel(), which a plugin's "set-channel"
// calls on the plugin's thread. The routes (channel to name and back), the dispatchers
// and the packets waiting for a route are changed only under the framework
// lock (rulo::rulo_lock_guard), which route_packet() takes too;
// change_channel() expects its caller to hold it. A plugin's init,
// connected, deinit and command entries are never called with that lock
// held.
//
// Failures: a failure of one plugin, record or entry (a throwing host call,
// a payload that does not decode) skips only that plugin, record or entry;
// nothing is thrown out of handle() or route_packet().
#pragma once

#include "tovan/plugins/negotiation_host.h"
#include "tovan/plugins/plugin_records.h"

#include "rulo/netbuf.h"

#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace vyn {
struct session_state;
}

namespace tovan {

class negotiation {
public:
    negotiation(negotiation_host& host, vyn::session_state& session);

    // Handles one "module_plugin_" text. direct is true only for the host
    // command "load-plugin" calling in; "module_plugin_load-plugin " from the
    // queue (the peer, the server, anyone) is ignored.
    void handle(std::string const& text, bool direct = false);

    // The reader's half of routing, for a packet on a plugin sub-channel
    // (index other than -1 and 2): to the routed plugin's dispatcher, else
    // kept for replay (within the limits). Takes the framework lock; called
    // on a transport thread.
    void route_packet(int index, netbuf const& data);

    // The session came up with a current peer: runs this end's own table
    // and pin passes by queueing "module_plugin_load", so a plugin that only
    // this end wants is requested without a message from the peer.
    void session_up();

    // The table pass and the pin pass.
    void update_plugin_table();
    void update_pin_table();

    // Pins a plugin and its children; throws rulo::exception naming
    // "add_pin" when one of that name is pinned already.
    void add_pin(plugin_ptr const& p, int def_index);
    // Unpins a plugin and its children; "" unpins every plugin.
    void remove_pin(std::string const& name);
    // Routes a pinned plugin to a sub-channel and replays what waited there;
    // without create only a plugin that has a route. Refused (false, logged)
    // for the messages' and the chat's sub-channels and for one another
    // plugin owns. Any thread: it reads only the routing tables, and the
    // caller holds the framework lock.
    bool change_channel(std::string const& name, int channel, bool create);

    // A command packet for a plugin that is not pinned: kept (within the
    // limits) and handed over when it is pinned.
    void defer_command(std::string const& name, std::string const& packet);
    // A plugin button pressed while its plugin was not pinned.
    void set_pending_gui_event(std::string const& name, std::string const& text);
    // A drop of files waiting for the "file_transfer" plugin.
    void set_pending_drop(std::string const& paths);
    bool drop_pending() const { return m_drop_pending; }
    std::string const& drop_path() const { return m_drop_path; }
    // A new catalogue: the peer's requests, the pending GUI events and the
    // forced plugins are forgotten; forced becomes the table given.
    void new_catalogue(std::map<std::string, bool> forced = {});
    // The end of a session and a reconnect drop the waiting packets.
    void clear_unrouted();

    // Read-only views, for the dialog and tests.
    std::map<std::string, int> plugin_channels() const;
    std::map<int, std::string> channel_plugins() const;
    std::set<std::string> pinned() const;
    bool is_connected(std::string const& name) const;
    std::map<std::string, int> const& peer_requests() const { return m_peer_requests; }
    std::map<std::string, bool> const& forced() const { return m_forced; }
    std::size_t unrouted_bytes() const;
    int last_plugin_channel() const { return m_last_plugin_channel; }

private:
    struct pin {
        plugin_ptr plugin;
        int def_index = -1; // -1: a child plugin
        bool connected = false;
        bool request_pending = true;
        std::set<std::string> children;
    };

    bool session_active() const;
    std::string peer_version() const;
    void log(std::string const& line);
    void send(std::string const& verb, std::string const& payload);
    bool init(pin& p, int peer_proto);
    void deinit(pin& p);

    void check(std::string payload);
    void request(std::string payload);
    void accept(std::string payload);
    void channels(std::string const& text, bool is_channels);
    void down(std::string payload);
    void download(std::string payload);
    void load_plugin_record(std::string payload);
    bool route_allowed(std::string const& name, int channel);

    negotiation_host& m_host;
    vyn::session_state& m_session;

    // GUI thread only.
    std::map<std::string, bool> m_forced;
    std::map<std::string, int> m_peer_requests;
    std::map<std::string, pin> m_pins;
    std::map<std::string, std::string> m_pending_gui_events;
    std::string m_drop_path;
    bool m_drop_pending = false;
    int m_last_plugin_channel;
};

} // namespace tovan
