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
// LZMA-alone stream (body of type 7): see rulo/lzma_alone.h.
//
// Everything here is pure: parsing from bytes to values, bounded by what is
// left, never trusting a length before checking it. No I/O.
#pragma once

#include "rulo/archive_names.h"

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
inline constexpr std::string_view lock_file_name = rulo::archive_names::lock_file_name;
inline constexpr std::string_view slot_marker_name = rulo::archive_names::slot_marker_name;

inline constexpr std::size_t lzma_header_size = 13;

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

// Directory and entry names follow the one archive-name rule the framework's
// extractor uses too.
inline bool is_safe_directory_name(std::string_view name) {
    return rulo::archive_names::is_safe_directory_name(name);
}
inline bool is_safe_entry_name(std::string_view name) {
    return rulo::archive_names::is_safe_entry_name(name);
}

// A start name (records 2, 3, 5, 6) names a file relative to the slot.
inline bool is_safe_start_name(std::string_view name) {
    return name.size() < record_name_limit && rulo::archive_names::is_safe_path(name);
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

// Is the container complete (every counted entry there) and every name safe?
// Bytes behind the last entry are not looked at.
inline bool is_valid_archive(std::string_view data) {
    byte_reader r(data);
    archive_header h;
    if (!read_archive_header(r, h) || !is_safe_directory_name(h.directory)) return false;
    for (std::uint32_t i = 0; i < h.entry_count; ++i) {
        archive_entry e;
        if (!read_archive_entry(r, e) || !is_safe_entry_name(e.name)) return false;
    }
    return true;
}

// Reads a container that arrives in pieces (from a decoder), one event at a
// time, holding nothing but the current length field and name (at most 254
// bytes): an entry's data is handed on as slices of the input. Names are not
// checked here (is_safe_directory_name, is_safe_entry_name); lengths are.
// Bytes behind the last entry are not read.
class container_parser {
public:
    enum class event {
        need_more, // the input is used up; call again with more
        header,    // directory() and entry_count() are known
        entry,     // an entry begins: name() and size()
        data,      // the next slice of the entry's data (in `bytes`)
        entry_end, // the entry's data are complete
        done,      // every entry was read
        malformed, // a name length of 255 or more; stays malformed
    };

    event next(byte_reader& in, std::string_view& bytes) {
        for (;;) {
            switch (m_state) {
            case state::malformed:
                return event::malformed;
            case state::done:
                return event::done;
            case state::data:
                if (m_left == 0) {
                    m_state = ++m_index == m_count ? state::done : state::name_length;
                    return event::entry_end;
                }
                if (in.left == 0) return event::need_more;
                {
                    std::size_t const n = m_left < in.left ? m_left : in.left;
                    in.read_bytes(n, bytes);
                    m_left -= static_cast<std::uint32_t>(n);
                }
                return event::data;
            default:
                break;
            }
            if (!fill(in)) return event::need_more;
            std::uint32_t const value = m_need == 4 ? load_u32(m_field) : 0;
            switch (m_state) {
            case state::directory_length:
            case state::name_length:
                if (value >= name_buffer_size) {
                    m_state = state::malformed;
                    return event::malformed;
                }
                m_state = m_state == state::directory_length ? state::directory : state::name;
                expect(value);
                break;
            case state::directory:
                m_directory.assign(reinterpret_cast<const char*>(m_field), m_need);
                m_state = state::count;
                expect(4);
                break;
            case state::count:
                m_count = value;
                m_state = m_count == 0 ? state::done : state::name_length;
                expect(4);
                return event::header;
            case state::name:
                m_name.assign(reinterpret_cast<const char*>(m_field), m_need);
                m_state = state::size;
                expect(4);
                break;
            case state::size:
                m_left = m_size = value;
                m_state = state::data;
                expect(4);
                return event::entry;
            default:
                break;
            }
        }
    }

    std::string_view directory() const { return m_directory; }
    std::uint32_t entry_count() const { return m_count; }
    std::string_view name() const { return m_name; }
    std::uint32_t size() const { return m_size; }

private:
    enum class state { directory_length, directory, count, name_length, name, size, data, done, malformed };

    void expect(std::size_t n) {
        m_need = n;
        m_have = 0;
    }
    // Collects the current field; true once it is complete.
    bool fill(byte_reader& in) {
        std::size_t const n = m_need - m_have < in.left ? m_need - m_have : in.left;
        std::string_view part;
        in.read_bytes(n, part);
        for (std::size_t i = 0; i < n; ++i) m_field[m_have + i] = static_cast<unsigned char>(part[i]);
        m_have += n;
        return m_have == m_need;
    }

    state m_state = state::directory_length;
    unsigned char m_field[name_buffer_size] = {};
    std::size_t m_need = 4, m_have = 0;
    std::string m_directory, m_name;
    std::uint32_t m_count = 0, m_index = 0, m_size = 0, m_left = 0;
};

// ---- LZMA-alone header (read by rulo/lzma_alone.h) ----

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
