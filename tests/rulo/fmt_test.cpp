// The "%N%" formatter and the small text helpers beside the log.
#include "rulo/errlog.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

TEST(fmt, placeholder_rules) {
    struct row {
        char const* format;
        std::vector<std::string> args;
        std::string expected;
    };
    std::vector<row> const rows = {
        {"%2% then %1%%1%", {"a", "b"}, "b then aa"},
        {"100%% sure, %%1%%", {"x"}, "100% sure, %1%"},
        {"ends in %", {}, "ends in %"},
        {"%d and %s, open %12", {"x"}, "%d and %s, open %12"},
        {"%12x%1%", {"y"}, "%12xy"},
        {"[%1%][%2%]", {"only"}, "[only][]"},        // a missing argument is empty
        {"%0%%1%", {"a", "b"}, "a"},                 // "%0%" is nothing; an unused argument is dropped
        {"%99999999999999999999%|%1%", {"a"}, "|a"}, // a number too big for any argument
    };
    for (auto const& r : rows) {
        rulo::fmt f(r.format);
        for (auto const& a : r.args) f % a;
        EXPECT_EQ(f.str(), r.expected) << "format " << r.format;
    }
}

TEST(fmt, argument_conversion) {
    EXPECT_EQ((rulo::fmt("%1%/%2%") % true % false).str(), "1/0");
    EXPECT_EQ((rulo::fmt("%1% %2% %3%") % -12 % 4000000000ULL % "text").str(), "-12 4000000000 text");
    EXPECT_EQ((rulo::fmt("%1%") % std::string("s")).str(), "s");
    EXPECT_EQ(rulo::fmt("[%1%]")._add_arg(42, '0', 5).str(), "[00042]");
    EXPECT_EQ(rulo::fmt("[%1%]")._add_arg(42, 0, 4).str(), "[  42]");
}

TEST(fmt, number_helpers) {
    struct row {
        int value, base;
        char pad;
        unsigned width;
        std::string expected;
    };
    std::vector<row> const rows = {
        {5, 10, '0', 3, "005"},     {255, 16, '0', 0, "ff"},      {8, 8, ' ', 4, "  10"},
        {1234, 10, '0', 2, "1234"}, {-1, 16, '0', 0, "ffffffff"},
    };
    for (auto const& r : rows)
        EXPECT_EQ(rulo::fnum(r.value, r.base, r.pad, r.width), r.expected) << r.value << " base " << r.base;
    EXPECT_EQ(rulo::hex(0), "0");
}

TEST(fmt, stringify_pod_hexcode_and_take) {
    EXPECT_EQ(rulo::stringify("a", 1, std::string("b"), 'c', true), "a1bc1");
    uint32_t const word = 0x01020304;
    // Memory order: the test machine is little-endian.
    EXPECT_EQ(xstd::pod_hexcode(word), "04030201");
    std::map<std::string, std::string> const m = {{"k", "v"}};
    EXPECT_EQ(xstd::take(m, "k"), "v");
    EXPECT_EQ(xstd::take(m, "missing"), "");
}

} // namespace
