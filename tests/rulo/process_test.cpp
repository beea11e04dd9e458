// Starting programs: time limits, detached starts, inherited descriptors, command
// output, the desktop opener and the host name against uname.
#include "rulo/exception.h"
#include "rulo/process.h"
#include "rulo/xfile.h"

#include "tests/support/shell.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <memory>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// True when this process has no child at all, running or zombie.
bool no_children() {
    int status;
    return ::waitpid(-1, &status, WNOHANG) == -1 && errno == ECHILD;
}

// The file's contents once a writer has renamed it into place; "" after a minute.
std::string wait_for_file(std::string const& path) {
    for (int i = 0; i < 6000 && !rulo::file_exists(path); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return rulo::file_exists(path) ? test_support::read_file(path) : "";
}

TEST(process_system, timed_start_returns_or_kills_and_always_reaps) {
    // sleep is killed at the limit; neither false's status nor a failed exec
    // (the child ends with status 1) is reported.
    for (auto const& [file, timeout, thrown] : {std::tuple{"sleep", 1, ":Error in 'system'"},
                                                {"false", 30, ""},
                                                {"/nonexistent/program", 30, ""}}) {
        std::string what;
        try {
            rulo::process::system(file, {"30"}, timeout);
        } catch (rulo::exception const& e) {
            what = e.what();
        }
        EXPECT_EQ(what, thrown) << file;
        EXPECT_TRUE(no_children()) << file;
    }
}

TEST(process_system, detached_start_returns_while_the_program_runs_outside_our_family) {
    test_support::scratch_dir dir;
    std::string const out = dir.file("ids");
    rulo::process::system(
        "sh", {"-c", "echo $$ $PPID > \"$0.tmp\" && mv \"$0.tmp\" \"$0\" && exec sleep 30", out}, -1);
    EXPECT_TRUE(no_children()); // the middle process is already reaped

    std::istringstream ids(wait_for_file(out));
    pid_t pid = 0, parent = 0;
    ASSERT_TRUE(ids >> pid >> parent);
    EXPECT_TRUE(parent != ::getpid() && ::getsid(pid) != ::getsid(0)) << "still in our family";
    EXPECT_EQ(::kill(pid, 0), 0) << "the call waited for the program";
    ::kill(pid, SIGKILL);
}

TEST(process_system, children_inherit_only_the_standard_descriptors) {
    test_support::scratch_dir dir;
    // A descriptor without close-on-exec, as careless code leaves them. ls lists
    // its own descriptors: 0-2 and the one it reads the list through.
    int const extra = ::open("/dev/null", O_RDONLY);
    ASSERT_EQ(::dup2(extra, 60), 60);
    ::close(extra);
    rulo::process::system("sh", {"-c", "exec ls /proc/self/fd > \"$0\"", dir.file("timed")}, 30);
    EXPECT_EQ(test_support::read_file(dir.file("timed")), "0\n1\n2\n3\n");
    EXPECT_EQ(rulo::get_command_result("exec ls /proc/self/fd"), "0\n1\n2\n3");
    ::close(60);
}

TEST(command_result, strips_one_line_end_and_keeps_long_output_whole) {
    std::string numbers; // what seq prints
    for (int i = 1; i <= 100000; ++i) numbers += std::to_string(i) + "\n";
    numbers.pop_back();
    for (auto const& [command, expected] : {std::pair<char const*, std::string>{"printf 'a\\r\\n'", "a"},
                                            {"printf 'x\\n\\n'", "x\n"},
                                            {"printf 'a\\0b'", std::string("a\0b", 3)},
                                            {"seq 1 100000", numbers}})
        EXPECT_EQ(rulo::get_command_result(command), expected) << command;
}

// Other threads allocate all the time, so forks land while they hold the
// allocator's locks: a child that allocated would hang now and then.
TEST(command_result, runs_while_other_threads_allocate) {
    std::atomic<bool> stop{false};
    std::vector<std::thread> busy;
    for (int t = 0; t < 4; ++t)
        busy.emplace_back([&] {
            while (!stop) std::make_unique<std::string>(1000, 'x').reset();
        });
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(rulo::get_command_result("echo ok"), "ok");
        rulo::process::system("true", {}, 30);
    }
    stop = true;
    for (auto& t : busy) t.join();
    EXPECT_TRUE(no_children());
}

TEST(desktop, open_link_hands_the_url_to_the_opener_detached) {
    test_support::scratch_dir dir;
    std::string const out = dir.file("args");
    test_support::write_file(dir.file("opener"), "printf '%s|' \"$@\" > '" + out + ".tmp' && mv '" + out +
                                                     ".tmp' '" + out + "'\n");
    rulo::set_desktop_opener({"/bin/sh", dir.file("opener")});
    rulo::open_link("https://example.org/a b?c='1'&d", true);
    rulo::set_desktop_opener({});
    EXPECT_EQ(wait_for_file(out), "https://example.org/a b?c='1'&d|");
    EXPECT_TRUE(no_children());
}

TEST(hostname, splits_the_systems_name_at_the_first_dot) {
    std::string host = "stale", domain = "stale";
    xstd::get_hostname(host, domain);
    EXPECT_EQ(host + (domain.empty() ? "" : "." + domain) + "\n", test_support::run_command("uname -n").out);
    EXPECT_EQ(host.find('.'), std::string::npos);
}

} // namespace
