// The launcher's readers of its own appendix: records, archive containers,
// names and LZMA-alone streams. Every read must stay inside the input, a
// failed read must leave the cursor where it was, what is accepted must
// re-encode to the same bytes, and a name passed as safe must never leave the
// slot. The launcher links no framework, so neither does this target.
#include "launcher/appendix_format.h"
#include "launcher/extract.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

using namespace launcher;

void check(bool invariant) {
    if (!invariant) __builtin_trap();
}

// Streams stating more than this are checked only up to their header: the
// decoder fills the whole stated size, and the fuzzer's memory is bounded.
constexpr std::uint32_t decode_limit = 1u << 20;

bool within(std::string_view part, std::string_view whole) {
    return part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size();
}

void check_name(std::string_view name) {
    bool safe = is_safe_name(name);
    if (safe)
        check(name.front() != '.' && name.front() != '/' && name.find("..") == std::string_view::npos &&
              name.find('\0') == std::string_view::npos);
    if (is_safe_entry_name(name))
        check(safe && name.size() <= max_name_length && name != lock_file_name && name != slot_marker_name);
    if (is_safe_directory_name(name)) check(safe && name.find('/') == std::string_view::npos);
}

// Walks a container as the launcher does and compares with is_valid_archive;
// what was read must re-encode to the bytes it came from.
void check_archive(std::string_view data) {
    byte_reader r(data);
    archive_header h;
    bool valid = read_archive_header(r, h);
    if (!valid) {
        check(r.pos == reinterpret_cast<const unsigned char*>(data.data()) && r.left == data.size());
    } else {
        check(within(h.directory, data) && h.directory.size() < name_buffer_size);
        check_name(h.directory);
        valid = is_safe_directory_name(h.directory);
    }
    std::string again;
    if (valid) append_archive_header(again, h.directory, h.entry_count);
    for (std::uint32_t i = 0; valid && i < h.entry_count; ++i) {
        byte_reader before = r;
        archive_entry e;
        if (!read_archive_entry(r, e)) {
            check(r.pos == before.pos && r.left == before.left);
            valid = false;
            break;
        }
        check(within(e.name, data) && within(e.data, data) && e.name.size() < name_buffer_size);
        check_name(e.name);
        valid = is_safe_entry_name(e.name);
        append_archive_entry(again, e.name, e.data);
    }
    check(is_valid_archive(data) == valid);
    if (valid) check(again == data.substr(0, data.size() - r.left));
}

void check_lzma(std::string_view stream) {
    lzma_header h;
    auto st = parse_lzma_header(stream, h);
    if (st != lzma_header_status::ok) {
        std::string out;
        check(!decode_lzma_alone(stream, out));
        return;
    }
    auto p = reinterpret_cast<const unsigned char*>(stream.data());
    check(p[0] <= lzma_max_properties && load_u32(p + 9) == 0 && h.unpacked_size == load_u32(p + 5));
    check(lzma_properties_byte(h.lc, h.lp, h.pb) == p[0] && h.lc < 9 && h.lp < 5 && h.pb < 5);
    if (h.unpacked_size > decode_limit) return;
    std::string out;
    if (decode_lzma_alone(stream, out)) {
        check(out.size() == h.unpacked_size);
        check_archive(out);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    byte_reader r(input);
    std::string again;
    while (r.left > 0) {
        byte_reader before = r;
        record rec;
        std::size_t padding = 0;
        auto st = next_record(r, rec, padding);
        if (st == record_status::end) {
            check(padding == r.left);
            again.push_back(char(record_end));
            break;
        }
        if (st == record_status::malformed) {
            check(r.pos == before.pos && r.left == before.left);
            break;
        }
        check(rec.type != record_end && rec.type <= max_record_type && within(rec.body, input));
        check(before.left - r.left == record_header_size + rec.body.size());
        append_record(again, rec.type, rec.body);
        if (rec.type == record_archive)
            check_archive(rec.body);
        else if (rec.type == record_lzma_archive)
            check_lzma(rec.body);
        else
            check_name(rec.body);
    }
    // The records read re-encode to the bytes they were read from.
    check(again == input.substr(0, again.size()));
    return 0;
}
