// Text and encoding helpers.
#include "rulo/text.h"
#include "tests/support/framework_env.h"

#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <cstdio>
#include <string>
#include <tuple>
#include <vector>

namespace {

using lines_t = std::vector<std::string>;
using test_support::thrown;

// Each word followed by "|".
std::string joined(lines_t const& words) {
    return words.empty() ? "" : xstd::join("|", words) + "|";
}

TEST(text_hex, every_byte_against_printf_and_back) {
    std::string all, expected;
    for (int b = 0; b < 256; ++b) {
        all += char(b);
        char digits[3];
        std::snprintf(digits, sizeof digits, "%02x", b);
        expected += digits;
    }
    EXPECT_EQ(xstd::hexcode(all), expected);
    xstd::dehexcode(expected);
    EXPECT_EQ(expected, all);

    std::string mixed = "zzg1AB"; // upper case too; invalid digits count as 0
    xstd::dehexcode(mixed);
    EXPECT_EQ(mixed, std::string("\0\x01\xab", 3));
    std::string odd = "abc"; // throws and leaves the text as it was
    EXPECT_EQ(thrown([&] { xstd::dehexcode(odd); }), ":Error in 'dehexcode'");
    EXPECT_EQ(odd, "abc");
}

TEST(text_chars, bytes_above_ascii_trim_affixes_and_numbers) {
    // High bytes reach the C functions as unsigned values: neither space nor alphanumeric.
    EXPECT_FALSE(rulo::is_space('\xa0') || rulo::is_alnum('\xe9'));
    EXPECT_EQ(xstd::uc("ab\xe9z1") + xstd::lc("AB\xc9Z1"), "AB\xe9Z1ab\xc9z1");
    std::string t = " \t\r\n\vab c\f\n\r\t ";
    rulo::trim(&t); // only the four line blanks are trimmed
    EXPECT_EQ(t, "\vab c\f");
    EXPECT_EQ(xstd::trim("-=", "=-a-b=-") + xstd::trim("-", "---"), "a-b");
    EXPECT_FALSE(rulo::starts_with("ab", "abc") || rulo::ends_with("bc", "abc")); // affix longer than text
    for (auto [text, value] : {std::pair{"42", 42}, {" -17x", -17}, {"0x10", 0}, {"2147483647", INT_MAX}}) {
        EXPECT_EQ(rulo::destringify<int>(text), value) << text;
        EXPECT_EQ(rulo::atoi(text), value) << text;
    }
    EXPECT_EQ(rulo::destringify<unsigned int>("4294967295"), 4294967295u);
    EXPECT_EQ(rulo::itoa(255, 16) + rulo::itoa(8, 8) + rulo::itoa(10, 7) + rulo::itoa(-5),
              "ff1010-5"); // 7: decimal
}

TEST(text_split, replace_split_strtok_and_lines) {
    using quads = std::array<std::string, 4>;
    // {text, what, with, result}: the replacement is never searched again; an empty search
    // replaces nothing (it used to hang).
    for (auto const& [text, what, with, result] :
         {quads{"aaa", "a", "aa", "aaaaaa"}, quads{"////", "//", "/", "//"}, quads{"abc", "x", "y", "abc"},
          quads{"abc", "", "y", "abc"}}) {
        std::string t = text;
        EXPECT_EQ(rulo::replace_all(t, what, with), result != text) << text;
        EXPECT_EQ(t, result) << text;
    }
    EXPECT_EQ(xstd::split(",;", "a,,b;"), (lines_t{"a", "b"}));
    lines_t out = {"kept"};
    rulo::get_tokens(&out, " 80, 443 ", " ,");
    EXPECT_EQ(out, (lines_t{"kept", "80", "443"}));
    EXPECT_EQ(rulo::join_tokens("&", {"a", "", "b"}), "a&&b");

    // {text, separator, token, rest}: only whole repetitions of the separator are skipped.
    for (auto const& [text, separator, token, rest] :
         {quads{",,a,b", ",", "a", "b"}, quads{"::x::y", "::", "x", "y"}, quads{",a", ",,", ",a", ""}}) {
        std::string t = text;
        EXPECT_EQ(rulo::strtok(&t, separator), token) << text;
        EXPECT_EQ(t, rest) << text;
    }
    for (std::string bad : {",,", ""})
        EXPECT_EQ(thrown([&] { rulo::strtok(&bad, ","); }), ":Error in 'strtok'");
    // Taking tokens until the text runs out ends, also with an empty separator (it used to hang).
    for (std::string separator : {",", ""}) {
        std::string t = "a,b,,c";
        lines_t taken;
        while (!t.empty()) taken.push_back(rulo::strtok(&t, separator));
        EXPECT_EQ(taken, separator.empty() ? lines_t{"a,b,,c"} : lines_t({"a", "b", "c"}));
    }
    // The byte-order mark counts only at the start.
    char const* const rows[][2] = {{"\xEF\xBB\xBFx\ny\n", "x|y|"},
                                   {"a\r\nb\rc\nd", "a|b|c|d|"},
                                   {"a\n\r\nb", "a||b|"},
                                   {"x\xEF\xBB\xBF", "x\xEF\xBB\xBF|"}};
    for (auto [text, expected] : rows) {
        lines_t lines;
        rulo::get_lines(text, lines);
        EXPECT_EQ(joined(lines), expected) << text;
    }
    for (auto [in, chomped] : {std::pair{"a\r\n", "a"}, {"a\n\r", "a\n"}, {"", ""}}) {
        std::string t = in;
        rulo::chomp(&t);
        EXPECT_EQ(t, chomped);
    }
}

TEST(text_cmdline, parse) {
    std::string const long_word(300, 'w'); // longer than the word builder's inline store
    std::vector<std::tuple<std::string, bool, std::string>> const rows = {
        {R"("C:\Program Files\app.exe" -a "say \"hi\" now")", true,
         R"(C:\Program Files\app.exe|-a|say "hi" now|)"},
        {R"("no end -a)", true, ""}, // an unclosed quoted program gives nothing
        {R"("open ended)", false, "open ended|"},
        {R"("trailing\)", false, R"(trailing\|)"},
        {R"(x"y z")", false, R"(x"y|z"|)"}, // quotes inside a bare word are plain bytes
        {R"("")", false, "|"},
        {"\"" + long_word + "\" x", false, long_word + "|x|"},
    };
    for (auto const& [text, with_program, words] : rows) {
        lines_t out;
        int const count = rulo::parse_cmdline(text, out, with_program);
        EXPECT_EQ(count, int(out.size())) << text;
        EXPECT_EQ(joined(out), words) << text;
    }
}

} // namespace
