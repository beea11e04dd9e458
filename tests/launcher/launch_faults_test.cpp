// Launches that go wrong on the way, each a launcher run as its own process:
// slots given up by failed attempts leave the library path, the launcher reads
// the file that is running (not what its path names meanwhile), running short
// of memory ends in the one error line, and a start without any argument works.
#include "launcher/appendix_format.h"
#include "tests/launcher/launch_process.h"
#include "tools/packer/lzma_alone.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <utility>
#include <vector>

namespace {

using launch_test::temp_dir;
using strings = std::vector<std::string>;

std::string packed(std::string const& image_path, std::vector<std::pair<int, std::string>> const& records) {
    std::string s = launch_test::read_file(image_path);
    launcher::append_marker(s);
    for (auto const& [type, body] : records) launcher::append_record(s, std::uint8_t(type), body);
    s.push_back(char(launcher::record_end));
    return s;
}

std::string container(std::string const& dir, strings const& names) {
    std::string s;
    launcher::append_archive_header(s, dir, std::uint32_t(names.size()));
    for (auto const& n : names) launcher::append_archive_entry(s, n, "bytes of " + n);
    return s;
}

std::string const error_line = "Error running launch, last system error: ";

TEST(launcher_faults, a_slot_given_up_leaves_the_library_path) {
    // "a/b" cannot be written below the file "a": every attempt claims a slot
    // in its cache root, fails and gives it up.
    temp_dir prefix;
    std::string const path = prefix.path + "/packed";
    launch_test::write_file(path, packed(LAUNCHER_IMAGE, {{1, container("app", {"a", "a/b"})}}), 0755);
    auto const r =
        launch_test::run(path, {path}, {"DESK_LAUNCHER_ROOT=" + prefix.path, "LD_LIBRARY_PATH=/prev/lib"});
    EXPECT_EQ(r.signal, SIGKILL);
    EXPECT_EQ(launch_test::lines_with(r.err, error_line).size(), 1u) << r.err;
    strings expected;
    for (int root = 0; root < 20; ++root)
        expected.push_back("LD_LIBRARY_PATH=" + launch_test::slot_path(prefix.path, "app", root) +
                           ":/prev/lib");
    EXPECT_EQ(launch_test::lines_with(r.err, "LD_LIBRARY_PATH="), expected);
    // Each attempt took away what it wrote.
    EXPECT_EQ(launch_test::tree(launch_test::slot_path(prefix.path, "app", 7)),
              (strings{"remove.dir", "writeacc.dat"}));
}

TEST(launcher_faults, reads_the_running_file_not_what_its_path_names) {
    // Started from a file deleted after it was opened: /proc/self/exe then
    // names "<path> (deleted)", where an impostor launcher waits.
    temp_dir prefix, dir;
    std::string const path = dir.path + "/launcher";
    launch_test::write_file(path, packed(LAUNCHER_IMAGE, {{1, container("genuine", {"g.txt"})}, {9, ""}}),
                            0755);
    launch_test::write_file(path + " (deleted)",
                            packed(LAUNCHER_IMAGE, {{1, container("impostor", {"i.txt"})}}), 0755);
    int const fd = ::open(path.c_str(), O_RDONLY); // inherited by the launch
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::unlink(path.c_str()), 0);
    std::string const self = "/proc/self/fd/" + std::to_string(fd);
    auto const r = launch_test::run(self, {self}, {"DESK_LAUNCHER_ROOT=" + prefix.path});
    ::close(fd);
    EXPECT_EQ(r.signal, SIGKILL);
    EXPECT_TRUE(launch_test::lines_with(r.err, error_line).empty()) << r.err;
    EXPECT_EQ(launch_test::lines_with(r.err, "Writing file").size(), 1u) << r.err;
    EXPECT_EQ(launch_test::lines_with(r.err, "genuine/1/g.txt").size(), 1u) << r.err;
    // The delete-self record spared the impostor: it is not the running file.
    EXPECT_EQ(launch_test::lines_with(r.err, "Deleting myself: " + path + " (deleted)").size(), 1u) << r.err;
    EXPECT_EQ(launch_test::tree(dir.path), strings{"launcher (deleted)"});
}

TEST(launcher_faults, running_short_of_memory_is_the_error_end) {
    // A 25-byte stream that claims almost 4 GiB, with a dictionary as large.
    std::string stream;
    launcher::append_lzma_header(stream, 0x5d, 0xffffffffu, 0xffffffffu);
    stream += std::string(12, '\0');
    struct {
        char const* what;
        std::vector<std::pair<int, std::string>> records;
        strings wrapper, env;
        char const* detail; // a line before the error line, or ""
    } const cases[] = {
        {"a dictionary beyond the address space limit",
         {{7, stream}},
         {"/usr/bin/prlimit", "--as=1073741824", "--"},
         {},
         "LZMA stream refused: out of memory"},
        {"an allocation in main",
         {{1, container("app", {"a"})}},
         {"/usr/bin/env"},
         {"LD_PRELOAD=" FAILING_MALLOC, "FAILING_MALLOC_ABOVE=8000"},
         ""},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.what);
        temp_dir prefix;
        std::string const path = prefix.path + "/packed";
        launch_test::write_file(path, packed(PLAIN_IMAGE, c.records), 0755);
        strings args = c.wrapper;
        args.insert(args.end(), c.env.begin(), c.env.end());
        args.push_back(path);
        auto const r = launch_test::run(args[0], args, {"DESK_LAUNCHER_ROOT=" + prefix.path});
        EXPECT_EQ(r.signal, SIGKILL) << r.err;
        auto const lines = launch_test::lines_with(r.err, error_line);
        EXPECT_EQ(lines, strings{error_line + "'Cannot allocate memory'"}) << r.err;
        if (*c.detail) {
            EXPECT_EQ(launch_test::lines_with(r.err, c.detail).size(), 1u) << r.err;
        }
    }
}

TEST(launcher_faults, a_start_without_arguments_runs_the_program) {
    // An empty argument vector (argc 0, or the kernel's one empty argument).
    temp_dir prefix, io;
    auto const r = launch_test::run(
        PACKED_PAYLOAD, {}, {"DESK_LAUNCHER_ROOT=" + prefix.path, "DESK_PAYLOAD_REPORT=" + io.path + "/r"});
    EXPECT_EQ(r.signal, SIGKILL);
    EXPECT_TRUE(launch_test::lines_with(r.err, error_line).empty()) << r.err;
    std::string const slot = launch_test::slot_path(prefix.path, "payload");
    auto const report = launch_test::read_report(io.path + "/r");
    ASSERT_GE(report.size(), 2u);
    EXPECT_EQ(report[0], (std::pair<std::string, std::string>{"arg0", slot + "/payload_report"}));
    EXPECT_EQ(report[1].first, "cwd"); // and no further argument
}

} // namespace
