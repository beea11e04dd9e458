// The plugin catalogue built from server records: flavour, load order,
// wanted plugins, dependencies and libraries still loaded.
#include "tovan/plugins/catalogue.h"

#include "rulo/packet.h"

#include <gtest/gtest.h>

using namespace tovan;

namespace {

std::vector<std::string> order_of(std::vector<plugin_def> const& defs) {
    std::vector<std::string> out;
    for (auto const& d : defs) out.push_back(d.take("id"));
    return out;
}

} // namespace

TEST(Catalogue, FlavourTest) {
    struct {
        char const* program;
        char const* record;
        bool fits;
    } const rows[] = {
        {"pro", "lite,!pro", false}, {"pro", "pro,!pro", true}, {"pro", "", true},      {"", "lite", true},
        {"ab", "xaby", true},        {"pro", "lite", false},    {"pro", "!pro", false}, {"pro", "pro", true},
    };
    for (auto const& r : rows)
        EXPECT_EQ(flavour_fits(r.program, r.record), r.fits) << r.program << " / " << r.record;
}

TEST(Catalogue, LoadOrder) {
    struct {
        char const* name;
        char const* id;
        char const* load_order; // "" for none
    } const records[] = {
        {"tail", "T", ""},  {"x", "A", "0"},    {"x", "B", "0"},    {"x", "C", "0"},
        {"neg", "N", "-3"}, {"far", "F", "99"}, {"text", "X", "x"}, {"mid", "M", "2"},
    };
    std::vector<plugin_def> defs;
    for (auto const& r : records) {
        plugin_record rec{{"name", r.name}, {"id", r.id}};
        if (*r.load_order) rec["load_order"] = r.load_order;
        insert_by_load_order(defs, plugin_def(rec));
    }
    // A, B, C keep their order at the head; N goes to 0, X ("x" reads as 0)
    // too, F past the end to the end, M behind nothing of its name at 2.
    EXPECT_EQ(order_of(defs), (std::vector<std::string>{"X", "N", "M", "A", "B", "C", "T", "F"}));
}

TEST(Catalogue, WantedStatesDependsAndLoadedLibraries) {
    std::string depends;
    rulo_packet_push(depends, std::set<std::string>{"audio", "video", "zzz"});
    std::string truncated = depends.substr(1); // the last name read ("zzz") is cut: the others still count
    catalogue_input in;
    in.flavour = "pro";
    in.option_components = {"chat"};
    in.records = {
        {{"name", "desktop"}, {"version", "1.0"}, {"auto_start", "true"}, {"id", "d1"}},
        {{"name", "desktop"}, {"version", "2.0"}, {"auto_dl", "true"}, {"id", "d2"}},
        {{"name", "desktop"}, {"version", "3.0"}, {"auto_dl", "true"}, {"id", "d3"}},
        {{"name", "audio"}, {"version", "1"}, {"id", "a"}},
        {{"name", "video"}, {"version", "1"}, {"id", "v"}},
        {{"name", "files"}, {"version", "1"}, {"depends", depends}, {"id", "f"}},
        {{"name", "chat"}, {"version", "1"}, {"id", "c"}},
        {{"name", "lite"}, {"version", "1"}, {"flavor", "lite,!pro"}, {"id", "l"}},
        {{"name", "ft"}, {"version", "1"}, {"depends", truncated}, {"id", "t"}},
    };
    // desktop 2.0 is still loaded from an earlier session and was auto-start there.
    in.loaded["desktop_2_0"] = {{"name", "desktop"}, {"auto_start", "true"}};
    in.loaded_by_name["desktop"] = "desktop_2_0";
    std::vector<std::string> log;
    auto out = build_catalogue(in, [&](std::string const& l) { log.push_back(l); });

    ASSERT_EQ(order_of(out.defs), (std::vector<std::string>{"d1", "d2", "d3", "a", "v", "f", "c", "t"}));
    std::vector<int> states;
    for (auto const& d : out.defs) states.push_back(d.state);
    // d1 auto-start implies auto_dl (1), d2 is the loaded one (8), d3 waits and is given up (9).
    EXPECT_EQ(states, (std::vector<int>{1, 8, 9, 0, 0, 0, 0, 0}));
    EXPECT_EQ(out.defs[0].take("auto_dl"), "true");
    EXPECT_EQ(out.defs[1].take("auto_start"), "true");
    EXPECT_TRUE(out.menus_changed);
    EXPECT_EQ(out.wanted, (std::map<std::string, bool>{{"desktop", true},
                                                       {"audio", true},
                                                       {"video", true},
                                                       {"files", false},
                                                       {"chat", true},
                                                       {"ft", false}}));
    EXPECT_EQ(out.forced.size(), 6u);
    EXPECT_EQ(out.listed.count("lite"), 0u);
    EXPECT_NE(std::find(log.begin(), log.end(), "ignore autodl desktop_3_0"), log.end());
    EXPECT_NE(std::find(log.begin(), log.end(), "got plugin files_1"), log.end());
    EXPECT_EQ(depends_names(truncated), (std::set<std::string>{"audio", "video"}));
}
