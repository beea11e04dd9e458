// The two ends agree on their plugins, end to end: tovan_relay serves test
// plugins to a desk and a client of different flavours, each wanting some of
// them; the logs' routing lines and each plugin's own record show who asked,
// who answered, which sub-channel each got, the calls each copy received and
// the peer's greeting on that sub-channel; then a broken leg, and the end.
#include "tests/tovan/process_suite.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

namespace {

using namespace tovan_test;
using std::chrono::seconds;
using test_support::relay_process;

class NegotiationProcess : public process_suite {
protected:
    // A catalogue of test plugin packages (one record a line, fields
    // separated by blanks) for the relay.
    std::string catalogue(std::vector<std::string> const& records) {
        std::string const path = tmp.path().toStdString() + "/catalogue.ini";
        std::ofstream out(path);
        for (auto const& r : records) {
            std::istringstream fields(r);
            for (std::string f; fields >> f;) out << f << "\n";
            out << "\n";
        }
        return path;
    }
    // A broken leg: both ends carry the session on over fresh legs. The
    // reliable channel resumes (it is set up anew only for a restarted
    // peer), so every plugin keeps its pin and its sub-channel: no new
    // route, nothing sent down, and tpclient's copies still reach each other
    // on theirs ("tp-again" typed at the client).
    void resume_after_broken_legs(relay_process& relay, ends const& e, std::string const& client_win) {
        std::size_t const desk_before = read_all(e.desk_log).size(),
                          client_before = read_all(e.client_log).size();
        std::string const desk_rec = e.desk_dir + "/rec/tpclient.rec";
        relay.admin("break-legs " + field(e.session, "sid"));
        for (auto const& [log, from] :
             {std::pair{e.desk_log, desk_before}, std::pair{e.client_log, client_before}})
            EXPECT_TRUE(wait_until(
                [&, log = log, from = from] {
                    std::string const text = read_all(log).substr(from);
                    auto const broken = text.find("connection state 7\n");
                    return broken != std::string::npos &&
                           text.find("connection state 6\n", broken) != std::string::npos;
                },
                seconds(60)))
                << read_all(log).substr(from);
        type_line(client_win, "tp-again");
        EXPECT_TRUE(wait_until(
            [&] { return read_all(desk_rec).find("\"again tpclient ") != std::string::npos; }, seconds(60)))
            << read_all(desk_rec);
        for (auto const& [log, from] :
             {std::pair{e.desk_log, desk_before}, std::pair{e.client_log, client_before}}) {
            std::string const text = read_all(log).substr(from);
            EXPECT_EQ(text.find("Routing plugin"), std::string::npos) << text;
            EXPECT_EQ(text.find("module_plugin_down"), std::string::npos) << text;
            EXPECT_EQ(text.find("Unloading pin"), std::string::npos) << text;
        }
    }
    // Until each named plugin at each end has its peer's hello.
    bool greeted(ends const& e, std::set<std::string> const& names) {
        for (auto const& dir : {e.desk_dir, e.client_dir})
            for (auto const& name : names) {
                std::string const rec = dir + "/rec/" + name + ".rec";
                auto const hello = "\"hello " + name + " ";
                if (!wait_until([&] { return read_all(rec).find(hello) != std::string::npos; },
                                seconds(120))) {
                    ADD_FAILURE() << rec << "\n"
                                  << read_all(rec) << read_all(e.desk_log) << read_all(e.client_log);
                    return false;
                }
            }
        return true;
    }
};

std::string record(std::string const& name, std::string const& version = "1.0",
                   std::string const& more = "") {
    std::string full = name + "_" + version;
    std::replace(full.begin(), full.end(), '.', '_');
    return "name=" + name + " version=" + version + " platform=linux64 lib=lib" + name +
           ".so download_ticket=" + full + ".plugin " + more;
}

// Each part found after the one before it; the offset past the last, or npos.
std::size_t in_order(std::string const& text, std::vector<std::string> const& parts, std::size_t at = 0) {
    for (auto const& p : parts) {
        at = text.find(p, at);
        if (at == std::string::npos) return at;
        at += p.size();
    }
    return at;
}

std::set<std::string> const negotiated = {"tpboth", "tpkids", "tpkids_a", "tpkids_b", "tpclient"};
bool is_child(std::string const& name) {
    return name.size() > 2 && name[name.size() - 2] == '_';
}

TEST_F(NegotiationProcess, BothEndsAgreeOnPluginsChannelsAndReconnects) {
    relay_process relay(
        {"--files", PLUGIN_FIXTURES, "--catalogue",
         catalogue({record("tpboth", "1.0", "auto_start=true"), record("tpkids"), record("tpclient"),
                    record("tpver", "5", "flavor=deskend"), record("tpver", "3", "flavor=clientend"),
                    record("tpsolo", "1.0", "flavor=clientend")})});
    ends e = meet(relay, relay_args(relay),
                  {{"--on-connect", "tpkids?go=1", "--on-connect", "tpver?go=1"}, "deskend"},
                  {{"--on-connect", "tpclient?go=1"}, "clientend"});
    ASSERT_FALSE(HasFailure());
    std::string const desk_win = wait_window("Tovan Desk"), client_win = wait_window("Tovan Client");
    move_apart(client_win, desk_win);
    std::string const desk_rec = e.desk_dir + "/rec/", client_rec = e.client_dir + "/rec/";
    auto const both = {std::pair{desk_rec, e.desk_log}, std::pair{client_rec, e.client_log}};
    ASSERT_TRUE(greeted(e, negotiated));
    ASSERT_TRUE(
        wait_until([&] { return read_all(client_rec + "tpver.rec").find("connected") != std::string::npos; },
                   seconds(60)));

    std::string const desk_log = read_all(e.desk_log), client_log = read_all(e.client_log);
    // The desk wanted tpboth too: it drops the client's request and numbers it.
    EXPECT_EQ(desk_log.find("adding request plg tpboth"), std::string::npos);
    // The client fetches tpkids only once the desk asks for it, then answers.
    EXPECT_NE(
        in_order(client_log, {"adding request plg tpkids", "prepared plugin tpkids_1_0", "accepting tpkids"}),
        std::string::npos)
        << client_log;
    // tpsolo is unknown at the desk: its check disables the client's entry.
    EXPECT_NE(in_order(client_log, {"==> module_plugin_check", "disabling plugin tpsolo_1_0"}),
              std::string::npos);
    EXPECT_EQ(client_log.find("disabling plugin tpboth"), std::string::npos);

    // One number a name, equal at both ends: the desk's even from 102, the
    // client's (tpclient, which only it wants) odd from 103; a parent and
    // its children consecutive in name order; tpver none.
    auto const first = routes(desk_log);
    EXPECT_EQ(routes(client_log), first);
    EXPECT_EQ(first.size(), negotiated.size()) << desk_log;
    std::set<int> numbers;
    for (auto const& [name, channel] : first) {
        EXPECT_TRUE(negotiated.count(name)) << name;
        numbers.insert(channel);
        EXPECT_EQ(channel % 2, name == "tpclient" ? 1 : 0) << name;
    }
    EXPECT_EQ(numbers.size(), first.size());
    EXPECT_EQ(first.at("tpclient"), 103);
    EXPECT_EQ(*numbers.begin(), 102);
    EXPECT_EQ(first.at("tpkids_a"), first.at("tpkids") + 2);
    EXPECT_EQ(first.at("tpkids_b"), first.at("tpkids") + 4);

    // Each copy's calls: init(-1) at pinning, init with the peer's protocol
    // (a parent's, never a child's), connected(1), the peer's hello.
    for (auto const& [rec, log] : both)
        for (auto const& name : negotiated) {
            std::string const says = read_all(rec + name + ".rec");
            // (The peer's hello may come before connected: the route is
            // set first.)
            std::vector<std::string> calls = {"] init -1", "] connected 1"};
            if (!is_child(name)) calls.insert(calls.begin() + 1, "] init 3");
            EXPECT_NE(in_order(says, calls), std::string::npos) << rec << name << "\n" << says;
            EXPECT_EQ(count_of(says, "] init "), is_child(name) ? 1 : 2) << says;
        }
    // tpver: each end's copy refuses the other's protocol; the client's is
    // told it has no channel, the desk's hears nothing more.
    std::string const desk_ver = read_all(desk_rec + "tpver.rec"),
                      client_ver = read_all(client_rec + "tpver.rec");
    EXPECT_NE(in_order(client_ver, {"init -1", "init 5", "connected 0"}), std::string::npos) << client_ver;
    EXPECT_NE(in_order(desk_ver, {"init -1", "init 3"}), std::string::npos) << desk_ver;
    for (auto const* says : {&desk_ver, &client_ver}) {
        EXPECT_EQ(says->find("connected 1"), std::string::npos) << *says;
        EXPECT_EQ(says->find("packet"), std::string::npos) << *says;
    }
    EXPECT_EQ(desk_ver.find("connected"), std::string::npos) << desk_ver;

    resume_after_broken_legs(relay, e, client_win);
    for (auto const& [rec, log] : both)
        for (auto const& name : negotiated)
            EXPECT_EQ(count_of(read_all(rec + name + ".rec"), "deinit"), 0) << name;

    // Disconnect at the desk: every connected plugin is unpinned at both
    // ends, and both programs close cleanly.
    EXPECT_TRUE(disconnect_at_desk(e.desk_log, e.client_log, desk_win));
    EXPECT_NE(read_all(e.desk_log).find("\"Question\": Disconnect the session?"), std::string::npos);
    for (auto const& [rec, log] : both)
        for (auto const& name : negotiated)
            EXPECT_TRUE(
                wait_until([&, rec = rec] { return count_of(read_all(rec + name + ".rec"), "deinit") == 1; },
                           seconds(30)))
                << rec << name << "\n"
                << read_all(rec + name + ".rec");
    close_cleanly(e.desk_pid, desk_win, e.desk_dir);
    close_cleanly(e.client_pid, client_win, e.client_dir);
}

// Only the client wants a plugin: it asks without a message from the desk
// (which wants nothing) and numbers the channel, odd. (A broken leg keeps
// its route as the test above shows for tpclient.)
TEST_F(NegotiationProcess, OnlyTheClientWantsAPlugin) {
    relay_process relay({"--files", PLUGIN_FIXTURES, "--catalogue", catalogue({record("tpclient")})});
    ends e = meet(relay, relay_args(relay), {}, {{"--on-connect", "tpclient?go=1"}, ""});
    ASSERT_FALSE(HasFailure());
    ASSERT_TRUE(greeted(e, {"tpclient"}));
    std::string const desk_log = read_all(e.desk_log), client_log = read_all(e.client_log);
    EXPECT_EQ(routes(desk_log), (std::map<std::string, int>{{"tpclient", 103}})) << desk_log;
    EXPECT_EQ(routes(client_log), routes(desk_log));
    EXPECT_NE(in_order(client_log, {"requesting tpclient", "sending requesting"}), std::string::npos);
    for (pid_t pid : {e.desk_pid, e.client_pid}) {
        ::kill(pid, SIGKILL);
        finish(pid);
    }
}

} // namespace
