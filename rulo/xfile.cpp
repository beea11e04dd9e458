#include "rulo/xfile.h"

#include "rulo/exception.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <limits>
#include <memory>
#include <new>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace rulo {

namespace {

constexpr size_t read_step = 65536;

char const* fopen_mode(int m) {
    switch (m) {
    case xfile::read_only:
        return "rb";
    case xfile::create_write:
        return "wb";
    case xfile::append_create:
        return "ab";
    default:
        return "r+b";
    }
}

bool is_directory(std::string const& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

} // namespace

xfile::xfile(std::string name, int open_mode, bool throw_on_error)
    : m_throw(throw_on_error), m_name(std::move(name)) {
    if (open_mode < read_only || open_mode > read_write_create) {
        errno = EINVAL;
        fail("invalid_mode");
        return;
    }
    m_file = ::fopen(m_name.c_str(), fopen_mode(open_mode));
    if (m_file || open_mode != read_write_create) {
        if (!m_file) fail("fopen");
        return;
    }
    // Read/write of a missing file: create it by appending, then reopen the
    // same stream for update so that the caller can seek and read.
    FILE* created = ::fopen(m_name.c_str(), "ab");
    if (!created) {
        fail("freopen");
        return;
    }
    m_file = ::freopen(m_name.c_str(), "r+b", created); // closes created on failure
    if (!m_file) fail("freopen");
}

xfile::~xfile() {
    try {
        close();
    } catch (...) {
    }
}

bool xfile::read(std::string& out) {
    if (!m_file) return false;
    size_t old = out.size();
    out.resize(old + read_step);
    size_t got = ::fread(&out[old], 1, read_step, m_file);
    out.resize(old + got);
    return got > 0;
}

void xfile::write(char const* data, size_t size) {
    if (!m_file) {
        errno = EBADF;
        fail("fwrite");
        return;
    }
    if (size == 0) return;
    if (::fwrite(data, 1, size, m_file) != size) fail("fwrite");
}

void xfile::writeline(std::string const& line) {
    write(line);
    write("\n", 1);
}

void xfile::close() {
    if (!m_file) return;
    FILE* f = m_file;
    m_file = nullptr;
    if (::fclose(f) != 0) fail("fclose");
}

void xfile::fail(char const* operation) {
    int err = errno;
    if (!m_throw) return;
    exception e;
    e.stream() << err << " (" << safe_strerror(err) << ") function=" << operation << " file=" << m_name;
    throw e;
}

void xfile::init() {}

void put_file(std::string const& name, std::string const& data) {
    xfile f(name, xfile::create_write, true);
    f.write(data);
    f.close();
}

void get_file(std::string& out, std::string const& name) {
    out.clear();
    xfile f(name, xfile::read_only, true);
    while (f.read(out)) {
    }
    if (::ferror(f)) f.fail("fread");
}

std::string get_exe_path() {
    std::string buf(16384, '\0');
    ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
    // A full buffer may hold a cut link: refuse it rather than return half a path.
    if (n < 0 || size_t(n) >= buf.size()) throw exception::function("get_exe_path");
    buf.resize(size_t(n));
    return buf;
}

std::string get_current_dir() {
    char buf[16383];
    if (!::getcwd(buf, sizeof buf)) throw exception::function("get_current_dir");
    return buf;
}

void change_current_dir(std::string const& path) {
    if (::chdir(path.c_str()) != 0) throw exception::function("change_current_dir");
}

void create_directory(std::string const& path) {
    if (::mkdir(path.c_str(), 0755) == 0) return;
    // Only an existing directory is success: a file of that name is not.
    if (errno == EEXIST && is_directory(path)) return;
    throw exception::function("create_directory");
}

void remove_directory(std::string const& path) {
    if (::rmdir(path.c_str()) != 0) throw exception::function("remove_directory");
}

void delete_file(std::string const& path) {
    if (::unlink(path.c_str()) != 0) throw exception::function("delete_file");
}

void delete_locked_file(std::string const&) {
    throw exception::function("delete_locked_file");
}

bool file_exists(std::string const& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

void move_file(std::string const& from, std::string const& to) {
    if (::link(from.c_str(), to.c_str()) != 0) throw exception::function("move_file");
    if (::unlink(from.c_str()) != 0) {
        int err = errno;
        // Leave one name, not two, so a failed move changes nothing.
        ::unlink(to.c_str());
        errno = err;
        throw exception::function("move_file");
    }
}

std::string basename(std::string const& path) {
    std::string rest = path;
    size_t slash = rest.rfind('/');
    if (slash != std::string::npos) rest.erase(0, slash + 1);
    size_t backslash = rest.rfind('\\');
    if (backslash != std::string::npos) rest.erase(0, backslash + 1);
    return rest;
}

std::string dirname(std::string const& path) {
    bool rooted = (!path.empty() && path[0] == '/') || (path.size() > 1 && path[1] == ':');
    std::string rest = path;
    bool cut = false;
    size_t slash = rest.rfind('/');
    if (slash != std::string::npos) {
        rest.erase(slash);
        cut = true;
    }
    size_t backslash = rest.rfind('\\');
    if (backslash != std::string::npos) {
        rest.erase(backslash);
    } else if (!cut) {
        return ".";
    }
    if (rooted && rest.find_first_of("/\\") == std::string::npos) {
        if (rest.empty()) return "/";
        rest += '\\'; // a drive letter keeps its root separator
    }
    return rest;
}

std::string expand_filename(std::string const& name) {
    // The system would see the name cut at the NUL and resolve another path.
    if (name.find('\0') != std::string::npos) {
        errno = EINVAL;
        throw exception::function("expand_filename");
    }
    std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(name.c_str(), nullptr), &std::free);
    if (resolved) return resolved.get();

    auto join = [](std::string base, std::string const& tail) {
        if (base.empty() || base.back() != '/') base += '/';
        return base + tail;
    };
    if (name.empty() || name[0] != '/') return join(expand_filename(get_current_dir()), name);
    // Walk up by "/" alone: on this system "\" is an ordinary byte of a name,
    // and cutting there (as dirname does) would drop parts of the path.
    size_t slash = name.rfind('/');
    std::string parent = slash == 0 ? std::string("/") : name.substr(0, slash);
    // Every step shortens an absolute path, so this ends at the root at the latest.
    if (parent == name) throw exception::function("expand_filename");
    return join(expand_filename(parent), name.substr(slash + 1));
}

_mmap* mmap_open(char const* path, long flags, long size) {
    constexpr long default_write_size = 4194304;
    constexpr uint64_t max_len = std::numeric_limits<uint32_t>::max();
    if ((flags & O_ACCMODE) == O_WRONLY) flags = (flags & ~O_ACCMODE) | O_RDWR;
    bool const writing = (flags & O_ACCMODE) == O_RDWR;

    int fd = ::open(path, int(flags), 0644);
    if (fd < 0) throw exception::function("_mmap_open");
    auto fail = [fd]() -> _mmap* {
        int err = errno;
        ::close(fd);
        errno = err;
        throw exception::function("_mmap_open");
    };

    uint64_t len;
    struct stat st;
    if (::fstat(fd, &st) != 0) return fail();
    if (writing) {
        if (size == -1) size = default_write_size;
        // A longer mapping would be cut to 32 bits and the file truncated
        // to that on close: refuse it instead.
        if (size <= 0 || uint64_t(size) > max_len) {
            errno = EINVAL;
            return fail();
        }
        len = uint64_t(size);
        if (uint64_t(st.st_size) < len) {
            if (::lseek(fd, off_t(len - 1), SEEK_SET) < 0 || ::write(fd, "", 1) != 1) return fail();
        }
    } else {
        len = uint64_t(st.st_size);
        if (len == 0 || len > max_len) {
            errno = len == 0 ? EINVAL : EFBIG;
            return fail();
        }
    }

    auto* map = new (std::nothrow) _mmap{fd, uint32_t(len), nullptr};
    if (!map) {
        errno = ENOMEM;
        return fail();
    }
    int prot = PROT_READ | (writing ? PROT_WRITE : 0);
    map->addr = ::mmap(nullptr, len, prot, MAP_SHARED, fd, 0);
    if (map->addr == MAP_FAILED) {
        delete map;
        return fail();
    }
    return map;
}

void mmap_close(_mmap* map) {
    if (!map) return;
    ::munmap(map->addr, map->len);
    // Only a writable descriptor can be truncated; a reader's fails harmlessly.
    int mode = ::fcntl(map->fd, F_GETFL);
    if (mode >= 0 && (mode & O_ACCMODE) != O_RDONLY) (void)!::ftruncate(map->fd, off_t(map->len));
    ::close(map->fd);
    delete map;
}

std::FILE* open_private(std::string const& path, char const* mode) {
    bool const append = mode[0] == 'a';
    bool const update = std::string(mode).find('+') != std::string::npos;
    int flags = (update ? O_RDWR : O_WRONLY) | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC);
    int fd = ::open(path.c_str(), flags, 0600);
    if (fd < 0) return nullptr;
    std::FILE* f = ::fchmod(fd, 0600) == 0 ? ::fdopen(fd, mode) : nullptr;
    if (!f) {
        int const err = errno;
        ::close(fd);
        errno = err;
    }
    return f;
}

void make_private_file(std::string const& path) {
    std::string const dir = dirname(path);
    // Parents first, each made 0700 only when this call creates it.
    for (std::size_t at = 1; at <= dir.size(); ++at) {
        if (at != dir.size() && dir[at] != '/') continue;
        std::string const part = dir.substr(0, at);
        ::mkdir(part.c_str(), 0700);
    }
    ::chmod(dir.c_str(), 0700);
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd >= 0) {
        ::fchmod(fd, 0600);
        ::close(fd);
    }
}

} // namespace rulo
