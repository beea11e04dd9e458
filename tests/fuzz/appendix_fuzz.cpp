// The launcher's readers of its own appendix: records, archive containers
// (whole and piece by piece), names and LZMA-alone streams. Every read must
// stay inside the input, a failed read must leave the cursor where it was,
// what is accepted must re-encode to the same bytes, and the container read
// in pieces must agree with the container read whole. The launcher links no
// framework, so neither does this target.
#include "launcher/appendix_format.h"
#include "rulo/lzma_alone.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

using namespace launcher;

void check(bool invariant) {
    if (!invariant) __builtin_trap();
}

// Decoded output kept for the whole-container cross-check; beyond it the
// output only streams through the piece-wise reader, never buffered.
constexpr std::size_t keep_limit = 1u << 16;

// The decoder's allocations (its dictionary above all, up to 4 GiB as a
// header states) are refused above this, as a machine short of memory would:
// the fuzzer's memory stays bounded and the out-of-memory path is taken.
constexpr std::size_t allocation_limit = 32u << 20;

void* bounded_alloc(void*, std::size_t count, std::size_t size) {
    return size != 0 && count > allocation_limit / size ? nullptr : std::malloc(count * size);
}
void bounded_free(void*, void* p) {
    std::free(p);
}
lzma_allocator const bounded = {bounded_alloc, bounded_free, nullptr};

bool within(std::string_view part, std::string_view whole) {
    return part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size();
}

// The name rules nest: every directory or entry name the launcher takes is
// a safe path, and a directory name is one part.
void check_name(std::string_view name) {
    bool const path = rulo::archive_names::is_safe_path(name);
    if (is_safe_entry_name(name)) check(path && name.size() <= max_name_length);
    if (is_safe_directory_name(name)) check(path && name.find('/') == std::string_view::npos);
    if (is_safe_start_name(name)) check(path);
}

// Feeds a container to the piece-wise reader; reports whether every entry
// arrived, with names the launcher takes.
struct piecewise {
    container_parser parser;
    bool malformed = false, done = false, unsafe = false;
    std::uint64_t data = 0, expected = 0;

    void take(std::string_view piece) {
        byte_reader in(piece);
        std::string_view bytes;
        for (;;) {
            switch (parser.next(in, bytes)) {
            case container_parser::event::need_more:
                return;
            case container_parser::event::done:
                done = true;
                return;
            case container_parser::event::malformed:
                malformed = true;
                return;
            case container_parser::event::header:
                if (!is_safe_directory_name(parser.directory())) unsafe = true;
                break;
            case container_parser::event::entry:
                if (!is_safe_entry_name(parser.name())) unsafe = true;
                expected += parser.size();
                break;
            case container_parser::event::data:
                check(within(bytes, piece) && !bytes.empty());
                data += bytes.size();
                break;
            case container_parser::event::entry_end:
                check(data == expected);
                break;
            }
        }
    }
    bool valid() const { return done && !malformed && !unsafe; }
};

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
    namespace lzma = rulo::lzma_alone;
    lzma::header h;
    lzma::fault const parsed = lzma::parse_header(stream, h);
    if (parsed == lzma::fault::none) {
        auto p = reinterpret_cast<const unsigned char*>(stream.data());
        check(h.unpacked_size == load_u32(p + 5) && load_u32(p + 9) == 0);
        check(lzma_properties_byte(h.lc, h.lp, h.pb) == p[0] && h.lc + h.lp <= 4 && h.pb < 5);
        check(h.dictionary() >= lzma::min_dictionary &&
              h.dictionary() <= std::max(h.unpacked_size, lzma::min_dictionary));
    }
    // Small steps, so the piece-wise paths are taken even by small inputs.
    lzma::options opt;
    opt.allow_trailing = true;
    opt.input_step = 64;
    opt.output_step = 512;
    opt.allocator = &bounded;
    piecewise reader;
    std::string kept;
    std::uint64_t produced = 0;
    std::size_t consumed = 0;
    lzma::fault const f = lzma::decode(
        stream,
        [&](const std::uint8_t* d, std::size_t n) {
            check(n > 0 && n <= opt.output_step);
            produced += n;
            std::string_view piece(reinterpret_cast<const char*>(d), n);
            reader.take(piece);
            if (kept.size() + n <= keep_limit) kept.append(piece);
            return true;
        },
        opt,
        [&](std::size_t offset) {
            check(offset > consumed && offset <= stream.size());
            consumed = offset;
        });
    if (parsed != lzma::fault::none) check(f == parsed && produced == 0);
    check(produced <= h.unpacked_size || parsed != lzma::fault::none);
    if (f == lzma::fault::none) check(produced == h.unpacked_size);
    if (parsed == lzma::fault::none && h.dictionary() > allocation_limit)
        check(f == lzma::fault::out_of_memory);
    // The pieces agree with the whole where the whole was kept.
    if (f == lzma::fault::none && produced <= keep_limit) {
        check(reader.valid() == is_valid_archive(kept));
        check_archive(kept);
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
        if (rec.type == record_archive) {
            check_archive(rec.body);
            piecewise reader;
            for (std::size_t at = 0; at < rec.body.size(); at += 7) reader.take(rec.body.substr(at, 7));
            check(reader.valid() == is_valid_archive(rec.body));
        } else if (rec.type == record_lzma_archive)
            check_lzma(rec.body);
        else
            check_name(rec.body);
    }
    // The records read re-encode to the bytes they were read from.
    check(again == input.substr(0, again.size()));
    return 0;
}
