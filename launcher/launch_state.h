// The launcher's run state, its clean-up list, and the result that every step
// hands back up to where the launch ends. The bottom layer of the launcher:
// cache_slot, extract, start and appendix build on it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
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
    std::string own_path; // what /proc/self/exe names; used only to log and to delete the file
    int own_fd = -1;      // the running file itself, opened through /proc/self/exe
    const unsigned char* image = nullptr; // read-only shared mapping of own_fd
    std::size_t image_size = 0;
    // LD_LIBRARY_PATH as the launcher found it; every claimed slot is put in
    // front of this, never of what an earlier attempt set.
    std::optional<std::string> original_library_path;
    std::string base; // empty until a slot is claimed; then the slot (plus a later archive's directory)
    std::string slot; // the claimed slot
    int slot_fd = -1; // O_PATH descriptor of the claimed slot: everything is written beneath it
    int lock_fd = -1; // the held "writeacc.dat" lock, inherited by the program
    std::vector<cleanup_node> cleanup; // oldest first
    bool first_archive = true;
    // An archive still unpacking after this long says so once on a terminal.
    unsigned note_after_ms = 1000;
};

// Records an entry; fails (recording nothing) while no slot is claimed.
bool cleanup_add(launch_state& s, std::string_view relative, cleanup_kind kind);

// How a step ended. A failure carries the system error to report and,
// optionally, a line that says what failed; both are printed once, where the
// launch ends (error_end).
class [[nodiscard]] result {
public:
    result() = default; // success

    static result failure(int error, std::string detail = {}) {
        result r;
        r.m_failed = true;
        r.m_error = error;
        r.m_detail = std::move(detail);
        return r;
    }
    // Data that will fail the same way wherever they are unpacked: a first
    // archive is not tried again in another cache root.
    static result data_failure(int error, std::string detail) {
        result r = failure(error, std::move(detail));
        r.m_final = true;
        return r;
    }
    // A failure from a bool-returning call that set errno.
    static result from_errno(bool ok);

    bool ok() const { return !m_failed; }
    bool is_final() const { return m_final; }
    int error() const { return m_error; }
    std::string const& detail() const { return m_detail; }

private:
    bool m_failed = false;
    bool m_final = false;
    int m_error = 0;
    std::string m_detail;
};

} // namespace launcher
