// Starting the unpacked program or library, and the two ways the launcher
// ends.
#pragma once

#include "launcher/launch_state.h"

#include <string_view>

namespace launcher {

// Runs slot + "/" + name with the launcher's arguments 1 onward and blocks
// until it ends. Fails when fork fails or the file cannot be executed.
result start_exe(launch_state& s, std::string_view name);

// Loads slot + "/" + name and calls its DllStartService(argc, argv); succeeds
// only when that returns 0.
result start_dll(launch_state& s, std::string_view name);

void unmap_self(launch_state& s);

// Deletes every written file and empty archive directory, then SIGKILL.
[[noreturn]] void normal_end(launch_state& s);

// Prints what failed (its line, if any, then the system error) once, deletes
// nothing, then SIGKILL. Allocates nothing.
[[noreturn]] void error_end(launch_state& s, const result& failed);

} // namespace launcher
