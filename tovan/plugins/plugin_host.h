// The plugin host as the dialog sees it so far: the framework table handed
// to plugin tables, commands to loaded libraries, and removing pins. No
// plugin is loaded yet, so each of these does nothing.
#pragma once

#include "rulo/init.h"
#include "rulo/netbuf.h"
#include "tovan/plugins/plugin_def.h"

#include <string>

namespace tovan {

// Sends a command packet to one library, or every library for an empty name.
void libs_command(std::string const& library, netbuf const& packet);

// Removes the pins of one plugin, or of every plugin for an empty name.
void remove_pin(std::string const& name);

} // namespace tovan
