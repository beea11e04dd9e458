// The plugin host's locks under load (run under ThreadSanitizer too): plugins
// answering direct-mode packets, delivered where the framework holds its
// lock, send commands while the GUI thread loads libraries whose lib_init
// sends data; and the exit with a packet thread that does not finish.
// A watchdog ends the process after 10 s: a deadlock fails loudly.
#include "tests/tovan/plugin_fixture.h"

#include "tovan/plugins/plugin_dispatcher.h"

#include "rulo/packet.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <thread>

using namespace tovan;
using plugin_test::hook;
using plugin_test::plugin_dir;

namespace {

class watchdog {
public:
    explicit watchdog(int seconds) {
        m_thread = std::thread([this, seconds] {
            std::unique_lock<std::mutex> lock(m_mutex);
            if (!m_done.wait_for(lock, std::chrono::seconds(seconds), [this] { return m_finished; })) {
                std::fprintf(stderr, "watchdog: no progress within %d s (deadlock?)\n", seconds);
                std::abort();
            }
        });
    }
    ~watchdog() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_finished = true;
        }
        m_done.notify_all();
        m_thread.join();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_done;
    bool m_finished = false;
    std::thread m_thread;
};

template <class... T>
std::string packet(T const&... values) {
    std::string b;
    xstd::packet_push(b, values...);
    return b;
}

// A library's record address, as a plugin hands one over.
int64_t record_of(std::string const& lib) {
    return reinterpret_cast<intptr_t>(hook<void*>(lib, "tovan_plugin_2"));
}

class PluginLocks : public ::testing::Test {
protected:
    plugin_test::fake_services fake;
    std::vector<plugin_def> defs;
    void SetUp() override { plugin_host::instance().set_services(&fake); }
    void TearDown() override {
        plugin_host::instance().reset_for_tests();
        plugin_host::instance().set_services(nullptr);
        unsetenv("TP_INIT_SEND");
    }
    int index_of(std::string const& name) {
        for (std::size_t i = 0; i < defs.size(); ++i)
            if (defs[i].get_name() == name) return static_cast<int>(i);
        return -1;
    }
    rulo::object<plugin> pin(std::string const& name, int sub_channel) {
        plugin_host& host = plugin_host::instance();
        rulo::object<plugin> p(host.load_plugin(defs, index_of(name), true));
        p->set_connected(true);
        host.add_pin(name, p);
        host.set_route(sub_channel, name, rulo::make_object(new plugin_dispatcher(p)));
        return p;
    }
};

TEST_F(PluginLocks, DirectPacketsSendCommandsWhileLibrariesLoad) {
    watchdog guard(10);
    plugin_dir d({"tp5", "tp6", "tp7", "tpq", "tpfive", "tpparent", "tpsib", "libtpsibling.so.1"});
    plugin_host& host = plugin_host::instance();
    defs = definitions_from_directory(d.path);
    for (char const* name : {"tp5", "tp6", "tp7"}) host.load_plugin(defs, index_of(name), false);
    pin("tp5", 5);
    pin("tp6", 6);
    pin("tp7", 7);
    fake.state = 0x16;

    // What each plugin sends from its packet entry.
    struct {
        char const* plugin;
        std::string command;
    } const sends[] = {
        {"tp5", packet(std::string("register-callback"), std::string("y"))},
        {"tp6", packet(std::string("load-plugin"), record_of(d.lib("tp5")), int64_t(0x10))},
        {"tp7", packet(std::string("plugin-command"), std::string("tp5"), std::string("hi"))},
    };
    for (auto const& s : sends)
        hook<void (*)(char const*, int)>(d.lib(s.plugin), "tp_set_packet_command")(s.command.data(),
                                                                                   int(s.command.size()));

    std::atomic<bool> loading{true};
    std::vector<std::thread> readers;
    for (int sub : {5, 6, 7}) {
        readers.emplace_back([&, sub] {
            int sent = 0;
            while (loading || sent < 200) {
                host.route_packet(sub, netbuf::from_string("x"));
                ++sent;
            }
        });
    }
    // The GUI thread meanwhile loads libraries whose lib_init sends data.
    setenv("TP_INIT_SEND", "1", 1);
    for (char const* name : {"tpq", "tpfive", "tpparent", "tpsib"})
        host.load_plugin(defs, index_of(name), false);
    loading = false;
    for (auto& t : readers) t.join();

    for (char const* name : {"tpq_1", "tpfive_1", "tpparent_1", "tpparent_child", "tpsib_1"}) {
        bool found = false;
        for (auto const& [key, lib] : host.libraries()) found = found || key == name;
        EXPECT_TRUE(found) << name;
    }
    EXPECT_TRUE(d.recorded("tp5", "plugin-command from tp7"));
    EXPECT_EQ(host.register_callback("tp5", "y", true), 1); // registered from its packets
    std::lock_guard<std::mutex> lock(fake.mutex);
    int from_init = 0;
    for (auto const& [sub, data] : fake.sent) from_init += sub == -1 && data == "tp_from_init";
    EXPECT_EQ(from_init, 4);
}

TEST_F(PluginLocks, ExitDoesNotWaitForeverForAStuckPacketThread) {
    watchdog guard(10);
    plugin_dir d({"tpq"});
    plugin_host& host = plugin_host::instance();
    defs = definitions_from_directory(d.path);
    pin("tpq", 9);
    host.route_packet(9, netbuf::from_string("stall"));
    // The exit deinitialises the pin: only a packet already inside the plugin stalls it.
    while (!d.recorded("tpq", "packet 5 \"stall\"")) std::this_thread::yield();
    auto const start = std::chrono::steady_clock::now();
    host.unload_all(2000);
    auto const took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(1900));
    EXPECT_TRUE(fake.logged("1 packet threads still running at exit"));
    EXPECT_TRUE(fake.logged("library tpq_1 still in use: left mapped"));
    // The thread ends on its own and takes the library with it.
    ASSERT_TRUE(host.wait_for_threads(8000));
    EXPECT_TRUE(d.recorded("tpq", "lib_deinit"));
}

} // namespace
