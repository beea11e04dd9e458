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

#include <QImage>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <sstream>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <tuple>

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

class SessionProcess : public process_suite {
protected:
    // A desk that logs in to the relay (user u, password p) and gets a code
    // at once; the relay's session event ("" when none came in time).
    std::string start_desk_with_code(relay_process& relay, std::string const& dir) {
        auto args = relay_args(relay);
        args.insert(args.end(), {"--username", "u", "--password", "p", "--get-code"});
        start(dir, "tovan_desk", args);
        return relay.wait_log({"\"event\":\"session\""}, seconds(60));
    }
    // Text that xdotool cannot type whole (it drops characters it has to
    // map to keys first) goes through the clipboard: xclip serves it, for 20 s
    // at most, and the window pastes it. Wait for the line before the next xclip or Copy.
    void paste_line(std::string const& window, std::string const& text) {
        std::string const file = tmp.filePath("paste.txt").toStdString();
        std::ofstream(file, std::ios::binary) << text;
        sh("timeout 20 xclip -quiet -selection clipboard -i '" + file + "' >/dev/null 2>&1 &");
        ASSERT_TRUE(wait_until([&] { return sh("xclip -o -selection clipboard") == text; }, seconds(10)));
        keys(window, "key ctrl+v");
        keys(window, "key Return");
    }
};

TEST_F(SessionProcess, DeskAndClientMeetChatSurviveBreaksAndDisconnect) {
    relay_process relay({"--require-login", "u:p"});
    std::string const proxy = "127.0.0.1:" + std::to_string(relay.port());
    std::vector<std::string> const common = {"--vynwex", "--proxy-address",   proxy, "--force-transport",
                                             "direct",   "--session-message", "a=b"};
    std::string const desk_dir = make_run_dir("tovan_desk");
    std::string const client_dir = make_run_dir("tovan_client");
    std::string const code_file = desk_dir + "/code.txt", notes = desk_dir + "/n.txt";
    std::string const desk_log = desk_dir + "/VYNDesk.out", client_log = client_dir + "/VYNClient.out";

    // A log an earlier run left, readable by all: it goes aside private.
    std::ofstream(desk_log) << "earlier run\n";
    fs::permissions(desk_log, fs::perms(0644));
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
    std::string const sessions = relay.admin("sessions");
    std::string const key = sessions.substr(sessions.find("key=") + 4, 32);
    std::string const client_bind = relay.wait_log({"\"bind\"", "\"role\":\"client\"", "\"method\":37"});
    EXPECT_NE(client_bind, "");
    EXPECT_NE(relay.wait_log({"legs-joined", sid}), "");
    ASSERT_TRUE(wait_until([&] { return read_all(notes).find("2 0\n") != std::string::npos; }));
    // Each end's session message reached the server once.
    EXPECT_TRUE(wait_until([&] { return events_with(relay.log_text(), "message", "session_message") == 2; }))
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

    // A second client on the code is refused in a box; no leg is replaced, every line below arrives once.
    std::size_t const mark = relay.log_text().size();
    auto second = common;
    second.insert(second.end(), {"--connect", code});
    start(make_run_dir("tovan_client"), "tovan_client", second);
    std::string const refused = wait_window("Tovan");
    ASSERT_FALSE(refused.empty());
    EXPECT_NE(relay.wait_log({"\"join-refused\"", sid}), "");
    screenshot("second-client-refused");
    answer(refused, "Return");
    EXPECT_FALSE(wait_until([&] { return relay.log_text().find("leg-replaced", mark) != std::string::npos; },
                            seconds(30)));

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
            if (field(line, "event") == "control-call" && field(line, "method") == "47" &&
                field(line, "reply") == "value") // not the refused second client
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
        if (log.find("\"event\":\"chat_live\"") != std::string::npos &&
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

    // The files left on disk are the user's alone, text, without the session's key (the maps show "***").
    std::vector<std::string> files = {desk_log, client_log, code_file};
    for (auto const& f : fs::directory_iterator(desk_dir))
        if (f.path().filename().string().rfind("VYNDesk.out_", 0) == 0) files.push_back(f.path().string());
    ASSERT_EQ(files.size(), 4u);
    for (auto const& f : files) {
        std::string const text = read_all(f);
        EXPECT_EQ(unsigned(fs::status(f).permissions() & fs::perms::all), 0600u) << f;
        EXPECT_TRUE(std::ranges::all_of(text, [](char c) {
            return c == '\n' || (c >= 0x20 && c != 0x7f) || c < 0;
        })) << f;
        EXPECT_EQ(text.find(key), std::string::npos) << f;
    }
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
    // The relay's system still acknowledges meanwhile: no connection is cut and made again.
    int const accepts = events_with(relay.log_text(), "accept");
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
    EXPECT_EQ(events_with(relay.log_text(), "accept"), accepts) << relay.log_text();
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

// The desk's plugin pad with all four buttons shown: a click in each part
// starts that part's plugin (a library loaded but not pinned) and no other.
// And what the test plugin asks of the desk window once the session is up:
// the connection saved ("connect-save", connect.dat readable by the user
// only), which a desk killed and started again with --connect-restore
// continues. Needs the window's pad and connection file.
TEST_F(SessionProcess, PadButtonsStartTheirPluginsAndTheConnectionIsSaved) {
    // The four plugins with buttons, each a stand-in library loaded from the
    // directory, and where a click lands in each one's part of the pad.
    using part = std::tuple<char const*, char const*, int, int>;
    part const pad[] = {{"audio", "tpaudio", 85, 50},
                        {"file_transfer", "tpfiles", 137, 50},
                        {"video", "tpvideo", 111, 76},
                        {"desktop", "tpdesk", 111, 24}};
    std::string const catalogue = tmp.path().toStdString() + "/catalogue.ini";
    std::ofstream listed(catalogue);
    for (auto [name, library, x, y] : pad) listed << "name=" << name << "\nversion=1\n\n";
    listed.close();
    relay_process relay({"--catalogue", catalogue});
    std::string const proxy = "127.0.0.1:" + std::to_string(relay.port());
    std::vector<std::string> const common = {"--vynwex", "--proxy-address", proxy, "--force-transport",
                                             "direct"};
    std::string const desk_dir = make_run_dir("tovan_desk"), client_dir = make_run_dir("tovan_client");
    fs::create_directories(desk_dir + "/plugins");
    fs::copy_file(std::string(TP_DIR) + "/tp7.so", desk_dir + "/plugins/tp7.so");
    for (auto [name, library, x, y] : pad)
        fs::copy_file(std::string(TP_DIR) + "/" + library + ".so", desk_dir + "/plugins/" + name + ".so");
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
    sh("xdotool windowmove --sync " + win + " 600 0"); // off the client's window
    sh("xdotool mousemove --window " + win + " 111 24");
    screenshot("plugin-pad-hover");
    // In turn, each plugin once up, so that a click that reached another
    // part's button would start that plugin and never its own.
    for (auto [name, library, x, y] : pad) {
        std::string const n = name;
        ASSERT_TRUE(wait_until(
            [&] { return count_of(read_all(desk_dir + "/plugins/" + n + ".rec"), "connect-save"); }));
        sh("xdotool mousemove --window " + win + " " + std::to_string(x) + " " + std::to_string(y) +
           " click 1");
        EXPECT_TRUE(wait_until([&] { return count_of(read_all(desk_log), "added pin " + n + "_1") > 0; }))
            << n;
    }
    screenshot("plugin-pad-started");

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
// (the log-in window, cancelled). A cancelled log-in ends the attempt
// without a box, and the next press of Connect starts a new one; the code
// file and the session message wait for the session that is made.
TEST_F(SessionProcess, CancelledLogInEndsQuietlyAndConnectTriesAgain) {
    relay_process relay({"--require-login", "u:p:token"});
    std::string const dir = make_run_dir("tovan_desk");
    std::string const notes = dir + "/n.txt", log = dir + "/VYNDesk.out", code_file = dir + "/code.txt";
    pid_t const desk = start(dir, "tovan_desk",
                             {"--vynwex", "--proxy-address", "127.0.0.1:" + std::to_string(relay.port()),
                              "--force-transport", "direct", "--web-login", "stale", "--username", "u",
                              "--password", "wrong", "--get-code", "--output-file", code_file, "--silent",
                              "--session-message", "a=b", "--notification-file", notes});
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
    EXPECT_FALSE(fs::exists(code_file));

    // The third time the person logs in: the session made now writes the
    // code file and gets the session message.
    sh("xdotool mousemove --window " + win + " 89 206 click 1"); // Connect
    login = wait_window("Log in");
    ASSERT_FALSE(login.empty());
    keys(login, "key ctrl+a");
    keys(login, "type --delay 8 'u'");
    keys(login, "key Tab ctrl+a");
    keys(login, "type --delay 8 'p'");
    keys(login, "key Return");
    std::string const session = relay.wait_log({"\"event\":\"session\""}, seconds(60));
    ASSERT_NE(session, "") << read_all(log);
    ASSERT_TRUE(wait_until([&] {
        return read_all(code_file) == field(session, "code") + " " + field(session, "sid");
    })) << read_all(code_file);
    EXPECT_TRUE(wait_until([&] { return events_with(relay.log_text(), "message", "session_message") == 1; }))
        << relay.log_text();
    sh("xdotool mousemove --window " + win + " 244 206 click 1");
    int const status = finish(desk);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << read_all(dir + "/stderr.txt");
}

// "--mtu 2": once the session is up, every write of either end towards the
// relay fits 150 bytes (strace, attached to both, is the witness), and a
// long chat line still arrives whole, cut into as many writes as it takes.
TEST_F(SessionProcess, TheSmallestSendLimitHoldsForEveryWrite) {
    relay_process relay({"--require-login", "u:p"});
    // Each end reports the lines it shows on its message channel, which a
    // session message opens.
    auto args = relay_args(relay);
    args.insert(args.end(), {"--session-message", "a=b"});
    ends const e = meet(relay, args, {{"--mtu", "2"}, ""});
    ASSERT_NE(e.session, "");
    std::string const sid = field(e.session, "sid"), &desk_log = e.desk_log, &client_log = e.client_log;
    // The desk's stored choice, applied at both ends.
    ASSERT_TRUE(wait_until(
        [&] { return read_all(client_log).find("new request :adsl_fix 150") != std::string::npos; }));
    ASSERT_NE(read_all(desk_log).find("new request :adsl_fix 150"), std::string::npos);
    // Both ends report the lines they show once they have handled the server's call.
    relay.admin("server-call " + sid + " both send_chat_live");
    for (auto const& log : {desk_log, client_log})
        ASSERT_TRUE(wait_until(
            [&] { return read_all(log).find("new request :send_chat_live") != std::string::npos; }));

    // One file per thread: no call is split across lines by another's.
    std::string const traces = tmp.filePath("writes").toStdString(), trace = traces + "/t",
                      attached = traces + ".err";
    fs::create_directories(traces);
    std::string pids;
    for (pid_t p : live) pids += " -p " + std::to_string(p);
    sh("timeout 300 strace -ff -yy -e trace=write,writev,sendto,sendmsg -o " + trace + pids +
       " >/dev/null 2>" + attached + " & echo $! >" + traces + ".pid");
    ASSERT_TRUE(wait_until([&] { return count_of(read_all(attached), "attached") >= 2; }, seconds(30)))
        << read_all(attached);

    std::string const desk_win = wait_window("Tovan Desk"), client_win = wait_window("Tovan Client");
    std::string const from_desk = "d" + std::string(398, 'x') + "D",
                      from_client = "c" + std::string(398, 'y') + "C";
    move_apart(client_win, desk_win);
    type_line(desk_win, from_desk);
    type_line(client_win, from_client);
    EXPECT_NE(relay.wait_log({"\"chat_live\"", "\"role\":\"client\"", from_desk}, seconds(60)), "");
    EXPECT_NE(relay.wait_log({"\"chat_live\"", "\"role\":\"desk\"", from_client}, seconds(60)), "");
    sh("kill $(cat " + traces + ".pid)");
    ASSERT_TRUE(
        wait_until([&] { return read_all(attached).find("detached") != std::string::npos; }, seconds(30)));

    // Every write on a TCP socket (the relay is the only TCP peer) is small.
    int writes = 0;
    for (auto const& file : fs::directory_iterator(traces)) {
        std::istringstream in(read_all(file.path().string()));
        for (std::string line; std::getline(in, line);) {
            auto const eq = line.rfind(" = ");
            if (line.find("<TCP:[") == std::string::npos || eq == std::string::npos) continue;
            long const n = std::atol(line.c_str() + eq + 3);
            EXPECT_LE(n, 150) << line;
            writes += n > 0;
        }
    }
    EXPECT_GT(writes, 2 * 400 / 150) << "both lines were written, in pieces";
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
// stops the session channel itself and the session ends. A relay that stops
// (SIGSTOP) answers nothing: the window answers again within 6 s.
// Nor the plugin list: no window stalls, the desk waits in state 5.
TEST_F(SessionProcess, UnansweredCloseSessionStillEndsTheSession) {
    relay_process relay({"--never-answer", "41", "--never-answer", "29"});
    std::string const proxy = "127.0.0.1:" + std::to_string(relay.port());
    std::string const desk_dir = make_run_dir("tovan_desk"), client_dir = make_run_dir("tovan_client");
    std::string const notes = desk_dir + "/n.txt", desk_log = desk_dir + "/VYNDesk.out";
    pid_t const desk =
        start(desk_dir, "tovan_desk",
              {"--vynwex", "--proxy-address", proxy, "--force-transport", "direct", "--username", "u",
               "--password", "p", "--get-code", "--notification-file", notes});
    // The longest time a GUI thread spent out of the event loop's wait (poll, ppoll) since its first,
    // from /proc every 20 ms (an ended program is free); the thread stops and joins when reset.
    auto const meter = [](pid_t pid, std::chrono::milliseconds& longest) {
        return std::jthread([pid, &longest](std::stop_token stop) {
            using namespace std::chrono;
            for (auto free_at = steady_clock::time_point::max(); !stop.stop_requested();
                 std::this_thread::sleep_for(20ms)) {
                std::ifstream in("/proc/" + std::to_string(pid) + "/syscall");
                long call = -1;
                auto const now = steady_clock::now();
                if (!in || ((in >> call) && (call == SYS_poll || call == SYS_ppoll))) free_at = now;
                if (now > free_at) longest = std::max(longest, duration_cast<milliseconds>(now - free_at));
            }
        });
    };
    std::chrono::milliseconds desk_stall{0}, client_stall{0};
    std::jthread desk_meter = meter(desk, desk_stall);
    std::string const session = relay.wait_log({"\"event\":\"session\""}, seconds(60));
    ASSERT_NE(session, "");
    pid_t const client = start(client_dir, "tovan_client",
                               {"--vynwex", "--proxy-address", proxy, "--force-transport", "direct",
                                "--connect", field(session, "code")});
    std::jthread client_meter = meter(client, client_stall);
    ASSERT_TRUE(reaches(desk_log, 6, seconds(60)));
    ASSERT_TRUE(reaches(client_dir + "/VYNClient.out", 6));
    EXPECT_TRUE(reaches(desk_log, 5, seconds(0)));
    for (auto const& log : {desk_log, client_dir + "/VYNClient.out"})
        EXPECT_EQ(count_of(read_all(log), "no plugin list from the server"), 1) << log;
    desk_meter = {};
    client_meter = {};
    EXPECT_LT(desk_stall, seconds(6));
    EXPECT_LT(client_stall, seconds(6));
    std::string const win = wait_window("Tovan Desk");
    sh("xdotool windowmove --sync " + win + " 600 0");
    ::kill(relay.pid(), SIGSTOP);
    sh("xdotool mousemove --window " + win + " 32 70 click 1");
    std::string const box = wait_window("Question");
    ASSERT_FALSE(box.empty());
    auto const asked = std::chrono::steady_clock::now();
    keys(box, "key Return");
    sh("xdotool mousemove --window " + win + " 32 27 click 1"); // settings: shown once the GUI is back
    std::string const settings = wait_window("Settings", seconds(30));
    EXPECT_LT(std::chrono::steady_clock::now() - asked, seconds(6));
    keys(settings, "key Escape");
    EXPECT_TRUE(x->wait_gone(uint32_t(std::stoul(settings)), seconds(30)));
    EXPECT_TRUE(reaches(desk_log, 0, seconds(60)));
    EXPECT_TRUE(wait_until([&] {
        std::string const n = read_all(notes);
        return n.size() >= 4 && n.compare(n.size() - 4, 4, "0 0\n") == 0;
    })) << read_all(notes);
    ::kill(relay.pid(), SIGCONT);
    EXPECT_NE(relay.wait_log({"\"method\":41", "\"reply\":\"none\""}, seconds(30)), "");
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
    EXPECT_NE(relay->wait_log({R"("event":"chat_live")", R"("role":"desk")", "acrossrestart"}, seconds(30)),
              "");
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

// nft drops every packet of the client's relay connections both ways (new ones pass): the client
// reconnects by its session id, a line typed meanwhile reaches the desk once, and the relay lets go of them.
TEST_F(SessionProcess, FrozenPathIsFoundAndTheSessionGoesOn) {
    auto const where =
        test_support::in_private_network("SessionProcess.FrozenPathIsFoundAndTheSessionGoesOn");
    if (where == test_support::netns::unavailable)
        GTEST_SKIP() << "no private network namespace (needs root)";
    if (where == test_support::netns::ran_there) return;
    relay_process relay;
    auto args = relay_args(relay);
    args.insert(args.end(), {"--session-message", "a=b"}); // live chat goes with the session's messages
    ends const e = meet(relay, args);
    ASSERT_FALSE(HasFailure());
    std::string const desk_win = wait_window("Tovan Desk"), client_win = wait_window("Tovan Client");
    move_apart(client_win, desk_win);
    relay.admin("server-call " + field(e.session, "sid") + " both send_chat_live");

    // The client's connections by local port, and the relay's names for them.
    std::string const set =
        trimmed(sh("ss -tnpH state established '( dport = :" + std::to_string(relay.port()) +
                   " )' | grep 'pid=" + std::to_string(e.client_pid) +
                   ",' | awk '{print $3}' | sed 's/.*://' | paste -sd, -"));
    std::vector<std::string> frozen_conns;
    std::istringstream ports(set);
    for (std::string port; std::getline(ports, port, ',');)
        for (auto const& accept : event_lines(relay.log_text(), "accept", "127.0.0.1:" + port + "\""))
            frozen_conns.push_back(field(accept, "conn"));
    ASSERT_FALSE(frozen_conns.empty());
    auto const binds = [&] { return events_with(relay.log_text(), "bind", "\"role\":\"client\""); };
    int const before = binds();
    sh("nft 'table inet frozen { chain out { type filter hook output priority 0; tcp sport { " + set +
       " } drop; tcp dport { " + set + " } drop; }; }'");
    type_line(client_win, "duringfreeze");
    ASSERT_TRUE(wait_until([&] { return binds() > before; }, seconds(90))) << relay.log_text();
    EXPECT_NE(relay.wait_log({R"("event":"chat_live")", R"("role":"desk")", "duringfreeze"}, seconds(60)),
              "");
    for (auto const& conn : frozen_conns)
        EXPECT_NE(relay.wait_log({R"("event":"close")", "\"conn\":" + conn + ","}, seconds(60)), "") << conn;
    EXPECT_EQ(events_with(relay.log_text(), "chat_live", "duringfreeze"), 1) << relay.log_text();
    EXPECT_TRUE(disconnect_at_desk(e.desk_log, e.client_log, desk_win));
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
    move_apart(client_win, desk_win);
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
// clicked on it, and Connect finds the session by that code. Before that:
// with the code field empty, a box with the idle text; after a failed
// connect one click starts one attempt, and Return held in the window
// presses Connect once, leaving its failure box up. Under a window manager, the pad is owned by the
// window and beside it, wholly on the screen, wherever the window goes; a box is owned by it and above it.
TEST_F(SessionProcess, TouchPadTypesTheCode) {
    window_manager const wm(server->display());
    auto const window_ids = [&](std::string const& xprop_args) {
        std::istringstream in(
            sh("xprop " + xprop_args + " | grep -o '0x[0-9a-f]*' | xargs -r printf '%d\\n'"));
        return std::vector<std::string>(std::istream_iterator<std::string>(in), {});
    };
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
    EXPECT_EQ(window_ids("-id " + pad + " WM_TRANSIENT_FOR"), std::vector<std::string>{win});
    auto const frame = [&](std::string const& w) { return x->frame_of(uint32_t(std::stoul(w))); };
    auto const apart = [&] {
        x_windows::area const p = frame(pad);
        return !p.overlaps(frame(win)) && p.x >= 0 && p.y >= 0 && p.x + p.width <= 1023 &&
               p.y + p.height <= 767;
    };
    int const right = 1023 - frame(win).width, bottom = 767 - frame(win).height;
    for (auto const& [x, y] :
         {std::pair{right, 0}, {right, bottom}, {0, bottom}, {right / 2, bottom}, {0, 0}}) {
        sh("timeout 30 xdotool windowmove --sync " + win + " " + std::to_string(x) + " " + std::to_string(y));
        EXPECT_TRUE(wait_until(apart)) << x << "," << y;
        screenshot("touch-pad-" + std::to_string(x) + "-" + std::to_string(y));
    }
    std::string const log = client_dir + "/VYNClient.out";
    for (int failed = 0; failed < 4; ++failed) {
        // A failed connect empties the code field: the code is typed again.
        if (failed > 0) sh("xdotool mousemove --window " + win + " 60 160 click 1 type 999999999");
        if (failed < 3) sh("xdotool mousemove --window " + win + " 89 206 click 1");
        if (failed == 3 && x->focus(uint32_t(std::stoul(win)), seconds(60)))
            sh("xdotool keydown Return sleep 2 keyup Return");
        std::string const box = wait_window("Tovan");
        ASSERT_FALSE(box.empty()) << failed;
        EXPECT_EQ(count_of(read_all(log), "on action "), failed + 1);
        EXPECT_EQ(events_with(relay.log_text(), "control-call", "\"method\":47"), failed);
        EXPECT_NE(read_all(log).find("message box \"Tovan\": "), std::string::npos) << "the box has a text";
        auto const stacking = window_ids("-root _NET_CLIENT_LIST_STACKING");
        auto const level = [&](std::string const& w) { return std::ranges::find(stacking, w); };
        EXPECT_EQ(window_ids("-id " + box + " WM_TRANSIENT_FOR"), std::vector<std::string>{win});
        EXPECT_TRUE(level(win) < level(box) && level(box) != stacking.end()) << failed;
        answer(box, "Return");
        EXPECT_TRUE(wait_until([&] { return count_of(read_all(log), "connection state 0\n") == failed; }));
    }
    for (char digit : code) {
        // Keys 1-9 in rows of three from (5, 5), 100 apart; 0 below 8.
        int const n = digit == '0' ? 11 : digit - '0';
        int const x = 5 + 100 * ((n - 1) % 3) + 45, y = 5 + 100 * ((n - 1) / 3) + 45;
        sh("xdotool mousemove --window " + pad + " " + std::to_string(x) + " " + std::to_string(y) +
           " click 1");
    }
    EXPECT_TRUE(wait_until(apart)) << "after the keys";
    EXPECT_EQ(sh("xdotool getwindowfocus"), win + "\n") << "the keyboard stays with the window";
    screenshot("touch-pad");
    sh("xdotool mousemove --window " + win + " 89 206 click 1"); // Connect
    EXPECT_NE(relay.wait_log({"\"bind\"", "\"role\":\"client\""}, seconds(60)), "") << relay.log_text();
    EXPECT_TRUE(reaches(log, 6, seconds(60)));
    EXPECT_TRUE(wait_until(apart)) << "connected";
    (void)client; // both stopped by TearDown
}

// The settings window while connected, at a client with the settings test
// plugin: the general page and the plugin's; a language and "Slowest" with
// OK queue the line command at the client and send it to the desk, tell the
// relay the language, retranslate (the plugins hear "update-language") and
// save the plugin's page once; the choice lasts for the run only, so
// storage.ini stays as it was. Then the plugin's own entry in the settings
// button's menu, chosen, reaches the plugin with its id.
TEST_F(SessionProcess, SettingsSlowestWhileConnected) {
    relay_process relay({"--require-login", "u:p"});
    std::string const proxy = "127.0.0.1:" + std::to_string(relay.port());
    std::string const desk_dir = make_run_dir("tovan_desk"), client_dir = make_run_dir("tovan_client");
    std::string const session = start_desk_with_code(relay, desk_dir);
    ASSERT_NE(session, "");
    fs::create_directories(client_dir + "/plugins");
    fs::copy_file(std::string(TP_DIR) + "/tpset.so", client_dir + "/plugins/tpset.so");
    setenv("TOVAN_TEST_PLUGINS", (client_dir + "/plugins").c_str(), 1);
    pid_t const client = start(client_dir, "tovan_client",
                               {"--vynwex", "--proxy-address", proxy, "--force-transport", "direct",
                                "--connect", field(session, "code")});
    unsetenv("TOVAN_TEST_PLUGINS");
    std::string const client_log = client_dir + "/VYNClient.out", rec = client_dir + "/rec/tpset.rec";
    ASSERT_TRUE(reaches(client_log, 6, seconds(60)));
    std::string const win = wait_window("Tovan Client");
    ASSERT_FALSE(win.empty());
    sh("xdotool windowmove --sync " + win + " 0 0");
    std::string const ini = client_dir + "/home/.dravo/sepra/Tovan/storage.ini";
    std::string const before = read_all(ini);
    // The number after a marker of the plugin's record (0 when absent).
    auto number_after = [&](std::string const& marker) {
        std::string const says = read_all(rec);
        auto const at = says.find(marker);
        return at == std::string::npos ? 0ul : std::stoul(says.substr(at + marker.size()));
    };
    ASSERT_TRUE(wait_until([&] { return number_after("append-menu -> ") != 0; })) << read_all(rec);
    unsigned long const entry_id = number_after("append-menu -> ");
    EXPECT_GE(entry_id, 30000u);

    sh("xdotool mousemove --window " + win + " 32 27 click 1"); // the settings button
    std::string const settings = wait_window("Settings");
    ASSERT_FALSE(settings.empty());
    sh("xdotool windowmove --sync " + settings + " 0 0");
    EXPECT_TRUE(wait_until([&] { return read_all(rec).find("show_settings") != std::string::npos; }));
    screenshot("settings");
    // The wheel over the closed boxes: the language one step up, to the
    // first language, Deutsch; the line speed two down, to "Slowest". Return
    // then reaches OK, the default button.
    sh("xdotool mousemove --window " + settings + " 517 64 click 4");
    sh("xdotool mousemove --window " + settings + " 517 94 click 5 click 5");
    screenshot("settings-chosen");
    keys(settings, "key Return");
    EXPECT_TRUE(x->wait_gone(uint32_t(std::stoul(settings)), seconds(30)));
    EXPECT_TRUE(wait_until([&] { return read_all(client_log).find("adsl_fix 150") != std::string::npos; }))
        << read_all(client_log);
    EXPECT_TRUE(wait_until(
        [&] { return read_all(desk_dir + "/VYNDesk.out").find("adsl_fix 150") != std::string::npos; }));
    EXPECT_NE(relay.wait_log({"\"control-call\"", "\"method\":18", "\"text\":\"de\""}), "")
        << relay.log_text();
    EXPECT_TRUE(wait_until([&] {
        return read_all(rec).find("command update-language") != std::string::npos;
    })) << read_all(rec);
    EXPECT_NE(read_all(client_log).find("Changing language to de"), std::string::npos);
    screenshot("settings-german");
    // The plugin's page was the second, and saved once.
    EXPECT_EQ(count_of(read_all(rec), "settings saved"), 1) << read_all(rec);
    EXPECT_NE(read_all(rec).find("settings saved page 1"), std::string::npos) << read_all(rec);
    EXPECT_EQ(read_all(ini), before);

    // The settings button's menu holds the plugin's entry (its mnemonic
    // chooses it); the plugin hears "command-event" with its id.
    sh("xdotool mousemove --window " + win + " 32 27 click 3");
    uint32_t const popup = x->wait_popup(seconds(30));
    ASSERT_NE(popup, 0u);
    screenshot("menu-plugin-entry");
    sh("xdotool key e");
    EXPECT_TRUE(x->wait_gone(popup, seconds(30)));
    EXPECT_TRUE(wait_until([&] { return number_after("command-event ") != 0; })) << read_all(rec);
    EXPECT_EQ(number_after("command-event "), entry_id) << read_all(rec);
    EXPECT_EQ(count_of(read_all(rec), "command-event "), 1) << read_all(rec);
    (void)client; // both stopped by TearDown
}

} // namespace

// The window a user works in, end to end: its size at each stage, the desk's
// mail command, the chat's forms on the way to the server, the proxy log
// line, and both ends' transcripts posted when the desk disconnects.
TEST_F(SessionProcess, WindowSizesMailChatFormsAndTranscripts) {
    relay_process relay({"--require-login", "u:p"});
    std::string const proxy = "127.0.0.1:" + std::to_string(relay.port());
    std::vector<std::string> const common = {
        "--vynwex", "--proxy-address",   proxy, "--force-transport", "direct",
        "--silent", "--session-message", "a=b"};
    // The flat-colour pictures: a screenshot tells which pieces show.
    std::string const desk_dir = make_run_dir("tovan_desk", true),
                      client_dir = make_run_dir("tovan_client", true);
    std::string const notes = desk_dir + "/n.txt";
    std::string const desk_log = desk_dir + "/VYNDesk.out", client_log = client_dir + "/VYNClient.out";
    // The desktop's opener, first on the PATH: it notes what it was given.
    std::string const bin = tmp.filePath("bin").toStdString(),
                      opened = tmp.filePath("opened.txt").toStdString();
    fs::create_directories(bin);
    std::ofstream(bin + "/xdg-open") << "#!/bin/sh\nprintf '%s' \"$1\" >> '" << opened << "'\n";
    fs::permissions(bin + "/xdg-open", fs::perms::owner_all);
    std::ofstream(tmp.filePath("mail.txt").toStdString()) << "a b+c\nunused\nx&y \xC3\xA9\n";
    relay.admin("mail-template " + tmp.filePath("mail.txt").toStdString());

    auto height = [&](std::string const& win) {
        std::string const info = sh("xwininfo -id " + win);
        auto at = info.find("Height:");
        return at == std::string::npos ? -1 : std::stoi(info.substr(at + 7));
    };
    std::string const old_path = std::getenv("PATH");
    setenv("PATH", (bin + ":" + old_path).c_str(), 1);
    auto desk_args = common;
    for (char const* a : {"--username", "u", "--password", "p", "--get-code", "--on-load", "pos=rightbottom",
                          "--notification-file"})
        desk_args.push_back(a);
    desk_args.push_back(notes);
    pid_t const desk = start(desk_dir, "tovan_desk", desk_args);
    setenv("PATH", old_path.c_str(), 1);
    (void)desk;
    std::string const session = relay.wait_log({"\"event\":\"session\""}, seconds(60));
    ASSERT_NE(session, "") << read_all(desk_log) << relay.log_text();
    std::string const code = field(session, "code"), sid = field(session, "sid");
    ASSERT_TRUE(reaches(desk_log, 5));
    std::string const desk_win = wait_window("Tovan Desk");
    ASSERT_FALSE(desk_win.empty());
    EXPECT_EQ(height(desk_win), 230);

    // The mail button of the waiting desk opens the template as a mail link.
    // It shows from the tick after the state changed; a click before lands
    // on the read-only code field.
    std::string const link = "MailTo:?Subject=a%20b%2bc&body=x%26y%20%c3%a9";
    bool mailed = false;
    for (int i = 0; i < 20 && !mailed; ++i) {
        sh("xdotool mousemove --window " + desk_win + " 216 156 click 1");
        mailed = wait_until([&] { return !read_all(opened).empty(); }, seconds(1));
    }
    ASSERT_TRUE(mailed) << read_all(desk_log);
    EXPECT_EQ(read_all(opened), link);
    screenshot("window-waiting");
    EXPECT_EQ(
        sh("python3 -c 'import sys, urllib.parse; q = urllib.parse.parse_qs(sys.argv[1].split(\"?\", 1)[1]); "
           "print(q[\"Subject\"][0] + \"|\" + q[\"body\"][0])' '" +
           link + "'"),
        "a b+c|x&y \xC3\xA9\n");
    relay.admin("fail-method 44");
    sh("xdotool mousemove --window " + desk_win + " 216 156 click 1");
    EXPECT_NE(relay.wait_log({"\"control-call\"", "\"method\":44", "\"reply\":\"error\""}), "");
    relay.admin("answer 44");

    pid_t const client = start(client_dir, "tovan_client", [&] {
        auto a = common;
        for (char const* s : {"--auto-close", "--connect"}) a.push_back(s);
        a.push_back(code);
        return a;
    }());
    ASSERT_TRUE(reaches(client_log, 6, seconds(60))) << read_all(client_dir + "/stderr.txt");
    ASSERT_TRUE(reaches(desk_log, 6));
    std::string const client_win = wait_window("Tovan Client");
    ASSERT_FALSE(client_win.empty());
    EXPECT_TRUE(wait_until([&] { return height(desk_win) == 367 && height(client_win) == 367; }));
    // Grown at the bottom of the screen, the desk moved up to stay on it.
    std::string const where = sh("xwininfo -id " + desk_win);
    int const desk_y = std::stoi(where.substr(where.find("Absolute upper-left Y:") + 22));
    EXPECT_EQ(desk_y, 767 - 367) << where;
    int const desk_x = std::stoi(where.substr(where.find("Absolute upper-left X:") + 22));
    std::string const client_where = sh("xwininfo -id " + client_win);
    int const client_x = std::stoi(client_where.substr(client_where.find("Absolute upper-left X:") + 22));
    int const client_y = std::stoi(client_where.substr(client_where.find("Absolute upper-left Y:") + 22));
    screenshot("window-connected");
    // The connected pieces in their sheets' colours: the client's upper piece
    // from the second sheet, the desk's from the fifth, both lower pieces
    // from the fifth; the desk's pad buttons in their normal frame's colour.
    QImage const shot(QString::fromStdString(std::string(SCREENSHOT_DIR) + "/window-connected.png"));
    QColor const second_sheet(0x40, 0xd0, 0x40), fifth_sheet(0x40, 0xd0, 0xd0), pad(0x20, 0xa0, 0x20);
    EXPECT_EQ(shot.pixelColor(client_x + 100, client_y + 160), second_sheet);
    EXPECT_EQ(shot.pixelColor(client_x + 100, client_y + 190), fifth_sheet);
    EXPECT_EQ(shot.pixelColor(desk_x + 240, desk_y + 160), fifth_sheet);
    EXPECT_EQ(shot.pixelColor(desk_x + 111, desk_y + 80), pad); // the video part, clear of its mark
    EXPECT_TRUE(wait_until([&] { return read_all(notes).find("2 0\n") != std::string::npos; }));
    move_apart(client_win, desk_win);
    EXPECT_EQ(read_all(opened), link) << "the failed template opened nothing";

    relay.admin("server-call " + sid + " both send_chat_live");
    relay.admin("server-call " + sid + " both send_chat_transcript");
    EXPECT_TRUE(wait_until([&] { return events_with(relay.log_text(), "rpc-result", "") >= 4; }));
    type_line(client_win, "see http://a.b/c now");
    EXPECT_NE(relay.wait_log({"\"event\":\"chat_live\"", "\"role\":\"client\"",
                              "<a href=\\\"http://a.b/c\\\">http://a.b/c</a></font> now"},
                             seconds(30)),
              "");
    std::string many = "a";
    for (int i = 0; i < 300; ++i) many += "\xC3\xA4";
    paste_line(client_win, many);
    std::string const cut = "a" + [] {
        std::string s;
        for (int i = 0; i < 255; ++i) s += "\\u00e4";
        return s;
    }() + "</p>";
    EXPECT_NE(relay.wait_log({"\"event\":\"chat_live\"", "\"role\":\"desk\"", cut}, seconds(30)), "")
        << relay.log_text();
    paste_line(client_win, "\xD0\x96\xD1\x83\xD0\xBA");
    EXPECT_NE(relay.wait_log({"\"event\":\"chat_live\"", "\"role\":\"desk\"", "&#1046;&#1091;&#1082;"},
                             seconds(30)),
              "");
    type_line(desk_win, "proxylog hi");
    EXPECT_NE(relay.wait_log({"\"control-call\"", "\"method\":13", "\"text\":\"proxylog hi\""}), "");
    type_line(desk_win, "deskline");
    EXPECT_NE(relay.wait_log({"\"event\":\"chat_live\"", "\"role\":\"client\"", "deskline"}, seconds(30)),
              "");
    // Typed markup characters are text: both ends show them as typed.
    type_line(desk_win, "a<b and c>d & e");
    auto shown = [&](std::string const& line) {
        return events_with(relay.log_text(), "chat_live", " : </b>" + line + "</p>");
    };
    EXPECT_TRUE(wait_until([&] { return shown("a&lt;b and c&gt;d &amp; e") == 2; })) << relay.log_text();
    screenshot("window-chat");
    keys(desk_win, "key Escape");
    EXPECT_FALSE(x->wait_gone(uint32_t(std::stoul(desk_win)), seconds(1))) << "Escape keeps the window";
    // Lines entered at machine speed share their time stamps: each Return sends its line.
    for (int i = 0; i < 20; ++i) keys(desk_win, "key --delay 0 p Return q Return");
    EXPECT_TRUE(wait_until([&] { return shown("p") == 40 && shown("q") == 40; })) << shown("p") << shown("q");
    // A click on the link of the log's last line opens the typed address.
    type_line(desk_win, "http://h/?a=1&b=2 after");
    EXPECT_TRUE(
        wait_until([&] { return events_with(relay.log_text(), "chat_live", "b=2</a></font> after") == 1; }));
    sh("xdotool mousemove --window " + desk_win + " 120 307 click 1");
    EXPECT_TRUE(wait_until([&] { return read_all(opened) == link + "http://h/?a=1&b=2"; }))
        << read_all(opened);
    screenshot("window-chat-link");

    // Right-click menus, driven by keys: each one opens as a pop-up window.
    auto menu = [&](std::string const& win, int x, int y, std::string const& shot, std::string const& keys) {
        sh("xdotool mousemove --window " + win + " " + std::to_string(x) + " " + std::to_string(y) +
           " click 3");
        uint32_t const popup = this->x->wait_popup(seconds(30));
        EXPECT_NE(popup, 0u) << shot;
        screenshot(shot);
        sh("xdotool key " + keys);
        return popup;
    };
    auto clipboard = [&] { return sh("xclip -o -selection clipboard 2>/dev/null"); };
    EXPECT_TRUE(
        this->x->wait_gone(menu(desk_win, 120, 260, "menu-chat-copy", "Down Down Return"), seconds(30)));
    EXPECT_TRUE(wait_until([&] { return clipboard().find(" Desk : deskline\n") != std::string::npos; }))
        << clipboard();
    std::string const copied = clipboard();
    EXPECT_TRUE(copied.size() > 9 && copied[2] == ':' && copied[5] == ':' && copied[8] == ' ') << copied;
    // Copy gives what the log shows: the typed text, a link as its address.
    for (char const* typed : {" Desk : a<b and c>d & e\n", " Desk : http://h/?a=1&b=2 after\n"})
        EXPECT_NE(copied.find(typed), std::string::npos) << typed << copied;
    EXPECT_TRUE(this->x->wait_gone(menu(desk_win, 120, 260, "menu-chat-clear", "Down Return"), seconds(30)));
    EXPECT_TRUE(this->x->wait_gone(menu(desk_win, 120, 260, "menu-chat-copy-empty", "Down Down Return"),
                                   seconds(30)));
    EXPECT_TRUE(wait_until([&] { return clipboard().empty(); })) << clipboard();
    sh("xdotool mousemove --window " + desk_win + " 100 344 click 1");
    keys(desk_win, "type hello");
    EXPECT_TRUE(this->x->wait_gone(menu(desk_win, 245, 344, "menu-send", "Down Return"), seconds(30)));
    EXPECT_NE(relay.wait_log({"\"control-call\"", "\"method\":13", "\"text\":\"proxylog :hello\""}), "");
    // Languages, then its first entry, Deutsch (in a second pop-up).
    uint32_t const main_menu = menu(desk_win, 32, 27, "menu-main", "Down Down Right");
    sh("xdotool key Return");
    EXPECT_TRUE(this->x->wait_gone(main_menu, seconds(30)));
    EXPECT_NE(relay.wait_log({"\"control-call\"", "\"method\":18", "\"text\":\"de\""}), "");
    EXPECT_TRUE(
        wait_until([&] { return read_all(desk_log).find("Changing language to de") != std::string::npos; }));
    screenshot("window-german");
    EXPECT_TRUE(this->x->wait_gone(menu(desk_win, 32, 27, "menu-log", "Down Return"), seconds(30)));
    std::string const no_viewer = wait_window("Error");
    ASSERT_FALSE(no_viewer.empty()) << "no log viewer here: the box says where the log is";
    screenshot("box-no-viewer");
    answer(no_viewer, "Return");
    // No plugin catalogue yet: a pad button says so in one box.
    sh("xdotool mousemove --window " + desk_win + " 111 24 click 1");
    std::string const disabled = wait_window("Tovan");
    ASSERT_FALSE(disabled.empty());
    screenshot("box-plugin-disabled");
    answer(disabled, "Return");
    EXPECT_TRUE(wait_window("Tovan", seconds(1)).empty());
    sh("xdotool mousemove --window " + desk_win + " 100 344 click 1");
    type_line(desk_win, "afterclear");
    EXPECT_NE(relay.wait_log({"\"event\":\"chat_live\"", "\"role\":\"client\"", "afterclear"}, seconds(30)),
              "");

    // The desk disconnects without a question (--silent); each end posts its transcript.
    sh("xdotool mousemove --window " + desk_win + " 32 70 click 1");
    for (char const* role : {"desk", "client"}) {
        std::string const t = relay.wait_log(
            {"\"event\":\"transcript\"", "\"sid\":\"" + sid + "\"", std::string("\"role\":\"") + role},
            seconds(30));
        ASSERT_NE(t, "") << role << relay.log_text();
        EXPECT_EQ(field(t, "kind"), std::string(role) + "_chat");
        // The typed lines of both ends, in plain lines (the proxy log line is none).
        // (The desk cleared its chat log, and so its plain lines, on the way.)
        std::vector<std::string> parts = {"Desk : afterclear\\u000a"};
        if (role == std::string("client"))
            parts.insert(parts.end(), {"Client : see ", "http://a.b/c", "Desk : deskline\\u000a",
                                       "Desk : a<b and c>d & e\\u000a"});
        for (auto const& part : parts) EXPECT_NE(t.find(part), std::string::npos) << part << t;
        EXPECT_EQ(t.find("proxylog"), std::string::npos) << t;
    }
    live.erase(std::remove(live.begin(), live.end(), client), live.end());
    int const status = wait_exit(client, seconds(5));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    std::string const client_out = read_all(client_log);
    auto const posted = client_out.find("done posting results:");
    ASSERT_NE(posted, std::string::npos);
    EXPECT_EQ(client_out.substr(posted, client_out.find('\n', posted) - posted).find_first_not_of(" ", 21),
              std::string::npos)
        << "no error";
    EXPECT_TRUE(wait_until([&] { return height(desk_win) == 230; }));
    screenshot("window-ended");
}

// A relay that refuses new connections at the end: each end's post fails
// with the transport report in one box, and the client (auto close) ends
// once its box is answered.
TEST_F(SessionProcess, FailedPostsShowOneBoxEach) {
    relay_process relay({"--require-login", "u:p"});
    auto common = relay_args(relay);
    common.push_back("--silent");
    ends const e = meet(relay, common, {}, {{"--auto-close"}, ""});
    ASSERT_FALSE(HasFailure());
    std::string const& desk_log = e.desk_log;
    std::string const& client_log = e.client_log;
    std::string const sid = field(e.session, "sid");
    pid_t const client = e.client_pid;
    std::string const desk_win = wait_window("Tovan Desk");
    relay.admin("server-call " + sid + " both send_chat_transcript");
    EXPECT_TRUE(wait_until([&] { return events_with(relay.log_text(), "rpc-result", "") >= 2; }));
    relay.admin("listen off");
    sh("xdotool mousemove --window " + desk_win + " 32 70 click 1");
    for (auto const& log : {desk_log, client_log}) {
        EXPECT_TRUE(wait_until([&] {
            return read_all(log).find("done posting results:") != std::string::npos;
        })) << log;
        std::string const out = read_all(log);
        std::string const done = out.substr(out.find("done posting results:"));
        EXPECT_NE(done.find("Connecting through:"), std::string::npos) << done;
    }
    for (int boxes = 0; boxes < 2; ++boxes) {
        std::string const box = wait_window("Tovan");
        ASSERT_FALSE(box.empty()) << boxes;
        screenshot("box-post-failed-" + std::to_string(boxes));
        answer(box, "Return");
    }
    EXPECT_TRUE(wait_window("Tovan", seconds(1)).empty()) << "one box each";
    live.erase(std::remove(live.begin(), live.end(), client), live.end());
    int const status = wait_exit(client, seconds(10));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}
