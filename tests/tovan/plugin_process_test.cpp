// The real tovan_desk under Xvfb with a directory of test plugins (the
// TOVAN_TEST_PLUGINS fixture): what each plugin is told while it loads, the
// refusals in the log, the exit order, and a lib_init that crashes the
// process. Fresh HOME and run directory per test.
#include "tests/tovan/xvfb_suite.h"

#include <QTemporaryDir>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>

namespace {

using namespace tovan_test;
namespace fs = std::filesystem;

std::string read_all(std::string const& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The lines of a file, with a plugin record's "[tid] " cut off.
std::vector<std::string> lines_of(std::string const& path) {
    std::ifstream in(path);
    std::vector<std::string> out;
    for (std::string l; std::getline(in, l);) {
        if (!l.empty() && l[0] == '[' && l.find("] ") != std::string::npos) l = l.substr(l.find("] ") + 2);
        out.push_back(l);
    }
    return out;
}

bool has(std::vector<std::string> const& lines, std::string const& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

class PluginProcess : public xvfb_suite {
protected:
    void SetUp() override {
        run = tmp.path().toStdString() + "/run";
        plugins = tmp.path().toStdString() + "/plugins";
        home = tmp.path().toStdString() + "/home";
        for (auto const& d : {plugins, home}) fs::create_directories(d);
        fill_run_dir(TOVAN_RUN_DIR, run, "");
        fs::copy_file(TOVAN_DESK_SOLID, fs::path(run) / "tovan_desk");
        setenv("TOVAN_TEST_PLUGINS", plugins.c_str(), 1);
        setenv("TP_RECORD_DIR", plugins.c_str(), 1);
        old_home = std::getenv("HOME") ? std::getenv("HOME") : "";
        setenv("HOME", home.c_str(), 1);
    }
    void TearDown() override {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        unsetenv("TOVAN_TEST_PLUGINS");
        unsetenv("TP_RECORD_DIR");
        setenv("HOME", old_home.c_str(), 1);
    }
    void add(std::vector<std::string> const& names) {
        for (auto const& n : names) {
            std::string const file = n.find(".so") == std::string::npos ? n + ".so" : n;
            fs::copy_file(fs::path(TP_DIR) / file, fs::path(plugins) / file);
        }
    }
    void start(std::vector<std::string> args) {
        pid = spawn(server->display(), run, run + "/tovan_desk", args, run + "/stderr.txt");
    }
    int finish(std::chrono::seconds limit) {
        int const status = wait_exit(pid, limit);
        pid = -1;
        return status;
    }
    // Waits for a line in a plugin's record; false after 60 s.
    bool wait_record(std::string const& plugin, std::string const& line) {
        auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!has(lines_of(plugins + "/" + plugin + ".rec"), line)) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::yield();
        }
        return true;
    }

    // Clicks the window's close button (as the desk's own process test does).
    void close_by_button(uint32_t window) {
        std::istringstream in(shell(server->display(), "xwininfo -id " + x_windows::id(window)));
        int gx = 0, gy = 0;
        for (std::string line; std::getline(in, line);) {
            if (line.find("Absolute upper-left X:") != std::string::npos)
                gx = std::stoi(line.substr(line.find(':') + 1));
            if (line.find("Absolute upper-left Y:") != std::string::npos)
                gy = std::stoi(line.substr(line.find(':') + 1));
        }
        shell(server->display(),
              "xdotool mousemove " + std::to_string(gx + 244) + " " + std::to_string(gy + 206) + " click 1");
    }

    QTemporaryDir tmp;
    std::string run, plugins, home, old_home;
    pid_t pid = -1;
};

TEST_F(PluginProcess, PluginsLoadOnceTheWindowShowsAndLeaveInReverseOrder) {
    add({"tp5", "tp6", "tp7", "tp8", "tpq", "tpfive", "tpzero", "tpnorec", "tpparent", "tpsib", "tpfw",
         "libtpsibling.so.1"});
    start({"--vynwex", "--on-load", "tp7?color=red"});
    uint32_t const window = x->wait_viewable("Tovan Desk", std::chrono::seconds(60));
    ASSERT_TRUE(window) << read_all(run + "/stderr.txt");
    ASSERT_TRUE(wait_record("tpsib", "lib_start")) << read_all(run + "/VYNDesk.out");

    auto const tp7 = lines_of(plugins + "/tp7.rec");
    std::vector<std::string> calls;
    for (auto const& l : tp7)
        if (l.rfind("command-bytes", 0) != 0) calls.push_back(l);
    ASSERT_GE(calls.size(), 5u);
    EXPECT_EQ(calls[0].rfind("lib_init word1=7 api_version=9 nb=", 0), 0u) << calls[0];
    EXPECT_EQ(calls[1], "loadmsg client=0 window=1 closed=0");
    EXPECT_EQ(calls[2], "window-status \"\"");
    EXPECT_EQ(calls[3], "library_info path=" + plugins + "/tp7.so same_handle=1");
    EXPECT_EQ(calls[4], "lib_start");
    EXPECT_TRUE(has(tp7, "handle_options load color=red"));
    EXPECT_TRUE(has(lines_of(plugins + "/tpsib.rec"), "sibling 42"));
    EXPECT_TRUE(has(lines_of(plugins + "/tpfw.rec"), "lib_init framework started"));

    auto const log = lines_of(run + "/VYNDesk.out");
    auto logged = [&](std::string const& part) {
        for (auto const& l : log)
            if (l.find(part) != std::string::npos) return true;
        return false;
    };
    for (char const* part : {"<tp7> started", "invalid plugin interface 8 (need 7)",
                             "Failed to load lib: error during plugin initialization",
                             "Failed to load lib: :Error in 'get_proc'"})
        EXPECT_TRUE(logged(part)) << part;

    // Closing the window: lib_deinit, then the library's destructor, in
    // reverse load order; the handed-over child gets neither.
    auto const closed = std::chrono::steady_clock::now();
    close_by_button(window);
    int const status = finish(std::chrono::seconds(60));
    EXPECT_LT(std::chrono::steady_clock::now() - closed, std::chrono::seconds(3));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << read_all(run + "/stderr.txt");
    std::vector<std::string> expected;
    for (char const* n : {"tpsib", "tpq", "tpparent", "tpfive", "tp7", "tp6", "tp5"}) {
        expected.push_back(std::string(n) + " lib_deinit");
        expected.push_back(std::string(n) + " destructor");
    }
    std::vector<std::string> order;
    for (auto const& l : lines_of(plugins + "/order.rec"))
        if (l.rfind("tpnorec", 0) != 0 && l.rfind("tp8", 0) != 0) order.push_back(l); // refused at load
    EXPECT_EQ(order, expected);
    EXPECT_EQ(read_all(run + "/stderr.txt").find("Sanitizer"), std::string::npos)
        << read_all(run + "/stderr.txt");
}

TEST_F(PluginProcess, ACrashingLibInitEndsTheProcessAndTheLogNamesIt) {
    add({"tp7", "tpcrash"});
    start({"--vynwex"});
    int const status = finish(std::chrono::seconds(60));
    std::string const err = read_all(run + "/stderr.txt");
#if defined(__SANITIZE_ADDRESS__)
    EXPECT_NE(err.find("AddressSanitizer: SEGV"), std::string::npos) << err;
    EXPECT_FALSE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
#else
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV) << status << err;
#endif
    auto const log = lines_of(run + "/VYNDesk.out");
    ASSERT_FALSE(log.empty());
    EXPECT_NE(log.back().find("Trying to load tpcrash (1)"), std::string::npos) << log.back();
}

} // namespace
