// What the process tests of the desk and the client share: run
// directories made from the build's, the programs started under the suite's
// Xvfb with a HOME of their own, the waits on their logs and windows, and
// the meeting of a desk and a client through a relay.
#pragma once

#include "tests/support/relay_process.h"
#include "tests/tovan/xvfb_suite.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace tovan_test {

inline std::string read_all(std::string const& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline int count_of(std::string const& text, std::string const& part) {
    int n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

// The value of a JSON field in one relay log line ("" when absent).
inline std::string field(std::string const& line, std::string const& name) {
    std::string const key = "\"" + name + "\":";
    auto at = line.find(key);
    if (at == std::string::npos) return {};
    at += key.size();
    if (line[at] == '"') {
        auto end = line.find('"', at + 1);
        return line.substr(at + 1, end - at - 1);
    }
    auto end = line.find_first_of(",}", at);
    return line.substr(at, end - at);
}

// The relay log lines of one event that hold part (any, when empty).
inline std::vector<std::string> event_lines(std::string const& log, std::string const& event,
                                            std::string const& part = "") {
    std::vector<std::string> lines;
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);)
        if (line.find("\"event\":\"" + event + "\"") != std::string::npos &&
            line.find(part) != std::string::npos)
            lines.push_back(line);
    return lines;
}
inline int events_with(std::string const& log, std::string const& event, std::string const& part = "") {
    return int(event_lines(log, event, part).size());
}

// Every "Routing plugin NAME from channel -1 to N" of a program's log from
// `from` on; a name routed twice fails.
inline std::map<std::string, int> routes(std::string const& log, std::size_t from = 0) {
    std::map<std::string, int> out;
    std::regex const line("Routing plugin (\\S+) from channel -1 to (-?[0-9]+)");
    for (std::sregex_iterator m(log.begin() + std::ptrdiff_t(from), log.end(), line), end; m != end; ++m)
        EXPECT_TRUE(out.emplace((*m)[1], std::stoi((*m)[2])).second) << "routed twice: " << (*m)[1];
    return out;
}

class process_suite : public xvfb_suite {
protected:
    // The build's run directory, the programs hard-linked (copied where the
    // scratch folder is on another file system, as a tmpfs /tmp is), with a
    // HOME of its own. The role comes from the name either way. With solid,
    // the program of flat-colour pictures under the same name; without conf,
    // no configuration. A second directory for one name gets a number.
    std::string make_run_dir(std::string const& name, bool solid = false, bool conf = true) {
        namespace fs = std::filesystem;
        fs::path dir = fs::path(tmp.path().toStdString()) / name;
        for (int n = 2; fs::exists(dir); ++n)
            dir = fs::path(tmp.path().toStdString()) / (name + std::to_string(n));
        fill_run_dir(TOVAN_RUN_DIR, dir.string(), solid ? "" : name, conf);
        if (solid) fs::copy_file(TOVAN_DESK_SOLID, dir / name);
        return dir.string();
    }

    // Started with HOME in the run directory and env's variables on top.
    pid_t start(std::string const& dir, std::string const& name, std::vector<std::string> const& args,
                std::map<std::string, std::string> env = {}) {
        env.emplace("HOME", dir + "/home");
        std::map<std::string, std::string> old;
        for (auto const& [k, v] : env) {
            old[k] = std::getenv(k.c_str()) ? std::getenv(k.c_str()) : "";
            setenv(k.c_str(), v.c_str(), 1);
        }
        // Test plugins record their calls in the run directory unless the
        // test chose a place.
        bool const own_records = !std::getenv("TP_RECORD_DIR");
        if (own_records) {
            std::filesystem::create_directories(dir + "/rec");
            setenv("TP_RECORD_DIR", (dir + "/rec").c_str(), 1);
        }
        pid_t pid = spawn(server->display(), dir, dir + "/" + name, args, dir + "/stderr.txt");
        for (auto const& [k, v] : old) setenv(k.c_str(), v.c_str(), 1);
        if (own_records) unsetenv("TP_RECORD_DIR");
        live.push_back(pid);
        return pid;
    }
    int finish(pid_t pid) {
        live.erase(std::remove(live.begin(), live.end(), pid), live.end());
        return wait_exit(pid, std::chrono::seconds(60));
    }
    void TearDown() override {
        for (pid_t pid : live) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }

    std::string sh(std::string const& command) { return shell(server->display(), command); }
    // Waits on the X server's events, not xdotool search: that exits on the
    // error of a window going while it looks, as an answered box does.
    std::string wait_window(std::string const& title, std::chrono::seconds limit = std::chrono::seconds(60)) {
        uint32_t w = x->wait_viewable(title, limit);
        return w ? x_windows::id(w) : std::string();
    }
    // Keys go only once the window holds the focus.
    void keys(std::string const& window, std::string const& xdotool_keys) {
        ASSERT_TRUE(x->focus(uint32_t(std::stoul(window)), std::chrono::seconds(60))) << window;
        sh("xdotool " + xdotool_keys);
    }
    void type_line(std::string const& window, std::string const& text) {
        keys(window, "type --delay 5 '" + text + "'");
        keys(window, "key Return");
    }
    // Presses key in the box and waits for the box to go.
    void answer(std::string const& box, char const* key) {
        keys(box, std::string("key ") + key);
        EXPECT_TRUE(x->wait_gone(uint32_t(std::stoul(box)), std::chrono::seconds(60))) << box;
    }
    void screenshot(std::string const& name) {
        std::filesystem::create_directories(SCREENSHOT_DIR);
        sh("import -window root " + std::string(SCREENSHOT_DIR) + "/" + name + ".png");
    }
    // Clicks the close button; the program ends with 0, clean under the sanitizers.
    void close_cleanly(pid_t pid, std::string const& win, std::string const& dir) {
        sh("xdotool mousemove --window " + win + " 244 206 click 1");
        int const status = finish(pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << read_all(dir + "/stderr.txt");
        EXPECT_EQ(read_all(dir + "/stderr.txt").find("Sanitizer"), std::string::npos)
            << read_all(dir + "/stderr.txt");
    }
    // The arguments that reach the relay directly.
    static std::vector<std::string> relay_args(test_support::relay_process const& relay) {
        return {"--vynwex", "--proxy-address", "127.0.0.1:" + std::to_string(relay.port()),
                "--force-transport", "direct"};
    }
    // Both windows open centred: they move apart, so that a click meant for
    // one never lands on the other, whichever is on top.
    void move_apart(std::string const& client_win, std::string const& desk_win) {
        sh("xdotool windowmove --sync " + client_win + " 0 0");
        sh("xdotool windowmove --sync " + desk_win + " 600 0");
    }
    // Disconnect pressed at the desk, its question answered (when one comes
    // within question); true once both ends are back at state 0.
    bool disconnect_at_desk(std::string const& desk_log, std::string const& client_log,
                            std::string const& desk_win,
                            std::chrono::seconds question = std::chrono::seconds(60)) {
        sh("xdotool mousemove --window " + desk_win + " 32 70 click 1");
        if (std::string const box = wait_window("Question", question); !box.empty()) answer(box, "Return");
        return reaches(desk_log, 0) && reaches(client_log, 0);
    }
    // True once the program's log holds "connection state N".
    bool reaches(std::string const& log, int state, std::chrono::seconds limit = std::chrono::seconds(30)) {
        return wait_until(
            [&] {
                return read_all(log).find("connection state " + std::to_string(state) + "\n") !=
                       std::string::npos;
            },
            limit);
    }

    // A desk and a client (each with args) in one session through relay, both
    // connected; the relay's "session" line. Given an earlier meeting's ends,
    // the programs start again in its run directories (and so HOMEs). Given
    // desk_held_until, the desk stands still (SIGSTOP) from the client's start
    // until that holds, so the client gets that far before the session is up.
    struct ends {
        std::string desk_dir, client_dir, desk_log, client_log, session;
        pid_t desk_pid = 0, client_pid = 0;
    };
    // What one end alone gets: more arguments, and the flavour that its
    // conf/branch.txt names (none when empty).
    struct end_setup {
        std::vector<std::string> args;
        std::string flavour;
    };
    // With again, the run directories (and HOMEs) of an earlier meeting; with
    // desk_held_until, the desk stopped from the client's start until it holds.
    ends meet(test_support::relay_process& relay, std::vector<std::string> const& args,
              end_setup const& desk = {}, end_setup const& client = {}, ends const* again = nullptr,
              std::function<bool(ends const&)> desk_held_until = {}) {
        ends e{again ? again->desk_dir : make_run_dir("tovan_desk"),
               again ? again->client_dir : make_run_dir("tovan_client"),
               "",
               "",
               "",
               0,
               0};
        e.desk_log = e.desk_dir + "/VYNDesk.out";
        e.client_log = e.client_dir + "/VYNClient.out";
        for (auto const& [dir, setup] : {std::pair{e.desk_dir, &desk}, std::pair{e.client_dir, &client}})
            if (!setup->flavour.empty())
                std::ofstream(dir + "/conf/branch.txt") << "flavor=" << setup->flavour;
        // The earlier logs go aside first, so that the waits below read only
        // this meeting's lines.
        for (auto const& log : {e.desk_log, e.client_log}) ::rename(log.c_str(), (log + ".before").c_str());
        int const sessions_before = count_of(relay.log_text(), "\"event\":\"session\"");
        auto desk_args = args;
        desk_args.insert(desk_args.end(), desk.args.begin(), desk.args.end());
        for (char const* a : {"--username", "u", "--password", "p", "--get-code"}) desk_args.push_back(a);
        e.desk_pid = start(e.desk_dir, "tovan_desk", desk_args);
        wait_until([&] { return count_of(relay.log_text(), "\"event\":\"session\"") > sessions_before; },
                   std::chrono::seconds(60));
        std::string const relay_log = relay.log_text();
        auto const last = relay_log.rfind("\"event\":\"session\"");
        if (last != std::string::npos) {
            auto const from = relay_log.rfind('\n', last) + 1; // npos + 1 is 0
            e.session = relay_log.substr(from, relay_log.find('\n', last) - from);
        }
        EXPECT_NE(e.session, "") << read_all(e.desk_dir + "/stderr.txt");
        auto client_args = args;
        client_args.insert(client_args.end(), client.args.begin(), client.args.end());
        client_args.insert(client_args.end(), {"--connect", field(e.session, "code")});
        if (desk_held_until) ::kill(e.desk_pid, SIGSTOP);
        e.client_pid = start(e.client_dir, "tovan_client", client_args);
        if (desk_held_until) {
            EXPECT_TRUE(wait_until([&] { return desk_held_until(e); }, std::chrono::seconds(60)))
                << read_all(e.client_log);
            ::kill(e.desk_pid, SIGCONT);
        }
        EXPECT_TRUE(reaches(e.client_log, 6, std::chrono::seconds(60)))
            << read_all(e.client_dir + "/stderr.txt");
        EXPECT_TRUE(reaches(e.desk_log, 6));
        return e;
    }
    QTemporaryDir tmp;
    std::vector<pid_t> live;
};

} // namespace tovan_test
