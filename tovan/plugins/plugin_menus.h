// What the plugins menu and the plugin buttons decide, without widgets: the
// command ids handed out to plugins, the parts of a menu path, what an
// entry's flags do, and the host's "load" entries from the catalogue, the
// loaded libraries and the wanted table. The dialog applies the results to
// its menus and buttons (tovan/window/dialog_menus.cpp).
//
// Plain values and functions; the dialog calls them on the GUI thread with
// its own fields.
#pragma once

#include "tovan/plugins/plugin_def.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace tovan {

// The first command id after start-up, and the answer that means "no id".
constexpr uint32_t first_command_id = 30000;
constexpr uint32_t no_command_id = 0xFFFFFFFF;

// Reserves count consecutive ids for owner from next and returns the first.
// owners maps the first id of each reservation to its owner. A count of 0
// or below reserves nothing and returns next; a reservation that would pass
// 0xFFFFFFFE (the last id that is not the "no id" answer) reserves nothing
// and returns no_command_id, so the counter never wraps and no id is given
// twice.
uint32_t reserve_command_ids(std::map<unsigned, std::string>& owners, uint32_t& next,
                             std::string const& owner, int64_t count);
// The owner of a handed-out id ("" when it was never handed out).
std::string command_owner(std::map<unsigned, std::string> const& owners, uint32_t next, uint32_t id);

// "a/b/c" -> parent "a/b", last "c"; a path without "/" has no parent.
struct menu_path {
    std::string parent, last;
    bool has_parent = false;
};
menu_path split_menu_path(std::string const& path);

// What a flags value does to an entry: bits 0x1 and 0x2 disable it, 0x8
// checks it; nothing ever enables or unchecks one again.
struct menu_flag_effect {
    bool disable = false, check = false;
};
menu_flag_effect flag_effect(uint64_t flags);

// The flags of the load entries.
constexpr unsigned long load_enabled = 0, load_library_only = 3, load_wanted = 11;

// One load entry as the rebuild wants it.
struct load_entry {
    std::string name; // the plugin's name
    std::string path; // "SETTINGS/" + its visible name
    unsigned long flags = 0;
};

// A loaded top-level library as its information record names it.
struct loaded_library {
    std::string name, visible_name;
};

// The load entries in name order: every catalogue plugin (list order decides
// which definition of a name counts), then every top-level library the
// catalogue lacks, except the plugins that have buttons (the keys of
// button_plugins). Wanted catalogue plugins are disabled and checked,
// library-only ones disabled. The path's last part is the visible name, or
// the name when that is empty.
std::vector<load_entry> load_entries(std::vector<plugin_def> const& catalogue,
                                     std::vector<loaded_library> const& libraries,
                                     std::map<std::string, bool> const& wanted,
                                     std::map<std::string, std::string> const& button_plugins);

} // namespace tovan
