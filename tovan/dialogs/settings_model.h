// What the settings window shows and does, without widgets: the MTU choices
// and their commands, the information text (server-sent names escaped for
// its HTML), and settings_host, the window's one view of the rest of the
// program, which the dialog implements and the tests fake.
#pragma once

#include "tovan/session/numbers.h"

#include <functional>
#include <string>
#include <vector>

class QDialog;

namespace tovan {

struct mtu_choice {
    char const* value;
    char const* label;
    char const* command; // queued (and sent to the remote end) when connected
};
inline constexpr mtu_choice mtu_choices[] = {
    {"0", "Normal", vyn::mtu_fix_commands[0]},
    {"1", "Slow", vyn::mtu_fix_commands[1]},
    {"2", "Slowest", vyn::mtu_fix_commands[2]},
};

// The command of a stored MTU value; empty for any other value.
std::string mtu_command(std::string const& value);

// One line of the information text: a catalogue entry or a loaded library.
struct about_plugin {
    std::string name, visible_name, version, branch, revision;
    bool loaded = false; // a catalogue entry in the loaded state
};

struct build_info {
    std::string version, date, time, revision;
};
build_info this_build();

// The HTML of the information text. translate gives the text of a key.
// Libraries whose name is in the catalogue are listed there only.
std::string settings_about_html(std::function<std::string(std::string const&)> const& translate,
                                build_info const& build, std::vector<about_plugin> const& catalogue,
                                std::vector<about_plugin> const& libraries);

// What the settings window needs of the program. GUI thread only.
class settings_host {
public:
    virtual ~settings_host() = default;
    virtual std::vector<std::string> language_codes() = 0; // the language menu's, in order
    virtual std::string selected_language() = 0;
    virtual std::string language_name(std::string const& code) = 0;
    virtual void choose_language(std::string const& code) = 0; // as the language menu does
    virtual std::string server() = 0;
    virtual bool debug_log_on() = 0;
    virtual void enable_debug_log() = 0;
    virtual void show_log() = 0;
    virtual int connection_state() = 0; // the low four bits
    virtual bool old_peer() = 0;
    virtual void queue_command(std::string const& text) = 0;
    virtual void send_remote(std::string const& text) = 0; // failures ignored
    virtual std::string translate(std::string const& key) = 0;
    virtual std::vector<about_plugin> catalogue() = 0;
    virtual std::vector<about_plugin> libraries() = 0;
    // Asks every loaded plugin library to add its pages to the dialog
    // ("show_settings"); pages are children with a save_settings() slot.
    virtual void request_plugin_pages(QDialog* dialog) = 0;
};

} // namespace tovan
