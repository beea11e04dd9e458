// The plugin negotiation as two cores joined by a link, with fake plugins of
// chosen protocols: who requests, who answers, who numbers the channels,
// replay of early packets, the limits on waiting packets, and the reader's
// routing racing the GUI thread.
#include "tovan/plugins/negotiation.h"

#include "rulo/packet.h"
#include "tests/support/fake_negotiation_host.h"

#include "tests/support/hex_dump.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <set>
#include <thread>

namespace {

using test_support::hex;

using test_support::fake_negotiation_host;
using test_support::linked_ends;
using test_support::negotiation_end;

template <class T>
std::string packet(T const& v) {
    std::string p;
    rulo_packet_push(p, v);
    return p;
}

std::vector<std::string> payloads(std::vector<std::string> const& sent, std::string const& verb) {
    std::vector<std::string> out;
    for (auto const& s : sent)
        if (s.rfind(verb, 0) == 0) out.push_back(s.substr(verb.size()));
    return out;
}

// The catalogue of both ends; each end's copy of P_ver and P_half speaks its
// own protocol. The client's flavour alone has P_solo.
void fill_catalogues(linked_ends& t) {
    for (auto* end : {&t.desk, &t.client}) {
        bool const desk = end == &t.desk;
        end->host.add("P_both", 0, 2, 1, true);
        end->host.add("P_kids", 0, 4, 1, false, {"P_kids_b", "P_kids_a"});
        end->host.add("P_client", 0, 1, 1);
        end->host.add("P_ver", 0, desk ? 5 : 3, desk ? 5 : 6);
        end->host.add("P_half", 0, desk ? 5 : 3, desk ? 3 : 6);
    }
    t.client.host.add("P_solo", 0, 1, 1);
}

// What the dispatchers do when the session comes up: the desk checks the
// client's catalogue and loads; the client loads too.
void session_comes_up(linked_ends& t) {
    std::set<std::string> names;
    for (auto const& c : t.desk.host.catalogue) names.insert(c.entry.name);
    t.desk.host.sent.push_back("module_plugin_check " + packet(names));
    t.desk.host.queue.push_back("module_plugin_load");
    t.client.core.session_up();
    t.run();
}

// Each end's plugins send a hello on their sub-channel; the other end's
// reader routes it.
void exchange_hellos(linked_ends& t) {
    for (auto* from : {&t.desk, &t.client})
        for (auto const& [name, channel] : from->core.plugin_channels())
            from->peer->core.route_packet(channel, netbuf::from_string("hello " + name));
}

TEST(Negotiation, BothEndsAgreeOnPluginsAndChannels) {
    linked_ends t;
    fill_catalogues(t);
    t.desk.session.wanted_plugins = {{"P_both", true}, {"P_kids", true}, {"P_ver", true}, {"P_half", true}};
    t.client.session.wanted_plugins = {{"P_both", true}, {"P_client", true}};
    session_comes_up(t);

    // The end-to-end negotiation test shows who requests, how channels are
    // numbered, the refused protocol and the peers' hellos; here what only
    // the core shows: the client did request P_both, the check marks P_solo
    // missing, and a plugin the peer refused keeps the route this end gave it.
    EXPECT_TRUE(t.client.host.logged("adding request plg P_both"));
    EXPECT_TRUE(t.client.host.missing["P_solo"]);

    auto const routes = t.desk.core.plugin_channels();
    EXPECT_EQ(routes, t.client.core.plugin_channels());
    EXPECT_EQ(routes.count("P_ver"), 0u);
    EXPECT_EQ(routes.count("P_half"), 1u); // the peer refused, this end accepted
    EXPECT_EQ(t.desk.core.channel_plugins().size(), routes.size());

    // Every answer to a channels message repeats it byte for byte.
    EXPECT_EQ(payloads(t.desk.host.sent, "module_plugin_channels "),
              payloads(t.client.host.sent, "module_plugin_init_ok "));
    EXPECT_EQ(payloads(t.client.host.sent, "module_plugin_channels "),
              payloads(t.desk.host.sent, "module_plugin_init_ok "));

    using calls = std::vector<std::string>;
    auto const pinned = [](int peer) {
        return calls{"init(-1)", "command remote-version", "init(" + std::to_string(peer) + ")",
                     "connected(1)"};
    };
    auto const child = calls{"init(-1)", "command remote-version", "connected(1)"};
    EXPECT_EQ(t.desk.host.of("P_both"), pinned(2));
    EXPECT_EQ(t.client.host.of("P_both"), pinned(2));
    EXPECT_EQ(t.desk.host.of("P_kids"), pinned(4));
    EXPECT_EQ(t.client.host.of("P_kids_a"), child);
    EXPECT_EQ(t.desk.host.of("P_kids_b"), child);
    EXPECT_EQ(t.desk.host.of("P_client"), pinned(1));
    EXPECT_EQ(t.desk.host.of("P_half"), pinned(3));

    // A broken leg: both ends unpin while continuing, tell the peer nothing,
    // and negotiate again with numbers after their last ones. Pinning made
    // the desk want P_client too, so now the desk numbers it.
    int last = 0;
    for (auto const& r : routes) last = std::max(last, r.second);
    for (auto* end : {&t.desk, &t.client}) {
        auto const wanted = end->session.wanted_plugins;
        end->session.state = 3;
        end->core.remove_pin("");
        end->core.clear_unrouted();
        end->session.wanted_plugins = wanted;
        end->session.state = 6;
        end->host.packets.clear();
    }
    EXPECT_TRUE(payloads(t.desk.host.sent, "module_plugin_down ").empty());
    EXPECT_TRUE(payloads(t.client.host.sent, "module_plugin_down ").empty());
    EXPECT_EQ(t.desk.host.of("P_kids").back(), "deinit");
    EXPECT_EQ(t.client.host.of("P_kids_a").back(), "deinit");
    session_comes_up(t);
    auto const again = t.desk.core.plugin_channels();
    EXPECT_EQ(again, t.client.core.plugin_channels());
    EXPECT_EQ(again.size(), routes.size());
    for (auto const& [name, channel] : again) EXPECT_GT(channel, last) << name;
    exchange_hellos(t);
    EXPECT_EQ(t.client.host.packets["P_kids_b"], calls{"hello P_kids_b"});
}

TEST(Negotiation, UnpinningTellsThePeerAndStopsOnlyConnectedPlugins) {
    linked_ends t;
    fill_catalogues(t);
    t.desk.session.wanted_plugins = {{"P_kids", true}, {"P_ver", true}};
    session_comes_up(t);
    t.desk.host.gui.clear();
    t.desk.core.remove_pin("");
    // Children first; the refused P_ver had no channel, so no deinit and no down.
    EXPECT_EQ(payloads(t.desk.host.gui, "close "),
              (std::vector<std::string>{"P_kids_a", "P_kids_b", "P_kids", "P_ver"}));
    EXPECT_EQ(t.desk.host.of("P_ver").back(), "init(3)");
    EXPECT_EQ(t.desk.host.of("P_kids").back(), "deinit");
    auto const downs = payloads(t.desk.host.sent, "module_plugin_down ");
    ASSERT_EQ(downs.size(), 3u);
    EXPECT_EQ(downs[2], packet(std::map<std::string, int>{{"P_kids", 102}}));
    EXPECT_FALSE(t.desk.session.wanted_plugins["P_kids"]);
    // The peer stops wanting them and unpins its copies in its next pass.
    t.client.session.wanted_plugins["P_kids"] = true;
    t.run();
    EXPECT_FALSE(t.client.session.wanted_plugins["P_kids"]);
    EXPECT_EQ(t.client.core.pinned(), (std::set<std::string>{"P_ver"}));

    // Unpinning every plugin ends even when each deinit throws.
    negotiation_end d(false);
    d.host.add("A", 8, 1, 1);
    d.host.add("B", 8, 1, 1);
    d.session.peer_version = "2.2"; // connected at once, so deinit is due
    d.session.wanted_plugins = {{"A", true}, {"B", true}};
    d.core.update_plugin_table();
    d.host.deinit_throws = true;
    d.core.remove_pin("");
    EXPECT_TRUE(d.core.pinned().empty());
    EXPECT_EQ(d.host.of("A").back(), "deinit");
    EXPECT_EQ(d.host.of("B").back(), "deinit");
}

TEST(Negotiation, RecordsHaveTheirGoldenBytes) {
    using tovan::plugin_accept_set;
    using tovan::plugin_req_set;
    // Hand-computed from the packet format: text bytes then length, integers
    // least significant byte first then their byte count (0x80 when negative),
    // sets smallest name first then the count.
    struct {
        std::string bytes, expected;
    } const cases[] = {
        {packet(plugin_req_set{{"tp_echo", 5}}), "74 70 5F 65 63 68 6F 07 01 05 01 01 01"},
        {packet(plugin_accept_set{{"tp_echo", 5, true}}), "74 70 5F 65 63 68 6F 07 01 05 01 54 01 01"},
        {packet(plugin_req_set{{"a", 5}, {"b", 3}}), "61 01 01 05 01 62 01 01 03 01 02 01"},
        {packet(std::map<std::string, int>{{"tp_echo", 102}}), "74 70 5F 65 63 68 6F 07 01 66 01 01 01"},
        {packet(std::map<std::string, int>{{"x", -1}}), "78 01 01 01 81 01 01"},
        {packet(std::set<std::string>{"a", "b"}), "62 01 01 61 01 01 02 01"},
    };
    for (auto const& c : cases) EXPECT_EQ(hex(c.bytes), c.expected);

    // Reading gives back the records, greatest name first, and replaces what
    // the set held.
    std::string p = cases[2].bytes;
    plugin_req_set read{{"old", 1}};
    tovan::pop_record_set(p, read);
    ASSERT_EQ(read.size(), 2u);
    EXPECT_EQ(read.begin()->name, "b");
    EXPECT_EQ(read.begin()->protocol, 3);
    EXPECT_TRUE(p.empty());
}

TEST(Negotiation, EarlyPacketsAreReplayedInOrderWhenTheRouteComes) {
    negotiation_end c(true);
    c.host.add("P", 8, 1, 1);
    c.host.add("file_transfer", 8, 1, 1);
    c.session.wanted_plugins = {{"P", true}, {"file_transfer", true}};
    c.core.update_plugin_table();
    // A button pressed and files dropped before the plugins had channels.
    c.core.set_pending_gui_event("P", "IDC_P");
    c.core.set_pending_drop("/a*/b");
    c.core.route_packet(104, netbuf::from_string("one"));
    c.core.route_packet(104, netbuf::from_string("two"));
    EXPECT_TRUE(c.host.logged("*** un 104[3]"));
    c.core.handle("module_plugin_channels " + packet(std::map<std::string, int>{{"P", 104}}));
    EXPECT_EQ(c.host.packets["P"], (std::vector<std::string>{"one", "two"}));
    std::size_t const at = c.host.log_index("Sending unknown messages 2");
    ASSERT_LT(at, c.host.logs.size());
    EXPECT_EQ(c.host.logs[at - 1], "Routing plugin P from channel -1 to 104");
    EXPECT_EQ(c.core.unrouted_bytes(), 0u);
    auto const& gui = c.host.gui;
    EXPECT_LT(std::find(gui.begin(), gui.end(), "event P IDC_P"),
              std::find(gui.begin(), gui.end(), "options P connect"));
    EXPECT_EQ(c.host.of("file_transfer").back(), "command dragdropfiles");
    c.core.route_packet(104, netbuf::from_string("three"));
    EXPECT_EQ(c.host.packets["P"].back(), "three");
}

TEST(Negotiation, PeerVersionsCompareAsText) {
    struct {
        char const* version;
        bool old;
    } const cases[] = {{"2.2", true}, {"2.10", true}, {"2.3", false}, {"3.3.2", false}};
    for (auto const& c : cases) {
        negotiation_end d(false);
        d.session.peer_version = c.version;
        d.host.add("P", 8, 1, 1);
        d.session.wanted_plugins["P"] = true;
        d.core.handle("module_plugin_load");
        EXPECT_EQ(d.host.of("P").back() == "connected(-1)", c.old) << c.version;
        EXPECT_EQ(payloads(d.host.sent, "module_plugin_req ").size(), c.old ? 0u : 1u) << c.version;
        EXPECT_TRUE(d.core.plugin_channels().empty()) << c.version;
    }
}

TEST(Negotiation, DispatchOfTexts) {
    negotiation_end d(false);
    d.host.add("a", 0, 1, 1);
    d.host.add("b", 8, 1, 1);

    for (char const* ignored : {"module_plugin_load ", "module_plugin_bogus 1", "module_plugin_"}) {
        d.core.handle(ignored);
        EXPECT_TRUE(d.host.logs.empty()) << ignored;
        EXPECT_TRUE(d.host.queue.empty()) << ignored;
    }

    d.core.handle("module_plugin_running desktop");
    EXPECT_TRUE(d.host.logged("==> module_plugin_load 0"));
    EXPECT_TRUE(d.session.wanted_plugins["desktop"]);
    EXPECT_EQ(d.host.queue, std::deque<std::string>{"module_plugin_load"});
    d.host.queue.clear();

    d.core.handle("module_plugin_load_force ");
    EXPECT_TRUE(d.host.logged("==> module_plugin_load 1"));
    EXPECT_TRUE(d.core.forced().empty());
    EXPECT_TRUE(d.host.queue.empty());
    d.core.handle("module_plugin_load_force a");
    EXPECT_TRUE(d.core.forced().at("a"));
    d.core.update_plugin_table();
    EXPECT_EQ(d.host.catalogue[0].entry.state, 7); // fetched although nobody wants it
    d.host.queue.clear();

    // A request cut short keeps the records read before the cut; an accept
    // for a plugin that is not pinned is passed over.
    std::string const two = packet(tovan::plugin_req_set{{"a", 5}, {"b", 3}});
    d.core.handle("module_plugin_req " + two.substr(3));
    EXPECT_EQ(d.core.peer_requests().count("b"), 0u); // answered by the pin pass at once
    EXPECT_TRUE(d.host.logged("adding request plg b"));
    EXPECT_FALSE(d.host.logged("adding request plg a"));
    d.core.handle("module_plugin_accept " + packet(tovan::plugin_accept_set{{"zz", 1, true}}));
    EXPECT_TRUE(d.host.logged("plugin already unloaded ..."));

    d.core.handle("module_plugin_download " + packet(10) + packet(100));
    d.core.handle("module_plugin_download " + packet(10).substr(1));
    EXPECT_EQ(std::count(d.host.gui.begin(), d.host.gui.end(), "download 100 10 1"), 1);

    // Addresses from the queue are never used; only the host command's own call registers.
    std::string const record = packet(77ULL) + packet(1234ULL);
    d.core.handle("module_plugin_load-plugin " + record);
    EXPECT_TRUE(d.host.handed.empty());
    d.core.handle("module_plugin_load-plugin " + record, true);
    EXPECT_EQ(d.host.handed, std::vector<std::string>{"1234 77"});

    // A check naming nothing disables every entry.
    d.core.handle("module_plugin_check " + packet(std::set<std::string>{}));
    EXPECT_EQ(d.host.catalogue[0].entry.state, 9);
    EXPECT_EQ(d.host.catalogue[1].entry.state, 9);
    EXPECT_TRUE(d.host.missing["a"] && d.host.missing["b"]);
}

TEST(Negotiation, PeerCannotFloodOrStealRoutes) {
    negotiation_end d(false);
    auto const count_logs = [&](std::string const& prefix) { return payloads(d.host.logs, prefix).size(); };
    for (int i = 0; i < 1001; ++i) d.core.route_packet(501, netbuf::from_string("0123456789"));
    EXPECT_EQ(d.core.unrouted_bytes(), 10000u);
    EXPECT_EQ(count_logs("dropping packets for sub-channel 501"), 1u);
    d.host.logs.clear();
    d.core.clear_unrouted();
    netbuf const mib = netbuf::from_string(std::string(1 << 20, 'x'));
    for (int channel = 600; channel < 605; ++channel)
        for (int i = 0; i < 9; ++i) d.core.route_packet(channel, mib);
    // What a list and an item cost beside their bytes counts towards the total.
    EXPECT_EQ(d.core.unrouted_bytes(), (31u << 20));
    EXPECT_EQ(count_logs("*** un "), 31u);
    // 600 to 602 by their own size, 603 and 604 by the total; one line each, not one a packet.
    EXPECT_EQ(count_logs("dropping packets for sub-channel"), 5u);
    d.host.logs.clear();
    for (int channel = 600; channel < 605; ++channel) d.core.route_packet(channel, mib);
    EXPECT_EQ(count_logs("dropping packets for sub-channel"), 0u);
    d.host.logs.clear();
    // A byte each on ever new numbers: bounded by what each list costs.
    d.core.clear_unrouted();
    for (int channel = 1000; channel < 41000; ++channel)
        d.core.route_packet(channel, netbuf::from_string("x"));
    std::size_t const kept = count_logs("*** un ");
    EXPECT_EQ(count_logs("dropping packets for sub-channel"), 1u);
    EXPECT_LT(kept, 32000u);
    EXPECT_GT(kept, 20000u);
    EXPECT_EQ(d.core.unrouted_bytes(), kept);
    d.core.clear_unrouted();
    EXPECT_EQ(d.core.unrouted_bytes(), 0u);
    for (int i = 0; i < 1001; ++i) d.core.defer_command("nobody", "x");
    EXPECT_TRUE(d.host.logged("dropping commands for plugin nobody: too many waiting for it"));

    // Data on 0, 1 and 3 asks for its plugin; 2 is the chat's.
    d.host.queue.clear();
    for (int channel : {0, 3, -5}) d.core.route_packet(channel, netbuf::from_string("x"));
    EXPECT_EQ(d.host.queue, (std::deque<std::string>{"module_plugin_running desktop",
                                                     "module_plugin_running file_transfer"}));

    // A channels message naming the chat, a number below -1 or a taken number
    // is skipped for that plugin.
    negotiation_end c(true);
    for (char const* n : {"P", "Q", "R"}) {
        c.host.add(n, 8, 1, 1);
        c.session.wanted_plugins[n] = true;
    }
    c.core.update_plugin_table();
    c.core.handle("module_plugin_channels " +
                  packet(std::map<std::string, int>{{"P", 2}, {"Q", -5}, {"R", 110}}));
    c.core.handle("module_plugin_channels " + packet(std::map<std::string, int>{{"P", 110}, {"Q", 112}}));
    EXPECT_EQ(c.core.plugin_channels(), (std::map<std::string, int>{{"R", 110}, {"Q", 112}}));
    EXPECT_EQ(c.host.of("P"),
              (std::vector<std::string>{"init(-1)", "command remote-version"})); // no connected
    EXPECT_TRUE(c.host.logged("skipping plugin P: sub-channel 110 belongs to R"));
    EXPECT_TRUE(c.host.logged("skipping plugin P: sub-channel 2 is reserved"));
}

// The reader routes on a transport thread while the GUI thread pins, routes
// (replaying what waited) and unpins.
TEST(Negotiation, ReaderRoutesWhileTheGuiThreadRoutesAndUnpins) {
    negotiation_end c(true);
    c.host.add("P", 8, 1, 1);
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        for (int i = 0; !stop; ++i) c.core.route_packet(104 + 2 * (i % 3), netbuf::from_string("data"));
    });
    // At least 200 rounds, and on until the reader's packets have reached P
    // once (a loaded machine may not run the reader during the first ones).
    auto const limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    auto reached = [&] {
        std::lock_guard<std::mutex> lock(c.host.packets_mutex);
        return !c.host.packets["P"].empty();
    };
    for (int round = 0; round < 200 || (!reached() && std::chrono::steady_clock::now() < limit); ++round) {
        c.session.wanted_plugins["P"] = true;
        c.core.update_plugin_table();
        c.core.handle("module_plugin_channels " +
                      packet(std::map<std::string, int>{{"P", 104 + 2 * (round % 3)}}));
        c.core.remove_pin("P");
        c.core.clear_unrouted();
    }
    stop = true;
    reader.join();
    EXPECT_TRUE(c.core.pinned().empty());
    EXPECT_TRUE(c.core.channel_plugins().empty());
    EXPECT_TRUE(reached());
}

} // namespace
