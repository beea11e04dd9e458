// The byte format of the launcher's appendix, shared by the launcher (which
// reads it) and the packer (which writes it), so both agree on every byte and
// on which names are refused.
//
// Layout of a packed launcher file:
//   executable image | "END_OF_BINARY" '\n' | record... | type 0 | padding
// Record: type (1 byte, 0..9) | body length (u32 LE) | body.
// Archive container (body of type 1, or the unpacked bytes of type 7):
//   dir name length (u32 LE, < 255) | dir name | entry count (u32 LE) |
//   per entry: name length (u32 LE, < 255) | name | size (u32 LE) | data
// LZMA-alone stream (body of type 7):
//   properties (1 byte, <= 224) | dictionary size (u32 LE) |
//   unpacked size (u64 LE, must be known and below 4 GiB) | range-coded data
//
// Everything here is pure: parsing from bytes to values, bounded by what is
// left, never trusting a length before checking it. No I/O.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace launcher {

// The marker is written as its word followed by a line feed. The launcher
// never holds the 14 bytes together in its image (that would be found as the
// appendix start); it joins them at run time.
inline constexpr std::string_view marker_word = "END_OF_BINARY";
inline constexpr char marker_tail = '\n';
inline constexpr std::size_t marker_size = 14;

enum record_type : std::uint8_t {
    record_end = 0,          // end of the appendix; the rest is padding
    record_archive = 1,      // an archive container
    record_start_exe = 2,    // start this file now as a program
    record_start_dll = 3,    // start this file now as a library
    record_seal = 4,         // files written before may be started, after may not
    record_exe_at_end = 5,   // start this file as a program after the last record
    record_dll_at_end = 6,   // start this file as a library after the last record
    record_lzma_archive = 7, // LZMA-alone stream of an archive container
    record_copy_self = 8,    // write a copy of the launcher under this name
    record_delete_self = 9,  // delete the launcher's own file
};
inline constexpr std::uint8_t max_record_type = 9;
inline constexpr std::size_t record_header_size = 5;

// Names read from archives sit in 255-byte buffers with a terminator, so a
// directory or entry name has at most 254 bytes.
inline constexpr std::size_t name_buffer_size = 255;
inline constexpr std::size_t max_name_length = name_buffer_size - 1;
// Start and copy names (records 2, 3, 5, 6, 8) must be shorter than this.
inline constexpr std::size_t record_name_limit = 256;

// The two files a cache slot holds besides what was unpacked.
inline constexpr std::string_view lock_file_name = "writeacc.dat";
inline constexpr std::string_view slot_marker_name = "remove.dir";

inline constexpr std::size_t lzma_header_size = 13;
inline constexpr unsigned lzma_max_properties = 224;

inline std::uint32_t load_u32(const unsigned char* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}

// A bounded cursor over bytes held in memory. Every read checks what is left
// first; a failed read leaves the cursor where it was.
struct byte_reader {
    const unsigned char* pos = nullptr;
    std::size_t left = 0;

    byte_reader() = default;
    byte_reader(const void* data, std::size_t size)
        : pos(static_cast<const unsigned char*>(data)), left(size) {}
    explicit byte_reader(std::string_view s) : byte_reader(s.data(), s.size()) {}

    bool read_u8(std::uint8_t& out) {
        if (left < 1) return false;
        out = *pos;
        ++pos;
        --left;
        return true;
    }
    bool read_u32(std::uint32_t& out) {
        if (left < 4) return false;
        out = load_u32(pos);
        pos += 4;
        left -= 4;
        return true;
    }
    bool read_bytes(std::size_t n, std::string_view& out) {
        if (n > left) return false;
        out = std::string_view(reinterpret_cast<const char*>(pos), n);
        pos += n;
        left -= n;
        return true;
    }
    // A length-prefixed name that must fit a buffer of buffer_size bytes
    // together with its terminator.
    bool read_string(std::string_view& out, std::size_t buffer_size = name_buffer_size) {
        byte_reader r = *this;
        std::uint32_t n = 0;
        if (!r.read_u32(n) || n >= buffer_size || !r.read_bytes(n, out)) return false;
        *this = r;
        return true;
    }
};

// True when the name is not empty, does not begin with "." or "/", holds no
// ".." and no NUL byte (a NUL would cut the name short once it is a C string).
inline bool is_safe_name(std::string_view name) {
    return !name.empty() && name.front() != '.' && name.front() != '/' &&
           name.find("..") == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

// An archive's directory is one level below the slot: no "/" at all.
inline bool is_safe_directory_name(std::string_view name) {
    return is_safe_name(name) && name.size() <= max_name_length && name.find('/') == std::string_view::npos;
}

// An entry may have subdirectories but may not replace the slot's lock file
// or its marker.
inline bool is_safe_entry_name(std::string_view name) {
    return is_safe_name(name) && name.size() <= max_name_length && name != lock_file_name &&
           name != slot_marker_name;
}

// A start name (records 2, 3, 5, 6) names a file relative to the slot.
inline bool is_safe_start_name(std::string_view name) {
    return name.size() < record_name_limit && is_safe_name(name);
}

// ---- records ----

struct record {
    std::uint8_t type = 0;
    std::string_view body;
};

enum class record_status {
    ok,        // a record was read
    end,       // type 0: the appendix ends here; padding holds what follows
    malformed, // unknown type, or a length past the end
};

// Reads the next record (the caller stops at end of data itself).
inline record_status next_record(byte_reader& r, record& out, std::size_t& padding) {
    byte_reader c = r;
    std::uint8_t type = 0;
    if (!c.read_u8(type)) return record_status::malformed;
    if (type == record_end) {
        padding = c.left;
        r = c;
        return record_status::end;
    }
    std::uint32_t length = 0;
    if (type > max_record_type || !c.read_u32(length) || !c.read_bytes(length, out.body))
        return record_status::malformed;
    out.type = type;
    r = c;
    return record_status::ok;
}

// ---- archive container ----

struct archive_header {
    std::string_view directory;
    std::uint32_t entry_count = 0;
};

struct archive_entry {
    std::string_view name;
    std::string_view data;
};

// Reads the directory name and the entry count; the name is not checked here
// (is_safe_directory_name).
inline bool read_archive_header(byte_reader& r, archive_header& out) {
    byte_reader c = r;
    if (!c.read_string(out.directory) || !c.read_u32(out.entry_count)) return false;
    r = c;
    return true;
}

// Reads one entry; the name is not checked here (is_safe_entry_name).
inline bool read_archive_entry(byte_reader& r, archive_entry& out) {
    byte_reader c = r;
    std::uint32_t size = 0;
    if (!c.read_string(out.name) || !c.read_u32(size) || !c.read_bytes(size, out.data)) return false;
    r = c;
    return true;
}

// ---- LZMA-alone header ----

struct lzma_header {
    unsigned lc = 0, lp = 0, pb = 0;
    std::uint32_t dictionary_size = 0;
    std::uint32_t unpacked_size = 0;
};

enum class lzma_header_status {
    ok,
    too_short,      // fewer than 13 bytes
    bad_properties, // properties byte above 224
    unknown_size,   // all-ones size: the stream's length is not stated
    too_large,      // non-zero high word: 4 GiB or more
};

inline lzma_header_status parse_lzma_header(std::string_view stream, lzma_header& out) {
    if (stream.size() < lzma_header_size) return lzma_header_status::too_short;
    const auto* p = reinterpret_cast<const unsigned char*>(stream.data());
    unsigned props = p[0];
    if (props > lzma_max_properties) return lzma_header_status::bad_properties;
    std::uint32_t low = load_u32(p + 5), high = load_u32(p + 9);
    if (low == 0xffffffffu && high == 0xffffffffu) return lzma_header_status::unknown_size;
    if (high != 0) return lzma_header_status::too_large;
    out.lc = props % 9;
    out.lp = props / 9 % 5;
    out.pb = props / 45;
    out.dictionary_size = load_u32(p + 1);
    out.unpacked_size = low;
    return lzma_header_status::ok;
}

inline std::uint8_t lzma_properties_byte(unsigned lc, unsigned lp, unsigned pb) {
    return static_cast<std::uint8_t>((pb * 5 + lp) * 9 + lc);
}

// ---- writing (the packer) ----

inline void append_u32(std::string& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(v >> (8 * i) & 0xff));
}

inline void append_marker(std::string& out) {
    out.append(marker_word);
    out.push_back(marker_tail);
}

// The caller keeps body.size() below 4 GiB.
inline void append_record(std::string& out, std::uint8_t type, std::string_view body) {
    out.push_back(static_cast<char>(type));
    append_u32(out, static_cast<std::uint32_t>(body.size()));
    out.append(body);
}

inline void append_archive_header(std::string& out, std::string_view directory, std::uint32_t entry_count) {
    append_u32(out, static_cast<std::uint32_t>(directory.size()));
    out.append(directory);
    append_u32(out, entry_count);
}

inline void append_archive_entry(std::string& out, std::string_view name, std::string_view data) {
    append_u32(out, static_cast<std::uint32_t>(name.size()));
    out.append(name);
    append_u32(out, static_cast<std::uint32_t>(data.size()));
    out.append(data);
}

// The 13-byte header with the real unpacked size (high word zero).
inline void append_lzma_header(std::string& out, std::uint8_t properties, std::uint32_t dictionary_size,
                               std::uint32_t unpacked_size) {
    out.push_back(static_cast<char>(properties));
    append_u32(out, dictionary_size);
    append_u32(out, unpacked_size);
    append_u32(out, 0);
}

} // namespace launcher
