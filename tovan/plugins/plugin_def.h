// One plugin definition: what the catalogue (or the test directory) says of
// a plugin, and what loading reads of it. A plain record, copied freely; the
// dialog keeps the list (m_plugin_defs) and changes it on the GUI thread.
#pragma once

#include "rulo/init.h"

#include <map>
#include <string>
#include <vector>

namespace tovan {

struct plugin_def {
    enum : int { state_loaded = 8, state_invalid = 9 };

    std::string name;      // plain name, the key of m_loaded_libs_map
    std::string full_name; // name with version (and branch): the key of m_loaded_libs
    int state = 0;
    std::map<std::string, std::string> info; // "version", "description", ...
    std::string library_path;                // the library file to open
    std::string trans_path;                  // the translation file; empty when none

    // Completes the host tables from the framework's filled API table; once,
    // from main, before the first library opens. Also notes the start
    // directory (see start_path).
    static void init(rulo_api_t* table);
};

// A relative name joined to the directory the program started in, so that a
// library load switching the working directory meanwhile cannot move it.
std::string start_path(std::string const& name);

// The test seam: one definition per regular file NAME.so in dir, in
// byte-wise order (name NAME, version "1", full name NAME_1, state 7,
// absolute path, NAME.trans when present).
std::vector<plugin_def> definitions_from_directory(std::string const& dir);

} // namespace tovan
