#include "launcher/extract.h"

#include "launcher/appendix_format.h"
#include "launcher/cache_slot.h"
#include "rulo/lzma_alone.h"
#include "rulo/safe_path.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace launcher {

namespace {

namespace safe_path = rulo::safe_path;
namespace lzma = rulo::lzma_alone;

result malformed_archive() {
    return result::data_failure(EINVAL, "Malformed archive");
}

// Opens name beneath base_fd as one written file of the launch: logs the
// directories of its path as they are made, records the file for the
// clean-up, logs it. -1 with errno on failure.
int open_entry(launch_state& s, int base_fd, std::string_view name, std::size_t size, mode_t mode,
               safe_path::made_list& made) {
    // Directory part: before the last "/", without trailing "/"; "." without one.
    std::string_view dir = ".";
    if (auto slash = name.rfind('/'); slash != std::string_view::npos) {
        dir = name.substr(0, slash);
        while (!dir.empty() && dir.back() == '/') dir.remove_suffix(1);
    }
    std::string path = s.base;
    while (!dir.empty()) {
        auto cut = dir.find('/');
        path += '/';
        path += dir.substr(0, cut);
        std::fprintf(stderr, "Creating directory: %s\n", path.c_str());
        dir = cut == std::string_view::npos ? std::string_view() : dir.substr(cut + 1);
    }
    if (!cleanup_add(s, name, cleanup_file)) {
        errno = ENOENT;
        return -1;
    }
    std::fprintf(stderr, "Writing file %s (%u bytes)\n", s.cleanup.back().full.c_str(), unsigned(size));
    return safe_path::create_file(base_fd, name, mode, 0700, true, made);
}

// How much of a mapped record is read before its pages are given back.
constexpr std::size_t release_step = std::size_t(4) << 20;

// Gives the pages of a part of the launcher's mapped file back to the system
// once they have been read (they stay in the page cache, and a later read
// maps them again), so a large record does not add itself to the launcher's
// memory. Only whole pages inside the part are given back.
class page_releaser {
public:
    explicit page_releaser(std::string_view part)
        : m_start(reinterpret_cast<std::uintptr_t>(part.data())),
          m_page(std::uintptr_t(sysconf(_SC_PAGESIZE))) {
        m_done = (m_start + m_page - 1) / m_page * m_page;
    }

    // The part's bytes before offset have been read.
    void read_up_to(std::size_t offset) {
        std::uintptr_t to = (m_start + offset) / m_page * m_page;
        if (to < m_done + release_step) return;
        madvise(reinterpret_cast<void*>(m_done), to - m_done, MADV_DONTNEED);
        m_done = to;
    }

private:
    std::uintptr_t m_start, m_page, m_done;
};

// The one line a long unpacking shows: once an archive has taken longer than
// the launch's limit, and only when standard error is a terminal (a log file
// gets exactly the lines it always got), it says what is unpacked and where.
class progress_note {
public:
    progress_note(const launch_state& s, std::uint64_t bytes)
        : m_s(s), m_bytes(bytes), m_due(isatty(STDERR_FILENO) == 1 ? now_ms() + s.note_after_ms : 0) {}

    // Called as bytes are written; the base is the archive's place by then.
    void tick(std::string_view archive) {
        if (m_due == 0 || now_ms() < m_due) return;
        m_due = 0;
        std::fprintf(stderr, "Unpacking %.*s (%llu MiB) into %s, please wait\n", int(archive.size()),
                     archive.data(), static_cast<unsigned long long>((m_bytes + (1u << 20) - 1) >> 20),
                     m_s.base.c_str());
    }

private:
    static std::uint64_t now_ms() {
        timespec t;
        clock_gettime(CLOCK_MONOTONIC, &t);
        return std::uint64_t(t.tv_sec) * 1000 + std::uint64_t(t.tv_nsec) / 1000000;
    }

    const launch_state& m_s;
    std::uint64_t m_bytes;
    std::uint64_t m_due; // 0: never (not a terminal, or said already)
};

bool close_checked(int fd) {
    int e = errno;
    bool ok = close(fd) == 0;
    if (ok) errno = e;
    return ok;
}

// One attempt at unpacking an archive: takes the container's bytes in pieces
// (take), claims the slot or makes the archive's directory once the header is
// in, and writes each entry as its bytes arrive. What it made is listed, so a
// failed attempt can be undone.
class archive_writer {
public:
    archive_writer(launch_state& s, unsigned root, progress_note& note)
        : m_s(s), m_root(root), m_mark(s.cleanup.size()), m_note(note) {}
    ~archive_writer() {
        if (m_file_fd >= 0) close(m_file_fd);
        if (m_own_base_fd) close(m_base_fd);
    }
    archive_writer(const archive_writer&) = delete;
    archive_writer& operator=(const archive_writer&) = delete;

    // False once the attempt has failed (finish() then tells why).
    bool take(const std::uint8_t* data, std::size_t size) {
        byte_reader in(data, size);
        while (m_result.ok()) {
            std::string_view bytes;
            switch (m_parser.next(in, bytes)) {
            case container_parser::event::need_more:
            case container_parser::event::done: // bytes behind the last entry are not read
                return true;
            case container_parser::event::malformed:
                m_result = malformed_archive();
                break;
            case container_parser::event::header:
                m_result = begin();
                break;
            case container_parser::event::entry:
                m_result = open_file();
                break;
            case container_parser::event::data:
                if (!safe_path::write_all(m_file_fd, bytes.data(), bytes.size()))
                    m_result = result::failure(errno);
                m_note.tick(m_parser.directory());
                break;
            case container_parser::event::entry_end: {
                int fd = m_file_fd;
                m_file_fd = -1;
                if (!close_checked(fd)) m_result = result::failure(errno);
                break;
            }
            }
        }
        return false;
    }

    // After the last piece: the outcome of the attempt.
    result finish() {
        if (m_result.ok() && m_parser.next(m_empty, m_ignored) != container_parser::event::done)
            m_result = malformed_archive(); // the container ends early
        return m_result;
    }

    // Fails the attempt from outside (the producer of the bytes failed).
    void fail(result r) {
        if (m_result.ok()) m_result = std::move(r);
    }

    // A later archive's directory is taken off the base again.
    void restore_base() {
        if (m_own_base_fd) m_s.base = m_saved_base;
    }

    // Removes what the attempt made, last first, and forgets its clean-up
    // entries; a first archive gives its slot up again.
    void undo() {
        if (m_file_fd >= 0) close(m_file_fd);
        m_file_fd = -1;
        if (m_base_fd >= 0) safe_path::remove_made(m_base_fd, m_made);
        if (m_s.slot_fd >= 0) safe_path::remove_made(m_s.slot_fd, m_made_directory);
        m_s.cleanup.resize(m_mark);
        if (m_claimed) {
            m_s.first_archive = true;
            m_s.base.clear();
            m_s.slot.clear();
            if (m_s.slot_fd >= 0) close(m_s.slot_fd);
            m_s.slot_fd = -1;
        }
    }

private:
    result begin() {
        std::string_view dir = m_parser.directory();
        if (!is_safe_directory_name(dir)) return malformed_archive();
        if (m_s.first_archive) {
            std::string root = cache_root(m_root);
            if (!make_private_directory(root)) return result::failure(errno);
            std::string base = root + "/" + std::string(dir);
            if (!make_private_directory(base) || !claim_slot(m_s, base)) return result::failure(errno);
            m_claimed = true;
            m_base_fd = m_s.slot_fd;
            if (!cleanup_add(m_s, {}, cleanup_archive_dir) ||
                !cleanup_add(m_s, slot_marker_name, cleanup_slot_marker))
                return result::failure(errno);
            return {};
        }
        // A later archive goes into a directory of the slot.
        m_base_fd = safe_path::make_directories(m_s.slot_fd, dir, 0700, m_made_directory);
        if (m_base_fd < 0) return result::failure(errno);
        m_own_base_fd = true;
        m_saved_base = m_s.base;
        m_s.base += "/";
        m_s.base += dir;
        if (!cleanup_add(m_s, {}, cleanup_archive_dir) || !cleanup_add(m_s, {}, cleanup_later_archive))
            return result::failure(errno);
        return {};
    }

    result open_file() {
        if (!is_safe_entry_name(m_parser.name())) return malformed_archive();
        m_file_fd = open_entry(m_s, m_base_fd, m_parser.name(), m_parser.size(), 0600, m_made);
        return result::from_errno(m_file_fd >= 0);
    }

    launch_state& m_s;
    unsigned m_root;
    std::size_t m_mark;
    progress_note& m_note;
    container_parser m_parser;
    result m_result;
    int m_base_fd = -1;
    bool m_own_base_fd = false;
    bool m_claimed = false;
    int m_file_fd = -1;
    std::string m_saved_base;
    safe_path::made_list m_made;           // beneath m_base_fd
    safe_path::made_list m_made_directory; // a later archive's directory, beneath the slot
    byte_reader m_empty;
    std::string_view m_ignored;
};

// Runs attempts of `feed` (which hands the container to a writer, and fails
// the writer where producing the bytes fails) until one succeeds: a first archive in up to
// 20 cache roots, a later one once. Data that fail fail everywhere alike and
// are not tried again.
template <class Feed>
result run_attempts(launch_state& s, std::uint64_t bytes, Feed&& feed) {
    unsigned attempts = s.first_archive ? cache_root_count : 1;
    result last = result::failure(EIO);
    progress_note note(s, bytes);
    for (unsigned n = 0; n < attempts; ++n) {
        archive_writer w(s, n, note);
        feed(w);
        result r = w.finish();
        w.restore_base();
        if (r.ok()) return r;
        w.undo();
        if (r.is_final()) return r;
        last = std::move(r);
    }
    return last;
}

} // namespace

result extract_archive(launch_state& s, std::string_view container) {
    if (!is_valid_archive(container)) return malformed_archive();
    return run_attempts(s, container.size(), [&](archive_writer& w) {
        page_releaser pages(container);
        for (std::size_t at = 0; at < container.size(); at += release_step) {
            std::size_t n = std::min(release_step, container.size() - at);
            if (!w.take(reinterpret_cast<const std::uint8_t*>(container.data()) + at, n)) return;
            pages.read_up_to(at + n);
        }
    });
}

result extract_lzma_archive(launch_state& s, std::string_view stream) {
    lzma::header h;
    if (lzma::fault f = lzma::parse_header(stream, h); f != lzma::fault::none)
        return result::data_failure(EINVAL, std::string("LZMA stream refused: ") + lzma::describe(f));
    lzma::options opt;
    opt.allow_trailing = true; // the launcher has always taken bytes behind the data
    return run_attempts(s, h.unpacked_size, [&](archive_writer& w) {
        page_releaser pages(stream);
        std::uint64_t produced = 0;
        lzma::fault f = lzma::decode(
            stream,
            [&](const std::uint8_t* p, std::size_t n) {
                produced += n;
                return w.take(p, n);
            },
            opt, [&pages](std::size_t offset) { pages.read_up_to(offset); });
        if (f != lzma::fault::none && f != lzma::fault::sink) {
            char line[160];
            std::snprintf(line, sizeof line, "LZMA stream refused: %s (decoded %llu of %u bytes)",
                          lzma::describe(f), static_cast<unsigned long long>(produced),
                          unsigned(h.unpacked_size));
            w.fail(result::data_failure(f == lzma::fault::out_of_memory ? ENOMEM : EILSEQ, line));
        }
    });
}

result write_entry(launch_state& s, std::string_view name, std::string_view data, mode_t mode) {
    if (!is_safe_entry_name(name) || s.slot_fd < 0) return result::failure(EINVAL);
    safe_path::made_list made;
    int fd = open_entry(s, s.slot_fd, name, data.size(), mode, made);
    bool ok = fd >= 0;
    page_releaser pages(data);
    for (std::size_t at = 0; ok && at < data.size(); at += release_step) {
        std::size_t n = std::min(release_step, data.size() - at);
        ok = safe_path::write_all(fd, data.data() + at, n);
        pages.read_up_to(at + n);
    }
    if (fd >= 0 && !close_checked(fd)) ok = false;
    if (ok) return {};
    result r = result::failure(errno);
    safe_path::remove_made(s.slot_fd, made);
    return r;
}

} // namespace launcher
