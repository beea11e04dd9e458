#include "launcher/appendix.h"

#include "launcher/appendix_format.h"
#include "launcher/extract.h"
#include "launcher/start.h"

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
result may_start(const launch_state& s, std::string_view name) {
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
    if (!target) return result::failure(ENOENT, "Not unpacked: " + full);
    if (any_seal && !sealed_before) return result::failure(ENOENT, "Written after the seal: " + full);
    return {};
}

// Deletes the launcher's file by its path, but only while that path still
// names the file that is running.
void delete_self(const launch_state& s) {
    std::fprintf(stderr, "Deleting myself: %s\n", s.own_path.c_str());
    struct stat running, named;
    if (fstat(s.own_fd, &running) == 0 && lstat(s.own_path.c_str(), &named) == 0 &&
        running.st_dev == named.st_dev && running.st_ino == named.st_ino)
        unlink(s.own_path.c_str());
}

} // namespace

result open_self(launch_state& s) {
    std::string path(own_path_buffer, '\0');
    ssize_t n = readlink("/proc/self/exe", path.data(), path.size());
    // A result that fills the buffer may have been cut short.
    if (n <= 0 || std::size_t(n) >= path.size()) return result::failure(n > 0 ? ENAMETOOLONG : errno);
    path.resize(std::size_t(n));
    s.own_path = path;
    s.own_fd = open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
    if (s.own_fd < 0) return result::failure(errno);
    struct stat st;
    if (fstat(s.own_fd, &st) != 0) return result::failure(errno);
    if (st.st_size <= 0) return result::failure(EINVAL);
    void* map = mmap(nullptr, std::size_t(st.st_size), PROT_READ, MAP_SHARED, s.own_fd, 0);
    if (map == MAP_FAILED) return result::failure(errno);
    s.image = static_cast<const unsigned char*>(map);
    s.image_size = std::size_t(st.st_size);
    return {};
}

std::optional<std::size_t> find_marker(std::string_view image) {
    std::string m = marker();
    std::size_t at = image.find(m);
    if (at == std::string_view::npos) return std::nullopt;
    return at;
}

result run_appendix(launch_state& s, std::string_view appendix) {
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
        if (st == record_status::malformed)
            return result::failure(EINVAL, "Malformed record at " + std::to_string(appendix.size() - r.left));
        result done;
        switch (rec.type) {
        case record_archive:
            done = extract_archive(s, rec.body);
            break;
        case record_lzma_archive:
            done = extract_lzma_archive(s, rec.body);
            break;
        case record_seal:
            cleanup_add(s, {}, cleanup_seal);
            break;
        case record_copy_self:
            if (rec.body.size() >= record_name_limit) return result::failure(ENAMETOOLONG);
            done = write_entry(s, rec.body,
                               std::string_view(reinterpret_cast<const char*>(s.image), s.image_size), 0700);
            break;
        case record_delete_self:
            delete_self(s);
            break;
        default: // 2, 3, 5, 6: a start
            if (!is_safe_start_name(rec.body)) return result::failure(EINVAL, "Unsafe start name");
            done = may_start(s, rec.body);
            if (!done.ok()) break;
            if (rec.type == record_exe_at_end || rec.type == record_dll_at_end) {
                pending = rec.type;
                pending_name = rec.body;
            } else if (rec.type == record_start_exe) {
                done = start_exe(s, rec.body);
            } else {
                done = start_dll(s, rec.body);
            }
            break;
        }
        if (!done.ok()) return done;
    }
    if (pending == record_exe_at_end) return start_exe(s, pending_name);
    if (pending == record_dll_at_end) return start_dll(s, pending_name);
    return {};
}

} // namespace launcher
