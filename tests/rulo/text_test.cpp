// Text and encoding helpers.
#include "rulo/exception.h"
#include "rulo/text.h"

#include <gtest/gtest.h>

#include <climits>
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

using lines_t = std::vector<std::string>;

TEST(text_chars, bytes_above_ascii) {
    // The C functions take unsigned char values; high bytes are neither space nor alphanumeric here.
    EXPECT_TRUE(rulo::is_space(' '));
    EXPECT_TRUE(rulo::is_space('\v'));
    EXPECT_FALSE(rulo::is_space('\xa0'));
    EXPECT_FALSE(rulo::is_space('\xff'));
    EXPECT_TRUE(rulo::is_alnum('Z'));
    EXPECT_FALSE(rulo::is_alnum('\xe9'));
    EXPECT_EQ(xstd::uc("ab\xe9z1"), "AB\xe9Z1");
    EXPECT_EQ(xstd::lc("AB\xc9Z1"), "ab\xc9z1");
}

TEST(text_trim, table) {
    struct row {
        std::string in, out;
    };
    std::vector<row> const rows = {
        {" \t\r\nab c\n\r\t ", "ab c"},
        {"", ""},
        {" \t\r\n", ""},
        {"x", "x"},
        {"\vx\f", "\vx\f"}, // only the four line blanks are trimmed
    };
    for (auto const& r : rows) {
        std::string t = r.in;
        rulo::trim(&t);
        EXPECT_EQ(t, r.out) << r.in;
    }
    EXPECT_EQ(xstd::trim("-=", "=-a-b=-"), "a-b");
    EXPECT_EQ(xstd::trim("-", "---"), "");
    EXPECT_EQ(xstd::trim("", " a "), " a ");
}

TEST(text_affix, starts_and_ends_with) {
    struct row {
        std::string text, affix;
        bool starts, ends;
    };
    std::vector<row> const rows = {
        {"abc", "ab", true, false},  {"abc", "bc", false, true}, {"abc", "abc", true, true},
        {"ab", "abc", false, false}, {"abc", "", true, true},    {"", "", true, true},
    };
    for (auto const& r : rows) {
        EXPECT_EQ(rulo::starts_with(r.text, r.affix), r.starts) << r.text << "/" << r.affix;
        EXPECT_EQ(rulo::ends_with(r.text, r.affix), r.ends) << r.text << "/" << r.affix;
    }
}

TEST(text_replace_all, table) {
    struct row {
        std::string text, what, with, out;
        bool replaced;
    };
    std::vector<row> const rows = {
        {"a.b.c", ".", "::", "a::b::c", true},
        {"aaa", "a", "aa", "aaaaaa", true}, // the replacement is never searched again
        {"abab", "ab", "", "", true},
        {"////", "//", "/", "//", true},
        {"abc", "x", "y", "abc", false},
        {"abc", "", "y", "abc", false}, // an empty search replaces nothing
        {"", "", "", "", false},
    };
    for (auto const& r : rows) {
        std::string t = r.text;
        EXPECT_EQ(rulo::replace_all(t, r.what, r.with), r.replaced) << r.text;
        EXPECT_EQ(t, r.out) << r.text;
    }
}

TEST(text_split, split_and_join) {
    struct row {
        std::string delimiters, text;
        lines_t pieces;
    };
    std::vector<row> const rows = {
        {",;", "a,,b;", {"a", "b"}}, {" ,", " 80, 443 ", {"80", "443"}}, {",", "", {}}, {",", ",,,", {}},
        {"", "a b", {"a b"}},
    };
    for (auto const& r : rows) {
        EXPECT_EQ(xstd::split(r.delimiters, r.text), r.pieces) << r.text;
        lines_t out = {"kept"};
        rulo::get_tokens(&out, r.text, r.delimiters);
        lines_t expected = {"kept"};
        expected.insert(expected.end(), r.pieces.begin(), r.pieces.end());
        EXPECT_EQ(out, expected) << r.text;
    }
    EXPECT_EQ(xstd::join(", ", {}), "");
    EXPECT_EQ(xstd::join(", ", {"a"}), "a");
    EXPECT_EQ(rulo::join_tokens("&", {"a", "", "b"}), "a&&b");
}

TEST(text_strtok, table) {
    struct row {
        std::string text, separator, token, rest;
    };
    std::vector<row> const rows =
        {
            {",,a,b", ",", "a", "b"},   {"a", ",", "a", ""},      {"a,", ",", "a", ""},
            {"::x::y", "::", "x", "y"}, {"a:b", "::", "a:b", ""}, {"abc", "", "abc", ""},
            {",a", ",,", ",a", ""}, // only whole repetitions of the separator are skipped
        };
    for (auto const& r : rows) {
        std::string t = r.text;
        EXPECT_EQ(rulo::strtok(&t, r.separator), r.token) << r.text;
        EXPECT_EQ(t, r.rest) << r.text;
    }
    for (std::string bad : {",,", "", ","}) {
        std::string t = bad;
        try {
            rulo::strtok(&t, ",");
            FAIL() << "no exception for '" << bad << "'";
        } catch (rulo::exception const& e) {
            EXPECT_STREQ(e.what(), ":Error in 'strtok'");
        }
    }
    std::string empty;
    EXPECT_THROW(rulo::strtok(&empty, ""), rulo::exception);

    // Taking tokens until the text runs out ends, whatever the separator.
    for (std::string separator : {",", ""}) {
        std::string t = "a,b,,c";
        lines_t tokens;
        while (!t.empty()) tokens.push_back(rulo::strtok(&t, separator));
        lines_t const expected = separator.empty() ? lines_t{"a,b,,c"} : lines_t{"a", "b", "c"};
        EXPECT_EQ(tokens, expected);
    }
}

TEST(text_lines, find_eol_get_lines_chomp) {
    struct row {
        std::string text;
        lines_t lines;
    };
    std::vector<row> const rows = {
        {"\xEF\xBB\xBF"
         "a\nb\n",
         {"a", "b"}},
        {"a\r\nb\rc\nd", {"a", "b", "c", "d"}},
        {"a\n\r\nb", {"a", "", "b"}},
        {"a\n\nb", {"a", "", "b"}},
        {"a\r\r\n", {"a", ""}},
        {"\n", {""}},
        {"", {}},
        {"\xEF\xBB\xBF", {}},
        {"\xEF\xBB"
         "a",
         {"\xEF\xBB"
          "a"}},
        {"x\xEF\xBB\xBF", {"x\xEF\xBB\xBF"}}, // a mark is skipped only at the start
    };
    for (auto const& r : rows) {
        lines_t lines;
        rulo::get_lines(r.text, lines);
        EXPECT_EQ(lines, r.lines) << r.text;
    }

    std::string text = "ab\r\ncd";
    auto pos = text.cbegin();
    auto eol = rulo::find_eol(pos, text.cend());
    EXPECT_EQ(eol - text.cbegin(), 2);
    EXPECT_EQ(pos - text.cbegin(), 4);
    eol = rulo::find_eol(pos, text.cend());
    EXPECT_TRUE(eol == text.cend() && pos == text.cend());

    struct chomp_row {
        std::string in, out;
    };
    std::vector<chomp_row> const chomps = {
        {"a\r\n", "a"}, {"a\n", "a"}, {"a\r", "a"}, {"a\n\n", "a\n"}, {"a\n\r", "a\n"}, {"a", "a"}, {"", ""},
    };
    for (auto const& c : chomps) {
        std::string t = c.in;
        rulo::chomp(&t);
        EXPECT_EQ(t, c.out);
    }
}

TEST(text_numbers, destringify_and_itoa) {
    struct row {
        std::string text;
        int value;
    };
    std::vector<row> const rows = {
        {"42", 42}, {" -17x", -17}, {"+8", 8}, {"x1", 0}, {"", 0}, {"0x10", 0}, {"2147483647", INT_MAX},
    };
    for (auto const& r : rows) {
        EXPECT_EQ(rulo::destringify<int>(r.text), r.value) << r.text;
        EXPECT_EQ(xstd::from_string<int>(r.text), r.value) << r.text;
        EXPECT_EQ(rulo::atoi(r.text), r.value) << r.text;
    }
    EXPECT_EQ(rulo::destringify<unsigned int>("4294967295"), 4294967295u);
    EXPECT_EQ(rulo::destringify<unsigned short>("8080"), 8080);
    EXPECT_EQ(rulo::destringify<unsigned short>("port"), 0);

    struct itoa_row {
        int value, base;
        std::string text;
    };
    std::vector<itoa_row> const itoas = {
        {255, 16, "ff"}, {8, 8, "10"},   {10, 10, "10"}, {10, 7, "10"},
        {10, 2, "10"},   {-5, 10, "-5"}, {0, 16, "0"},
    };
    for (auto const& r : itoas) EXPECT_EQ(rulo::itoa(r.value, r.base), r.text) << r.value << "/" << r.base;
}

TEST(text_cmdline, parse) {
    struct row {
        std::string text;
        bool with_program;
        lines_t out;
    };
    std::vector<row> const rows = {
        {R"("C:\Program Files\app.exe" -a "say \"hi\" now")",
         true,
         {R"(C:\Program Files\app.exe)", "-a", R"(say "hi" now)"}},
        {"prog  a\tb ", true, {"prog", "a", "b"}},
        {"prog", true, {"prog"}},
        {R"(a "b c" d)", false, {"a", "b c", "d"}},
        {R"("open ended)", false, {"open ended"}},
        {R"("trailing\)", false, {R"(trailing\)"}},
        {R"(x"y z")", false, {R"(x"y)", R"(z")"}}, // quotes inside a bare word are plain bytes
        {R"("a"b)", false, {"a", "b"}},
        {R"("")", false, {""}},
        {"   ", false, {}},
        {"", false, {}},
    };
    for (auto const& r : rows) {
        lines_t out;
        EXPECT_EQ(rulo::parse_cmdline(r.text, out, r.with_program), static_cast<int>(r.out.size())) << r.text;
        EXPECT_EQ(out, r.out) << r.text;
    }
    lines_t out;
    EXPECT_EQ(rulo::parse_cmdline(R"("no end -a)", out, true), 0);
    EXPECT_TRUE(out.empty());

    // Words longer than the inline store of the word builder.
    std::string long_word(300, 'w');
    out.clear();
    EXPECT_EQ(rulo::parse_cmdline("\"" + long_word + "\" x", out, false), 2);
    EXPECT_EQ(out[0], long_word);
}

TEST(text_mini_char, moves_to_heap_after_n) {
    rulo::mini_char<128> m;
    std::string expected;
    for (int i = 0; i < 300; ++i) {
        m.append(char('a' + i % 26));
        expected += char('a' + i % 26);
        ASSERT_EQ(m.size(), expected.size());
        ASSERT_EQ(std::string(m), expected);
    }
    m.clear();
    EXPECT_EQ(m.size(), 0u);
    EXPECT_EQ(std::string(m), "");
    m.append('z');
    EXPECT_EQ(std::string(m), "z");
}

} // namespace

namespace {

TEST(GetProc, FindsExportedSymbolsAndNamesTheFailure) {
    void* self = dlopen(nullptr, RTLD_NOW);
    ASSERT_NE(self, nullptr);
    void* (*alloc)(size_t) = nullptr;
    xstd::get_proc(alloc, self, "malloc");
    EXPECT_EQ(alloc, &malloc);
    try {
        xstd::get_proc(alloc, self, "no_such_symbol_anywhere");
        FAIL() << "a missing symbol must throw";
    } catch (rulo::exception const& e) {
        EXPECT_EQ(e.description(), ":Error in 'get_proc'");
    }
    dlclose(self);
}

} // namespace
