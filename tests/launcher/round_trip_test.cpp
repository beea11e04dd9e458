// A packed launcher run as its own process, start to end: the payload sees the
// launcher's arguments, runs in the locked slot with the slot first in its
// library path, and afterwards only the slot's lock file and marker (and the
// directories made for entry paths) are left.
#include "tests/launcher/launch_process.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <csignal>
#include <sstream>
#include <string>
#include <vector>

namespace {

using launch_test::read_file;
using launch_test::temp_dir;

std::string unhex(std::string const& h) {
    std::string s;
    for (std::size_t i = 0; i + 1 < h.size(); i += 2)
        s += static_cast<char>(std::stoi(h.substr(i, 2), nullptr, 16));
    return s;
}

struct report {
    std::string arg0, cwd, ldpath;
    bool ldpath_set = false;
    std::vector<std::string> args;
    int flock = -2;
};

report parse_report(std::string const& text) {
    report r;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        std::string const key = line.substr(0, line.find(' '));
        std::string const value = line.find(' ') == std::string::npos ? "" : line.substr(line.find(' ') + 1);
        if (key == "arg0")
            r.arg0 = unhex(value);
        else if (key == "arg")
            r.args.push_back(unhex(value));
        else if (key == "cwd")
            r.cwd = unhex(value);
        else if (key == "ldpath")
            r.ldpath = unhex(value), r.ldpath_set = true;
        else if (key == "flock")
            r.flock = std::stoi(value);
    }
    return r;
}

TEST(launcher_round_trip, payload_sees_the_launch_and_the_slot_is_cleaned) {
    struct {
        const char* what;
        std::vector<std::string> args;
        const char* ld_library_path; // nullptr: unset
    } const cases[] = {
        {"no arguments", {}, nullptr},
        {"one empty argument", {""}, "/prev/lib"},
        {"blanks and empties", {"a b", "", "  ", "-x"}, ""},
        {"non-ASCII", {"\xc3\xa9t\xc3\xa9", "\xe6\x97\xa5\xe6\x9c\xac", "\xff\x01"}, "/p1:/p2"},
    };
    std::string const slot_rel = "SepraCache_" + std::to_string(::geteuid()) + "_0/payload/1";
    for (auto const& c : cases) {
        SCOPED_TRACE(c.what);
        temp_dir root, out;
        std::string const report_path = out.path + "/report";
        std::vector<std::string> env = {"DESK_LAUNCHER_ROOT=" + root.path,
                                        "DESK_PAYLOAD_REPORT=" + report_path};
        if (c.ld_library_path) env.push_back(std::string("LD_LIBRARY_PATH=") + c.ld_library_path);
        std::vector<std::string> argv = {PACKED_PAYLOAD};
        argv.insert(argv.end(), c.args.begin(), c.args.end());

        auto const res = launch_test::run(PACKED_PAYLOAD, argv, env);
        EXPECT_EQ(res.signal, SIGKILL) << res.err;
        EXPECT_TRUE(launch_test::lines_with(res.err, "Error running launch").empty()) << res.err;

        report const r = parse_report(read_file(report_path));
        std::string const slot = root.path + "/" + slot_rel;
        EXPECT_EQ(r.cwd, slot);
        EXPECT_EQ(r.arg0, slot + "/payload_report");
        EXPECT_EQ(r.args, c.args);
        EXPECT_NE(r.flock, 0) << "the slot's lock must be held by the payload";
        EXPECT_NE(r.flock, -1) << "flock could not be run";

        ASSERT_TRUE(r.ldpath_set);
        EXPECT_EQ(r.ldpath.rfind(slot, 0), 0u) << r.ldpath;
        // No empty element: that would put the current directory in the search path.
        std::string const ld = ":" + r.ldpath + ":";
        EXPECT_EQ(ld.find("::"), std::string::npos) << r.ldpath;
        if (c.ld_library_path && *c.ld_library_path) {
            std::string const tail = std::string(":") + c.ld_library_path;
            EXPECT_EQ(r.ldpath.substr(r.ldpath.size() - std::min(r.ldpath.size(), tail.size())), tail);
        }

        // Every unpacked file is gone; the later archive's directory too; the
        // directory made for an entry path, the lock file and the marker stay.
        EXPECT_EQ(launch_test::tree(slot), (std::vector<std::string>{"docs/", "remove.dir", "writeacc.dat"}));
    }
}

// Two runs one after the other under one root: the second reclaims the first's
// stale slot rather than taking a new one.
TEST(launcher_round_trip, a_stale_slot_is_reused) {
    temp_dir root, out;
    std::vector<std::string> env = {"DESK_LAUNCHER_ROOT=" + root.path,
                                    "DESK_PAYLOAD_REPORT=" + out.path + "/r"};
    for (int i = 0; i < 2; ++i) {
        auto const res = launch_test::run(PACKED_PAYLOAD, {PACKED_PAYLOAD, "run"}, env);
        EXPECT_EQ(res.signal, SIGKILL) << res.err;
        EXPECT_EQ(parse_report(read_file(out.path + "/r")).cwd,
                  root.path + "/SepraCache_" + std::to_string(::geteuid()) + "_0/payload/1");
    }
}

} // namespace
