// The real programs meet: tovan_relay, the desk and the client (the same
// binary by its two names) under Xvfb on 127.0.0.1, each end with a fresh
// HOME. The desk logs in and gets a code, the client joins by it, both reach
// the connected state through end-to-end TLS, lines typed at each end reach
// the other, both survive the relay dropping a connection and breaking the
// legs, and a disconnect ends both. The relay's event log is the witness.
#include "tests/support/private_network.h"
#include "tests/support/relay_process.h"
#include "tests/tovan/process_suite.h"

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
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>

namespace {

using namespace tovan_test;
using test_support::relay_process;
namespace fs = std::filesystem;
using std::chrono::seconds;

std::string trimmed(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s;
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

class SessionProcess : public process_suite {};

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
    // Every command of the session was one a step knows: no failure logged.
    for (auto const& log : {desk_log, client_log})
        EXPECT_EQ(read_all(log).find("command step failed"), std::string::npos) << log;

    // Both close normally, clean under the sanitizers.
    close_cleanly(desk, desk_win, desk_dir);
    close_cleanly(client, client_win, client_dir);
}

// A test plugin (tests/plugins) at each end, from the test fixture's
// directory: what it sends before the session never arrives, once the
// session is up its unnamed data reaches the other end once, its system line
// reaches its own "recording/data" (and, with live chat on, the client's live
// chat report), and its questions for the remote version and a program link
// are answered; after 40 s of silence "main/connection" reports "down", then
// "up", and the plugin's script for "up" sends data that arrives.
TEST_F(SessionProcess, PluginsAtBothEndsReachTheSession) {
    relay_process relay;
    std::string const proxy = "127.0.0.1:" + std::to_string(relay.port());
    // A session message opens the named-message channel that live chat uses.
    std::vector<std::string> const common = {"--vynwex", "--proxy-address",   proxy, "--force-transport",
                                             "direct",   "--session-message", "a=b"};
    std::string const desk_dir = make_run_dir("tovan_desk"), client_dir = make_run_dir("tovan_client");
    auto with_plugin = [&](std::string const& dir, std::string const& name, std::vector<std::string> args) {
        fs::create_directories(dir + "/plugins");
        fs::copy_file(std::string(TP_DIR) + "/tp7.so", dir + "/plugins/tp7.so");
        setenv("TOVAN_TEST_PLUGINS", (dir + "/plugins").c_str(), 1);
        setenv("TP_RECORD_DIR", (dir + "/plugins").c_str(), 1);
        pid_t const pid = start(dir, name, args);
        unsetenv("TOVAN_TEST_PLUGINS");
        unsetenv("TP_RECORD_DIR");
        return pid;
    };
    auto desk_args = common;
    for (char const* a : {"--username", "u", "--password", "p", "--get-code"}) desk_args.push_back(a);
    pid_t const desk = with_plugin(desk_dir, "tovan_desk", desk_args);
    std::string const session = relay.wait_log({"\"event\":\"session\""}, seconds(60));
    ASSERT_NE(session, "") << read_all(desk_dir + "/stderr.txt");
    auto client_args = common;
    client_args.push_back("--connect");
    client_args.push_back(field(session, "code"));
    pid_t const client = with_plugin(client_dir, "tovan_client", client_args);
    std::string const desk_log = desk_dir + "/VYNDesk.out", client_log = client_dir + "/VYNClient.out";
    ASSERT_TRUE(reaches(client_log, 6, seconds(60))) << read_all(client_dir + "/stderr.txt");
    ASSERT_TRUE(reaches(desk_log, 6));

    std::string const desk_rec = desk_dir + "/plugins/tp7.rec", client_rec = client_dir + "/plugins/tp7.rec";
    for (auto const& rec : {desk_rec, client_rec})
        ASSERT_TRUE(wait_until([&] { return read_all(rec).find("program link") != std::string::npos; }))
            << read_all(rec);
    std::string const desk_says = read_all(desk_rec);
    EXPECT_NE(desk_says.find("program link \"link:a=1\""), std::string::npos) << desk_says;
    EXPECT_NE(desk_says.find("remote version \"3.3.2\""), std::string::npos) << desk_says;
    EXPECT_TRUE(wait_until([&] {
        return read_all(desk_rec).find("callback recording/data desk chat Tovan") != std::string::npos;
    })) << read_all(desk_rec);
    // Sent at lib_start (dropped: no session yet) and once the session is up.
    for (auto const& log : {client_log, desk_log}) {
        EXPECT_TRUE(wait_until([&] { return count_of(read_all(log), "new request :tp_hello") == 1; }))
            << read_all(log);
    }

    // With live chat on, a line typed at the desk makes its plugin show a
    // system line (sent on): it reaches the client, whose live chat reports it.
    std::string const desk_win = wait_window("Tovan Desk"), client_win = wait_window("Tovan Client");
    ASSERT_FALSE(desk_win.empty());
    ASSERT_FALSE(client_win.empty());
    sh("xdotool windowmove --sync " + client_win + " 0 0");
    sh("xdotool windowmove --sync " + desk_win + " 600 0");
    relay.admin("server-call " + field(session, "sid") + " both send_chat_live");
    type_line(desk_win, "tp-trigger");
    EXPECT_NE(relay.wait_log({"\"chat_live\"", "\"role\":\"client\"", "Desk tp answer"}, seconds(30)), "")
        << relay.log_text();

    // The relay stands still past the watchdog's 40 s: "main/connection"
    // reports "down", then "up" when it goes on, and the plugin's script for
    // "up" sends its unnamed data again, which now arrives.
    ::kill(relay.pid(), SIGSTOP);
    bool const down = wait_until(
        [&] { return read_all(desk_rec).find("callback main/connection down") != std::string::npos; },
        seconds(90));
    ::kill(relay.pid(), SIGCONT);
    ASSERT_TRUE(down) << read_all(desk_rec);
    EXPECT_TRUE(wait_until(
        [&] { return read_all(desk_rec).find("callback main/connection up") != std::string::npos; },
        seconds(60)))
        << read_all(desk_rec);
    EXPECT_NE(read_all(desk_rec).find("script up"), std::string::npos);
    EXPECT_TRUE(
        wait_until([&] { return count_of(read_all(client_log), "new request :tp_hello") == 2; }, seconds(60)))
        << read_all(client_log);

    // Disconnect at the desk (the server closes both ends), then close both.
    sh("xdotool mousemove --window " + desk_win + " 32 70 click 1");
    std::string const box = wait_window("Question");
    if (!box.empty()) answer(box, "Return");
    ASSERT_TRUE(reaches(desk_log, 0) && reaches(client_log, 0));
    for (auto [pid, win, dir] :
         {std::tuple{desk, desk_win, desk_dir}, std::tuple{client, client_win, client_dir}}) {
        close_cleanly(pid, win, dir);
        EXPECT_NE(read_all(dir + "/plugins/tp7.rec").find("lib_deinit"), std::string::npos);
    }
}

// What the test plugin asks of the desk window once the session is up: the
// desktop button shown ("update-gui-itm") and the connection saved
// ("connect-save", connect.dat readable by the user only), which a desk
// killed and started again with --connect-restore continues. Needs the
// window's button switch and connection file.
TEST_F(SessionProcess, DISABLED_PluginShowsTheDesktopButtonAndSavesTheConnection) {
    relay_process relay;
    std::string const proxy = "127.0.0.1:" + std::to_string(relay.port());
    std::vector<std::string> const common = {"--vynwex", "--proxy-address", proxy, "--force-transport",
                                             "direct"};
    std::string const desk_dir = make_run_dir("tovan_desk"), client_dir = make_run_dir("tovan_client");
    fs::create_directories(desk_dir + "/plugins");
    fs::copy_file(std::string(TP_DIR) + "/tp7.so", desk_dir + "/plugins/tp7.so");
    setenv("TOVAN_TEST_PLUGINS", (desk_dir + "/plugins").c_str(), 1);
    setenv("TP_RECORD_DIR", (desk_dir + "/plugins").c_str(), 1);
    auto desk_args = common;
    for (char const* a : {"--username", "u", "--password", "p", "--get-code"}) desk_args.push_back(a);
    pid_t const desk = start(desk_dir, "tovan_desk", desk_args);
    unsetenv("TOVAN_TEST_PLUGINS");
    std::string const session = relay.wait_log({"\"event\":\"session\""}, seconds(60));
    ASSERT_NE(session, "");
    std::string const sid = field(session, "sid");
    auto client_args = common;
    client_args.push_back("--connect");
    client_args.push_back(field(session, "code"));
    pid_t const client = start(client_dir, "tovan_client", client_args);
    std::string const desk_log = desk_dir + "/VYNDesk.out", client_log = client_dir + "/VYNClient.out";
    ASSERT_TRUE(reaches(client_log, 6, seconds(60)));
    ASSERT_TRUE(reaches(desk_log, 6));
    std::string const rec = desk_dir + "/plugins/tp7.rec";
    ASSERT_TRUE(wait_until([&] { return read_all(rec).find("connect-save -> ") != std::string::npos; }));
    EXPECT_NE(read_all(rec).find("connect-save -> 1"), std::string::npos) << read_all(rec);
    std::string const win = wait_window("Tovan Desk");
    ASSERT_FALSE(win.empty());
    screenshot("plugin-desktop-button");

    struct stat st {};
    ASSERT_EQ(::stat((desk_dir + "/connect.dat").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_NE(read_all(desk_dir + "/connect.dat").find("sid_string="), std::string::npos);

    // Killed, and started again from the saved connection: the session goes on.
    ::kill(desk, SIGKILL);
    finish(desk);
    pid_t const again = start(desk_dir, "tovan_desk",
                              {"--vynwex", "--proxy-address", proxy, "--force-transport", "direct",
                               "--connect-restore", "connect.dat"});
    EXPECT_NE(relay.wait_log({"\"bind\"", "\"method\":21", sid}, seconds(60)), "") << relay.log_text();
    EXPECT_TRUE(
        wait_until([&] { return count_of(read_all(desk_log), "connection state 6\n") >= 1; }, seconds(60)));
    unsetenv("TP_RECORD_DIR");
    (void)again;
    (void)client;
}

// The log-in ladder: the token, then the name and password, then the user
// (no credentials dialog yet: cancelled). A cancelled log-in ends the attempt
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
    ASSERT_TRUE(reaches(log, 3));
    ASSERT_TRUE(wait_until([&] { return read_all(notes) == "0 0\n"; })) << read_all(notes);
    EXPECT_TRUE(reaches(log, 0));
    EXPECT_EQ(relay.log_text().find("\"method\":48"), std::string::npos);
    // The only window is the desk's: no box.
    EXPECT_EQ(trimmed(sh("xdotool search --onlyvisible --name '.' 2>/dev/null | wc -l")), "1");

    sh("xdotool mousemove --window " + win + " 89 206 click 1"); // Connect
    ASSERT_TRUE(wait_until([&] { return ladder_steps() == std::pair{2, 2}; })) << relay.log_text();
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

// The relay dies (SIGKILL) under a session and is started again on its port
// with its certificate, in a network namespace of the test's own, so that
// the port is sure to be free. With its state file it takes both ends back:
// a line typed while it was down arrives once. Without it, both ends learn
// that the session is gone: state 0, "0 0", the server's words in a box,
// and no further relay connection; Connect then makes a new session.
TEST_F(SessionProcess, RelayRestartsWithAndWithoutItsSessions) {
    auto const where =
        test_support::in_private_network("SessionProcess.RelayRestartsWithAndWithoutItsSessions");
    if (where == test_support::netns::unavailable)
        GTEST_SKIP() << "no private network namespace (needs root)";
    if (where == test_support::netns::ran_there) return;
    std::string const relay_dir = tmp.filePath("relay").toStdString();
    fs::create_directories(relay_dir);
    std::string const state = relay_dir + "/sessions";
    auto relay = std::make_unique<relay_process>(std::vector<std::string>{"--state", state}, relay_dir);
    std::string const port = std::to_string(relay->port());
    std::size_t mark = 0; // where the running relay's lines start in the shared log
    auto kill_relay = [&] {
        ::kill(relay->pid(), SIGKILL);
        relay->stop();
        mark = read_all(relay->log_path()).size();
    };
    auto start_relay = [&](bool keep) {
        std::vector<std::string> options = {"--listen", "127.0.0.1:" + port};
        if (keep) options.insert(options.end(), {"--state", state});
        relay = std::make_unique<relay_process>(options, relay_dir);
    };
    auto since_restart = [&] { return relay->log_text().substr(mark); };

    std::vector<std::string> const common = {"--vynwex",
                                             "--proxy-address",
                                             "127.0.0.1:" + port,
                                             "--force-transport",
                                             "direct",
                                             "--session-message",
                                             "a=b",
                                             "--notification-file",
                                             "n.txt"};
    ends const e = meet(*relay, common);
    ASSERT_FALSE(HasFailure());
    std::string const &desk_dir = e.desk_dir, &client_dir = e.client_dir;
    std::string const &desk_log = e.desk_log, &client_log = e.client_log;
    std::string const sid = field(e.session, "sid");
    std::string const desk_win = wait_window("Tovan Desk"), client_win = wait_window("Tovan Client");
    sh("xdotool windowmove --sync " + client_win + " 0 0");
    sh("xdotool windowmove --sync " + desk_win + " 600 0");
    relay->admin("server-call " + sid + " both send_chat_live");

    // Kept: the line typed while the relay is down reaches the desk once.
    kill_relay();
    ASSERT_TRUE(reaches(client_log, 7));
    type_line(client_win, "acrossrestart");
    start_relay(true);
    EXPECT_NE(relay->wait_log({"\"bind\"", "\"method\":21", sid}, seconds(30)), "") << since_restart();
    EXPECT_NE(relay->wait_log({"\"bind\"", "\"method\":37", sid}, seconds(30)), "") << since_restart();
    EXPECT_NE(relay->wait_log({"\"chat_live\"", "\"role\":\"desk\"", "acrossrestart"}, seconds(30)), "");
    int shown_at_desk = 0;
    std::string line;
    for (std::istringstream in(read_all(relay->log_path())); std::getline(in, line);)
        shown_at_desk += field(line, "event") == "chat_live" && field(line, "role") == "desk" &&
                         line.find("acrossrestart") != std::string::npos;
    EXPECT_EQ(shown_at_desk, 1);
    // Resolved by its session id, answered.
    EXPECT_NE(since_restart().find("\"method\":47,\"name\":\"resolve_session\",\"reply\":\"value\""),
              std::string::npos)
        << since_restart();

    // Forgotten: within 15 s both ends have ended the session.
    kill_relay();
    start_relay(false);
    auto const restarted = std::chrono::steady_clock::now();
    for (auto const& dir : {desk_dir, client_dir})
        EXPECT_TRUE(wait_until(
            [&] {
                std::string const n = read_all(dir + "/n.txt");
                return n.size() >= 4 && n.compare(n.size() - 4, 4, "0 0\n") == 0;
            },
            seconds(15)))
            << read_all(dir + "/n.txt");
    EXPECT_TRUE(reaches(desk_log, 0, seconds(1)) && reaches(client_log, 0, seconds(1)));
    EXPECT_LT(std::chrono::steady_clock::now() - restarted, seconds(15));
    EXPECT_NE(since_restart().find("\"method\":21,\"name\":\"continue\",\"reply\":\"error\""),
              std::string::npos);
    // Each end tells its user, in the server's words.
    for (int box = 0; box < 2; ++box) {
        std::string const w = wait_window("Message from the server");
        ASSERT_FALSE(w.empty()) << box;
        if (box == 0) screenshot("session-forgotten");
        answer(w, "Return");
    }
    for (auto const& log : {desk_log, client_log})
        EXPECT_NE(read_all(log).find(
                      "message box \"Message from the server\": The session was ended by the server."),
                  std::string::npos)
            << log;
    // No end tries the relay again.
    int const connections = count_of(since_restart(), "\"event\":\"accept\"");
    EXPECT_FALSE(wait_until([&] { return count_of(since_restart(), "\"event\":\"accept\"") > connections; },
                            seconds(60)))
        << since_restart();

    // A new session at Connect.
    sh("xdotool mousemove --window " + desk_win + " 89 206 click 1");
    std::string fresh;
    ASSERT_TRUE(wait_until([&] {
        std::istringstream in(since_restart());
        for (std::string l; std::getline(in, l);)
            if (field(l, "event") == "session") fresh = l;
        return !fresh.empty();
    }));
    EXPECT_NE(field(fresh, "sid"), sid);
    EXPECT_TRUE(wait_until([&] {
        return read_all(desk_dir + "/n.txt").find("1 " + field(fresh, "code") + "\n") != std::string::npos;
    }));
}

// A relay that refuses every session leg: each end climbs the retry ladder,
// with its pauses, to the question; answered "no", it gives up.
TEST_F(SessionProcess, RefusedLegsClimbTheLadderToTheQuestion) {
    relay_process relay;
    std::string const proxy = "127.0.0.1:" + std::to_string(relay.port());
    std::vector<std::string> const common = {"--vynwex", "--proxy-address", proxy, "--force-transport",
                                             "direct"};
    ends const e = meet(relay, common);
    ASSERT_FALSE(HasFailure());
    std::string const session = e.session;
    std::string const &desk_log = e.desk_log, &client_log = e.client_log;

    relay.admin("refuse-legs on");
    relay.admin("break-legs " + field(session, "sid"));
    auto refused = [&] { return count_of(relay.log_text(), "session legs refused"); };
    // Ten failures a side, the pauses 2, 4 ... 18 s between them: the first
    // question comes after 90 s at the earliest.
    auto const broken = std::chrono::steady_clock::now();
    for (int box = 0; box < 2; ++box) {
        std::string const w = wait_window("Question", seconds(180));
        ASSERT_FALSE(w.empty()) << box << " after " << refused() << " refused legs";
        if (box == 0) {
            EXPECT_GT(std::chrono::steady_clock::now() - broken, seconds(85));
            screenshot("refused-legs-question");
        }
        EXPECT_LE(refused(), 2 * 11);
        answer(w, "Escape"); // no
    }
    EXPECT_GE(refused(), 2 * 10);
    EXPECT_TRUE(reaches(desk_log, 0));
    EXPECT_TRUE(reaches(client_log, 0));
    EXPECT_LE(refused(), 2 * 11);
}

} // namespace
