#include "launcher/cache_slot.h"

#include "launcher/appendix_format.h"
#include "rulo/flock_file.h"
#include "rulo/safe_path.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace launcher {

namespace {

std::string& prefix() {
    static std::string p = "/tmp";
    return p;
}

std::string join(const std::string& dir, std::string_view name) {
    std::string p = dir;
    p += '/';
    p += name;
    return p;
}

bool is_real_dirent(const dirent* e) {
    std::string_view n = e->d_name;
    return n != "." && n != "..";
}

bool is_marker_file(std::string_view n) {
    return n == lock_file_name || n == slot_marker_name;
}

} // namespace

void set_cache_prefix(std::string p) {
    prefix() = std::move(p);
}

std::string cache_root(unsigned n) {
    char name[64];
    std::snprintf(name, sizeof name, "/%s_%u_%u", "SepraCache", unsigned(geteuid()), n);
    return prefix() + name;
}

bool make_private_directory(const std::string& path) {
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return false;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return false;
    if (!S_ISDIR(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        std::fprintf(stderr, "Not a private directory: %s\n", path.c_str());
        errno = EPERM;
        return false;
    }
    return true;
}

bool lock_slot(launch_state& s, const std::string& directory) {
    if (s.lock_fd >= 0) close(s.lock_fd);
    s.lock_fd = -1;
    std::string path = join(directory, lock_file_name);
    // Not close-on-exec: the started program inherits the lock.
    int fd = rulo::open_flock_file(AT_FDCWD, path.c_str(), 0600, false);
    if (fd < 0) {
        int e = errno;
        if (e == EWOULDBLOCK) std::fprintf(stderr, "Cannot lock: %s\n", path.c_str());
        errno = e;
        return false;
    }
    s.lock_fd = fd;
    return true;
}

bool slot_marker(const std::string& directory, bool create) {
    std::string path = join(directory, slot_marker_name);
    if (!create) {
        struct stat st;
        return lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    }
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    close(fd);
    return true;
}

bool remove_slot_tree(const std::string& directory, bool top) {
    struct stat st;
    if (lstat(directory.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    if (top && !slot_marker(directory, false)) return false;
    DIR* d = opendir(directory.c_str());
    if (!d) return false;
    bool foreign_left = false;
    while (const dirent* e = readdir(d)) {
        if (!is_real_dirent(e)) continue;
        if (top && is_marker_file(e->d_name)) continue;
        std::string path = join(directory, e->d_name);
        struct stat est;
        if (lstat(path.c_str(), &est) != 0) continue;
        if (S_ISDIR(est.st_mode))
            remove_slot_tree(path, false);
        else
            unlink(path.c_str());
    }
    if (top) {
        rewinddir(d);
        while (const dirent* e = readdir(d))
            if (is_real_dirent(e) && !is_marker_file(e->d_name)) foreign_left = true;
    }
    closedir(d);
    if (!top) {
        rmdir(directory.c_str());
        return true;
    }
    if (foreign_left) return true;
    unlink(join(directory, slot_marker_name).c_str());
    unlink(join(directory, lock_file_name).c_str());
    rmdir(directory.c_str());
    return true;
}

void set_library_path(const std::string& front, const std::optional<std::string>& rest) {
    std::string value = front;
    if (rest && !rest->empty()) {
        value += ':';
        value += *rest;
    }
    setenv("LD_LIBRARY_PATH", value.c_str(), 1);
    std::fprintf(stderr, "LD_LIBRARY_PATH=%s\n", value.c_str());
}

bool claim_slot(launch_state& s, const std::string& base) {
    for (unsigned n = 1; n <= slots_per_root; ++n) {
        std::string candidate = base + "/" + std::to_string(n);
        struct stat st;
        if (lstat(candidate.c_str(), &st) == 0) {
            if (S_ISLNK(st.st_mode)) continue;
            // Only a marked slot that nobody holds is reclaimed; the marker is
            // looked at first so no lock file is planted in a foreign directory.
            if (S_ISDIR(st.st_mode) && st.st_uid == geteuid() && slot_marker(candidate, false) &&
                lock_slot(s, candidate))
                remove_slot_tree(candidate, true);
        }
        if (mkdir(candidate.c_str(), 0700) != 0) continue;
        if (!lock_slot(s, candidate) || !slot_marker(candidate, true) || chdir(candidate.c_str()) != 0)
            continue;
        int fd = rulo::safe_path::open_base(candidate, false);
        if (fd < 0) continue;
        if (s.slot_fd >= 0) close(s.slot_fd);
        s.slot_fd = fd;
        s.base = candidate;
        s.slot = candidate;
        // From the value found at start: a slot that an earlier attempt
        // claimed and gave up must not stay in the path.
        set_library_path(s.base, s.original_library_path);
        s.first_archive = false;
        return true;
    }
    return false;
}

} // namespace launcher
