// Making directories and files strictly beneath a base directory, for the
// extractors of the framework and the launcher, whose names come from outside.
//
// Every part of a relative path is reached with openat(..., O_NOFOLLOW |
// O_DIRECTORY) from the descriptor of the part before it, starting at the
// base descriptor: a part that is a symbolic link or not a directory makes
// the call fail (ELOOP or ENOTDIR) before anything is made inside it, and a
// file is created with O_CREAT | O_EXCL | O_NOFOLLOW, so neither a link nor a
// hard link planted at its name is written through. So nothing is ever made
// or written outside the base, however the tree beneath it looks or changes
// meanwhile. Empty, "." and ".." parts and absolute paths are refused
// (EINVAL) whatever checked the names before.
//
// Each call appends what it made to a made_list (paths relative to the base,
// in the order made), so a caller that fails half-way can undo exactly that,
// last first, with remove_made.
//
// Pure system calls on the descriptors given; no state. Any thread.
#pragma once

#include <cerrno>
#include <cstddef>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#include <vector>

namespace rulo::safe_path {

// One directory or file made beneath a base.
struct made_entry {
    std::string path; // relative to the base
    bool directory;
};
using made_list = std::vector<made_entry>;

// Opens a directory by path as a base: O_PATH, so only search permission is
// needed. With follow_last false a symbolic link as the last part is refused
// (the parts before it are the caller's and are followed). Returns the
// descriptor or -1 with errno.
inline int open_base(std::string const& path, bool follow_last) {
    int const flags = O_PATH | O_DIRECTORY | O_CLOEXEC | (follow_last ? 0 : O_NOFOLLOW);
    return ::open(path.empty() ? "." : path.c_str(), flags);
}

namespace detail {

inline bool usable_part(std::string_view part) {
    return !part.empty() && part != "." && part != "..";
}

// Closes a descriptor this walk opened, never the caller's base.
inline void release(int fd, int base_fd) {
    if (fd != base_fd && fd >= 0) ::close(fd);
}

// Walks dirs (a relative path, possibly empty) from base_fd, making missing
// parts with mode when made is given. Returns the last directory's
// descriptor (base_fd itself for an empty path, not to be closed) or -1.
inline int walk(int base_fd, std::string_view dirs, mode_t mode, made_list* made) {
    if (!dirs.empty() && dirs.back() == '/') {
        errno = EINVAL;
        return -1;
    }
    int fd = base_fd;
    std::size_t done = 0;
    while (done < dirs.size()) {
        std::size_t const slash = dirs.find('/', done);
        std::size_t const end = slash == std::string_view::npos ? dirs.size() : slash;
        std::string const part(dirs.substr(done, end - done));
        if (!usable_part(part)) {
            release(fd, base_fd);
            errno = EINVAL;
            return -1;
        }
        if (made) {
            if (::mkdirat(fd, part.c_str(), mode) == 0) {
                made->push_back({std::string(dirs.substr(0, end)), true});
            } else if (errno != EEXIST) {
                int const err = errno;
                release(fd, base_fd);
                errno = err;
                return -1;
            }
        }
        int const next = ::openat(fd, part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        int const err = errno;
        release(fd, base_fd);
        if (next < 0) {
            errno = err;
            return -1;
        }
        fd = next;
        done = slash == std::string_view::npos ? dirs.size() : slash + 1;
    }
    return fd;
}

// Splits "a/b/c" into "a/b" and "c"; false for an unusable last part.
inline bool split_last(std::string_view path, std::string_view& dirs, std::string& leaf) {
    std::size_t const slash = path.rfind('/');
    dirs = slash == std::string_view::npos ? std::string_view() : path.substr(0, slash);
    leaf = std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
    if (slash != std::string_view::npos && dirs.empty()) return false; // absolute
    return usable_part(leaf);
}

} // namespace detail

// Makes the directory relative (and every missing part before it) beneath
// base_fd with mode, appending each one made to made. Existing directories
// are used as they are. Returns an O_PATH descriptor of it (owned by the
// caller) or -1 with errno.
inline int make_directories(int base_fd, std::string_view relative, mode_t mode, made_list& made) {
    if (relative.empty()) {
        errno = EINVAL;
        return -1;
    }
    return detail::walk(base_fd, relative, mode, &made);
}

// Creates the file relative beneath base_fd for writing, making missing
// directories before it with dir_mode. With replace, a file (or link) already
// at the name is unlinked first; without, it fails with EEXIST; a directory
// there always fails. Appends what it made to made. Returns a write-only
// descriptor (owned by the caller) or -1 with errno; the file is then empty.
inline int create_file(int base_fd, std::string_view relative, mode_t file_mode, mode_t dir_mode,
                       bool replace, made_list& made) {
    std::string_view dirs;
    std::string leaf;
    if (!detail::split_last(relative, dirs, leaf)) {
        errno = EINVAL;
        return -1;
    }
    int const parent = detail::walk(base_fd, dirs, dir_mode, &made);
    if (parent < 0) return -1;
    int const flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    int fd = ::openat(parent, leaf.c_str(), flags, file_mode);
    if (fd < 0 && errno == EEXIST && replace) {
        struct stat st;
        if (::fstatat(parent, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
            if (S_ISDIR(st.st_mode))
                errno = EISDIR;
            else if (::unlinkat(parent, leaf.c_str(), 0) == 0)
                fd = ::openat(parent, leaf.c_str(), flags, file_mode);
        }
    }
    int const err = errno;
    detail::release(parent, base_fd);
    if (fd < 0) {
        errno = err;
        return -1;
    }
    made.push_back({std::string(relative), false});
    return fd;
}

// Writes every byte; false with errno (ENOSPC for a write that makes no
// progress) otherwise.
inline bool write_all(int fd, char const* data, std::size_t size) {
    while (size > 0) {
        ssize_t const n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = ENOSPC;
            return false;
        }
        data += n;
        size -= std::size_t(n);
    }
    return true;
}

// Removes what made lists beneath base_fd, last first, reaching each through
// the same non-following walk. A directory that is not empty (something not
// in the list went into it) stays. True when everything went.
inline bool remove_made(int base_fd, made_list const& made) {
    bool all = true;
    for (auto it = made.rbegin(); it != made.rend(); ++it) {
        std::string_view dirs;
        std::string leaf;
        int parent = -1;
        if (detail::split_last(it->path, dirs, leaf)) parent = detail::walk(base_fd, dirs, 0, nullptr);
        bool const gone =
            parent >= 0 &&
            (::unlinkat(parent, leaf.c_str(), it->directory ? AT_REMOVEDIR : 0) == 0 || errno == ENOENT);
        detail::release(parent, base_fd);
        all = all && gone;
    }
    return all;
}

} // namespace rulo::safe_path
