// The shared LZMA-alone decoder against streams written by xz (an encoder
// nobody here wrote; xz writes "size unknown" and an end marker, so the size
// is filled in where a test needs it) and against hand-made headers.
#include "rulo/lzma_alone.h"

#include "tests/support/shell.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>

namespace {

using namespace rulo::lzma_alone;

std::string with_size(std::string stream, std::uint64_t size) {
    for (int i = 0; i < 8; ++i) stream[std::size_t(5 + i)] = char(size >> (8 * i));
    return stream;
}

std::string with_dictionary(std::string stream, std::uint32_t dict) {
    for (int i = 0; i < 4; ++i) stream[std::size_t(1 + i)] = char(dict >> (8 * i));
    return stream;
}

std::string xz(std::string const& bytes, std::string const& options = "") {
    return test_support::filter_command("xz --format=lzma -c " + options, bytes);
}

// 64 KiB of noise three times: the repeats refer back 64 KiB.
std::string const plain = [] {
    std::mt19937 rng(7);
    std::string block(1 << 16, '\0');
    for (auto& c : block) c = char(rng());
    return block + block + "text between " + block;
}();

struct decoded {
    fault f;
    std::string out;
    std::size_t largest_piece = 0;
};

decoded run(std::string const& stream, options const& opt = {}) {
    decoded d;
    d.f = decode(
        stream,
        [&d](std::uint8_t const* p, std::size_t n) {
            d.out.append(reinterpret_cast<char const*>(p), n);
            d.largest_piece = std::max(d.largest_piece, n);
            return true;
        },
        opt);
    return d;
}

TEST(lzma_alone, streams_from_xz_and_their_refusals) {
    std::string const made = xz(plain, "--lzma1=preset=6,dict=1MiB");
    std::string const sized = with_size(made, plain.size());
    // The same stream, its dictionary understated: it refers back 64 KiB.
    std::string const understated = with_dictionary(sized, 4096);
    std::string flipped = sized;
    flipped[flipped.size() / 2] = char(flipped[flipped.size() / 2] ^ 0x40);
    std::string props = sized;
    props[0] = char(4 + 1 * 9); // lc 4, lp 1: lc + lp above 4

    struct {
        char const* what;
        std::string stream;
        fault expected;
    } const cases[] = {
        {"size filled in", sized, fault::none},
        {"as xz wrote it", made, fault::unknown_size},
        {"12 bytes", sized.substr(0, 12), fault::too_short},
        {"properties 225", std::string(1, char(225)) + sized.substr(1), fault::bad_properties},
        {"lc + lp above 4", props, fault::bad_properties},
        {"4 GiB", with_size(made, std::uint64_t(1) << 32), fault::too_large},
        // xz ends its data with an end marker, which comes before the claimed end.
        {"claims more than it holds", with_size(made, plain.size() + 1), fault::corrupt},
        {"cut in half", sized.substr(0, sized.size() / 2), fault::truncated},
        {"holds more than it claims", with_size(made, plain.size() - 1000), fault::longer},
        {"bytes behind the end", sized + "tail", fault::trailing},
        {"dictionary understated", understated, fault::dictionary_understated},
        {"a flipped bit", flipped, fault::corrupt},
    };
    options opt;
    opt.output_step = 10000;
    for (auto const& c : cases) {
        SCOPED_TRACE(c.what);
        decoded const d = run(c.stream, opt);
        EXPECT_EQ(d.f, c.expected) << describe(d.f);
        EXPECT_LE(d.largest_piece, opt.output_step);
        EXPECT_LE(d.out.size(), plain.size());
        if (c.expected == fault::none) {
            EXPECT_TRUE(d.out == plain);
        }
    }
    // xz refuses the understated stream too.
    test_support::scratch_dir dir;
    test_support::write_file(dir.file("u.lzma"), understated);
    EXPECT_NE(test_support::run_command("xz -dc --format=lzma " + dir.file("u.lzma")).status, 0);
    // Bytes behind the end are taken where asked for.
    opt.allow_trailing = true;
    EXPECT_EQ(run(sized + "tail", opt).f, fault::none);
}

TEST(lzma_alone, dictionary_is_the_stated_one_within_4_KiB_and_the_unpacked_size) {
    struct {
        std::uint32_t stated, unpacked, used;
    } const cases[] = {
        {0, 100, 4096},
        {1u << 20, 100, 4096},
        {1u << 20, 1u << 30, 1u << 20},
        {0xffffffffu, 1u << 20, 1u << 20},
        {1u << 12, 1u << 20, 1u << 12},
    };
    for (auto const& c : cases) {
        header h;
        h.stated_dictionary = c.stated;
        h.unpacked_size = c.unpacked;
        EXPECT_EQ(h.dictionary(), c.used) << c.stated << " " << c.unpacked;
    }
    // A stated 4 GiB dictionary does not stop a small stream from decoding.
    std::string const small = "hello, decoder\n";
    EXPECT_EQ(run(with_dictionary(with_size(xz(small), small.size()), 0xffffffffu)).out, small);
}

// An allocator that refuses everything: the dictionary cannot be had.
void* refuse(void*, std::size_t, std::size_t) {
    return nullptr;
}
void release(void*, void* p) {
    std::free(p);
}

TEST(lzma_alone, running_out_of_memory_is_said_so) {
    lzma_allocator const none = {refuse, release, nullptr};
    options opt;
    opt.allocator = &none;
    std::string const small = "x";
    decoded const d = run(with_size(xz(small), 1), opt);
    EXPECT_EQ(d.f, fault::out_of_memory);
    EXPECT_STREQ(describe(d.f), "out of memory");
}

} // namespace
