// The launcher's pure parts: name checks, refused records and archives, and the
// LZMA-alone header and decoding against a stream xz wrote.
#include "launcher/appendix_format.h"
#include "launcher/extract.h"

#include <gtest/gtest.h>

#include <string>

using namespace launcher;

namespace {

std::string bytes(std::initializer_list<int> b) {
    std::string s;
    for (int c : b) s.push_back(static_cast<char>(c));
    return s;
}

// Output of `printf 'hello, launcher\nhello, launcher\n' | xz --format=lzma`
// (xz 5.4.1): unknown size in the header, end marker in the data.
const std::string xz_stream =
    bytes({0x5d, 0x00, 0x00, 0x80, 0x00, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x00,
           0x34, 0x19, 0x49, 0xee, 0x8d, 0xef, 0x8c, 0x6a, 0x55, 0x86, 0x62, 0x83, 0xe3, 0xc3,
           0x9e, 0x8d, 0xc8, 0xf3, 0xbf, 0xc2, 0xba, 0x85, 0x1f, 0xfc, 0x64, 0x10, 0x00});
const std::string xz_plain = "hello, launcher\nhello, launcher\n";

std::string with_properties(std::string stream, int properties) {
    stream[0] = static_cast<char>(properties);
    return stream;
}

std::string with_size(std::string stream, std::uint64_t size) {
    for (int i = 0; i < 8; ++i) stream[5 + i] = static_cast<char>(size >> (8 * i));
    return stream;
}

} // namespace

TEST(AppendixFormat, Names) {
    struct {
        std::string name;
        bool safe, directory, entry;
    } cases[] = {
        {"tovan_desk", true, true, true},
        {"conf/VYNConfiguration.ini", true, false, true},
        {"", false, false, false},
        {".hidden", false, false, false},
        {"/etc/passwd", false, false, false},
        {"a/../b", false, false, false},
        {std::string("ok\0/x", 5), false, false, false},
        {"remove.dir", true, true, false},
        {"writeacc.dat", true, true, false},
        {"sub/remove.dir", true, false, true},
        {std::string(254, 'n'), true, true, true},
        {std::string(255, 'n'), true, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(is_safe_name(c.name), c.safe);
        EXPECT_EQ(is_safe_directory_name(c.name), c.directory);
        EXPECT_EQ(is_safe_entry_name(c.name), c.entry);
    }
}

// Reading well-formed records and archives back is checked through the packer.
TEST(AppendixFormat, MalformedRecords) {
    // Each is refused and leaves the cursor in place.
    const std::string bad[] = {
        bytes({10, 0, 0, 0, 0}),            // unknown type
        bytes({1, 5, 0, 0, 0, 'a', 'b'}),   // length past the end
        bytes({1, 0, 0}),                   // short length
        bytes({2, 0xff, 0xff, 0xff, 0xff}), // 4 GiB length
    };
    record rec;
    std::size_t padding = 0;
    for (const auto& b : bad) {
        byte_reader br(b);
        EXPECT_EQ(next_record(br, rec, padding), record_status::malformed);
        EXPECT_EQ(br.left, b.size());
    }
}

TEST(AppendixFormat, MalformedArchives) {
    auto archive = [](std::string_view dir, std::string_view name, std::uint32_t count = 1) {
        std::string s;
        append_archive_header(s, dir, count);
        append_archive_entry(s, name, "data");
        return s;
    };
    EXPECT_TRUE(is_valid_archive(archive("conf", "sub/x")));
    const std::string bad[] = {
        archive("conf", "x", 2),             // fewer entries than counted
        archive("conf", "x").substr(0, 20),  // data cut short
        archive("a/b", "x"),                 // "/" in the directory name
        archive("conf", "remove.dir"),       // the slot's own files
        archive("conf", "writeacc.dat"),     //
        archive("conf", "../escape"),        //
        archive(std::string(255, 'd'), "x"), // name does not fit its buffer
    };
    for (const auto& b : bad) EXPECT_FALSE(is_valid_archive(b));
}

TEST(AppendixFormat, LzmaHeader) {
    lzma_header h;
    struct {
        std::string stream;
        lzma_header_status status;
    } cases[] = {
        {with_size(xz_stream, 32), lzma_header_status::ok},
        {xz_stream.substr(0, 12), lzma_header_status::too_short},
        {with_properties(with_size(xz_stream, 32), 225), lzma_header_status::bad_properties},
        {xz_stream, lzma_header_status::unknown_size},
        {with_size(xz_stream, std::uint64_t(1) << 32), lzma_header_status::too_large},
    };
    for (const auto& c : cases) EXPECT_EQ(parse_lzma_header(c.stream, h), c.status);
    ASSERT_EQ(parse_lzma_header(with_size(xz_stream, 32), h), lzma_header_status::ok);
    // 0x5d: lc 3, lp 0, pb 2 (the LZMA SDK's defaults).
    EXPECT_TRUE(h.lc == 3 && h.lp == 0 && h.pb == 2 && h.dictionary_size == 1u << 23);
    EXPECT_EQ(lzma_properties_byte(3, 0, 2), 0x5d);
}

TEST(AppendixFormat, LzmaDecode) {
    std::string out;
    // Refused as xz wrote it (size unknown), accepted once the size is patched.
    EXPECT_FALSE(decode_lzma_alone(xz_stream, out));
    ASSERT_TRUE(decode_lzma_alone(with_size(xz_stream, xz_plain.size()), out));
    EXPECT_EQ(out, xz_plain);
    // A stated size beyond what the stream holds, or a damaged stream, fails.
    EXPECT_FALSE(decode_lzma_alone(with_size(xz_stream, xz_plain.size() + 1), out));
    EXPECT_FALSE(decode_lzma_alone(with_size(xz_stream, xz_plain.size()).substr(0, 25), out));
    // A bogus dictionary size in the header is not trusted.
    std::string huge_dict = with_size(xz_stream, xz_plain.size());
    for (int i = 1; i < 5; ++i) huge_dict[i] = char(0xff);
    ASSERT_TRUE(decode_lzma_alone(huge_dict, out));
    EXPECT_EQ(out, xz_plain);
}
