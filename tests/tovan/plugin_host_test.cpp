// The plugin host with real libraries (the C test plugins, real dlopen)
// against a recording fake of the program: loading and its refusals, the
// host entries, the commands' bytes as the plugin pops them, the
// dispatcher, and the unloading order.
#include "tests/support/hex_dump.h"
#include "tests/tovan/plugin_fixture.h"

#include "tovan/plugins/gui_notify.h"
#include "tovan/plugins/plugin_dispatcher.h"

#include "rulo/packet.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

using namespace tovan;
using plugin_test::hook;
using plugin_test::plugin_dir;

namespace {

using test_support::hex;

template <class... T>
std::string packet(T const&... values) {
    std::string b;
    xstd::packet_push(b, values...);
    return b;
}

class PluginHost : public ::testing::Test {
protected:
    plugin_test::fake_services fake;
    std::vector<plugin_def> defs;

    void SetUp() override { host().set_services(&fake); }
    void TearDown() override {
        host().reset_for_tests();
        host().set_services(nullptr);
    }
    static plugin_host& host() { return plugin_host::instance(); }
    void load_all(plugin_dir const& d) {
        defs = definitions_from_directory(d.path);
        for (int i = 0; i < static_cast<int>(defs.size()); ++i) host().load_plugin(defs, i, false);
    }
    int index_of(std::string const& name) {
        for (std::size_t i = 0; i < defs.size(); ++i)
            if (defs[i].get_name() == name) return static_cast<int>(i);
        return -1;
    }
};

TEST_F(PluginHost, LoadsGoodLibrariesRefusesTheRestAndUnloadsInReverse) {
    plugin_dir d({"tp5", "tp6", "tp7", "tp8", "tpq", "tpfive", "tpzero", "tpnorec", "tpparent", "tpsib",
                  "tpfw", "libtpsibling.so.1"});
    fake.app_options["tp7"]["load"] = {{"color", "red"}};
    fake.app_options["tp6"]["connect"] = {{"x", "y"}};
    char before[4096];
    ASSERT_TRUE(getcwd(before, sizeof before));
    load_all(d);
    plugin_def missing(plugin_record{{"name", "missing"}, {"version", "1"}});
    missing.library_file = d.path + "/missing.so";
    defs.push_back(missing);
    EXPECT_EQ(host().load_plugin(defs, static_cast<int>(defs.size()) - 1, false), nullptr);

    char after[4096];
    ASSERT_TRUE(getcwd(after, sizeof after));
    EXPECT_STREQ(before, after); // the directory switch is undone
    EXPECT_EQ(start_path("connect.dat"), std::string(before) + "/connect.dat");

    struct row {
        char const* name;
        int state;
    } const rows[] = {{"tp5", 8},      {"tp6", 8},    {"tp7", 8},    {"tp8", 9},
                      {"tpq", 8},      {"tpfive", 8}, {"tpzero", 9}, {"tpnorec", 9},
                      {"tpparent", 8}, {"tpsib", 8},  {"tpfw", 8},   {"missing", 9}};
    for (auto const& r : rows) EXPECT_EQ(defs[index_of(r.name)].state, r.state) << r.name;
    std::vector<std::string> keys;
    for (auto const& [key, lib] : host().libraries()) keys.push_back(key);
    EXPECT_EQ(keys, (std::vector<std::string>{"tp5_1", "tp6_1", "tp7_1", "tpfive_1", "tpfw_1", "tpparent_1",
                                              "tpparent_child", "tpq_1", "tpsib_1"}));
    EXPECT_TRUE(host().library_of("tpq")->own_thread());
    EXPECT_FALSE(host().library_of("tpfive")->own_thread());

    for (char const* line :
         {"invalid plugin interface 8 (need 7)", "Failed to load lib: error during plugin initialization",
          "Failed to load lib: :Error in 'get_proc'", "Failed to load lib: :Error in 'auto_lib'",
          "<tp7> started"})
        EXPECT_TRUE(fake.logged(line)) << line;

    // The calls in order, as tp7 logged them (its command bytes left out).
    std::vector<std::string> calls;
    for (auto const& l : d.record("tp7"))
        if (l.rfind("command-bytes", 0) != 0) calls.push_back(l);
    ASSERT_GE(calls.size(), 6u);
    EXPECT_EQ(calls[0].rfind("lib_init word1=7 api_version=9 nb=0x", 0), 0u) << calls[0];
    EXPECT_NE(calls[0].find(" last=0"), std::string::npos);
    EXPECT_EQ(calls[1], "loadmsg client=0 window=1 closed=0");
    EXPECT_EQ(calls[2], "window-status \"\"");
    EXPECT_EQ(calls[3], "library_info path=" + d.lib("tp7") + " same_handle=1");
    EXPECT_EQ(calls[4], "lib_start");
    EXPECT_NE(std::find(calls.begin(), calls.end(), "handle_options load color=red"), calls.end())
        << testing::PrintToString(calls);
    for (auto const& l : d.record("tp6")) EXPECT_EQ(l.find("handle_options"), std::string::npos);
    // Every interface sees the same buffer table: v1's word 4 and the framework table's byte 28.
    auto nb_of = [&](std::string const& name) {
        std::string const l = d.record(name).at(0);
        auto const at = l.find("nb=");
        return l.substr(at, l.find(' ', at) - at);
    };
    EXPECT_EQ(nb_of("tp5"), nb_of("tp7"));
    EXPECT_EQ(nb_of("tp6"), nb_of("tp7"));
    EXPECT_EQ(d.record("tp6").at(0).substr(0, 16), "lib_init word1=6");
    EXPECT_EQ(d.record("tp5").at(0).substr(0, 16), "lib_init word1=5");
    EXPECT_TRUE(d.recorded("tpsib", "sibling 42"));
    EXPECT_TRUE(d.recorded("tpfw", "lib_init framework started"));
    EXPECT_TRUE(d.recorded("tpfw", "register-callback -> 0"));

    // A second version of a loaded plugin loads nothing and pins the first.
    plugin_def v2 = defs[index_of("tp7")];
    v2.definition["version"] = "2";
    v2.state = 7;
    defs.push_back(v2);
    std::unique_ptr<plugin> pin(host().load_plugin(defs, static_cast<int>(defs.size()) - 1, true));
    ASSERT_TRUE(pin);
    EXPECT_EQ(pin->get_lib().get(), host().library_of("tp7").get());
    EXPECT_EQ(defs.back().state, 7);
    EXPECT_TRUE(fake.logged("added pin tp7_1"));
    pin.reset();

    // Handed-over records: unknown handle, duplicate, and a pin with index -1.
    rulo::object<plugin_lib> parent = host().library_of("tpparent");
    auto* child = const_cast<tovan_plugin_map*>(host().library_of("tpparent_child")->get_const());
    tovan_plugin_map stranger = *child;
    stranger.name = "stranger";
    EXPECT_EQ(host().load_plugin(&stranger, reinterpret_cast<void*>(0x10), false), nullptr);
    EXPECT_FALSE(host().library_of("stranger"));
    EXPECT_EQ(host().load_plugin(child, parent->handle(), false), nullptr);
    std::unique_ptr<plugin> child_pin(host().load_plugin(child, parent->handle(), true));
    ASSERT_TRUE(child_pin);
    EXPECT_EQ(child_pin->index(), -1);
    child_pin.reset();
    parent.reset();

    // "plugin-file" away from the start directory: a handed-over plugin's goes with its parent's package.
    plugin_extracted::add_extracted("tpparent_1", "", {}, nullptr);
    ASSERT_EQ(chdir("/"), 0);
    EXPECT_TRUE(host().add_plugin_file("tpparent_child", "kid.tmp"));
    ASSERT_EQ(chdir(before), 0);
    EXPECT_EQ(plugin_extracted::m_extracted_libs.at("tpparent_1")->m_files, std::set{start_path("kid.tmp")});
    plugin_extracted::remove_all();

    std::remove((d.path + "/order.rec").c_str());
    host().unload_all();
    std::vector<std::string> order;
    std::ifstream in(d.path + "/order.rec");
    for (std::string l; std::getline(in, l);) order.push_back(l);
    std::vector<std::string> expected;
    for (char const* n : {"tpsib", "tpq", "tpparent", "tpfive", "tp7", "tp6", "tp5"}) {
        expected.push_back(std::string(n) + " lib_deinit");
        expected.push_back(std::string(n) + " destructor");
    }
    EXPECT_EQ(order, expected); // the child gets neither
    // Loads are refused once the host closes.
    EXPECT_EQ(host().load_plugin(defs, index_of("tp7"), true), nullptr);
}

TEST_F(PluginHost, EntriesAnswerAsTheProgramDoes) {
    plugin_dir d({"tp5", "tp7"});
    load_all(d);
    std::string const tp7 = d.lib("tp7"), tp5 = d.lib("tp5");
    auto setting = hook<int (*)(char const*, char*, int)>(tp7, "tp_setting");
    auto translate = hook<int (*)(char const*, char*, int)>(tp7, "tp_translate");
    auto request = hook<int (*)(char const*, int, char*, int)>(tp7, "tp_request");
    auto send = hook<void (*)(char const*, char const*, int)>(tp7, "tp_send");
    auto invoke = hook<int (*)(char const*, char const*, int)>(tp7, "tp_invoke");
    auto command7 = hook<int (*)(char const*, int)>(tp7, "tp_command_bytes");
    auto command5 = hook<int (*)(char const*, int)>(tp5, "tp_command_bytes");
    auto result5 = hook<void (*)(int)>(tp5, "tp_set_callback_result");
    auto result7 = hook<void (*)(int)>(tp7, "tp_set_callback_result");
    auto counter = hook<int64_t (*)(int)>(tp7, "tp_counter");
    ASSERT_TRUE(setting && translate && request && send && invoke && command7 && command5 && counter);
    char out[256];
    auto text = [&](int n) { return n < 0 ? std::string("<null>") : std::string(out, std::min(n, 255)); };

    // Settings: the arguments, then the configuration file read anew each call.
    fake.args = {"--a", "1", "--last"};
    fake.ini = d.path + "/conf.ini";
    std::ofstream(fake.ini) << "[VYNDeskLite]\nkey=v1\n";
    EXPECT_EQ(text(setting("--a", out, 255)), "1");
    EXPECT_EQ(text(setting("--last", out, 255)), "");
    EXPECT_EQ(text(setting("unknown", out, 255)), "<null>");
    EXPECT_EQ(text(setting("key", out, 255)), "v1");
    std::ofstream(fake.ini) << "[VYNDeskLite]\nkey=v2\n";
    EXPECT_EQ(text(setting("key", out, 255)), "v2");

    // Translations: the "generic_" prefix, the English fall-back, UTF-8; missing is empty.
    set_language_table({{"en",
                         {{"generic_HELLO", "Gr\xC3\xBC\xC3\x9F"
                                            "e"}}}});
    EXPECT_EQ(text(translate("HELLO", out, 255)), "Gr\xC3\xBC\xC3\x9F"
                                                  "e");
    EXPECT_EQ(text(translate("NOPE", out, 255)), "");

    // Requests: the remote version only while connected (state 0x16 counts as 6).
    std::string const version = packet(std::string("get_remote_version"));
    EXPECT_EQ(text(request(version.data(), int(version.size()), out, 255)), "");
    fake.state = 0x16;
    EXPECT_EQ(text(request(version.data(), int(version.size()), out, 255)), "3.3.2");
    // The program link, except inside a direct-mode packet delivery, where
    // the framework lock its answer needs is held by the asking thread.
    std::string const link = packet(std::string("get_program_link"), option_map{{"a", "1"}});
    EXPECT_EQ(text(request(link.data(), int(link.size()), out, 255)), "link:x");
    {
        direct_delivery_scope inside;
        EXPECT_EQ(text(request(link.data(), int(link.size()), out, 255)), "<null>");
    }
    EXPECT_TRUE(fake.logged("get_program_link refused inside a packet delivery"));
    std::string const unknown = packet(std::string("what"));
    EXPECT_EQ(text(request(unknown.data(), int(unknown.size()), out, 255)), "<null>");

    // Sending: unnamed data only while connected; a named plugin on its sub-channel.
    fake.state = 5;
    send(nullptr, "a", 1);
    fake.state = 0x16;
    send(nullptr, "b", 1);
    send("tp5", "c", 1); // no sub-channel: the session's own
    host().set_route(7, "tp5", {});
    send("tp5", "d", 1);
    EXPECT_EQ(fake.sent, (std::vector<std::pair<int, std::string>>{{-1, "b"}, {-1, "c"}, {7, "d"}}));

    // Registration and invocation.
    std::string const reg = packet(std::string("register-callback"), std::string("x"));
    EXPECT_EQ(invoke("x", "", 0), -1);
    EXPECT_EQ(command5(reg.data(), int(reg.size())), 0);
    EXPECT_EQ(command7(reg.data(), int(reg.size())), 0);
    EXPECT_EQ(command7(reg.data(), int(reg.size())), 1);
    EXPECT_EQ(host().register_callback("nope", "x", true), -1);
    result5(1);
    result7(3);
    EXPECT_EQ(invoke("x", "", 0), 1);
    // A callback may call the host again from inside (no lock is held then).
    std::string const reenter = packet(std::string("register-callback"), std::string("reenter"));
    EXPECT_EQ(command7(reenter.data(), int(reenter.size())), 0);
    EXPECT_EQ(invoke("reenter", "", 0), 3);
    EXPECT_TRUE(d.recorded("tp7", "reentered -> 1"));
    // The connection coming back runs the plugin's script.
    std::string const up = packet(std::string("up"));
    EXPECT_EQ(host().invoke_callback("main/connection", netbuf::from_string(up).get_ptr()), 3 & 1);
    EXPECT_TRUE(d.recorded("tp7", "callback main/connection up"));
    EXPECT_TRUE(d.recorded("tp7", "script up"));
    std::string const unreg = packet(std::string("register-callback"), std::string("x"), false);
    EXPECT_EQ(command5(unreg.data(), int(unreg.size())), 0);
    EXPECT_EQ(command7(unreg.data(), int(unreg.size())), 0);
    EXPECT_EQ(invoke("x", "", 0), -1);

    // Commands, in the bytes the plugin pops (pushed by hand: value, length, count byte).
    notify_gui_status("tp7", 0x106);
    EXPECT_TRUE(d.recorded("tp7", "command-bytes " +
                                      hex(std::string("\x06\x01\x02", 3) + "gui-status\x0A\x01") + " "));
    EXPECT_TRUE(
        d.recorded("tp7", "command-bytes " + hex(std::string("\x00", 1) + "window-status\x0D\x01") + " "));
    std::string const pc = packet(std::string("plugin-command"), std::string("tp7"), std::string("hi"));
    EXPECT_EQ(command5(pc.data(), int(pc.size())), 7);
    EXPECT_TRUE(
        d.recorded("tp7", "command-bytes " +
                              hex(std::string("hi\x02\x01tp5\x03\x01", 9) + "plugin-command\x0E\x01") + " "));
    EXPECT_TRUE(d.recorded("tp7", "plugin-command from tp5"));
    std::string const pc_nope = packet(std::string("plugin-command"), std::string("nope"), std::string("hi"));
    EXPECT_EQ(command5(pc_nope.data(), int(pc_nope.size())), -1);
    std::string const rim = packet(std::string("run-in-main"), std::string("a\0b", 3));
    EXPECT_EQ(command7(rim.data(), int(rim.size())), 0);
    EXPECT_EQ(fake.queued.at(0), "run-in-main " + std::string("a\0b\x03\x01tp7\x03\x01", 10));
    std::string const save = packet(std::string("connect-save"), true);
    EXPECT_EQ(command7(save.data(), int(save.size())), 1);
    std::string saved = fake.saves.at(0), file;
    bool flag = false, keep = true;
    xstd::packet_pop(saved, flag, file, keep);
    EXPECT_TRUE(flag);
    EXPECT_EQ(file, start_path("connect.dat"));
    EXPECT_FALSE(keep);

    // Broadcasts to connected pins skip the pins that are not connected
    // rather than stopping at the first (tp5 comes first by name).
    rulo::object<plugin> pin5(host().load_plugin(defs, index_of("tp5"), true));
    rulo::object<plugin> pin7(host().load_plugin(defs, index_of("tp7"), true));
    pin7->set_connected(true);
    host().add_pin("tp5", pin5);
    host().add_pin("tp7", pin7);
    current_video_dock(1);
    EXPECT_TRUE(d.recorded("tp7", "command current-video-dock"));
    EXPECT_FALSE(d.recorded("tp5", "command current-video-dock"));
    std::string const reflect = packet(std::string("reflect-command"), true, std::string("echo"));
    EXPECT_EQ(command5(reflect.data(), int(reflect.size())), 0);
    EXPECT_TRUE(d.recorded("tp7", "command echo"));
    EXPECT_FALSE(d.recorded("tp5", "command echo"));
    host().remove_pin("");
    EXPECT_TRUE(d.recorded("tp7", "deinit"));
    EXPECT_FALSE(d.recorded("tp5", "deinit"));

    // Buffers handed over are released by the plugin: the count comes back.
    int64_t const buffers = counter(netbuf::netbuf_count);
    for (int i = 0; i < 10000; ++i) {
        translate("HELLO", out, 255);
        setting("key", out, 255);
        request(version.data(), int(version.size()), out, 255);
    }
    EXPECT_EQ(counter(netbuf::netbuf_count), buffers);
}

TEST_F(PluginHost, DispatcherDeliversDirectOrQueuedInOrder) {
    plugin_dir d({"tp7", "tpq"});
    load_all(d);
    long const me = syscall(SYS_gettid);
    auto tid_of = [](std::string const& line) { return line.substr(1, line.find(']') - 1); };

    // Direct: on the calling thread, connected or not.
    rulo::object<plugin> direct(host().load_plugin(defs, index_of("tp7"), true));
    auto disp = rulo::make_object(new plugin_dispatcher(direct));
    EXPECT_FALSE(disp->queued());
    disp->packet(netbuf::from_string("p1"));
    std::ifstream in(d.path + "/tp7.rec");
    std::string last;
    for (std::string l; std::getline(in, l);)
        if (l.find("packet 2") != std::string::npos) last = l;
    EXPECT_EQ(last, "[" + std::to_string(me) + "] packet 2 \"p1\"");
    EXPECT_TRUE(fake.logged("dispatcher (no thread) for plugin tp7"));

    // Queued: 10,000 in order on one thread, an empty packet among them.
    rulo::object<plugin> queued(host().load_plugin(defs, index_of("tpq"), true));
    queued->set_connected(true);
    auto qdisp = rulo::make_object(new plugin_dispatcher(queued));
    EXPECT_TRUE(qdisp->queued());
    int const count = 10000;
    for (int i = 0; i < count; ++i) qdisp->packet(netbuf::from_string(i == 5000 ? "" : std::to_string(i)));
    qdisp.reset(); // the end marker goes after the queued packets
    ASSERT_TRUE(host().wait_for_threads(20000));
    std::vector<std::string> seen, threads;
    std::ifstream qin(d.path + "/tpq.rec");
    for (std::string l; std::getline(qin, l);) {
        auto const at = l.find("] packet ");
        if (at == std::string::npos) continue;
        threads.push_back(tid_of(l));
        seen.push_back(l.substr(at + 9));
    }
    ASSERT_EQ(static_cast<int>(seen.size()), count);
    for (int i = 0; i < count; ++i) {
        std::string const t = i == 5000 ? "" : std::to_string(i);
        ASSERT_EQ(seen[i], std::to_string(t.size()) + " \"" + t + "\"") << i;
    }
    EXPECT_EQ(std::count(threads.begin(), threads.end(), threads[0]), count);
    EXPECT_NE(threads[0], std::to_string(me));

    // After deinit nothing more is delivered.
    qdisp = rulo::make_object(new plugin_dispatcher(queued));
    queued->deinit();
    qdisp->packet(netbuf::from_string("late"));
    qdisp.reset();
    ASSERT_TRUE(host().wait_for_threads(20000));
    EXPECT_FALSE(d.recorded("tpq", "packet 4 \"late\""));
    int starts = 0;
    for (auto const& l : fake.logs) starts += l == "running queue thread for plugin tpq";
    EXPECT_EQ(starts, 2);
    direct.reset();
    disp.reset();
}

TEST(PluginAbi, ProgramExportsOnlyTheHostTablesAndPluginsOnlyTheirs) {
    auto symbols = [](std::string const& file) {
        std::string const cmd = "readelf --dyn-syms -W '" + file + "'";
        std::vector<std::string> out;
        FILE* p = popen(cmd.c_str(), "r");
        char line[1024];
        while (p && std::fgets(line, sizeof line, p)) {
            std::istringstream fields(line);
            std::string num, value, size, type, bind, vis, ndx, name;
            if (!(fields >> num >> value >> size >> type >> bind >> vis >> ndx >> name) || ndx == "UND")
                continue;
            if (type == "OBJECT" || type == "FUNC") out.push_back(name + " " + type + " " + size);
        }
        if (p) pclose(p);
        std::sort(out.begin(), out.end());
        return out;
    };
    // Of the program's own symbols only the host tables, the error text and
    // the language number are visible (the rest of the list is library code
    // that the C++ runtime and Qt may interpose).
    std::vector<std::string> desk;
    for (auto const& s : symbols(TOVAN_DESK)) {
        bool const ours = s.find("tovan") != std::string::npos || s.find("rulo") != std::string::npos ||
                          s.find("netbuf") != std::string::npos || s.find("xstd") != std::string::npos ||
                          s.find("vyn") != std::string::npos || s.rfind("plugin_e ", 0) == 0 ||
                          s.rfind("g_language_id ", 0) == 0;
        if (ours) desk.push_back(s);
    }
    EXPECT_EQ(desk, (std::vector<std::string>{"g_language_id OBJECT 8", "main_tovan_callback OBJECT 88",
                                              "main_tovan_callback_v1 OBJECT 104",
                                              "main_tovan_callback_v2 OBJECT 88", "plugin_e OBJECT 8"}));
    for (char const* name : {"tp7", "tpfw"}) {
        for (auto const& s : symbols(std::string(TP_DIR) + "/" + name + ".so"))
            EXPECT_TRUE(s.rfind("tovan_plugin_2 ", 0) == 0 || s.rfind("tp_", 0) == 0) << name << ": " << s;
    }

    // The record's bytes, read at the drawn offsets: each entry lies in its own library.
    for (char const* name : {"tp6", "tp7"}) {
        std::string const path = std::string(TP_DIR) + "/" + name + ".so";
        void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_TRUE(h) << dlerror();
        auto const* raw = static_cast<unsigned char const*>(dlsym(h, "tovan_plugin_2"));
        ASSERT_TRUE(raw);
        int64_t iface;
        char const* record_name;
        std::memcpy(&iface, raw, 8);
        std::memcpy(&record_name, raw + 8, 8);
        EXPECT_EQ(iface, name[2] - '0');
        EXPECT_STREQ(record_name, name);
        for (int off = 20; off <= 92; off += 8) {
            if (off == 84) continue; // reserved
            void* fn;
            std::memcpy(&fn, raw + off, 8);
            Dl_info info{};
            ASSERT_TRUE(dladdr(fn, &info)) << name << " @" << off;
            EXPECT_EQ(std::string(info.dli_fname), path) << name << " @" << off;
        }
        dlclose(h);
    }
}

} // namespace
