// Exclusive locks on files and directories between processes.
//
// A directory is locked through a file "writeacc.dat" inside it, held with an
// exclusive flock. The launcher prepares its slot directories with the same
// file name and the same protocol, so the two exclude each other.
//
// The protocol: the holder deletes the lock file while it still holds the
// flock and only then closes it. A taker that opened the old file before the
// delete may be granted the flock on that orphaned file once the holder
// closes; it detects this by comparing the file behind its descriptor with
// the file now at the path, and tries again on the new file.
#pragma once

#include "rulo/atomic.h"

#include <string>

namespace rulo {

// One exclusive flock on a file. Made and destroyed by the one thread that
// owns it; the lock belongs to the process (any thread may test held()).
// Taking it never blocks: a lock that another process holds counts as not
// held.
// The file is opened as flock_file.h describes: never truncated, never
// through a symbolic link, only a regular file.
class lock_file {
public:
    // Opens (creating, permission 0644) and tries to flock the file; on any
    // failure the lock is simply not held.
    explicit lock_file(std::string const& path);
    // The file name inside directory, which is not followed when it is itself
    // a symbolic link; while held, the directory stays open (directory_fd).
    lock_file(std::string const& directory, char const* name);
    // When held: deletes the file, then closes it. Never throws; a file that
    // vanished meanwhile is not an error.
    virtual ~lock_file();
    lock_file(lock_file const&) = delete;
    lock_file& operator=(lock_file const&) = delete;

    bool held() const { return m_fd >= 0; }
    std::string const& path() const { return m_path; }
    // The locked directory (O_PATH) when made with one and held, else -1.
    int directory_fd() const { return m_dir_fd; }

private:
    int m_fd = -1;
    int m_dir_fd = -1;
    std::string m_name; // relative to m_dir_fd when that is open, else the path
    std::string m_path;
};

// An exclusively locked directory: the one named, or when another process
// holds that, a fresh sibling named base + prefix + "_" + 8 hex digits.
// Made with new by its holder (the plugin host keeps one per extracted
// plugin), used and destroyed by that holder's thread.
class lock_directory {
public:
    // Locks base (the current directory when empty); a directory that is a
    // symbolic link is not locked but passed over like a busy one. With an empty prefix
    // the directory is created first and removed again on release if it is
    // then empty. Throws "lock_directory" when no directory could be locked
    // after a bounded number of fresh names. Touches the file system; does
    // not block on other processes.
    lock_directory(std::string base, std::string const& prefix);
    // Deletes the lock file, releases the lock, then removes the directory
    // when this object created it and it is empty. Files in it are left
    // alone: their holder deletes them first. Never throws.
    virtual ~lock_directory();
    lock_directory(lock_directory const&) = delete;
    lock_directory& operator=(lock_directory const&) = delete;

    std::string get_directory() const { return m_directory; }
    // The locked directory itself (an O_PATH descriptor owned by the lock),
    // for making files in it without going through its path again.
    int directory_fd() const { return m_lock->directory_fd(); }

private:
    null_ptr<lock_file> m_lock;
    std::string m_directory;
    bool m_remove = false;
};

} // namespace rulo
