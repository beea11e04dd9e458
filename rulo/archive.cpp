#include "rulo/archive.h"

#include "rulo/archive_names.h"
#include "rulo/errlog.h"
#include "rulo/exception.h"
#include "rulo/lock_directory.h"
#include "rulo/lzma_alone.h"
#include "rulo/random.h"
#include "rulo/safe_path.h"
#include "rulo/text.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace rulo {

namespace {

uint32_t le32(unsigned char const* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// Reads the container front to back; every read is checked against what is left.
class container_reader {
public:
    explicit container_reader(std::string const& bytes) : m_p(bytes.data()), m_left(bytes.size()) {}

    bool u32(uint32_t& value) {
        if (m_left < 4) return false;
        value = le32(reinterpret_cast<unsigned char const*>(m_p));
        skip(4);
        return true;
    }
    bool bytes(uint32_t n, char const*& start) {
        if (m_left < n) return false;
        start = m_p;
        skip(n);
        return true;
    }
    bool text(std::string& out) {
        uint32_t n;
        char const* start;
        if (!u32(n) || !bytes(n, start)) return false;
        out.assign(start, n);
        return true;
    }
    bool at_end() const { return m_left == 0; }

private:
    void skip(size_t n) {
        m_p += n;
        m_left -= n;
    }
    char const* m_p;
    size_t m_left;
};

// Closes a descriptor this file opened when the scope ends.
struct fd_closer {
    int fd = -1;
    ~fd_closer() {
        if (fd >= 0) ::close(fd);
    }
};

// Writes the entry beneath dir_fd with plain writes rather than through a
// mapping: a full disk then fails the write instead of raising SIGBUS, and an
// empty entry is simply an empty file. What it makes goes into made first,
// so a failure half-way can be undone too.
void write_entry(int dir_fd, archive_entry const& e, safe_path::made_list& made) {
    // A file left at the name by an earlier run is replaced, never written through.
    fd_closer file{safe_path::create_file(dir_fd, e.name, 0644, 0755, true, made)};
    if (file.fd < 0) throw exception::system_error("extract_tar_files", "open");
    if (!safe_path::write_all(file.fd, e.data, e.size))
        throw exception::system_error("extract_tar_files", "write");
    if (::fchmod(file.fd, 0755) != 0) throw exception::system_error("extract_tar_files", "chmod");
    int const fd = file.fd;
    file.fd = -1;
    if (::close(fd) != 0) throw exception::system_error("extract_tar_files", "close");
}

} // namespace

bool parse_archive(std::string const& content, std::string& dir_name, std::vector<archive_entry>& entries) {
    container_reader in(content);
    uint32_t count;
    if (!in.text(dir_name) || !archive_names::is_safe_directory_name(dir_name) || !in.u32(count))
        return false;
    entries.clear();
    // No reserve(count): the count is not trusted until the entries are there.
    for (uint32_t i = 0; i < count; ++i) {
        archive_entry e;
        uint32_t size;
        if (!in.text(e.name) || !archive_names::is_safe_entry_name(e.name) || !in.u32(size) ||
            !in.bytes(size, e.data))
            return false;
        e.size = size;
        entries.push_back(std::move(e));
    }
    return in.at_end();
}

bool extract_lz_buffer(std::string const& in, std::string& out) {
    lzma_alone::header h;
    // Sizes beyond the limit are refused: the output is reserved from this field.
    lzma_alone::fault f = lzma_alone::parse_header(in, h);
    if (f == lzma_alone::fault::none && h.unpacked_size > max_unpacked_size) f = lzma_alone::fault::too_large;
    std::string decoded;
    if (f == lzma_alone::fault::none) {
        try {
            decoded.reserve(h.unpacked_size);
        } catch (std::bad_alloc const&) {
            f = lzma_alone::fault::out_of_memory;
        }
    }
    // The decoder stops at the stated size, so the appends stay in the reserve.
    if (f == lzma_alone::fault::none)
        f = lzma_alone::decode(in, [&decoded](uint8_t const* p, size_t n) {
            decoded.append(reinterpret_cast<char const*>(p), n);
            return true;
        });
    if (f != lzma_alone::fault::none) {
        fmt_dbg("extract").fmt_verbose("LZMA stream refused: %1%", lzma_alone::describe(f));
        return false;
    }
    out.swap(decoded);
    return true;
}

int extract_tar_files(std::string const& base, std::string const& content, std::set<std::string>* files,
                      lock_directory** lock, std::string const& suffix) {
    std::string dir_name;
    std::vector<archive_entry> entries;
    if (!parse_archive(content, dir_name, entries)) return extract_bad_container;

    // Everything is made through the package directory's descriptor, which
    // was opened without following a link: what the tree holds or becomes
    // meanwhile cannot lead a write outside it.
    std::string target = (base.empty() ? std::string() : base + "/") + dir_name + suffix;
    fd_closer base_dir, package_dir;
    safe_path::made_list made_package; // the package directory, when made here
    if (lock) {
        *lock = new lock_directory(target, "");
        target = (*lock)->get_directory();
        package_dir.fd = ::fcntl((*lock)->directory_fd(), F_DUPFD_CLOEXEC, 0);
        if (package_dir.fd < 0) throw exception::system_error("extract_tar_files", "fcntl");
    } else {
        // The caller's base is followed as given; the package directory is not.
        base_dir.fd = safe_path::open_base(base, true);
        if (base_dir.fd < 0) return extract_no_directory;
        package_dir.fd = safe_path::make_directories(base_dir.fd, dir_name + suffix, 0755, made_package);
        if (package_dir.fd < 0) return extract_no_directory;
    }

    safe_path::made_list made;
    try {
        for (archive_entry const& e : entries) write_entry(package_dir.fd, e, made);
    } catch (...) {
        // Last made first: files, then the directories they were in.
        safe_path::remove_made(package_dir.fd, made);
        if (base_dir.fd >= 0) safe_path::remove_made(base_dir.fd, made_package);
        throw;
    }
    if (files)
        for (safe_path::made_entry const& m : made)
            if (!m.directory) files->insert(target + "/" + m.path);
    return extract_ok;
}

int extract_lz_files(std::string const& base, std::string const& data, std::set<std::string>* files,
                     lock_directory** lock, std::string const& suffix) {
    if (data.empty()) return extract_empty_input;
    std::string content;
    if (!extract_lz_buffer(data, content)) return extract_bad_stream;
    return extract_tar_files(base, content, files, lock, suffix);
}

lock_directory* extract_lz_files_ex(std::string const& base, std::string const& data,
                                    std::set<std::string>* files) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        lock_directory* lock = nullptr;
        std::set<std::string> written;
        try {
            std::string suffix;
            if (attempt > 0) suffix = std::string("_").append(xstd::hexcode(xstd::get_random_bytes(4)));
            if (extract_lz_files(base, data, &written, &lock, suffix) != extract_ok) {
                delete lock;
                return nullptr;
            }
            if (files) files->insert(written.begin(), written.end());
            return lock;
        } catch (std::exception const& e) {
            fmt_dbg("extract").fmt_verbose("extracting into %1% failed: %2%", base, e.what());
        } catch (...) {
            fmt_dbg("extract").fmt_verbose("extracting into %1% failed", base);
        }
        // The attempt removed what it made; the lock removes its directory.
        delete lock;
    }
    return nullptr;
}

} // namespace rulo
