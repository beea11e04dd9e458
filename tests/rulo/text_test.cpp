// Text and encoding helpers.
#include "rulo/exception.h"
#include "rulo/text.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

TEST(text_hex, encode) {
    struct row {
        std::string in, out;
    };
    std::vector<row> const rows = {
        {std::string("\x01\xAB", 2), "01ab"},
        {"", ""},
        {std::string("\0\xff", 2), "00ff"},
        {"Az", "417a"},
    };
    for (auto const& r : rows) EXPECT_EQ(xstd::hexcode(r.in), r.out);

    // Every byte value against the C library's own "%02x".
    std::string all;
    for (int b = 0; b < 256; ++b) all += char(b);
    std::string expected;
    for (int b = 0; b < 256; ++b) {
        char digits[3];
        std::snprintf(digits, sizeof digits, "%02x", b);
        expected += digits;
    }
    EXPECT_EQ(xstd::hexcode(all), expected);
}

TEST(text_hex, decode) {
    struct row {
        std::string in, out;
    };
    std::vector<row> const rows = {
        {"01AB", std::string("\x01\xAB", 2)}, {"01ab", std::string("\x01\xAB", 2)}, {"", ""},
        {"zz", std::string(1, '\0')}, // invalid digits count as 0
        {"g1", std::string(1, '\x01')},       {"fF0a", std::string("\xff\x0a", 2)},
    };
    for (auto const& r : rows) {
        std::string text = r.in;
        xstd::dehexcode(text);
        EXPECT_EQ(text, r.out) << r.in;
    }

    std::string all;
    for (int b = 0; b < 256; ++b) all += char(b);
    std::string round = xstd::hexcode(all);
    xstd::dehexcode(round);
    EXPECT_EQ(round, all);

    EXPECT_EQ(xstd::dehex('7'), 7);
    EXPECT_EQ(xstd::dehex('c'), 12);
    EXPECT_EQ(xstd::dehex('C'), 12);
    EXPECT_EQ(xstd::dehex('/'), 0);
    EXPECT_EQ(xstd::pop_hexchar('8', '0'), char(0x80));
}

TEST(text_hex, odd_length_throws) {
    std::string text = "abc";
    try {
        xstd::dehexcode(text);
        FAIL() << "no exception";
    } catch (rulo::exception const& e) {
        EXPECT_STREQ(e.what(), ":Error in 'dehexcode'");
    }
    EXPECT_EQ(text, "abc");
}

} // namespace
