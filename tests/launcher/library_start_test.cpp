// A packed launcher that starts a library from its slot: DllStartService gets
// the launcher's own arguments, runs in the slot, and its result decides the
// end: 0 is the normal end (everything written deleted), anything else, or a
// library without the entry point, is the error end (nothing deleted).
#include "tests/launcher/launch_process.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <utility>
#include <vector>

namespace {

using launch_test::temp_dir;
using strings = std::vector<std::string>;
using report_lines = std::vector<std::pair<std::string, std::string>>;

TEST(launcher_library_start, the_entry_points_result_decides_the_end) {
    struct {
        char const* what;
        char const* packed; // PACKED_LIBRARY starts service.so (type 3), PACKED_MISNAMED misnamed.so (type 6)
        char const* result; // DESK_SERVICE_RESULT
        bool normal_end;
    } const cases[] = {
        {"returns 0", PACKED_LIBRARY, "0", true},
        {"returns 3", PACKED_LIBRARY, "3", false},
        {"returns -1", PACKED_LIBRARY, "-1", false},
        {"no DllStartService", PACKED_MISNAMED, "0", false},
    };
    strings const args = {"one", "", "two words"};
    for (auto const& c : cases) {
        SCOPED_TRACE(c.what);
        temp_dir prefix, io;
        std::string const report = io.path + "/report";
        strings argv = {c.packed};
        argv.insert(argv.end(), args.begin(), args.end());
        auto const res =
            launch_test::run(c.packed, argv,
                             {"DESK_LAUNCHER_ROOT=" + prefix.path, "DESK_PAYLOAD_REPORT=" + report,
                              std::string("DESK_SERVICE_RESULT=") + c.result});
        EXPECT_EQ(res.signal, SIGKILL) << res.err;
        auto const errors = launch_test::lines_with(res.err, "Error running launch");
        EXPECT_EQ(errors.size(), c.normal_end ? 0u : 1u) << res.err;

        std::string const slot = launch_test::slot_path(prefix.path, "service");
        if (c.packed == std::string(PACKED_LIBRARY)) {
            // Called once, in the slot, with the launcher's own arguments.
            EXPECT_EQ(launch_test::read_report(report), (report_lines{{"argc", "4"},
                                                                      {"arg", c.packed},
                                                                      {"arg", "one"},
                                                                      {"arg", ""},
                                                                      {"arg", "two words"},
                                                                      {"cwd", slot}}));
        } else {
            EXPECT_EQ(launch_test::read_file(report), "") << "a renamed entry point was called";
        }
        if (c.normal_end)
            EXPECT_EQ(launch_test::tree(slot), (strings{"remove.dir", "writeacc.dat"}));
        else
            EXPECT_EQ(launch_test::tree(slot),
                      (strings{"misnamed.so", "remove.dir", "service.so", "writeacc.dat"}));
    }
}

} // namespace
