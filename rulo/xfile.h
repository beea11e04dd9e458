// The file layer: an owning wrapper over a stdio stream, whole-file
// operations and path functions.
//
// Every path is a byte string handed to the system unchanged. The path
// functions accept both "/" and "\" as separators. Nothing here keeps state
// between calls; an xfile belongs to the one thread that uses it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace rulo {

// One open stdio stream, closed by its destructor. Made on the stack by the
// thread that uses it (the log writer opens one per line). Failures either
// throw (when made with throw_on_error) or leave the object closed; a caller
// that asked for no exceptions tests operator bool.
class xfile {
public:
    // The open modes by number; any other number fails with "invalid_mode".
    enum mode : int {
        read_only = 0,         // "rb"
        create_write = 1,      // "wb": create or truncate
        append_create = 2,     // "ab"
        read_write = 3,        // "r+b": the file must exist
        read_write_create = 4, // "r+b", creating the file first when missing
    };

    xfile(std::string name, int open_mode, bool throw_on_error = true);
    ~xfile(); // closes; swallows a failing close
    xfile(xfile const&) = delete;
    xfile& operator=(xfile const&) = delete;

    // Appends up to 64 KiB to out; false when closed or nothing was read.
    bool read(std::string& out);
    // Writes every byte; a closed stream or a short write fails with "fwrite".
    void write(char const* data, size_t size);
    void write(std::string const& data) { write(data.data(), data.size()); }
    void writeline(std::string const& line);
    // Closes and forgets the stream; a failing close fails with "fclose".
    void close();

    operator FILE*() const { return m_file; }
    explicit operator bool() const { return m_file != nullptr; }
    std::string const& name() const { return m_name; }

    // With the exception flag: throws ":<errno> (<text>) function=<operation>
    // file=<name>"; otherwise does nothing.
    void fail(char const* operation);

    // Start-up step of the framework; the file layer needs no preparation.
    static void init();

private:
    FILE* m_file = nullptr;
    bool m_throw;
    std::string m_name;
};

// Replaces the file with data (mode 1, throwing).
void put_file(std::string const& name, std::string const& data);
// Replaces out with the whole file (mode 0, throwing).
void get_file(std::string& out, std::string const& name);

std::string get_exe_path();
std::string get_current_dir();
void change_current_dir(std::string const& path);
// Mode 0755; an existing directory counts as success.
void create_directory(std::string const& path);
// The directory must be empty.
void remove_directory(std::string const& path);
void delete_file(std::string const& path);
// Not supported on this system: always throws "delete_locked_file".
void delete_locked_file(std::string const& path);
bool file_exists(std::string const& path);
// For a file that holds secrets: makes its directory (and missing parents)
// with mode 0700 and sets the directory to 0700, then creates the file empty
// with mode 0600 when it is missing, or sets an existing one to 0600. Best
// effort: failures are ignored (a later write reports its own).
void make_private_file(std::string const& path);
// Opens path with fopen's mode ("w" truncates, "a"/"a+" append) as a file
// only its owner may read: a new file is created 0600 and an existing one is
// set to 0600 before anything is written. Leaves the directory alone. Null
// with errno set when it cannot be opened.
std::FILE* open_private(std::string const& path, char const* mode);
// A hard link and an unlink, so both names must be on one file system.
// Throws "move_file" when either step fails; the source then stays as it was.
void move_file(std::string const& from, std::string const& to);

// The part after the last "/", then after the last "\" of that.
std::string basename(std::string const& path);
// The path without its last part; "." for a bare name, "/" directly under
// the root, and a drive-style "C:\x" gives "C:\".
std::string dirname(std::string const& path);
// The absolute, resolved form of a path. A path that does not exist yet gets
// the resolved form of its nearest existing parent followed by the remaining
// parts unchanged. Throws "expand_filename" when even the root cannot be
// resolved, or when the name holds a NUL byte (no system call can take it).
std::string expand_filename(std::string const& name);

// One shared mapping of a whole file, made by mmap_open and freed by
// mmap_close. The length is 32 bits wide: files of 4 GiB or more are refused.
struct _mmap {
    int fd;
    uint32_t len;
    void* addr;
};

// Maps a file. flags are open(2) flags; write-only becomes read-write, since a
// writable mapping must also be readable. Opened for writing, the mapping is
// size bytes long (4 MiB when size is -1) and the file is extended to that
// length; opened for reading, the mapping covers the whole file. A length of
// 0 or one that does not fit in 32 bits is refused. Any failure closes the
// descriptor and throws "_mmap_open".
_mmap* mmap_open(char const* path, long flags, long size);
// Unmaps, truncates the file to the mapped length when it was opened for
// writing, closes and frees the record. Null is ignored.
void mmap_close(_mmap* map);

} // namespace rulo
