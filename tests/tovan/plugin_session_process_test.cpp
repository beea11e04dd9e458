// Plugins from the server reach a real session: tovan_relay serves a
// catalogue with an auto-start test plugin, its signed package and its
// translations; the desk and the client (each with its own run directory
// and HOME) fetch the package on "PLUGINS", load it, negotiate, route it to
// a sub-channel of the session and the two copies greet each other there.
// A second session in the same run directories starts from the HOMEs' cache.
#include "tests/tovan/process_suite.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>

namespace {

using namespace tovan_test;
using std::chrono::seconds;
using test_support::relay_process;
namespace fs = std::filesystem;

class PluginSessionProcess : public process_suite {};

// Every file under dir that the program unpacked (the HOME and the test's
// records are not its unpacking).
std::vector<std::string> unpacked_files(std::string const& dir) {
    std::vector<std::string> found;
    for (auto const& sub : {"tpauto_1_0"}) {
        std::error_code ec;
        for (auto it = fs::recursive_directory_iterator(dir + "/" + sub, ec);
             !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
            found.push_back(it->path().string());
    }
    // Another directory when the first name was taken (a random ending).
    for (auto const& entry : fs::directory_iterator(dir))
        if (entry.path().filename().string().rfind("tpauto_1_0", 0) == 0 &&
            entry.path().filename() != "tpauto_1_0")
            found.push_back(entry.path().string());
    return found;
}

TEST_F(PluginSessionProcess, PackagesAreFetchedNegotiatedAndCached) {
    std::string const fixtures = PLUGIN_FIXTURES;
    std::string const scratch = tmp.path().toStdString();
    std::string const catalogue = scratch + "/catalogue.ini";
    {
        std::ofstream out(catalogue);
        for (char const* v : {"1.0", "2.0"}) // the second version (one package serves both) is given up
            out << "name=tpauto\nversion=" << v << "\nplatform=linux64\nlib=libtpauto.so\n"
                << "download_ticket=tpauto_1_0.plugin\nauto_start=true\n\n";
        fs::create_directories(scratch + "/translations");
        std::ofstream(scratch + "/translations/tpauto.ini") << "[en]\nTPAUTO_TITLE=Automatic\n\n"
                                                               "[de]\nTPAUTO_TITLE=Automatisch\n";
    }
    relay_process relay(
        {"--files", fixtures, "--catalogue", catalogue, "--translations", scratch + "/translations"});
    std::vector<std::string> const args = relay_args(relay);
    std::string const served = read_all(fixtures + "/tpauto_1_0.plugin");
    ASSERT_FALSE(served.empty());

    std::string stored_identifier, stored_trans;
    ends first;
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round == 0 ? "first session" : "second session, from the cache");
        std::size_t const relay_before = relay.log_text().size();
        // The second time the client loads the plugin from its cache before
        // the desk answers: the session still comes up.
        ends e = round == 0 ? meet(relay, args) : meet(relay, args, {}, {}, &first, [](ends const& held) {
            return read_all(held.client_log).find("Trying to load tpauto") != std::string::npos;
        });
        if (round == 0) first = e;
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
        // The desk numbers the channel of a plugin both ends want: even, from
        // 102. (Each copy's calls in order are the negotiation test's; here
        // the library is loaded once, also from the cache.)
        EXPECT_EQ(routes(desk_log), (std::map<std::string, int>{{"tpauto", 102}})) << desk_log;
        EXPECT_EQ(routes(client_log), routes(desk_log)) << client_log;
        for (auto const* says : {&desk_says, &client_says}) {
            EXPECT_EQ(count_of(*says, "lib_init"), 1) << *says;
            EXPECT_NE(says->find("\"hello tpauto "), std::string::npos) << *says;
        }
        std::string const both = desk_log + client_log; // each copy moves itself to 40 before its hello
        EXPECT_EQ(count_of(both, "Routing plugin tpauto from channel 102 to 40"), 2) << both;
        EXPECT_EQ(both.find("new request :hello"), std::string::npos) << both;
        EXPECT_EQ(count_of(both, "ignore autodl tpauto_2_0"), 2) << both;

        // The first session downloads the package once per end and keeps it,
        // with its translations, in each HOME's cache; the second downloads
        // nothing and asks for the translations by the stored identifier,
        // which the relay answers with nothing new.
        std::string const relay_log = relay.log_text().substr(relay_before);
        EXPECT_EQ(count_of(relay_log, "\"event\":\"download\""), round == 0 ? 2 : 0) << relay_log;
        auto const asked = event_lines(relay_log, "translations");
        EXPECT_EQ(asked.size(), 2u) << relay_log;
        for (auto const& line : asked) {
            EXPECT_EQ(field(line, "name"), "tpauto") << line;
            EXPECT_EQ(field(line, "cached"), stored_identifier) << line;
            if (round == 0)
                EXPECT_EQ(field(line, "answer").size(), 16u) << line;
            else
                EXPECT_EQ(field(line, "answer"), "") << line;
        }
        if (round == 1) {
            EXPECT_NE(client_log.find("prepared plugin tpauto_1_0"), std::string::npos) << client_log;
            EXPECT_EQ(client_log.find("starting plugin transfer"), std::string::npos) << client_log;
        }
        for (auto const& dir : {e.desk_dir, e.client_dir}) {
            std::string const cached = read_all(dir + "/home/.dravo/tpauto_1_0_linux64.plugin");
            EXPECT_TRUE(cached == served) << dir << ": cached " << cached.size() << " bytes";
            std::string const trans = read_all(dir + "/home/.dravo/tpauto_1_0_linux64.trans");
            EXPECT_NE(trans.find("TPAUTO_TITLE=Automatisch"), std::string::npos) << trans;
            if (round == 0) {
                if (stored_trans.empty()) stored_trans = trans;
                EXPECT_EQ(trans, stored_trans) << "both ends store the same answer";
            } else {
                EXPECT_EQ(trans, stored_trans) << "an empty answer keeps the stored set";
            }
        }
        if (round == 0 && asked.size() == 2) stored_identifier = field(asked[0], "answer");
        EXPECT_EQ(stored_trans.size() > 16 ? stored_trans.substr(stored_trans.size() - 18, 16) : "",
                  stored_identifier)
            << "the identifier closes the stored file";

        // While the programs run, each holds its unpacking directory's lock.
        std::vector<std::string> unpacked[2];
        int i = 0;
        for (auto const& dir : {e.desk_dir, e.client_dir}) {
            unpacked[i] = unpacked_files(dir);
            EXPECT_TRUE(fs::exists(unpacked[i].emplace_back(dir + "/tpauto.tmp"))); // the plugin's own
            int locks = 0;
            for (auto const& path : unpacked[i]) {
                if (fs::path(path).filename() != "writeacc.dat") continue;
                ++locks;
                EXPECT_NE(std::system(("flock -n '" + path + "' true").c_str()), 0) << path;
            }
            EXPECT_EQ(locks, 1) << dir;
            ++i;
        }

        // The desk disconnects (the server ends both), then both close; the
        // programs leave nothing of what they unpacked.
        std::string const desk_win = wait_window("Tovan Desk"), client_win = wait_window("Tovan Client");
        ASSERT_FALSE(desk_win.empty());
        ASSERT_FALSE(client_win.empty());
        move_apart(client_win, desk_win);
        ASSERT_TRUE(disconnect_at_desk(e.desk_log, e.client_log, desk_win, seconds(10)))
            << read_all(e.desk_log) << read_all(e.client_log);
        close_cleanly(e.desk_pid, desk_win, e.desk_dir);
        close_cleanly(e.client_pid, client_win, e.client_dir);
        i = 0;
        for (auto const& dir : {e.desk_dir, e.client_dir}) {
            EXPECT_FALSE(unpacked[i].empty()) << dir;
            for (auto const& path : unpacked[i]) EXPECT_FALSE(fs::exists(path)) << path;
            EXPECT_NE(read_all(dir + "/rec/tpauto.rec").find("lib_deinit"), std::string::npos);
            fs::remove(dir + "/rec/tpauto.rec");
            ++i;
        }
    }
}

} // namespace
