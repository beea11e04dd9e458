// The plugin catalogue: which of the server's plugin records this program
// uses, in which order, and which plugins the session wants.
//
// Pure functions of the records, the program's flavour and application
// options and the libraries still loaded from an earlier session; the dialog
// fetches the records, applies the result to its tables (on the GUI thread)
// and rebuilds its menus and buttons. Log lines go to the given sink.
#pragma once

#include "tovan/plugins/plugin_def.h"

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace tovan {

using catalogue_log = std::function<void(std::string const&)>;

// Whether a record's "flavor" admits the program's flavour: either is empty,
// or the program's occurs in the record's and its first occurrence is not
// preceded by "!".
bool flavour_fits(std::string const& program_flavour, std::string const& record_flavour);

// Inserts an entry by its "load_order": absent or past the end at the end,
// negative or not a number as 0, else at that position but behind the last
// entry of the same name at or after it.
void insert_by_load_order(std::vector<plugin_def>& defs, plugin_def entry);

// The names a "depends" value lists (a packet holding a set of names); the
// names read before a malformed part still count.
std::set<std::string> depends_names(std::string const& depends);

// After one version of a plugin has become the loaded one: every later entry
// of the same name waiting for a fetch (state 1 or 2) is given up (9).
void mark_class_invalid(std::vector<plugin_def>& defs, std::string const& full_name,
                        catalogue_log const& log);

struct catalogue_input {
    std::vector<plugin_record> records;                // the server's, in its order
    std::string flavour;                               // the program's "flavor"
    std::set<std::string> option_components;           // components named by the application options
    std::map<std::string, plugin_record> loaded;       // definitions of loaded libraries, by full name
    std::map<std::string, std::string> loaded_by_name; // full name of the loaded library, by plugin name
};

struct catalogue_result {
    std::vector<plugin_def> defs;       // in load order
    std::map<std::string, bool> wanted; // every listed name
    std::map<std::string, bool> forced; // every listed name, false
    std::set<std::string> listed;       // names that passed the flavour test
    bool menus_changed = false;         // an entry is already loaded (state 8)
};

// Builds the catalogue from the records.
catalogue_result build_catalogue(catalogue_input const& in, catalogue_log const& log);

} // namespace tovan
