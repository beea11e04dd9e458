// The launcher's run state, the clean-up list, starting the unpacked program
// or library, and the two ways the launcher ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace launcher {

enum cleanup_kind : std::uint8_t {
    cleanup_file = 0,          // a written file: deleted at the normal end
    cleanup_archive_dir = 1,   // an archive directory: removed at the end when empty
    cleanup_later_archive = 2, // a later archive began here (no action)
    cleanup_seal = 3,          // files before it may be started, after it may not
    cleanup_slot_marker = 4,   // the slot's "remove.dir" (no action)
};

struct cleanup_node {
    cleanup_kind kind;
    std::string relative; // the name as given (empty for directories and seals)
    std::string full;     // base at the time of recording + "/" + relative, or the base alone
};

// Everything one launch knows. The launcher is one process with one thread;
// main owns the only instance and every part gets it by reference.
struct launch_state {
    int argc = 0;
    char** argv = nullptr;
    std::string own_path;
    int own_fd = -1;
    const unsigned char* image = nullptr; // read-only shared mapping of the own file
    std::size_t image_size = 0;
    std::string base; // empty until a slot is claimed; then the slot (plus a later archive's directory)
    std::string slot; // the claimed slot
    int lock_fd = -1; // the held "writeacc.dat" lock, inherited by the program
    std::vector<cleanup_node> cleanup; // oldest first
    bool first_archive = true;
};

// Records an entry; fails (recording nothing) while no slot is claimed.
bool cleanup_add(launch_state& s, std::string_view relative, cleanup_kind kind);

// Runs slot + "/" + name with the launcher's arguments 1 onward and blocks
// until it ends. False when fork fails or the file cannot be executed.
bool start_exe(launch_state& s, std::string_view name);

// Loads slot + "/" + name and calls its DllStartService(argc, argv); true
// only when that returns 0.
bool start_dll(launch_state& s, std::string_view name);

void unmap_self(launch_state& s);

// Deletes every written file and empty archive directory, then SIGKILL.
[[noreturn]] void normal_end(launch_state& s);

// Logs the last system error, deletes nothing, then SIGKILL.
[[noreturn]] void error_end(launch_state& s);

} // namespace launcher
