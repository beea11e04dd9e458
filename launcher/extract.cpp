#include "launcher/extract.h"

#include "launcher/appendix_format.h"
#include "launcher/cache_slot.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <lzma.h>
#include <sys/stat.h>
#include <unistd.h>

namespace launcher {

namespace {

// Fills the archive's entries in; the container was checked beforehand.
bool write_entries(launch_state& s, byte_reader r, std::uint32_t count) {
    for (std::uint32_t i = 0; i < count; ++i) {
        archive_entry e;
        if (!read_archive_entry(r, e) || !write_entry(s, e.name, e.data, 0600)) return false;
    }
    return true;
}

} // namespace

bool decode_lzma_alone(std::string_view stream, std::string& out) {
    lzma_header h;
    if (parse_lzma_header(stream, h) != lzma_header_status::ok) {
        errno = EINVAL;
        return false;
    }
    // The whole output is the history the decoder may refer to, so a
    // dictionary larger than it is never needed; the stated size is not
    // trusted for an allocation.
    std::uint32_t dict = std::max<std::uint32_t>(4096, h.unpacked_size);
    unsigned char header[lzma_header_size];
    std::copy_n(reinterpret_cast<const unsigned char*>(stream.data()), lzma_header_size, header);
    for (int i = 0; i < 4; ++i) header[1 + i] = static_cast<unsigned char>(dict >> (8 * i));

    // The output grows as bytes are decoded, so a stated size that the stream
    // does not back (a damaged or hostile header) costs no more memory than
    // what was really decoded.
    out.clear();
    lzma_stream z = LZMA_STREAM_INIT;
    if (lzma_alone_decoder(&z, UINT64_MAX) != LZMA_OK) {
        errno = ENOMEM;
        return false;
    }
    // Gives the decoder room for more output, up to the stated size. Once that
    // is reached it gets none: a stream that wants to go on ends in an error.
    auto make_room = [&]() -> bool {
        if (z.avail_out != 0 || z.total_out >= h.unpacked_size) return true;
        std::size_t have = z.total_out;
        std::size_t grow =
            std::min<std::size_t>(std::max<std::size_t>(have, 1 << 20), h.unpacked_size - have);
        try {
            out.resize(have + grow);
        } catch (const std::bad_alloc&) {
            return false;
        }
        z.next_out = reinterpret_cast<std::uint8_t*>(out.data()) + have;
        z.avail_out = grow;
        return true;
    };
    z.next_in = header;
    z.avail_in = sizeof header;
    bool room = make_room();
    lzma_ret ret = room ? lzma_code(&z, LZMA_RUN) : LZMA_MEM_ERROR;
    if (ret == LZMA_OK) {
        z.next_in = reinterpret_cast<const std::uint8_t*>(stream.data()) + lzma_header_size;
        z.avail_in = stream.size() - lzma_header_size;
        while (ret == LZMA_OK && (room = make_room())) ret = lzma_code(&z, LZMA_FINISH);
    }
    if (!room) {
        lzma_end(&z);
        errno = ENOMEM;
        return false;
    }
    std::uint64_t produced = z.total_out;
    lzma_end(&z);
    out.resize(produced);
    if (ret != LZMA_STREAM_END || produced != h.unpacked_size) {
        std::fprintf(stderr, "LZMA stream decoded %llu of %u bytes\n",
                     static_cast<unsigned long long>(produced), unsigned(h.unpacked_size));
        errno = EILSEQ;
        return false;
    }
    return true;
}

bool is_valid_archive(std::string_view data) {
    byte_reader r(data);
    archive_header h;
    if (!read_archive_header(r, h) || !is_safe_directory_name(h.directory)) return false;
    for (std::uint32_t i = 0; i < h.entry_count; ++i) {
        archive_entry e;
        if (!read_archive_entry(r, e) || !is_safe_entry_name(e.name)) return false;
    }
    return true;
}

bool write_entry(launch_state& s, std::string_view name, std::string_view data, mode_t mode) {
    if (!is_safe_entry_name(name)) {
        errno = EINVAL;
        return false;
    }
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
        mkdir(path.c_str(), 0700);
        dir = cut == std::string_view::npos ? std::string_view() : dir.substr(cut + 1);
    }
    if (!cleanup_add(s, name, cleanup_file)) return false;
    const std::string& full = s.cleanup.back().full;
    std::fprintf(stderr, "Writing file %s (%u bytes)\n", full.c_str(), unsigned(data.size()));
    int fd = open(full.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0) return false;
    bool ok = true;
    while (!data.empty()) {
        ssize_t w = write(fd, data.data(), data.size());
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            ok = false;
            break;
        }
        data.remove_prefix(std::size_t(w));
    }
    int e = errno;
    if (close(fd) != 0) ok = false;
    errno = e;
    return ok;
}

bool extract_archive(launch_state& s, std::string_view data) {
    // A malformed container fails in every cache root alike: refuse it before
    // a root or slot is touched.
    if (!is_valid_archive(data)) {
        std::fprintf(stderr, "Malformed archive\n");
        errno = EINVAL;
        return false;
    }
    byte_reader r(data);
    archive_header h;
    read_archive_header(r, h);

    if (!s.first_archive) {
        // A later archive goes into a directory of the slot. Retrying would
        // only repeat the same writes, so there is one attempt.
        std::string slot = s.base;
        std::string dir = slot + "/" + std::string(h.directory);
        bool ok = make_private_directory(dir);
        if (ok) {
            s.base = dir;
            ok = cleanup_add(s, {}, cleanup_archive_dir) && cleanup_add(s, {}, cleanup_later_archive) &&
                 write_entries(s, r, h.entry_count);
        }
        int e = errno;
        s.base = slot;
        errno = e;
        return ok;
    }

    for (unsigned n = 0; n < cache_root_count; ++n) {
        std::string root = cache_root(n);
        if (!make_private_directory(root)) continue;
        std::string base = root + "/" + std::string(h.directory);
        if (!make_private_directory(base) || !claim_slot(s, base)) continue;
        if (cleanup_add(s, {}, cleanup_archive_dir) &&
            cleanup_add(s, slot_marker_name, cleanup_slot_marker) && write_entries(s, r, h.entry_count))
            return true;
        // Claimed but failed: the next root starts afresh.
        s.first_archive = true;
        s.base.clear();
        s.slot.clear();
    }
    return false;
}

} // namespace launcher
