// The key=value line and [section] text formats.
#include "rulo/exception.h"
#include "rulo/kv_text.h"
#include "tests/support/framework_env.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

using map_t = std::map<std::string, std::string>;
using lines_t = std::vector<std::string>;
using namespace std::string_literals;

TEST(kv_text, parse_map) {
    std::vector<std::pair<std::string, map_t>> const rows = {
        {"a = 1\r\nb=2\0junk\nc=3"s, {{"a", "1"}, {"b", "2"}}}, // the text ends at its first NUL
        {"k=v=w\n\nk2 =\t\n", {{"k", "v=w"}, {"k2", ""}}},
        {"x=1\rx=2\r", {{"x", "2"}}},
        {"\0a=1"s, {}},
    };
    for (auto const& [text, expected] : rows) {
        map_t m;
        rulo::parse_map(m, text);
        EXPECT_EQ(m, expected) << text;
    }
    for (std::string bad : {"novalue", "=x", " \t= x", "a=1\nb"}) {
        map_t m;
        EXPECT_EQ(test_support::thrown([&] { rulo::parse_map(m, bad); }), ":Error in 'parse_map_line'")
            << bad;
    }
    // A given position must hold an "=" inside the line.
    map_t m;
    rulo::parse_map_line(m, "a=b=c", 3);
    EXPECT_EQ(m, (map_t{{"a=b", "c"}}));
    for (size_t position : {0, 2, 3, 99})
        EXPECT_THROW(rulo::parse_map_line(m, "a=b", position), rulo::exception);

    map_t const joined = {{"b", "2"}, {"a", "x y"}, {"c", ""}};
    EXPECT_EQ(rulo::join_map(joined), "a=x y\nb=2\nc=\n");
    map_t back;
    rulo::parse_map(back, rulo::join_map(joined));
    EXPECT_EQ(back, joined);
}

TEST(kv_text, sections_and_parse_map_2) {
    std::map<std::string, lines_t> s;
    // "[]" names the unnamed section; a header may be indented and have text after it.
    rulo::parse_sections(s, {"x[y]", "[open", " \t[a b] tail", "", "k=v", "[]", "q", "[a b]", "z", "[t]"});
    EXPECT_EQ(s, (std::map<std::string, lines_t>{
                     {"", {"x[y]", "[open", "q"}}, {"a b", {"", "k=v", "z"}}, {"t", {}}}));

    lines_t const lines = {"top=1", "[net]",   "host = h", "# no equals", "port=80",
                           "[ui]",  "lang=en", "[net]",    "port=81"};
    std::map<std::string, map_t> maps;
    EXPECT_TRUE(rulo::parse_map_2(maps, lines));
    std::map<std::string, map_t> const expected = {
        {"", {{"top", "1"}}}, {"net", {{"host", "h"}, {"port", "81"}}}, {"ui", {{"lang", "en"}}}};
    EXPECT_EQ(maps, expected);
    EXPECT_THROW(rulo::parse_map_2(maps, {"[s]", "=x"}), rulo::exception);
}

} // namespace
