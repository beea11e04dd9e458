// The plugin download manager on a stand-in downloader and dialog: cache
// hits, one version of a name at a time, resuming and its guard, the bounds
// on starts and retries, cancelling, progress bars, and downloader reports
// racing the GUI thread's starts and cancels.
#include "tests/tovan/package_fixture.h"
#include "tests/tovan/plugin_manager_fixture.h"
#include "tovan/plugins/plugin_manager.h"

#include "rulo/exception.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>

using namespace tovan;
using tovan_test::fake_host;
using tovan_test::package_env;

namespace {

struct fake_downloader : plugin_downloader {
    struct call {
        std::string ticket;
        std::uint64_t size, skip;
    };
    std::vector<call> calls;
    std::vector<std::string> cancels;
    bool refuse = false;
    void download(std::string const& ticket, std::uint64_t size, std::uint64_t skip) override {
        if (refuse) throw rulo::exception::function("download");
        calls.push_back({ticket, size, skip});
    }
    void cancel(std::string const& ticket) override { cancels.push_back(ticket); }
};

// Everything one test drives: packages, the catalogue, the manager.
struct rig {
    package_env env;
    fake_host host;
    download_table table;
    rulo::object<fake_downloader> downloader{new fake_downloader};
    download_reader reader{table};
    plugin_manager manager{host, table};

    rig() { table.set_downloader(downloader); }
    ~rig() { host.settle(manager); }

    // A signed package of plugin name/version and its catalogue record (state 1).
    std::string add(std::string const& name, std::string const& version, std::string const& ticket) {
        std::string pkg;
        host.defs.push_back(tovan_test::catalogue_entry(env, name, version, ticket, pkg));
        return pkg;
    }
    plugin_def& def(std::string const& name) { return host.def(name); }
    // Delivers bytes and an end as the downloader's thread does.
    void deliver(std::string const& ticket, std::string const& bytes, char const* end = "complete") {
        std::thread poller([&] {
            reader.download_packet(ticket, netbuf::from_string(bytes));
            if (std::string(end) == "complete")
                reader.download_complete(ticket);
            else if (*end)
                reader.download_error(ticket, end);
        });
        poller.join();
    }
    bool wait_state(std::string const& name, int state) { return host.wait_state(name, state); }
};

} // namespace

// A cached package is taken from the cache (its size counts as done); the
// next name is downloaded while its second version waits; the client tells
// the remote end its totals and that it is done; the window comes and goes.
TEST(PluginManager, CacheHitThenDownloadOneVersionAtATime) {
    rig r;
    std::string const a = r.add("a", "1", "a.plugin");
    std::string const b = r.add("b", "1", "b.plugin");
    r.add("b", "2", "b2.plugin");
    ::mkdir((r.env.home() + "/.dravo").c_str(), 0700);
    test_support::write_file(r.env.home() + "/.dravo/a_1_linux64.plugin", a);

    r.manager.start_downloads();
    std::int64_t const total = std::int64_t(a.size() + b.size()); // b counted once
    ASSERT_FALSE(r.host.statuses.empty());
    EXPECT_EQ(r.host.statuses.front(), std::make_pair(total, std::int64_t(0)));
    ASSERT_TRUE(r.wait_state("a_1", 7));
    EXPECT_EQ(r.manager.progress().at(0).done, std::int64_t(a.size()));
    ASSERT_TRUE(r.wait_state("b_1", 3));
    ASSERT_EQ(r.downloader->calls.size(), 1u);
    EXPECT_EQ(r.downloader->calls[0].ticket, "b.plugin");
    EXPECT_EQ(r.downloader->calls[0].skip, 0u);
    EXPECT_EQ(r.def("b_2").state, 1);
    EXPECT_TRUE(r.host.shown.back());

    r.deliver("b.plugin", b);
    ASSERT_TRUE(r.wait_state("b_1", 7));
    r.host.settle(r.manager);
    EXPECT_EQ(r.def("b_2").state, 1); // its name is prepared: it never starts
    EXPECT_EQ(std::count(r.host.commands.begin(), r.host.commands.end(), "module_plugin_load"), 2);
    EXPECT_EQ(r.host.statuses.back(), std::make_pair(std::int64_t(-1), std::int64_t(-1)));
    EXPECT_FALSE(r.host.shown.back());
    EXPECT_EQ(r.downloader->calls.size(), 1u);
    EXPECT_EQ(test_support::read_file(r.env.home() + "/.dravo/b_1_linux64.plugin"), b);
    EXPECT_TRUE(r.host.boxes.empty());
}

// A broken connection keeps the bytes and the next download skips them;
// kept bytes are filed by signature and size too, so a package signed again
// never gets them; a resumed download that fails its check is fetched once
// more from the start.
TEST(PluginManager, ResumeAndItsGuard) {
    rig r;
    std::string const c = r.add("c", "1", "c.plugin");
    r.manager.start_downloads();
    ASSERT_TRUE(r.wait_state("c_1", 3));
    r.deliver("c.plugin", c.substr(0, 1000), "Connection broken");
    ASSERT_TRUE(r.host.pump_until([&] { return r.downloader->calls.size() == 2; }));
    EXPECT_EQ(r.downloader->calls[1].skip, 1000u);
    EXPECT_TRUE(r.host.logged("c_1  DlError retrying"));
    r.deliver("c.plugin", c.substr(1000));
    ASSERT_TRUE(r.wait_state("c_1", 7));

    plugin_def resigned = r.def("c_1");
    resigned.definition["signature"] = "other";
    r.table.keep_partial(r.def("c_1"), "kept");
    EXPECT_EQ(r.table.kept_length(resigned), 0u);
    EXPECT_EQ(r.table.kept_length(r.def("c_1")), 4u);

    std::string const d = r.add("d", "1", "d.plugin");
    r.table.keep_partial(r.def("d_1"), std::string(500, 'x')); // not this package's first bytes
    r.manager.start_downloads();
    ASSERT_TRUE(r.host.pump_until([&] { return r.downloader->calls.size() == 3; }));
    EXPECT_EQ(r.downloader->calls[2].skip, 500u);
    r.deliver("d.plugin", d.substr(500));
    ASSERT_TRUE(r.host.pump_until([&] { return r.downloader->calls.size() == 4; }));
    EXPECT_EQ(r.downloader->calls[3].skip, 0u);
    r.deliver("d.plugin", d);
    ASSERT_TRUE(r.wait_state("d_1", 7));
    r.host.settle(r.manager);
    EXPECT_TRUE(r.host.boxes.empty());
}

// Starts and retries are bounded: a start the downloader refuses waits for
// the next start_downloads; a failing download is tried 3 times, then given
// up with one box; a package above the size limit is never fetched; a
// cancel ends quietly; a result whose definition went away changes nothing.
TEST(PluginManager, StartAndRetryBoundsCancelAndVanishedDefinitions) {
    rig r;
    r.add("e", "1", "e.plugin");
    r.downloader->refuse = true;
    r.manager.start_downloads();
    r.host.settle(r.manager);
    EXPECT_EQ(r.def("e_1").state, 1);
    EXPECT_TRUE(r.host.logged("e_1  DlError retrying2"));
    EXPECT_FALSE(r.manager.busy());
    r.downloader->refuse = false;
    r.manager.start_downloads();
    for (int attempt = 1; attempt <= 3; ++attempt) {
        ASSERT_TRUE(r.wait_state("e_1", 3)) << attempt;
        EXPECT_EQ(r.downloader->calls.size(), std::size_t(attempt));
        r.deliver("e.plugin", "", "x");
        ASSERT_TRUE(r.host.pump_until([&] { return r.def("e_1").state != 3; }));
    }
    r.host.settle(r.manager);
    EXPECT_EQ(r.def("e_1").state, 9);
    EXPECT_EQ(r.downloader->calls.size(), 3u);
    EXPECT_EQ(r.host.boxes, std::vector<std::string>{"Plugin \"e_1\" not downloaded: x.\r\n"});

    r.add("huge", "1", "huge.plugin");
    r.def("huge_1").definition["size"] = std::to_string((256u << 20) + 1);
    r.manager.start_downloads();
    r.host.settle(r.manager);
    EXPECT_EQ(r.def("huge_1").state, 9);
    EXPECT_EQ(r.downloader->calls.size(), 3u);
    EXPECT_EQ(r.host.boxes.size(), 2u);

    r.add("f", "1", "f.plugin");
    r.manager.start_downloads();
    ASSERT_TRUE(r.wait_state("f_1", 3));
    r.manager.cancel_all();
    r.reader.download_cancelled("f.plugin"); // the downloader's answer comes too late to matter
    r.host.settle(r.manager);
    EXPECT_EQ(r.def("f_1").state, 0);
    EXPECT_EQ(r.downloader->cancels.back(), "f.plugin");
    EXPECT_EQ(r.host.boxes.size(), 2u);

    r.add("g", "1", "g.plugin");
    r.manager.start_downloads();
    r.host.defs.pop_back(); // a new catalogue without it, while its look-up runs
    r.host.settle(r.manager);
    EXPECT_EQ(r.manager.running_checkers(), 0);
    EXPECT_TRUE(r.host.logged("dropping the check of plugin g_1: no longer in the catalogue"));
    r.manager.new_session(); // three tries a session: the next one tries the given-up e_1 again
    r.def("e_1").state = 1;
    r.manager.start_downloads();
    ASSERT_TRUE(r.wait_state("e_1", 3));
    r.deliver("e.plugin", "", "x");
    EXPECT_TRUE(r.host.pump_until([&] { return r.downloader->calls.size() == 6; })) << "tried again";
}

// Bars never take more than 16384 steps; the remote end's report keeps its
// own entry and hides the window only when this end fetches nothing; its
// (-1, -1) removes it; progress for an entry that is gone makes none.
TEST(PluginManager, ProgressBarsAndRemoteReports) {
    rig r;
    r.manager.update_download_status(10000000, 5000000, 0);
    EXPECT_EQ(r.host.bars[0], std::make_pair(9765, 4882));
    r.manager.update_download_status(10000000, 9999999, 0); // full only with the last byte
    EXPECT_EQ(r.host.bars[0], std::make_pair(9765, 9764));
    r.manager.update_download_status(1000, 10, 1);
    EXPECT_EQ(r.host.bars[1], std::make_pair(1000, 10));
    EXPECT_FALSE(r.host.shown.back()); // nothing of this end runs
    r.manager.update_download_status(-1, -1, 1);
    EXPECT_EQ(r.host.bars.count(1), 0u);
    EXPECT_EQ(r.manager.progress().count(1), 0u);

    r.manager.update_download_status(100, 100, 0); // all counted: entry 0 goes
    r.host.bars.clear();
    r.manager.update_plugins(0, 100);
    EXPECT_EQ(r.manager.progress().count(0), 0u);
    EXPECT_TRUE(r.host.bars.empty());

    std::string const h = r.add("h", "1", "h.plugin");
    r.manager.start_downloads();
    ASSERT_TRUE(r.wait_state("h_1", 3));
    std::size_t const shown = r.host.shown.size();
    r.manager.update_download_status(1000, 10, 1);
    EXPECT_EQ(r.host.shown.size(), shown); // this end's download keeps the window

    // A package wanted while h arrives begins a round that counts h's rest.
    r.deliver("h.plugin", h.substr(0, 1000), "");
    ASSERT_TRUE(r.host.pump_until([&] { return r.manager.progress().at(0).done == 1000; }));
    std::string const i = r.add("i", "1", "i.plugin");
    r.manager.start_downloads();
    EXPECT_EQ(r.manager.progress().at(0).total, std::int64_t(h.size() - 1000 + i.size()));
    r.deliver("h.plugin", h.substr(1000));
    ASSERT_TRUE(r.wait_state("h_1", 7));
}

// Rounds: the running download's rest counts, a round goes on while what is
// left covers what is to come, and more to come begins a new one.
TEST(PluginManager, RoundsOfDownloadProgress) {
    std::vector<plugin_def> defs(3);
    for (std::size_t k = 0; k < 3; ++k)
        defs[k].definition = {{"name", std::string{char('a' + k)}}, {"size", std::to_string(1000 * (k + 1))}};
    struct {
        int states[3];
        std::int64_t here[3]; // bytes of each at this end
        std::int64_t arrived, done, total;
    } const steps[] = {
        {{1, 1, 0}, {0, 0, 0}, 0, 0, 3000},       {{3, 1, 0}, {600, 0, 0}, 600, 600, 3000}, // a running
        {{3, 1, 1}, {600, 0, 0}, 0, 0, 5400},     // c wanted: a new round
        {{7, 1, 1}, {0, 0, 0}, 400, 400, 5400},   // a here
        {{7, 1, 1}, {0, 500, 0}, 500, 900, 5400}, // b broke at 500
        {{7, 1, 1}, {0, 0, 0}, 0, 0, 5000},       // b again from its start
        {{7, 9, 1}, {0, 0, 0}, 100, 100, 3100},   // b given up
    };
    plugin_manager::download_data round;
    for (auto const& step : steps) {
        for (std::size_t k = 0; k < 3; ++k) defs[k].state = step.states[k];
        round.done += step.arrived;
        auto const here = [&](plugin_def const& d) { return step.here[&d - defs.data()]; };
        round = plugin_manager::next_round(round, plugin_manager::bytes_to_come(defs, here));
        EXPECT_EQ(std::make_pair(round.done, round.total), std::make_pair(step.done, step.total));
    }
}

// Reports from the downloader's thread race the GUI thread's starts and
// cancels; every record is touched under the framework lock.
TEST(PluginManager, ReportsRaceStartsAndCancels) {
    rig r;
    for (int i = 0; i < 4; ++i) r.add("r" + std::to_string(i), "1", "r" + std::to_string(i) + ".plugin");
    std::atomic<bool> stop{false};
    std::thread poller([&] {
        while (!stop) {
            for (int i = 0; i < 4; ++i) {
                std::string const t = "r" + std::to_string(i) + ".plugin";
                r.reader.download_packet(t, netbuf::from_string("x"));
                if (i % 2) r.reader.download_error(t, rulo::SRDownloader::connection_broken);
            }
        }
    });
    for (int round = 0; round < 50; ++round) {
        r.manager.start_downloads();
        r.host.pump_until([&] {
            std::lock_guard<std::mutex> l(r.host.m);
            return r.host.jobs.empty();
        });
        r.manager.cancel_all();
    }
    stop = true;
    poller.join();
    r.manager.cancel_all();
}

// The progress report to the remote end, byte for byte: done, then total on top.
TEST(PluginManager, DownloadStatusMessage) {
    EXPECT_EQ(download_status_message(100, 0), std::string("module_plugin_download \x00\x64\x01", 26));
    EXPECT_EQ(download_status_message(-1, -1), std::string("module_plugin_download \x01\x81\x01\x81", 27));
    std::int64_t total = 0, done = 0;
    EXPECT_TRUE(read_download_status(download_status_message(3000000000LL, 12).substr(23), total, done));
    EXPECT_EQ(total, 3000000000LL);
    EXPECT_EQ(done, 12);
    EXPECT_FALSE(read_download_status("\x05", total, done));
}

// Two cases that once stopped every later download: a break while the next
// package's look-up runs, without a connection to start it on (the next
// connection's start_downloads must start again, resuming the break); and a
// record carrying another package's signature, whose look-up must not be
// taken for that package's (it gets its own refusal, the other still loads).
TEST(PluginManager, BreakDuringALookUpAndASharedSignature) {
    rig r;
    std::string const g = r.add("g", "1", "g.plugin");
    std::string const h = r.add("h", "1", "h.plugin");
    r.host.defs.push_back(r.def("h_1"));
    r.host.defs.back().definition["name"] = "w";
    r.host.defs.back().definition["download_ticket"] = "w.plugin";
    r.manager.start_downloads();
    ASSERT_TRUE(r.wait_state("g_1", 3));
    r.host.network = false;
    r.downloader->refuse = true; // the connection is gone
    r.deliver("g.plugin", g.substr(0, 700), "Connection broken");
    ASSERT_TRUE(r.host.pump_until([&] { return r.host.logged("h_1  DlError retrying2"); }));
    r.host.settle(r.manager);
    EXPECT_EQ(r.def("g_1").state, 1);

    r.host.network = true;
    r.downloader->refuse = false;
    r.manager.start_downloads();
    ASSERT_TRUE(r.wait_state("g_1", 3));
    EXPECT_EQ(r.downloader->calls.back().skip, 700u);
    r.deliver("g.plugin", g.substr(700));
    ASSERT_TRUE(r.wait_state("h_1", 3));
    r.deliver("h.plugin", h);
    ASSERT_TRUE(r.wait_state("w_1", 3));
    r.deliver("w.plugin", g);
    ASSERT_TRUE(r.wait_state("w_1", 9));
    r.host.settle(r.manager);
    EXPECT_EQ(r.def("g_1").state, 7);
    EXPECT_EQ(r.def("h_1").state, 7);
    EXPECT_EQ(r.host.boxes,
              std::vector<std::string>{"Plugin \"g_1(w_1)\" not used due to mismatch in signature.\r\n"});
}
