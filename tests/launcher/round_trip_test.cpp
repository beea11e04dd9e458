// A packed launcher run as its own process, start to end: the payload sees the
// launcher's arguments, runs in the locked slot with the slot first in its
// library path, and afterwards only the slot's lock file and marker (and the
// directories made for entry paths) are left.
#include "tests/launcher/launch_process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <string>
#include <utility>
#include <vector>

namespace {

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
    for (auto const& c : cases) {
        SCOPED_TRACE(c.what);
        launch_test::temp_dir root, out;
        std::vector<std::string> env = {"DESK_LAUNCHER_ROOT=" + root.path,
                                        "DESK_PAYLOAD_REPORT=" + out.path + "/r"};
        if (c.ld_library_path) env.push_back(std::string("LD_LIBRARY_PATH=") + c.ld_library_path);
        std::vector<std::string> argv = {PACKED_PAYLOAD};
        argv.insert(argv.end(), c.args.begin(), c.args.end());

        auto const res = launch_test::run(PACKED_PAYLOAD, argv, env);
        EXPECT_EQ(res.signal, SIGKILL) << res.err;
        EXPECT_TRUE(launch_test::lines_with(res.err, "Error running launch").empty()) << res.err;

        std::string const slot = launch_test::slot_path(root.path, "payload");
        std::vector<std::pair<std::string, std::string>> expected = {{"arg0", slot + "/payload_report"}};
        for (auto const& a : c.args) expected.emplace_back("arg", a);
        expected.emplace_back("cwd", slot);
        auto report = launch_test::read_report(out.path + "/r");
        ASSERT_EQ(report.size(), expected.size() + 2) << "no ldpath or flock line";
        EXPECT_EQ(report[expected.size()].first, "ldpath"); // set even when it was not
        std::string const ldpath = report[expected.size()].second;
        // flock -n on the slot's lock file must be refused (1), not missing (-1).
        EXPECT_EQ(report.back(), (std::pair<std::string, std::string>{"flock", "1"}));
        report.resize(expected.size());
        EXPECT_EQ(report, expected);

        EXPECT_EQ(ldpath.rfind(slot, 0), 0u) << ldpath;
        // No empty element: that would put the current directory in the search path.
        EXPECT_EQ((":" + ldpath + ":").find("::"), std::string::npos) << ldpath;
        if (c.ld_library_path && *c.ld_library_path) {
            std::string const tail = std::string(":") + c.ld_library_path;
            EXPECT_EQ(ldpath.substr(ldpath.size() - std::min(ldpath.size(), tail.size())), tail);
        }

        // Every unpacked file is gone; the later archive's directory too; the
        // directory made for an entry path, the lock file and the marker stay.
        EXPECT_EQ(launch_test::tree(slot), (std::vector<std::string>{"docs/", "remove.dir", "writeacc.dat"}));
    }
}

// A long unpacking says what and where in one more line, but only on a
// terminal and only once it has taken longer than the limit (set low here
// through the test build): a log file gets the same lines as ever.
TEST(launcher_round_trip, a_long_unpacking_says_so_once_on_a_terminal) {
    struct {
        const char* what;
        bool terminal;
        const char* after_ms;
        bool noted;
    } const cases[] = {
        {"terminal, past the limit", true, "0", true},
        {"terminal, within the limit", true, "600000", false},
        {"log file, past the limit", false, "0", false},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.what);
        launch_test::temp_dir root, out;
        std::vector<std::string> const env = {"DESK_LAUNCHER_ROOT=" + root.path,
                                              "DESK_PAYLOAD_REPORT=" + out.path + "/r",
                                              std::string("DESK_LAUNCHER_NOTE_AFTER_MS=") + c.after_ms};
        auto const res = c.terminal ? launch_test::run_on_terminal(PACKED_PAYLOAD, {PACKED_PAYLOAD}, env)
                                    : launch_test::run(PACKED_PAYLOAD, {PACKED_PAYLOAD}, env);
        EXPECT_EQ(res.signal, SIGKILL) << res.err;
        ASSERT_EQ(launch_test::lines_with(res.err, "Starting EXE: ").size(), 1u) << res.err;
        auto const notes = launch_test::lines_with(res.err, "Unpacking ");
        if (!c.noted) {
            EXPECT_TRUE(notes.empty()) << res.err;
            continue;
        }
        // One note for the first archive, one for the later one, each once.
        std::string const slot = launch_test::slot_path(root.path, "payload");
        ASSERT_EQ(notes.size(), 2u) << res.err;
        EXPECT_EQ(notes[0], "Unpacking payload (1 MiB) into " + slot + ", please wait");
        EXPECT_EQ(notes[1], "Unpacking conf (1 MiB) into " + slot + "/conf, please wait");
    }
}

} // namespace
