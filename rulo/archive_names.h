// The one rule for the names inside an archive container, shared by the
// framework's extractor, the launcher and the packer, so that a package the
// packer accepts is one that both readers accept and nothing else is.
//
// A name is a relative path with "/" between its parts. It is refused when it
//   - is empty or longer than max_name_length bytes (the launcher keeps names
//     in 255-byte buffers with a terminator),
//   - holds a NUL byte (it would be cut short as a C string),
//   - begins with "/" (absolute) or with "." (hidden, and "." or ".." first),
//   - has an empty part ("a//b", or a trailing "/"),
//   - has a part "." ("a/./b"), or holds ".." anywhere ("a/../b", "a..b").
// The directory name of a container is one part: it holds no "/" at all. An
// entry may not be the lock file or the slot marker of the directory it is
// unpacked into. "\" is an ordinary byte here.
//
// Pure functions of the bytes given; no I/O, no state.
#pragma once

#include <cstddef>
#include <string_view>

namespace rulo::archive_names {

inline constexpr std::size_t max_name_length = 254;

// The two files a directory holds besides what was unpacked into it.
inline constexpr std::string_view lock_file_name = "writeacc.dat";
inline constexpr std::string_view slot_marker_name = "remove.dir";

// The path rule above, without the length bound (start names of the
// launcher have a limit of their own).
inline bool is_safe_path(std::string_view name) {
    if (name.empty() || name.front() == '.' || name.front() == '/') return false;
    if (name.find('\0') != std::string_view::npos || name.find("..") != std::string_view::npos) return false;
    for (;;) {
        std::size_t const slash = name.find('/');
        std::string_view const part = name.substr(0, slash);
        if (part.empty() || part == ".") return false;
        if (slash == std::string_view::npos) return true;
        name.remove_prefix(slash + 1);
    }
}

// The container's directory: one safe part.
inline bool is_safe_directory_name(std::string_view name) {
    return name.size() <= max_name_length && name.find('/') == std::string_view::npos && is_safe_path(name);
}

// A file of the container.
inline bool is_safe_entry_name(std::string_view name) {
    return name.size() <= max_name_length && name != lock_file_name && name != slot_marker_name &&
           is_safe_path(name);
}

} // namespace rulo::archive_names
