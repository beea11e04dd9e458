// A packed launcher that starts a library from its slot: DllStartService gets
// the launcher's own arguments, runs in the slot, and its result decides the
// end: 0 is the normal end (everything written deleted), anything else, or a
// library without the entry point, is the error end (nothing deleted).
#include "tests/launcher/launch_process.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <csignal>
#include <sstream>
#include <string>
#include <vector>

namespace {

using launch_test::temp_dir;
using strings = std::vector<std::string>;

// The report's lines as "key value", hex values decoded.
strings read_report(std::string const& path) {
    strings out;
    std::istringstream in(launch_test::read_file(path));
    for (std::string line; std::getline(in, line);) {
        auto const sp = line.find(' ');
        std::string const key = line.substr(0, sp),
                          value = sp == std::string::npos ? "" : line.substr(sp + 1);
        if (key == "argc") {
            out.push_back(line);
            continue;
        }
        std::string s;
        for (std::size_t i = 0; i + 1 < value.size(); i += 2)
            s += static_cast<char>(std::stoi(value.substr(i, 2), nullptr, 16));
        out.push_back(key + " " + s);
    }
    return out;
}

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

        std::string const slot = prefix.path + "/SepraCache_" + std::to_string(::geteuid()) + "_0/service/1";
        if (c.packed == std::string(PACKED_LIBRARY)) {
            // Called once, in the slot, with the launcher's own arguments.
            EXPECT_EQ(read_report(report), (strings{"argc 4", std::string("arg ") + c.packed, "arg one",
                                                    "arg ", "arg two words", "cwd " + slot}));
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
