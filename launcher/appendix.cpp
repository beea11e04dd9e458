#include "launcher/appendix.h"

#include "launcher/appendix_format.h"
#include "launcher/extract.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace launcher {

namespace {

constexpr std::size_t own_path_buffer = 8192;

// Built at run time so the image never holds the whole marker.
std::string marker() {
    std::string m(marker_word);
    volatile char tail = marker_tail;
    m.push_back(tail);
    return m;
}

// A start may name only a file this launch wrote into the slot itself, and
// only one written before the newest seal when a seal was recorded.
bool may_start(const launch_state& s, std::string_view name) {
    std::string full = s.slot + "/" + std::string(name);
    bool any_seal = false, sealed_before = false;
    const cleanup_node* target = nullptr;
    for (auto it = s.cleanup.rbegin(); it != s.cleanup.rend(); ++it) {
        if (it->kind == cleanup_seal) {
            any_seal = true;
            if (!target) sealed_before = true;
        } else if (!target && it->kind == cleanup_file && it->full == full) {
            target = &*it;
        }
    }
    if (!target)
        std::fprintf(stderr, "Not unpacked: %s\n", full.c_str());
    else if (any_seal && !sealed_before)
        std::fprintf(stderr, "Written after the seal: %s\n", full.c_str());
    return target && (!any_seal || sealed_before);
}

bool run_lzma_record(launch_state& s, std::string_view body) {
    std::string archive;
    return decode_lzma_alone(body, archive) && extract_archive(s, archive);
}

} // namespace

bool open_self(launch_state& s) {
    std::string path(own_path_buffer, '\0');
    ssize_t n = readlink("/proc/self/exe", path.data(), path.size());
    // A result that fills the buffer may have been cut short.
    if (n <= 0 || std::size_t(n) >= path.size()) {
        if (n > 0) errno = ENAMETOOLONG;
        return false;
    }
    path.resize(std::size_t(n));
    s.own_path = path;
    s.own_fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (s.own_fd < 0) return false;
    struct stat st;
    if (fstat(s.own_fd, &st) != 0) return false;
    if (st.st_size <= 0) {
        errno = EINVAL;
        return false;
    }
    void* map = mmap(nullptr, std::size_t(st.st_size), PROT_READ, MAP_SHARED, s.own_fd, 0);
    if (map == MAP_FAILED) return false;
    s.image = static_cast<const unsigned char*>(map);
    s.image_size = std::size_t(st.st_size);
    return true;
}

std::optional<std::size_t> find_marker(std::string_view image) {
    std::string m = marker();
    std::size_t at = image.find(m);
    if (at == std::string_view::npos) return std::nullopt;
    return at;
}

bool run_appendix(launch_state& s, std::string_view appendix) {
    byte_reader r(appendix);
    std::uint8_t pending = 0;
    std::string pending_name;
    while (r.left > 0) {
        record rec;
        std::size_t padding = 0;
        auto st = next_record(r, rec, padding);
        if (st == record_status::end) {
            std::fprintf(stderr, "Zero padding found, ignoring the rest (%u bytes)\n", unsigned(padding));
            break;
        }
        if (st == record_status::malformed) {
            std::fprintf(stderr, "Malformed record at %u\n", unsigned(appendix.size() - r.left));
            errno = EINVAL;
            return false;
        }
        bool ok = true;
        switch (rec.type) {
        case record_archive:
            ok = extract_archive(s, rec.body);
            break;
        case record_lzma_archive:
            ok = run_lzma_record(s, rec.body);
            break;
        case record_seal:
            cleanup_add(s, {}, cleanup_seal);
            break;
        case record_copy_self:
            if (rec.body.size() >= record_name_limit) {
                errno = ENAMETOOLONG;
                return false;
            }
            ok = write_entry(s, rec.body,
                             std::string_view(reinterpret_cast<const char*>(s.image), s.image_size), 0700);
            break;
        case record_delete_self:
            std::fprintf(stderr, "Deleting myself: %s\n", s.own_path.c_str());
            unlink(s.own_path.c_str());
            break;
        default: // 2, 3, 5, 6: a start
            if (!is_safe_start_name(rec.body)) {
                std::fprintf(stderr, "Unsafe start name\n");
                errno = EINVAL;
                return false;
            }
            ok = may_start(s, rec.body);
            if (!ok) {
                errno = ENOENT;
            } else if (rec.type == record_exe_at_end || rec.type == record_dll_at_end) {
                pending = rec.type;
                pending_name = rec.body;
            } else if (rec.type == record_start_exe) {
                ok = start_exe(s, rec.body);
            } else {
                ok = start_dll(s, rec.body);
            }
            break;
        }
        if (!ok) return false;
    }
    if (pending == record_exe_at_end) return start_exe(s, pending_name);
    if (pending == record_dll_at_end) return start_dll(s, pending_name);
    return true;
}

} // namespace launcher
