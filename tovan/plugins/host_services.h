// What the plugin host needs from the rest of the program: the log, the
// chat, the session channel and its state, the control link, the settings,
// the translations and the dialog's few plugin-facing operations. The dialog
// implements it (dialog_plugins.cpp); tests implement it with fakes.
//
// Threads: plugins call the host entries from any thread, so every
// operation here must be safe from any thread unless it says "GUI thread"
// (those are called only where the plugin command contract already puts
// the caller on the GUI thread). No operation is called with the
// framework lock or a host lock held, except send_session, which a plugin
// may reach from a direct-mode packet (the framework then holds its lock).
// Failures are thrown; the host entries catch them.
#pragma once

#include "rulo/netbuf.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace tovan {

using option_map = std::map<std::string, std::string>;

class host_services {
public:
    virtual ~host_services() = default;

    virtual void log(std::string const& text) = 0;
    // A system line in the chat (AddSystemMessage).
    virtual void system_message(std::string const& text, bool send) = 0;
    // Sends on a sub-channel of the session channel; false when there is none.
    virtual bool send_session(int sub_channel, netbuf const& data) = 0;
    // The session's state (low four bits the state number), any thread.
    virtual int64_t connection_state() = 0;
    // The remote end's version, a locked copy.
    virtual std::string peer_version() = 0;
    // The control link's get_program_link; blocks up to its call limit, throws.
    virtual std::string program_link(option_map const& params) = 0;
    // The program's arguments, the configuration file and the role's section.
    virtual std::vector<std::string> arguments() = 0;
    virtual std::string ini_path() = 0;
    virtual std::string ini_section() = 0;
    // The UTF-8 text of a key ("generic_" prefix, "en" fall-back).
    virtual std::string translate(std::string const& key) = 0;
    // Adds a plugin's translation file to the tables.
    virtual void add_translations(std::string const& path) = 0;
    // Adds a plugin's translation text (ini text) to the tables.
    virtual void add_translation_text(std::string const&) {}

    // Loading.
    virtual bool is_client() = 0;
    virtual int64_t main_window() = 0;
    virtual bool plain_log_closed() = 0;
    virtual std::string window_status() = 0;
    // The application options of a component for one event; false when none.
    virtual bool app_options_for(std::string const& component, std::string const& event, option_map& out) = 0;

    // Commands.
    // Queues a text command for the GUI thread ("run-in-main ...").
    virtual void queue_command(std::string const& text) = 0;
    // m_flags without clear, with set; true when the value changed (a
    // refresh request the next tick takes).
    virtual bool update_flags(uint64_t clear, uint64_t set) = 0;
    virtual uint64_t flags() = 0;
    // GUI thread: plugin button visibility; widget texts and tips.
    virtual void update_dialog_item(std::string const& item, uint64_t mask, uint64_t style) = 0;
    virtual void translate_widget(int64_t widget) = 0;
    virtual void set_widget_tip(int64_t widget, std::string const& key) = 0;
    // The connection file command (its packet after the name); 1 or 0.
    virtual int connect_save(netbuf const& packet) = 0;
    // The session channel's priority of one sub-channel; false without a channel.
    virtual bool set_priority(int priority, int sub_channel) = 0;
    // "load-plugin": the rest of its packet (a record address, then a
    // library handle) as "module_plugin_load-plugin " for the negotiation,
    // directly, never through the queue (GUI thread, where plugins send it
    // from loading). False when there is no negotiation: the host registers
    // the record itself.
    virtual bool load_plugin_record(std::string const&) { return false; }
    // "set-channel": routes a pinned plugin to a sub-channel of its own
    // choosing (the negotiation's change_channel, under the framework lock,
    // which it takes itself). False when the route is refused or there is no
    // negotiation. Any thread.
    virtual bool set_channel(std::string const&, int, bool) { return false; }

    // The plugins menu and buttons, on the GUI thread except
    // allocate_command (any thread). Command ids for plugin (the first
    // reserved; 0xFFFFFFFF when none are left); an entry of a
    // menu path (its id, 0xFFFFFFFF without a text); flags applied to an
    // entry (action: a menu action of the plugin's, as a number) or to the
    // first entry made with a text; a menu path forgotten (1, or 0 when it
    // was not registered); the plugin's button shown active or not.
    virtual uint32_t allocate_command(std::string const&, int64_t) { return 0; }
    virtual uint32_t append_menu(std::string const&, std::string const&, std::string const&, uint64_t) {
        return 0xFFFFFFFF;
    }
    virtual bool update_menu_action(std::string const&, int64_t, uint64_t) { return false; }
    virtual bool update_menu_item(std::string const&, std::string const&, uint64_t) { return false; }
    virtual int remove_menu(std::string const&) { return 0; }
    virtual void plugin_active(std::string const&, bool) {}
};

} // namespace tovan
