// Decisions behind the main window's commands, as pure functions: what a
// plugin button click does, the mail link, the "proxylog" line and the
// "connect-save" packet. The dialog carries them out.
#pragma once

#include "rulo/netbuf.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tovan::look {

// What the click on a plugin button knows.
struct button_input {
    std::string plugin;                // "desktop", "file_transfer", "video", "audio"
    std::string event;                 // the GUI event text of the button ("" for none)
    std::string peer_version;          // the other end's version (compared byte-wise)
    std::vector<int> catalogue_states; // states of the catalogue entries named plugin
    bool wanted = false;               // the wanted map's entry
    bool running = false;              // the plugin holds a session sub-channel
    bool pinned = false;               // pinned for the session (its library alone is not enough)
};

// What it does: one of a box (translation key), an event to the pinned
// plugin, or a toggle of the wanted flag (with a pending event kept first,
// for a plugin that is not pinned, whether or not its library is loaded).
struct button_action {
    std::string box;           // translation key of the box to show
    std::string event;         // passed to the running plugin
    std::string pending_event; // kept until the plugin connects
    bool toggle = false;       // wanted becomes new_wanted, then "module_plugin_load"
    bool new_wanted = false;
};

// The button's plugin and event text from its object name ("IDC_VIDEO" ...);
// empty plugin for any other name.
std::pair<std::string, std::string> button_plugin(std::string const& object_name);

button_action plugin_button(button_input const& in);

// The mail link for a template's subject and body: "MailTo:?" and the two
// as a query in key order, blanks as "%20".
std::string mail_url(std::string const& subject, std::string const& body);

// The text the desk sends to the server's proxy log for a typed line.
std::string proxy_log_text(std::string const& typed);

// The "connect-save" command's arguments: save (false: clear the saved
// connection), the file name and whether a failed write still keeps it.
struct connect_save_args {
    bool save = false;
    std::string file = "connect.dat";
    bool keep = false;
};
// nullopt when not even the save flag can be read.
std::optional<connect_save_args> parse_connect_save(netbuf packet);

// The saved connection's text: the parameters as a query without its "?",
// keys in order, empty values left out.
std::string connect_save_text(std::map<std::string, std::string> const& params);

} // namespace tovan::look
