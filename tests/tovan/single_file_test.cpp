// The two single files as a user gets them: build/tovan_desk.run and
// build/tovan_client.run copied into an empty folder outside the build tree,
// started from there with a fresh HOME, under Xvfb, against tovan_relay on
// 127.0.0.1. The real launcher unpacks into the per-user cache under /tmp;
// each launch's slot is read from its own "Starting EXE:" line, so launches
// of other runs on the machine are never looked at.
#include "tests/launcher/launch_process.h"
#include "tests/support/relay_process.h"
#include "tests/tovan/xvfb_suite.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <tuple>
#include <vector>

namespace {

using namespace tovan_test;
using launch_test::lines_with;
using launch_test::read_file;
using test_support::relay_process;
namespace fs = std::filesystem;
using std::chrono::seconds;

std::string const desk_file = TOVAN_DESK_RUN, client_file = TOVAN_CLIENT_RUN;

// The value of a JSON text field in one relay log line ("" when absent).
std::string field(std::string const& line, std::string const& name) {
    std::string const key = "\"" + name + "\":\"";
    auto at = line.find(key);
    if (at == std::string::npos) return {};
    at += key.size();
    return line.substr(at, line.find('"', at) - at);
}

bool killed_by_itself(int status) {
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

class SingleFile : public xvfb_suite {
protected:
    // An empty folder of its own holding only copies of the two files.
    std::string fresh_dir(std::string const& name) {
        std::string const dir = tmp.path + "/" + name;
        fs::create_directories(dir);
        for (std::string const& f : {desk_file, client_file})
            fs::copy_file(f, dir + "/" + fs::path(f).filename().string());
        return dir;
    }

    // Starts a launcher with the whole argument vector, in dir, with HOME
    // home (made when missing); its standard error goes to a file of its own.
    pid_t start(std::string const& dir, std::string const& program, std::vector<std::string> const& argv,
                std::string const& home) {
        fs::create_directories(home);
        std::string const old_home = std::getenv("HOME") ? std::getenv("HOME") : "";
        setenv("HOME", home.c_str(), 1);
        std::string const err = tmp.path + "/stderr" + std::to_string(live.size() + done.size()) + ".txt";
        pid_t const pid = spawn_argv(server->display(), dir, program, argv, err);
        setenv("HOME", old_home.c_str(), 1);
        live.push_back(pid);
        err_of[pid] = err;
        return pid;
    }
    std::string err(pid_t launcher) { return read_file(err_of[launcher]); }

    // The slot the launch started its program in; "" when it did not within the limit.
    std::string slot_of(pid_t launcher) {
        std::string slot;
        wait_until(
            [&] {
                auto const lines = lines_with(err(launcher), "Starting EXE: ");
                if (!lines.empty()) slot = fs::path(lines[0].substr(14)).parent_path().string();
                return !slot.empty();
            },
            seconds(60));
        return slot;
    }
    // The program a launcher runs (its only child); 0 when there is none.
    static pid_t program_of(pid_t launcher) {
        std::string const p = "/proc/" + std::to_string(launcher) + "/task/" + std::to_string(launcher);
        std::ifstream in(p + "/children");
        pid_t child = 0;
        return in >> child ? child : 0;
    }
    // The launcher's end (its wait status); it has cleaned up by then.
    int finish(pid_t launcher) {
        live.erase(std::remove(live.begin(), live.end(), launcher), live.end());
        done.push_back(launcher);
        return wait_exit(launcher, seconds(60));
    }
    void TearDown() override {
        for (pid_t pid : live) {
            if (pid_t const program = program_of(pid)) ::kill(program, SIGKILL);
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }

    std::string wait_window(std::string const& title) {
        uint32_t w = x->wait_viewable(title, seconds(60));
        return w ? x_windows::id(w) : std::string();
    }
    void keys(std::string const& window, std::string const& xdotool_keys) {
        ASSERT_TRUE(x->focus(uint32_t(std::stoul(window)), seconds(60))) << window;
        shell(server->display(), "xdotool " + xdotool_keys);
    }
    void click(std::string const& window, int at_x, int at_y) {
        shell(server->display(), "xdotool mousemove --window " + window + " " + std::to_string(at_x) + " " +
                                     std::to_string(at_y) + " click 1");
    }
    // True once the program's log holds "connection state N".
    bool reaches(std::string const& log, int state) {
        return wait_until(
            [&] {
                return read_file(log).find("connection state " + std::to_string(state) + "\n") !=
                       std::string::npos;
            },
            seconds(60));
    }

    launch_test::temp_dir tmp; // under TMPDIR or /tmp: outside the build tree
    std::vector<pid_t> live, done;
    std::map<pid_t, std::string> err_of;
};

// What a slot holds once its launch has ended normally: the directories made
// for entry paths, the lock file and marker, and the program's log.
std::vector<std::string> left_in_slot(std::string const& log) {
    return {log, "conf/", "conf_static/", "remove.dir", "translations/", "writeacc.dat"};
}

TEST_F(SingleFile, DeskAndClientMeetChatEndAndLeaveTheirSlots) {
    relay_process relay;
    std::string const proxy = "127.0.0.1:" + std::to_string(relay.port());
    std::string const dir = fresh_dir("downloads");
    std::string const code_file = tmp.path + "/code.txt";
    // A session message opens the named-message channel, on which each end
    // reports the chat lines it shows to the relay, the witness here.
    std::vector<std::string> const common = {"--vynwex", "--proxy-address",   proxy, "--force-transport",
                                             "direct",   "--session-message", "a=b"};

    auto desk_args = common;
    desk_args.insert(desk_args.begin(), dir + "/tovan_desk.run");
    for (char const* a : {"--username", "u", "--password", "p", "--get-code", "--output-file"})
        desk_args.push_back(a);
    desk_args.push_back(code_file);
    pid_t const desk = start(dir, dir + "/tovan_desk.run", desk_args, tmp.path + "/home-desk");
    std::string const desk_slot = slot_of(desk);
    ASSERT_NE(desk_slot, "") << err(desk);
    EXPECT_EQ(fs::path(desk_slot).parent_path().filename(), "Tovan Desk");

    // The desk gets its code from the relay.
    std::string const session = relay.wait_log({"\"event\":\"session\""}, seconds(60));
    ASSERT_NE(session, "") << err(desk);
    std::string const code = field(session, "code"), sid = field(session, "sid");
    ASSERT_TRUE(wait_until([&] { return read_file(code_file) == code + " " + sid; })) << read_file(code_file);

    // The client joins by it; the role came from the name it was packed under.
    auto client_args = common;
    client_args.insert(client_args.begin(), dir + "/tovan_client.run");
    client_args.push_back("--connect");
    client_args.push_back(code);
    pid_t const client = start(dir, dir + "/tovan_client.run", client_args, tmp.path + "/home-client");
    std::string const client_slot = slot_of(client);
    ASSERT_NE(client_slot, "") << err(client);
    EXPECT_FALSE(fs::exists(client_slot + "/server.pem")); // the desk's key stays with the desk
    std::string const desk_log = desk_slot + "/VYNDesk.out", client_log = client_slot + "/VYNClient.out";
    ASSERT_TRUE(reaches(client_log, 6)) << err(client);
    ASSERT_TRUE(reaches(desk_log, 6)) << err(desk);
    EXPECT_NE(relay.wait_log({"legs-joined", sid}), "");

    // A line typed at each end arrives at the other.
    std::string const desk_win = wait_window("Tovan Desk"), client_win = wait_window("Tovan Client");
    ASSERT_FALSE(desk_win.empty());
    ASSERT_FALSE(client_win.empty());
    shell(server->display(), "xdotool windowmove --sync " + client_win + " 0 0");
    shell(server->display(), "xdotool windowmove --sync " + desk_win + " 600 0");
    relay.admin("server-call " + sid + " both send_chat_live");
    keys(desk_win, "type --delay 5 'deskword'");
    keys(desk_win, "key Return");
    keys(client_win, "type --delay 5 'clientword'");
    keys(client_win, "key Return");
    EXPECT_NE(relay.wait_log({"\"chat_live\"", "\"role\":\"client\"", "deskword"}, seconds(30)), "");
    EXPECT_NE(relay.wait_log({"\"chat_live\"", "\"role\":\"desk\"", "clientword"}, seconds(30)), "");

    // Disconnect at the desk ends both.
    click(desk_win, 32, 70);
    std::string const box = wait_window("Question");
    if (!box.empty()) {
        keys(box, "key Return");
        EXPECT_TRUE(x->wait_gone(uint32_t(std::stoul(box)), seconds(60)));
    }
    EXPECT_TRUE(reaches(desk_log, 0));
    EXPECT_TRUE(reaches(client_log, 0));

    // Both close; each launcher then deletes what it unpacked and ends by its
    // own SIGKILL. The slots keep only what a later launch reclaims.
    for (auto [pid, win, slot, log] : {std::tuple{desk, desk_win, desk_slot, "VYNDesk.out"},
                                       std::tuple{client, client_win, client_slot, "VYNClient.out"}}) {
        click(win, 244, 206);
        EXPECT_TRUE(killed_by_itself(finish(pid))) << err(pid);
        EXPECT_EQ(launch_test::tree(slot), left_in_slot(log)) << slot;
        EXPECT_TRUE(lines_with(err(pid), "Unpacking ").empty()) << "a log file gets no progress note";
        EXPECT_EQ(lines_with(err(pid), "Sanitizer"), std::vector<std::string>{}) << err(pid);
    }
    EXPECT_EQ(fs::path(client_slot).parent_path().filename(), "Tovan Client");

    // Two desks started at once take two slots, one of them the slot the
    // first desk left (reclaimed: its old log is gone).
    pid_t const a =
        start(dir, dir + "/tovan_desk.run", {dir + "/tovan_desk.run", "--vynwex"}, tmp.path + "/home-a");
    pid_t const b =
        start(dir, dir + "/tovan_desk.run", {dir + "/tovan_desk.run", "--vynwex"}, tmp.path + "/home-b");
    std::string const slot_a = slot_of(a), slot_b = slot_of(b);
    ASSERT_NE(slot_a, "") << err(a);
    ASSERT_NE(slot_b, "") << err(b);
    EXPECT_NE(slot_a, slot_b);
    EXPECT_TRUE(slot_a == desk_slot || slot_b == desk_slot) << slot_a << " " << slot_b << " " << desk_slot;
    EXPECT_EQ(read_file(desk_slot + "/VYNDesk.out").find("connection state 6"), std::string::npos);
    for (pid_t pid : {a, b}) {
        std::string const slot = pid == a ? slot_a : slot_b;
        ASSERT_TRUE(wait_until(
            [&] { return read_file(slot + "/VYNDesk.out").find("Starting GUI") != std::string::npos; }));
        pid_t const program = program_of(pid);
        ASSERT_GT(program, 0);
        ::kill(program, SIGTERM);
        EXPECT_TRUE(killed_by_itself(finish(pid))) << err(pid);
        EXPECT_FALSE(fs::exists(slot + "/tovan_desk"));
    }
}

// Where and how a user may start the files: the program still finds its
// role and gets its arguments as given, and the launcher writes nothing
// beside the file. (Newer kernels start an empty argument vector with one
// empty argument instead; either way the name is not there to go by.) As
// root the read-only folder is writable all the same, so what shows there is
// that nothing was written beside the file.
TEST_F(SingleFile, StartsFromAnyPlaceAndPassesArgumentsIntact) {
    struct {
        char const* what;
        std::string folder;  // below the test's folder
        std::string file;    // which of the two
        std::string started; // the name started ("" for the file itself)
        bool read_only, argc0;
        std::vector<std::string> args;
        std::string title;
    } const cases[] = {
        {"read-only directory",
         "ro",
         "tovan_desk.run",
         "",
         true,
         false,
         {"--vynwex", "--add-title", "a b"},
         "Tovan Desk a b"},
        {"path with blanks",
         "with blanks/and more",
         "tovan_client.run",
         "",
         false,
         false,
         {"--vynwex"},
         "Tovan Client"},
        {"symbolic link",
         "linked",
         "tovan_client.run",
         "support",
         false,
         false,
         {"--vynwex", "--add-title", "x  y"},
         "Tovan Client x  y"},
        {"argc 0", "bare", "tovan_client.run", "", false, true, {}, "Tovan Client"},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.what);
        std::string const dir = tmp.path + "/" + c.folder;
        fs::create_directories(dir);
        fs::copy_file(c.file == "tovan_desk.run" ? desk_file : client_file, dir + "/" + c.file);
        std::string program = dir + "/" + c.file;
        if (!c.started.empty()) {
            fs::create_symlink(c.file, dir + "/" + c.started);
            program = dir + "/" + c.started;
        }
        if (c.read_only) {
            ::chmod(program.c_str(), 0555);
            ::chmod(dir.c_str(), 0555);
        }
        std::vector<std::string> argv;
        if (!c.argc0) {
            argv.push_back(program);
            argv.insert(argv.end(), c.args.begin(), c.args.end());
        }
        auto const before = launch_test::tree(dir);
        pid_t const launcher = start(tmp.path, program, argv, tmp.path + "/home");
        std::string const slot = slot_of(launcher);
        ASSERT_NE(slot, "") << err(launcher);
        std::string const win = wait_window(c.title);
        ASSERT_FALSE(win.empty()) << read_file(
            slot + (c.file == "tovan_desk.run" ? "/VYNDesk.out" : "/VYNClient.out"));
        click(win, 244, 206);
        EXPECT_TRUE(killed_by_itself(finish(launcher))) << err(launcher);
        EXPECT_FALSE(fs::exists(slot + "/" + c.file.substr(0, c.file.size() - 4)));
        EXPECT_EQ(launch_test::tree(dir), before);
        ::chmod(dir.c_str(), 0700);
    }
}

// A damaged package refuses with the launcher's error line; the program is
// never started, and a cut archive leaves no part of it in the slot.
TEST(SingleFileDamaged, RefusesWithTheErrorLineAndStartsNothing) {
    std::string const whole = read_file(desk_file);
    std::string const marker = std::string("END_OF_BINARY") + "\n";
    std::size_t const at = whole.find(marker);
    ASSERT_NE(at, std::string::npos);
    std::size_t const record = at + marker.size(); // type, then the 4-byte length
    auto u32 = [&](std::size_t i) {
        return std::uint32_t(std::uint8_t(whole[i])) | std::uint32_t(std::uint8_t(whole[i + 1])) << 8 |
               std::uint32_t(std::uint8_t(whole[i + 2])) << 16 |
               std::uint32_t(std::uint8_t(whole[i + 3])) << 24;
    };
    auto put_u32 = [](std::string& s, std::size_t i, std::uint32_t v) {
        for (int k = 0; k < 4; ++k) s[i + k] = char(v >> (8 * k));
    };
    ASSERT_EQ(whole[record], 7); // the LZMA archive comes first
    std::uint32_t const length = u32(record + 1);
    ASSERT_LT(record + 5 + length, whole.size());

    std::string cut = whole.substr(0, record + 5 + length / 2);
    put_u32(cut, record + 1, length / 2);
    std::string bad_table = whole;
    bad_table[record + 5 + length] = 11; // the record after the archive: no such type
    std::string past_end = whole;
    put_u32(past_end, record + 1, std::uint32_t(whole.size()));

    struct {
        char const* what;
        std::string const& bytes;
        bool claims_slot;
    } const cases[] = {
        {"archive cut short", cut, true},
        {"record table damaged", bad_table, true},
        {"record longer than the file", past_end, false},
    };
    launch_test::temp_dir tmp;
    for (auto const& c : cases) {
        SCOPED_TRACE(c.what);
        std::string const path = tmp.path + "/tovan_desk.run";
        launch_test::write_file(path, c.bytes, 0755);
        auto const res = launch_test::run(path, {path, "--vynwex"}, {});
        EXPECT_EQ(res.signal, SIGKILL) << res.err;
        EXPECT_EQ(lines_with(res.err, "Error running launch, last system error: '").size(), 1u) << res.err;
        EXPECT_TRUE(lines_with(res.err, "Starting EXE").empty()) << res.err;
        auto const claimed = lines_with(res.err, "LD_LIBRARY_PATH=");
        ASSERT_EQ(claimed.size(), c.claims_slot ? 1u : 0u) << res.err;
        if (c.bytes.size() < whole.size() && !claimed.empty()) {
            EXPECT_FALSE(fs::exists(claimed[0].substr(16) + "/tovan_desk")) << res.err;
        }
    }
}

} // namespace
