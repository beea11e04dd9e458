// Plugins from the server reach a real session: tovan_relay serves a
// catalogue with an auto-start test plugin, its signed package and its
// translations; the desk and the client (each with its own run directory
// and HOME) fetch the package on "PLUGINS", load it, negotiate, route it to
// a sub-channel of the session and the two copies greet each other there.
#include "tests/tovan/process_suite.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

using namespace tovan_test;
using std::chrono::seconds;
using test_support::relay_process;

class PluginSessionProcess : public process_suite {};

// The line "Routing plugin NAME from channel -1 to N" of a log: N, or -1.
int routed_channel(std::string const& log, std::string const& name) {
    std::string const key = "Routing plugin " + name + " from channel -1 to ";
    auto at = log.find(key);
    return at == std::string::npos ? -1 : std::atoi(log.c_str() + at + key.size());
}

TEST_F(PluginSessionProcess, PackagesAreFetchedNegotiatedAndCached) {
    std::string const fixtures = PLUGIN_FIXTURES;
    std::string const catalogue = tmp.path().toStdString() + "/catalogue.ini";
    {
        std::ofstream out(catalogue);
        out << "name=tpauto\nversion=1.0\nplatform=linux64\nlib=libtpauto.so\n"
               "download_ticket=tpauto_1_0.plugin\nauto_start=true\n";
    }
    relay_process relay(
        {"--files", fixtures, "--catalogue", catalogue, "--translations", fixtures + "/translations"});
    std::string const proxy = "127.0.0.1:" + std::to_string(relay.port());
    std::vector<std::string> const args = {"--vynwex", "--proxy-address", proxy, "--force-transport",
                                           "direct"};

    std::size_t const relay_before = relay.log_text().size();
    {
        ends e = meet(relay, args);
        std::string const desk_rec = e.desk_dir + "/rec/tpauto.rec";
        std::string const client_rec = e.client_dir + "/rec/tpauto.rec";
        // Each copy greets the other on its own sub-channel once both are
        // connected: the peer's hello arrives as a packet.
        for (auto const& [rec, log] :
             {std::pair{desk_rec, e.desk_log}, std::pair{client_rec, e.client_log}}) {
            EXPECT_TRUE(
                wait_until([&] { return read_all(rec).find("packet") != std::string::npos; }, seconds(90)))
                << rec << "\n"
                << read_all(rec) << "\n"
                << read_all(log);
        }
        std::string const desk_log = read_all(e.desk_log), client_log = read_all(e.client_log);
        std::string const desk_says = read_all(desk_rec), client_says = read_all(client_rec);
        // The desk numbers the channel of a plugin both ends want: even, from 102.
        EXPECT_EQ(routed_channel(desk_log, "tpauto"), 102) << desk_log;
        EXPECT_EQ(routed_channel(client_log, "tpauto"), routed_channel(desk_log, "tpauto")) << client_log;
        EXPECT_EQ(desk_log.find("adding request plg tpauto"), std::string::npos) << "the desk wanted it too";
        for (auto const* says : {&desk_says, &client_says}) {
            EXPECT_NE(says->find("init -1"), std::string::npos) << *says;
            EXPECT_NE(says->find("connected 1"), std::string::npos) << *says;
            EXPECT_NE(says->find("\"hello tpauto "), std::string::npos) << *says;
        }
        // Each end downloads the package once and keeps it in its HOME's cache.
        std::string const relay_log = relay.log_text().substr(relay_before);
        EXPECT_EQ(count_of(relay_log, "\"event\":\"download\""), 2) << relay_log;
        for (auto const& dir : {e.desk_dir, e.client_dir}) {
            struct stat st {};
            EXPECT_EQ(::stat((dir + "/home/.dravo/tpauto_1_0_linux64.plugin").c_str(), &st), 0) << dir;
        }

        // Both ends go (their windows' close is the session tests' part).
        for (pid_t pid : {e.desk_pid, e.client_pid}) {
            ::kill(pid, SIGKILL);
            finish(pid);
        }
    }
}

} // namespace
