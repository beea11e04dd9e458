// Opening and flock-ing a lock file: the one way the framework's directory
// lock and the launcher's cache slot take the lock "writeacc.dat", so that
// both exclude each other.
//
// The protocol: the holder deletes the lock file while it still holds the
// flock and only then closes it. A taker that opened the old file before the
// delete may be granted the flock on that orphaned file once the holder
// closes; it sees this by comparing the file behind its descriptor with the
// file now at the name, and tries again on the new file.
//
// The lock file is never truncated, never followed when it is a symbolic
// link, and must be a regular file: whatever else sits at the name (a FIFO,
// a device, a link to someone's file) makes the open fail at once rather than
// block or write through it. Taking the lock never blocks.
//
// Pure system calls on the descriptors given; no state. Any thread.
#pragma once

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace rulo {

// How often a taker reopens a lock file that was deleted under it. Each retry
// means a holder released in between, so a handful is plenty.
inline constexpr int flock_file_max_reopen = 16;

// Opens name (relative to dir_fd, or a path with AT_FDCWD), creating it with
// mode when missing, and takes an exclusive flock on it. Returns the
// descriptor, which holds the lock until it is closed, or -1 with errno:
// EWOULDBLOCK when another open file holds the lock, ELOOP for a symbolic
// link, EINVAL for anything but a regular file, or the failing call's error.
// Without close_on_exec a started program inherits the lock.
inline int open_flock_file(int dir_fd, char const* name, mode_t mode = 0644, bool close_on_exec = true) {
    int const flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | (close_on_exec ? O_CLOEXEC : 0);
    for (int attempt = 0; attempt < flock_file_max_reopen; ++attempt) {
        // O_NONBLOCK: opening a FIFO for writing would wait for a reader.
        int const fd = ::openat(dir_fd, name, flags, mode);
        if (fd < 0) return -1;
        auto fail = [fd](int err) {
            ::close(fd);
            errno = err;
            return -1;
        };
        struct stat held;
        if (::fstat(fd, &held) != 0) return fail(errno);
        if (!S_ISREG(held.st_mode)) return fail(EINVAL);
        // Back to ordinary blocking writes for whoever keeps the descriptor.
        int const status = ::fcntl(fd, F_GETFL);
        if (status < 0 || ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) return fail(errno);
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return fail(errno);
        // The previous holder may have deleted the file we opened before we
        // got its lock: that lock excludes nobody. Take the current file.
        struct stat now;
        if (::fstatat(dir_fd, name, &now, AT_SYMLINK_NOFOLLOW) == 0 && now.st_dev == held.st_dev &&
            now.st_ino == held.st_ino)
            return fd;
        ::close(fd);
    }
    errno = EWOULDBLOCK;
    return -1;
}

} // namespace rulo
