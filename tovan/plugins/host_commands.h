// The host's handler of command packets from plugins ("plugin_command"
// entry): pops the name and runs the command against host_services and the
// plugin host. Runs on the calling plugin's thread, takes no lock of its
// own; the commands that touch widgets are sent from the GUI thread by
// contract. Any failure inside a command ends it with the result 0.
#pragma once

#include "tovan/plugins/host_services.h"

#include "rulo/netbuf.h"

#include <string>

namespace tovan {

// packet is the host's own view of the plugin's buffer (popped freely).
int handle_plugin_command(host_services& host, std::string const& plugin, netbuf packet);

} // namespace tovan
