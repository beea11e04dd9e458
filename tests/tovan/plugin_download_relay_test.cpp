// The download manager over the framework's real downloader on "PLUGINS",
// against tovan_relay serving signed packages with the faults a test asks
// for: a broken connection resumed on the next one, a corrupt package refused
// with the user's message, a short or failing download tried 3 times.
#include "tests/support/relay_process.h"
#include "tests/tovan/plugin_manager_fixture.h"
#include "tovan/plugins/download_table.h"

#include "rulo-rpt/choose/AutoTransport.h"
#include "rulo-rpt/mux/rptSRMux.h"
#include "rulo-rpt/rpc/rpcWrapper.h"
#include "rulo/scheduler.h"

#include <gtest/gtest.h>
#include <regex>

using namespace tovan;
using tovan_test::fake_host;
using tovan_test::package_env;

namespace {

class no_calls : public rulo::rpcWrapperSink {
public:
    void func(netbuf const&, rulo::object<reply>) override {}
};

// The real downloader, counting what it is asked.
class counted_downloader : public sr_downloader {
public:
    using sr_downloader::sr_downloader;
    void download(std::string const& ticket, std::uint64_t size, std::uint64_t skip) override {
        skips.push_back(skip);
        sr_downloader::download(ticket, size, skip);
    }
    std::vector<std::uint64_t> skips;
};

// One connection to the relay as the desk makes it, its "PLUGINS" downloader
// reporting to the table.
struct relay_link {
    rulo::object<rulo::rptSRMux> sr{new rulo::rptSRMux};
    rulo::object<counted_downloader> downloader;

    relay_link(test_support::relay_process& relay, download_table& table) {
        std::string last;
        rulo::AutoTransport chooser(
            {{"connect", "127.0.0.1:" + std::to_string(relay.port())}, {"force", "direct"}}, last);
        EXPECT_TRUE(sr->start_and_wait(30, rulo::scheduler_pool(), chooser,
                                       rulo::object<rulo::rpcWrapperSink>(new no_calls), false, "o.lan",
                                       "t.lan", "", ""));
        downloader = rulo::object<counted_downloader>(new counted_downloader(
            sr->create_downloader(rulo::object<rulo::SRDownloaderSink>(new download_reader(table)))));
        table.set_downloader(downloader);
    }
    ~relay_link() { sr->disconnect(); }
};

struct relay_rig {
    package_env env;
    fake_host host;
    download_table table;
    plugin_manager manager{host, table};
    std::unique_ptr<test_support::relay_process> relay;

    ~relay_rig() {
        host.settle(manager);
        table.set_downloader({});
    }
    std::string add(std::string const& name) {
        std::string pkg;
        host.defs.push_back(tovan_test::catalogue_entry(env, name, "1", name + ".plugin", pkg));
        test_support::write_file(env.file("served/" + name + ".plugin"), pkg);
        return pkg;
    }
    void start_relay(std::vector<std::string> faults) {
        std::vector<std::string> options{"--files", env.file("served")};
        for (auto const& f : faults) options.insert(options.end(), {"--download-fault", f});
        relay = std::make_unique<test_support::relay_process>(options);
    }
    int downloads_of(std::string const& ticket) {
        std::string const log = relay->log_text();
        std::regex const line("\"event\":\"download\"[^\\n]*\"name\":\"" + ticket + "\"");
        return int(std::distance(std::sregex_iterator(log.begin(), log.end(), line), std::sregex_iterator()));
    }
};

} // namespace

// A break: the bytes so far are kept; the download cannot go on without a
// connection and waits; on the next connection it resumes where it broke,
// and the package saved equals the one served.
TEST(PluginDownloadRelay, BrokenConnectionResumesOnTheNext) {
    relay_rig r;
    ::mkdir(r.env.file("served").c_str(), 0755);
    std::string const pkg = r.add("brk");
    r.start_relay({"brk.plugin break 3000"});
    {
        relay_link first(*r.relay, r.table);
        r.manager.start_downloads();
        ASSERT_TRUE(r.host.pump_until([&] { return r.host.logged("brk_1  DlError retrying2"); }));
        EXPECT_EQ(r.host.def("brk_1").state, 1);
        EXPECT_EQ(r.table.kept_length(r.host.def("brk_1")), 3000u);
    }
    relay_link second(*r.relay, r.table);
    r.manager.start_downloads();
    ASSERT_TRUE(r.host.wait_state("brk_1", 7));
    EXPECT_EQ(second.downloader->skips, std::vector<std::uint64_t>{3000});
    EXPECT_NE(r.relay->wait_log({"\"event\":\"download\"", "\"name\":\"brk.plugin\"", "\"offset\":3000"}),
              "");
    EXPECT_EQ(test_support::read_file(r.env.home() + "/.dravo/brk_1_linux64.plugin"), pkg);
    EXPECT_TRUE(r.host.boxes.empty());
}

// A corrupt package is refused with the user's message and nothing saved;
// a short one and a failing one are fetched exactly 3 times, then one box.
TEST(PluginDownloadRelay, RefusedAndRetriedDownloads) {
    relay_rig r;
    ::mkdir(r.env.file("served").c_str(), 0755);
    r.add("cor");
    r.add("sho");
    r.add("err");
    r.start_relay({"cor.plugin corrupt", "sho.plugin short", "err.plugin error x"});
    relay_link link(*r.relay, r.table);
    r.manager.start_downloads();
    ASSERT_TRUE(r.host.pump_until([&] {
        return r.host.def("cor_1").state == 9 && r.host.def("sho_1").state == 9 &&
               r.host.def("err_1").state == 9;
    }));
    r.host.settle(r.manager);
    EXPECT_EQ(r.host.boxes, (std::vector<std::string>{
                                "Plugin \"cor_1\" not used due to invalid signature.\r\n",
                                "Plugin \"sho_1\" not downloaded: Incorrect file size.\r\n",
                                "Plugin \"err_1\" not downloaded: x.\r\n",
                            }));
    EXPECT_EQ(r.downloads_of("cor.plugin"), 1);
    EXPECT_EQ(r.downloads_of("sho.plugin"), 3);
    EXPECT_EQ(r.downloads_of("err.plugin"), 3);
    EXPECT_FALSE(tovan_test::exists(r.env.home() + "/.dravo/cor_1_linux64.plugin"));
}
