// The real programs meet: tovan_relay, the desk and the client (the same
// binary by its two names) under Xvfb on 127.0.0.1, each end with a fresh
// HOME. The desk logs in and gets a code, the client joins by it, both reach
// the connected state through end-to-end TLS, lines typed at each end reach
// the other, both survive the relay dropping a connection and breaking the
// legs, and a disconnect ends both. The relay's event log is the witness.
#include "tests/support/relay_process.h"
#include "tests/tovan/x_windows.h"
#include "tests/tovan/xvfb_server.h"

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
#include <sstream>
#include <sys/wait.h>
#include <thread>

namespace {

using namespace tovan_test;
using test_support::relay_process;
namespace fs = std::filesystem;
using std::chrono::seconds;

std::string read_all(std::string const& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string trimmed(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s;
}

// Polls cond until it holds; false at the limit.
bool wait_until(std::function<bool()> const& cond, seconds limit = seconds(30)) {
    auto const deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return cond();
}

int count_of(std::string const& text, std::string const& part) {
    int n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

// The value of a JSON field in one relay log line ("" when absent).
std::string field(std::string const& line, std::string const& name) {
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

// Whole TLS records from start to end: type 20-23, version 3.x, length.
bool only_tls_records(std::string const& bytes, int* records) {
    std::size_t at = 0;
    *records = 0;
    while (at < bytes.size()) {
        if (bytes.size() - at < 5) return false;
        auto const type = static_cast<unsigned char>(bytes[at]);
        if (type < 20 || type > 23 || bytes[at + 1] != 3) return false;
        std::size_t const len =
            static_cast<unsigned char>(bytes[at + 3]) * 256u + static_cast<unsigned char>(bytes[at + 4]);
        at += 5 + len;
        ++*records;
    }
    return at == bytes.size();
}

class SessionProcess : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        server = new xvfb_server(1023, 767);
        x = new x_windows(server->display());
    }
    static void TearDownTestSuite() {
        delete x;
        x = nullptr;
        delete server;
        server = nullptr;
    }

    // The build's run directory, the programs hard-linked, with a HOME of its own.
    std::string make_run_dir(std::string const& name) {
        fs::path dir = fs::path(tmp.path().toStdString()) / name;
        fs::create_directories(dir / "home");
        for (char const* part :
             {"conf", "conf_static", "translations", "dialogs.ini", "dh.pem", "server.pem"})
            fs::copy(fs::path(TOVAN_RUN_DIR) / part, dir / part, fs::copy_options::recursive);
        fs::create_hard_link(fs::path(TOVAN_RUN_DIR) / name, dir / name);
        return dir.string();
    }

    pid_t start(std::string const& dir, std::string const& name, std::vector<std::string> const& args) {
        std::string const old_home = std::getenv("HOME") ? std::getenv("HOME") : "";
        setenv("HOME", (dir + "/home").c_str(), 1);
        pid_t pid = spawn(server->display(), dir, dir + "/" + name, args, dir + "/stderr.txt");
        setenv("HOME", old_home.c_str(), 1);
        live.push_back(pid);
        return pid;
    }
    // A desk that logs in to the relay (user u, password p) and gets a code
    // at once; the relay's session event ("" when none came in time).
    std::string start_desk_with_code(relay_process& relay, std::string const& dir) {
        start(dir, "tovan_desk",
              {"--vynwex", "--proxy-address", "127.0.0.1:" + std::to_string(relay.port()),
               "--force-transport", "direct", "--username", "u", "--password", "p", "--get-code"});
        return relay.wait_log({"\"event\":\"session\""}, seconds(60));
    }
    int finish(pid_t pid) {
        live.erase(std::remove(live.begin(), live.end(), pid), live.end());
        return wait_exit(pid, seconds(60));
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
    std::string wait_window(std::string const& title) {
        uint32_t w = x->wait_viewable(title, seconds(60));
        return w ? x_windows::id(w) : std::string();
    }
    // Keys go only once the window holds the focus.
    void keys(std::string const& window, std::string const& xdotool_keys) {
        ASSERT_TRUE(x->focus(uint32_t(std::stoul(window)), seconds(60))) << window;
        sh("xdotool " + xdotool_keys);
    }
    void type_line(std::string const& window, std::string const& text) {
        keys(window, "type --delay 5 '" + text + "'");
        keys(window, "key Return");
    }
    // Presses key in the box and waits for the box to go.
    void answer(std::string const& box, char const* key) {
        keys(box, std::string("key ") + key);
        EXPECT_TRUE(x->wait_gone(uint32_t(std::stoul(box)), seconds(60))) << box;
    }
    void screenshot(std::string const& name) {
        fs::create_directories(SCREENSHOT_DIR);
        sh("import -window root " + std::string(SCREENSHOT_DIR) + "/" + name + ".png");
    }
    // True once the program's log holds "connection state N".
    bool reaches(std::string const& log, int state, seconds limit = seconds(30)) {
        return wait_until(
            [&] {
                return read_all(log).find("connection state " + std::to_string(state) + "\n") !=
                       std::string::npos;
            },
            limit);
    }

    static xvfb_server* server;
    static x_windows* x;
    QTemporaryDir tmp;
    std::vector<pid_t> live;
};

xvfb_server* SessionProcess::server = nullptr;
x_windows* SessionProcess::x = nullptr;

TEST_F(SessionProcess, DeskAndClientMeetChatSurviveBreaksAndDisconnect) {
    relay_process relay({"--require-login", "u:p"});
    std::string const proxy = "127.0.0.1:" + std::to_string(relay.port());
    std::vector<std::string> const common = {"--vynwex", "--proxy-address",   proxy, "--force-transport",
                                             "direct",   "--session-message", "a=b"};
    std::string const desk_dir = make_run_dir("tovan_desk");
    std::string const client_dir = make_run_dir("tovan_client");
    std::string const code_file = desk_dir + "/code.txt", notes = desk_dir + "/n.txt";
    std::string const desk_log = desk_dir + "/VYNDesk.out", client_log = client_dir + "/VYNClient.out";

    auto desk_args = common;
    for (char const* a : {"--username", "u", "--password", "p", "--get-code", "--output-file"})
        desk_args.push_back(a);
    desk_args.push_back(code_file);
    desk_args.push_back("--notification-file");
    desk_args.push_back(notes);
    pid_t const desk = start(desk_dir, "tovan_desk", desk_args);

    // The code: in the code file as "code sid", and in the notifications.
    std::string const session = relay.wait_log({"\"event\":\"session\""}, std::chrono::seconds(60));
    ASSERT_NE(session, "") << read_all(desk_dir + "/stderr.txt");
    std::string const code = field(session, "code"), sid = field(session, "sid");
    ASSERT_TRUE(wait_until([&] { return read_all(code_file) == code + " " + sid; })) << read_all(code_file);
    auto const colon = sid.find(':');
    std::string const expected_notes =
        "16 " + sid.substr(0, colon) + "\n32 " + sid.substr(colon + 1) + "\n1 " + code + "\n";
    ASSERT_TRUE(wait_until([&] { return read_all(notes).rfind(expected_notes, 0) == 0; })) << read_all(notes);
    EXPECT_NE(relay.wait_log({"\"bind\"", "\"role\":\"desk\"", "\"method\":48"}), "");
    EXPECT_NE(relay.log_text().find("\"method\":33"), std::string::npos); // logged in first
    ASSERT_TRUE(reaches(desk_log, 5));

    // Everything the desk sends on its legs is kept from here on.
    std::string const copy = tmp.filePath("desk-leg.bin").toStdString();
    relay.admin("copy-leg " + sid + " desk " + copy);

    // openssl joined to the desk's waiting leg: the desk's certificate, a DHE suite.
    std::string const joined = relay.admin("join-leg " + sid + " desk listen");
    std::string const port = trimmed(joined.substr(joined.find("port ") + 5));
    std::string const tls = sh("timeout 30 openssl s_client -connect 127.0.0.1:" + port +
                               " -showcerts -no_tls1_3 </dev/null 2>&1");
    EXPECT_NE(tls.find("DHE-"), std::string::npos) << tls;
    std::string const pem = read_all(desk_dir + "/server.pem");
    std::string const cert = pem.substr(0, pem.find("-----END CERTIFICATE-----"));
    EXPECT_NE(tls.find(cert.substr(cert.size() - 200)), std::string::npos) << tls;
    EXPECT_NE(relay.wait_log({"leg-port-closed"}), "");

    pid_t const client = start(client_dir, "tovan_client", [&] {
        auto a = common;
        a.push_back("--connect");
        a.push_back(code);
        return a;
    }());
    ASSERT_TRUE(reaches(client_log, 6, seconds(60))) << read_all(client_dir + "/stderr.txt");
    ASSERT_TRUE(reaches(desk_log, 6));
    std::string const client_bind = relay.wait_log({"\"bind\"", "\"role\":\"client\"", "\"method\":37"});
    EXPECT_NE(client_bind, "");
    EXPECT_NE(relay.wait_log({"legs-joined", sid}), "");
    ASSERT_TRUE(wait_until([&] { return read_all(notes).find("2 0\n") != std::string::npos; }));
    // Each end's session message reached the server once.
    EXPECT_TRUE(wait_until([&] { return count_of(relay.log_text(), "session_message") == 2; }))
        << relay.log_text();

    std::string const desk_win = wait_window("Tovan Desk"), client_win = wait_window("Tovan Client");
    ASSERT_FALSE(desk_win.empty());
    ASSERT_FALSE(client_win.empty());
    sh("xdotool windowmove --sync " + client_win + " 0 0");
    sh("xdotool windowmove --sync " + desk_win + " 600 0");

    // Chat both ways; each end reports the lines it shows to the server.
    relay.admin("server-call " + sid + " both send_chat_live");
    type_line(desk_win, "deskword");
    type_line(client_win, "clientword");
    EXPECT_NE(relay.wait_log({"\"chat_live\"", "\"role\":\"client\"", "deskword"}, seconds(30)), "");
    EXPECT_NE(relay.wait_log({"\"chat_live\"", "\"role\":\"desk\"", "clientword"}, seconds(30)), "");
    screenshot("session-chat");

    // The relay drops the client's connection: the client comes back by its
    // session id; the desk's leg was closed with it and comes back too. The
    // relay now refuses creates: reconnecting never makes one, so the desk
    // shows nothing of it.
    relay.admin("refuse-create on");
    std::size_t const binds_before = count_of(relay.log_text(), "\"bind\"");
    relay.admin("drop " + field(client_bind, "conn"));
    ASSERT_TRUE(wait_until([&] { return count_of(relay.log_text(), "\"bind\"") >= int(binds_before) + 2; },
                           seconds(10)))
        << relay.log_text();
    // The client resolved by code first, by its session id after the drop.
    std::vector<bool> resolve_by_sid;
    {
        std::map<std::string, std::string> bodies; // by connection and call id
        std::istringstream in(relay.log_text());
        for (std::string line; std::getline(in, line);) {
            std::string const call = field(line, "conn") + "/" + field(line, "id");
            if (line.find("\"event\":\"rpc-call\"") != std::string::npos) bodies[call] = field(line, "body");
            if (line.find("\"event\":\"control-call\"") != std::string::npos && field(line, "method") == "47")
                resolve_by_sid.push_back(bodies[call].find(sid) != std::string::npos);
        }
    }
    EXPECT_EQ(resolve_by_sid, (std::vector<bool>{false, true}));
    EXPECT_NE(relay.wait_log({"\"bind\"", "\"method\":21"}), "");

    // Then both legs: a line typed meanwhile arrives once.
    int const joins = count_of(relay.log_text(), "legs-joined");
    // Typed before, sent right after the break: the retry waits for the next
    // tick, the line goes into the broken channel and is sent again once.
    keys(client_win, "type --delay 5 'meanwhile'");
    relay.admin("break-legs " + sid);
    keys(client_win, "key Return");
    ASSERT_TRUE(wait_until([&] { return count_of(relay.log_text(), "legs-joined") > joins; }, seconds(10)));
    EXPECT_NE(relay.wait_log({"\"chat_live\"", "\"role\":\"desk\"", "meanwhile"}, seconds(30)), "");
    type_line(desk_win, "afterwards");
    EXPECT_NE(relay.wait_log({"\"chat_live\"", "\"role\":\"client\"", "afterwards"}, seconds(30)), "");
    std::string log = relay.log_text();
    int meanwhile_at_desk = 0;
    for (std::istringstream in(log); std::getline(in, log);)
        if (log.find("\"chat_live\"") != std::string::npos &&
            log.find("\"role\":\"desk\"") != std::string::npos && log.find("meanwhile") != std::string::npos)
            ++meanwhile_at_desk;
    EXPECT_EQ(meanwhile_at_desk, 1);
    int creates = 0;
    for (std::istringstream in(relay.log_text()); std::getline(in, log);)
        creates += field(log, "event") == "control-call" && field(log, "method") == "48";
    EXPECT_EQ(creates, 1);
    EXPECT_EQ(read_all(notes).find("32768"), std::string::npos) << read_all(notes);

    // Disconnect at the desk (its close-session, the server's close to both).
    relay.admin("copy-leg " + sid + " desk");
    sh("xdotool mousemove --window " + desk_win + " 32 70 click 1");
    std::string const box = wait_window("Question");
    if (!box.empty()) answer(box, "Return");
    EXPECT_NE(relay.wait_log({"\"method\":41"}, seconds(30)), "");
    EXPECT_NE(relay.wait_log({"server-call", "close_connection"}), "");
    EXPECT_TRUE(reaches(desk_log, 0) && read_all(desk_log).rfind("connection state 0") >
                                            read_all(desk_log).rfind("connection state 6"));
    EXPECT_TRUE(reaches(client_log, 0));
    EXPECT_TRUE(wait_until([&] {
        std::string const n = read_all(notes);
        return n.size() >= 4 && n.compare(n.size() - 4, 4, "0 0\n") == 0;
    })) << read_all(notes);
    screenshot("session-ended");

    // What went over the desk's legs: TLS records only, no typed word.
    std::string const bytes = read_all(copy);
    int records = 0;
    EXPECT_TRUE(only_tls_records(bytes, &records)) << bytes.size();
    EXPECT_GT(records, 4);
    for (char const* word : {"deskword", "clientword", "meanwhile", "version"})
        EXPECT_EQ(bytes.find(word), std::string::npos) << word;
    EXPECT_EQ(relay.log_text().find("\"violation\""), std::string::npos);

    // Both close normally, clean under the sanitizers.
    for (auto [pid, win, dir] :
         {std::tuple{desk, desk_win, desk_dir}, std::tuple{client, client_win, client_dir}}) {
        sh("xdotool mousemove --window " + win + " 244 206 click 1");
        int const status = finish(pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << read_all(dir + "/stderr.txt");
        EXPECT_EQ(read_all(dir + "/stderr.txt").find("Sanitizer"), std::string::npos)
            << read_all(dir + "/stderr.txt");
    }
}

// The log-in ladder: the token, then the name and password, then the user
// (the log-in window, cancelled). A cancelled log-in ends the attempt
// without a box, and the next press of Connect starts a new one.
TEST_F(SessionProcess, CancelledLogInEndsQuietlyAndConnectTriesAgain) {
    relay_process relay({"--require-login", "u:p:token"});
    std::string const dir = make_run_dir("tovan_desk");
    std::string const notes = dir + "/n.txt", log = dir + "/VYNDesk.out";
    pid_t const desk = start(dir, "tovan_desk",
                             {"--vynwex", "--proxy-address", "127.0.0.1:" + std::to_string(relay.port()),
                              "--force-transport", "direct", "--web-login", "stale", "--username", "u",
                              "--password", "wrong", "--get-code", "--notification-file", notes});
    std::string const win = wait_window("Tovan Desk");
    ASSERT_FALSE(win.empty());
    auto ladder_steps = [&] {
        std::string const text = relay.log_text();
        return std::pair{count_of(text, "\"method\":39"), count_of(text, "\"method\":33")};
    };
    ASSERT_TRUE(wait_until([&] { return ladder_steps() == std::pair{1, 1}; })) << relay.log_text();
    std::string login = wait_window("Log in");
    ASSERT_FALSE(login.empty());
    answer(login, "Escape");
    ASSERT_TRUE(reaches(log, 3));
    ASSERT_TRUE(wait_until([&] { return read_all(notes) == "0 0\n"; })) << read_all(notes);
    EXPECT_TRUE(reaches(log, 0));
    EXPECT_EQ(relay.log_text().find("\"method\":48"), std::string::npos);
    // The only window is the desk's: no box.
    EXPECT_EQ(trimmed(sh("xdotool search --onlyvisible --name '.' 2>/dev/null | wc -l")), "1");

    sh("xdotool mousemove --window " + win + " 89 206 click 1"); // Connect
    ASSERT_TRUE(wait_until([&] { return ladder_steps() == std::pair{2, 2}; })) << relay.log_text();
    login = wait_window("Log in");
    ASSERT_FALSE(login.empty());
    answer(login, "Escape");
    ASSERT_TRUE(wait_until([&] { return read_all(notes) == "0 0\n0 0\n"; })) << read_all(notes);
    EXPECT_EQ(trimmed(sh("xdotool search --onlyvisible --name '.' 2>/dev/null | wc -l")), "1");
    sh("xdotool mousemove --window " + win + " 244 206 click 1");
    int const status = finish(desk);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << read_all(dir + "/stderr.txt");
}

// The relay refuses to create the session: one box from the connection
// thread, shown on the GUI thread, and the session ends.
TEST_F(SessionProcess, RefusedCreateShowsOneBoxAndEnds) {
    relay_process relay({"--refuse-create"});
    std::string const dir = make_run_dir("tovan_desk");
    std::string const notes = dir + "/n.txt";
    pid_t const desk = start(dir, "tovan_desk",
                             {"--vynwex", "--proxy-address", "127.0.0.1:" + std::to_string(relay.port()),
                              "--force-transport", "direct", "--username", "u", "--password", "p",
                              "--get-code", "--notification-file", notes});
    std::string const box = wait_window("Tovan");
    ASSERT_FALSE(box.empty());
    ASSERT_TRUE(wait_until([&] { return read_all(notes) == "32768 0\n0 0\n"; })) << read_all(notes);
    EXPECT_NE(relay.wait_log({"\"method\":48", "\"reply\":\"error\""}), "");
    screenshot("refused-create");
    answer(box, "Return");
    std::string const win = wait_window("Tovan Desk");
    ASSERT_FALSE(win.empty());
    EXPECT_TRUE(
        wait_until([&] { return trimmed(sh("xdotool search --onlyvisible --name '.' | wc -l")) == "1"; }));
    EXPECT_TRUE(reaches(dir + "/VYNDesk.out", 0));
    EXPECT_EQ(count_of(relay.log_text(), "\"method\":48"), 1);
    sh("xdotool mousemove --window " + win + " 244 206 click 1");
    int const status = finish(desk);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << read_all(dir + "/stderr.txt");
}

// The server never answers close-session: after its time limit the desk
// stops the session channel itself and the session ends.
TEST_F(SessionProcess, UnansweredCloseSessionStillEndsTheSession) {
    relay_process relay({"--never-answer", "41"});
    std::string const proxy = "127.0.0.1:" + std::to_string(relay.port());
    std::string const desk_dir = make_run_dir("tovan_desk"), client_dir = make_run_dir("tovan_client");
    std::string const notes = desk_dir + "/n.txt", desk_log = desk_dir + "/VYNDesk.out";
    pid_t const desk =
        start(desk_dir, "tovan_desk",
              {"--vynwex", "--proxy-address", proxy, "--force-transport", "direct", "--username", "u",
               "--password", "p", "--get-code", "--notification-file", notes});
    std::string const session = relay.wait_log({"\"event\":\"session\""}, seconds(60));
    ASSERT_NE(session, "");
    pid_t const client = start(client_dir, "tovan_client",
                               {"--vynwex", "--proxy-address", proxy, "--force-transport", "direct",
                                "--connect", field(session, "code")});
    ASSERT_TRUE(reaches(desk_log, 6, seconds(60)));
    ASSERT_TRUE(reaches(client_dir + "/VYNClient.out", 6));
    std::string const win = wait_window("Tovan Desk");
    sh("xdotool windowmove --sync " + win + " 600 0");
    sh("xdotool mousemove --window " + win + " 32 70 click 1");
    std::string const box = wait_window("Question");
    ASSERT_FALSE(box.empty());
    answer(box, "Return");
    EXPECT_NE(relay.wait_log({"\"method\":41", "\"reply\":\"none\""}, seconds(30)), "");
    auto const asked = std::chrono::steady_clock::now();
    EXPECT_TRUE(reaches(desk_log, 0, seconds(60)));
    EXPECT_GT(std::chrono::steady_clock::now() - asked, seconds(20)); // it did wait for the answer
    EXPECT_TRUE(wait_until([&] {
        std::string const n = read_all(notes);
        return n.size() >= 4 && n.compare(n.size() - 4, 4, "0 0\n") == 0;
    })) << read_all(notes);
    sh("xdotool mousemove --window " + win + " 244 206 click 1");
    int const status = finish(desk);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << status << read_all(desk_dir + "/stderr.txt");
    (void)client; // stopped by TearDown
}

// ---------------------------------------------------------------------------
// The XML-described dialogs of tests/tovan/data/dialogs.ini and the server's.

long resident_kib(pid_t pid) {
    std::istringstream in(read_all("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

// Buttons are placed in units of 4 pixels: a click a few pixels inside one
// at (left, top) units.
std::string click_at_units(int left, int top) {
    return std::to_string(left * 4 + 8) + " " + std::to_string(top * 4 + 8) + " click 1";
}

TEST_F(SessionProcess, StartUpAndStartOfSessionDialogs) {
    relay_process relay;
    std::string const proxy = "127.0.0.1:" + std::to_string(relay.port());
    std::string const sample = std::string(TOVAN_SOURCE_DIR) + "/tests/tovan/data/dialogs.ini";
    std::string const dir = make_run_dir("tovan_desk");
    fs::copy_file(sample, dir + "/dialogs.ini", fs::copy_options::overwrite_existing);

    // Declined: the program ends with 1 before its window shows.
    pid_t desk = start(dir, "tovan_desk", {"--proxy-address", proxy, "--force-transport", "direct"});
    std::string welcome = wait_window("Welcome to Tovan");
    ASSERT_FALSE(welcome.empty()) << read_all(dir + "/stderr.txt");
    screenshot("start-up-dialog");
    sh("xdotool mousemove --window " + welcome + " " + click_at_units(55, 30)); // Cancel
    int status = finish(desk);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status << read_all(dir + "/stderr.txt");

    // Accepted: the main window.
    desk = start(dir, "tovan_desk", {"--proxy-address", proxy, "--force-transport", "direct"});
    welcome = wait_window("Welcome to Tovan");
    ASSERT_FALSE(welcome.empty());
    sh("xdotool mousemove --window " + welcome + " " + click_at_units(5, 30)); // OK
    std::string const win = wait_window("Tovan Desk");
    ASSERT_FALSE(win.empty());
    sh("xdotool mousemove --window " + win + " 244 206 click 1");
    status = finish(desk);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << read_all(dir + "/stderr.txt");

    // The client asked to connect at once: the start-of-session dialog
    // cancelled, it never reaches the relay.
    std::string const client_dir = make_run_dir("tovan_client");
    fs::copy_file(sample, client_dir + "/dialogs.ini", fs::copy_options::overwrite_existing);
    pid_t const client =
        start(client_dir, "tovan_client",
              {"--proxy-address", proxy, "--force-transport", "direct", "--connect", "123456789"});
    welcome = wait_window("Welcome to Tovan");
    ASSERT_FALSE(welcome.empty());
    sh("xdotool mousemove --window " + welcome + " " + click_at_units(5, 30));
    std::string const ask = wait_window("Start a session");
    ASSERT_FALSE(ask.empty());
    sh("xdotool mousemove --window " + ask + " " + click_at_units(55, 30));
    EXPECT_TRUE(x->wait_gone(uint32_t(std::stoul(ask)), seconds(30)));
    std::string const client_win = wait_window("Tovan Client");
    ASSERT_FALSE(client_win.empty());
    EXPECT_EQ(relay.log_text().find("\"event\":\"accept\""), std::string::npos) << relay.log_text();
    sh("xdotool mousemove --window " + client_win + " 244 206 click 1");
    status = finish(client);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << status << read_all(client_dir + "/stderr.txt");
}

// The server sends the desk an end-of-session dialog whose data texts take
// both transcripts; the customer's lines hold both variable names. After
// the disconnect the dialog shows at once, without the transcript growing
// each time it is put in, and OK hands its answers on.
TEST_F(SessionProcess, EndOfSessionDialogFromTheServer) {
    relay_process relay({"--require-login", "u:p"});
    std::string const proxy = "127.0.0.1:" + std::to_string(relay.port());
    std::string const desk_dir = make_run_dir("tovan_desk"), client_dir = make_run_dir("tovan_client");
    std::string const desk_log = desk_dir + "/VYNDesk.out";
    pid_t const desk = start(desk_dir, "tovan_desk",
                             {"--proxy-address", proxy, "--force-transport", "direct", "--username", "u",
                              "--password", "p", "--get-code", "--session-message", "a=b"});
    std::string const session = relay.wait_log({"\"event\":\"session\""}, seconds(60));
    ASSERT_NE(session, "") << read_all(desk_dir + "/stderr.txt");
    std::string const sid = field(session, "sid");
    pid_t const client = start(client_dir, "tovan_client",
                               {"--vynwex", "--proxy-address", proxy, "--force-transport", "direct",
                                "--connect", field(session, "code")});
    ASSERT_TRUE(reaches(desk_log, 6, seconds(60)));
    ASSERT_TRUE(reaches(client_dir + "/VYNClient.out", 6));

    std::string const xml = tmp.filePath("eos.xml").toStdString();
    std::ofstream(xml)
        << "<dialog title=\"Tell us\" width=\"100\" height=\"50\" result=\"eos\">"
           "<data result=\"plain\">@CHAT_TRANSCRIPT_PLAIN@</data>"
           "<data result=\"html\">[@CHAT_TRANSCRIPT@]</data>"
           "<button id=\"IDOK\" title=\"OK\" left=\"5\" top=\"30\" width=\"40\" height=\"14\"/>"
           "</dialog>";
    ASSERT_EQ(trimmed(relay.admin("server-map-file " + sid + " desk dialog=" + xml)), "");
    // The desk reports the lines it shows (on the message channel its session message opened).
    relay.admin("server-call " + sid + " desk send_chat_live");

    std::string const desk_win = wait_window("Tovan Desk"), client_win = wait_window("Tovan Client");
    ASSERT_FALSE(desk_win.empty());
    ASSERT_FALSE(client_win.empty());
    sh("xdotool windowmove --sync " + client_win + " 0 0");
    sh("xdotool windowmove --sync " + desk_win + " 600 0");
    for (int i = 0; i < 50; ++i) type_line(client_win, "@CHAT_TRANSCRIPT_PLAIN@@CHAT_TRANSCRIPT@");
    screenshot("end-of-session-chat");
    ASSERT_TRUE(
        wait_until([&] { return count_of(relay.log_text(), "@CHAT_TRANSCRIPT@") >= 50; }, seconds(60)))
        << relay.log_text();
    long const before = resident_kib(desk);

    sh("xdotool mousemove --window " + desk_win + " 32 70 click 1");
    std::string const box = wait_window("Question");
    ASSERT_FALSE(box.empty());
    answer(box, "Return");
    auto const asked = std::chrono::steady_clock::now();
    uint32_t const eos = x->wait_viewable("Tell us", seconds(60));
    ASSERT_NE(eos, 0u) << read_all(desk_log);
    EXPECT_LT(std::chrono::steady_clock::now() - asked, seconds(2));
    EXPECT_LT(resident_kib(desk) - before, 20 * 1024);
    screenshot("end-of-session-dialog");
    sh("xdotool mousemove --window " + x_windows::id(eos) + " " + click_at_units(5, 30));
    EXPECT_TRUE(wait_until([&] { return read_all(desk_log).find("sending comments ") != std::string::npos; }))
        << read_all(desk_log);

    sh("xdotool mousemove --window " + desk_win + " 244 206 click 1");
    int const status = finish(desk);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << status << read_all(desk_dir + "/stderr.txt");
    (void)client; // stopped by TearDown
}

// A client on a touch screen: the pad shows at start, the desk's code is
// clicked on it, and Connect finds the session by that code.
TEST_F(SessionProcess, TouchPadTypesTheCode) {
    relay_process relay({"--require-login", "u:p"});
    std::string const proxy = "127.0.0.1:" + std::to_string(relay.port());
    std::string const desk_dir = make_run_dir("tovan_desk"), client_dir = make_run_dir("tovan_client");
    std::string const session = start_desk_with_code(relay, desk_dir);
    ASSERT_NE(session, "") << read_all(desk_dir + "/stderr.txt");
    std::string const code = field(session, "code");
    pid_t const client =
        start(client_dir, "tovan_client",
              {"--vynwex", "--proxy-address", proxy, "--force-transport", "direct", "--touch-pad"});
    std::string const pad = wait_window("Touch Pad"), win = wait_window("Tovan Client");
    ASSERT_FALSE(pad.empty());
    ASSERT_FALSE(win.empty());
    sh("xdotool windowmove --sync " + win + " 0 0");
    sh("xdotool windowmove --sync " + pad + " 400 0");
    for (char digit : code) {
        // Keys 1-9 in rows of three from (5, 5), 100 apart; 0 below 8.
        int const n = digit == '0' ? 11 : digit - '0';
        int const x = 5 + 100 * ((n - 1) % 3) + 45, y = 5 + 100 * ((n - 1) / 3) + 45;
        sh("xdotool mousemove --window " + pad + " " + std::to_string(x) + " " + std::to_string(y) +
           " click 1");
    }
    screenshot("touch-pad");
    sh("xdotool mousemove --window " + win + " 89 206 click 1"); // Connect
    EXPECT_NE(relay.wait_log({"\"bind\"", "\"role\":\"client\""}, seconds(60)), "") << relay.log_text();
    EXPECT_TRUE(reaches(client_dir + "/VYNClient.out", 6, seconds(60)));
    (void)client; // both stopped by TearDown
}

// The settings window while connected: "Slowest" and OK at the client queue
// its command there and send it to the desk; the choice lasts for the run
// only, so storage.ini stays as it was.
TEST_F(SessionProcess, SettingsSlowestWhileConnected) {
    relay_process relay({"--require-login", "u:p"});
    std::string const proxy = "127.0.0.1:" + std::to_string(relay.port());
    std::string const desk_dir = make_run_dir("tovan_desk"), client_dir = make_run_dir("tovan_client");
    std::string const session = start_desk_with_code(relay, desk_dir);
    ASSERT_NE(session, "");
    pid_t const client = start(client_dir, "tovan_client",
                               {"--vynwex", "--proxy-address", proxy, "--force-transport", "direct",
                                "--connect", field(session, "code")});
    std::string const client_log = client_dir + "/VYNClient.out";
    ASSERT_TRUE(reaches(client_log, 6, seconds(60)));
    std::string const win = wait_window("Tovan Client");
    ASSERT_FALSE(win.empty());
    sh("xdotool windowmove --sync " + win + " 0 0");
    std::string const ini = client_dir + "/home/.dravo/sepra/Tovan/storage.ini";
    std::string const before = read_all(ini);

    sh("xdotool mousemove --window " + win + " 32 27 click 1"); // the settings button
    std::string const settings = wait_window("Settings");
    ASSERT_FALSE(settings.empty());
    sh("xdotool windowmove --sync " + settings + " 0 0");
    screenshot("settings");
    // The wheel over the closed line-speed box steps it to "Slowest"; Return
    // then reaches OK, the default button.
    sh("xdotool mousemove --window " + settings + " 517 94 click 5 click 5");
    keys(settings, "key Return");
    EXPECT_TRUE(x->wait_gone(uint32_t(std::stoul(settings)), seconds(30)));
    EXPECT_TRUE(wait_until([&] { return read_all(client_log).find("adsl_fix 150") != std::string::npos; }))
        << read_all(client_log);
    EXPECT_TRUE(wait_until(
        [&] { return read_all(desk_dir + "/VYNDesk.out").find("adsl_fix 150") != std::string::npos; }));
    EXPECT_EQ(read_all(ini), before);
    (void)client; // both stopped by TearDown
}

} // namespace
