// The key=value line and [section] text formats.
#include "rulo/exception.h"
#include "rulo/kv_text.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

using map_t = std::map<std::string, std::string>;
using lines_t = std::vector<std::string>;
using namespace std::string_literals;

TEST(kv_text, parse_map) {
    struct row {
        std::string text;
        map_t map;
    };
    std::vector<row> const rows = {
        {"a = 1\r\nb=2\0junk\nc=3"s, {{"a", "1"}, {"b", "2"}}},
        {"k=v=w\n\nk2 =\t\n", {{"k", "v=w"}, {"k2", ""}}},
        {"x=1\rx=2\r", {{"x", "2"}}},
        {"", {}},
        {"\0a=1"s, {}},
    };
    for (auto const& r : rows) {
        map_t m;
        rulo::parse_map(m, r.text);
        EXPECT_EQ(m, r.map) << r.text;
    }
    for (std::string bad : {"novalue", "=x", " \t= x", "a=1\nb"}) {
        map_t m;
        try {
            rulo::parse_map(m, bad);
            FAIL() << "no exception for '" << bad << "'";
        } catch (rulo::exception const& e) {
            EXPECT_STREQ(e.what(), ":Error in 'parse_map_line'");
        }
    }
}

TEST(kv_text, parse_map_line_position) {
    map_t m = {{"a", "old"}};
    rulo::parse_map_line(m, "a=b=c", 3);
    EXPECT_EQ(m, (map_t{{"a=b", "c"}, {"a", "old"}}));
    rulo::parse_map_line(m, " a = new ");
    EXPECT_EQ(m["a"], "new");
    rulo::parse_map_line(m, "");
    EXPECT_EQ(m.size(), 2u);
    // A position that is not an "=", or lies past the end, is a malformed line.
    EXPECT_THROW(rulo::parse_map_line(m, "a=b", 0), rulo::exception);
    EXPECT_THROW(rulo::parse_map_line(m, "a=b", 2), rulo::exception);
    EXPECT_THROW(rulo::parse_map_line(m, "a=b", 3), rulo::exception);
    EXPECT_THROW(rulo::parse_map_line(m, "a=b", 99), rulo::exception);
}

TEST(kv_text, join_map_reads_back) {
    map_t m = {{"b", "2"}, {"a", "x y"}, {"c", ""}};
    EXPECT_EQ(rulo::join_map(m), "a=x y\nb=2\nc=\n");
    map_t back;
    rulo::parse_map(back, rulo::join_map(m));
    EXPECT_EQ(back, m);
    EXPECT_EQ(rulo::join_map({}), "");
}

TEST(kv_text, sections) {
    struct row {
        lines_t lines;
        std::map<std::string, lines_t> sections;
    };
    std::vector<row> const rows = {
        {{"x", "[s]", "y"}, {{"", {"x"}}, {"s", {"y"}}}},
        {{" \t[a b] tail", "", "k=v", "[t]", "[a b]", "z"}, {{"a b", {"", "k=v", "z"}}, {"t", {}}}},
        {{"[open", "x[y]", "[]", "q"}, {{"", {"[open", "x[y]", "q"}}}}, // "[]" names the unnamed section
        {{}, {}},
    };
    for (auto const& r : rows) {
        std::map<std::string, lines_t> s;
        rulo::parse_sections(s, r.lines);
        EXPECT_EQ(s, r.sections);
    }
}

TEST(kv_text, parse_map_2) {
    lines_t lines = {"top=1",   "[net]", "host = h", "# comment without equals", "", "port=80", "[ui]",
                     "lang=en", "[net]", "port=81"};
    std::map<std::string, map_t> maps;
    EXPECT_TRUE(rulo::parse_map_2(maps, lines));
    std::map<std::string, map_t> const expected = {
        {"", {{"top", "1"}}},
        {"net", {{"host", "h"}, {"port", "81"}}},
        {"ui", {{"lang", "en"}}},
    };
    EXPECT_EQ(maps, expected);

    std::map<std::string, map_t> bad;
    EXPECT_THROW(rulo::parse_map_2(bad, {"[s]", "=x"}), rulo::exception);
}

} // namespace
