// The transport chooser: the method list and its priorities for the ports,
// hosts, proxy, force and last-success options (test mode, which connects
// nothing), and real "direct" attempts against loopback listeners, with
// fall-through, single steps, retries and the settings written back. The
// "https-direct" attempts, which need port 443, are in
// auto_transport_https_test.cpp.
#include "rulo-rpt/choose/AutoTransport.h"
#include "rulo/exception.h"
#include "rulo/text.h"

#include "tests/rulo-rpt/choose/choose_kit.h"
#include "tests/support/framework_env.h"
#include "tests/support/recording_sink.h"
#include "tests/support/tcp_peer.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

using choose_kit::log_capture;
using options = std::map<std::string, std::string>;
using rulo::AutoTransport;
using test_support::closed_port;
using test_support::recording_sink;
using test_support::tcp_fd;
using test_support::tcp_listener;
using test_support::thrown;

std::string const no_transport = rulo::find_transport_e;

// "name|args|ports|priority", the args and the ports joined by ",".
std::string row_of(AutoTransport::cmd const& m) {
    std::vector<std::string> ports;
    for (unsigned short p : m.ports) ports.push_back(std::to_string(p));
    return m.name + "|" + rulo::join_tokens(",", m.args) + "|" + rulo::join_tokens(",", ports) + "|" +
           std::to_string(m.priority);
}

std::vector<std::string> list_of(options const& o, std::string last_success = "") {
    AutoTransport chooser(o, last_success);
    chooser.init();
    std::vector<std::string> rows;
    for (AutoTransport::cmd const& m : chooser.methods()) rows.push_back(row_of(m));
    return rows;
}

std::string packed(std::string name, std::vector<std::string> args, std::vector<unsigned short> ports) {
    return AutoTransport::pack(AutoTransport::cmd{std::move(name), std::move(args), std::move(ports), 0});
}

void collect(void* reports, std::string text) {
    static_cast<std::vector<std::string>*>(reports)->push_back(std::move(text));
}

class Chooser : public ::testing::Test {
protected:
    void SetUp() override { choose_kit::fresh_home(); }
};

TEST_F(Chooser, MethodListsAndPriorities) {
    options const two_hosts{{"connect", "a.lan:7615 7616"}, {"additional", "b.lan"}};
    options forced = two_hosts;
    forced["force"] = "httpt-direct direct";
    options forced_twice = two_hosts;
    forced_twice["force"] = "direct;httpt-direct,direct"; // a repeated name keeps its last place
    std::string const tunnel_7615 = packed("httpt-proxy", {"relay.lan", "relay.lan:7615", ""}, {7615});
    // The packet codec reads a zero high byte written out: port 191 in two
    // bytes and a count instead of one and a count.
    std::string long_port = packed("direct", {"relay.lan"}, {191});
    long_port.replace(long_port.find("\xbf\x01"), 2, std::string("\xbf\x00\x02", 3));
    struct row {
        char const* name;
        options o;
        std::string last_success;
        std::vector<std::string> expect;
    } const rows[] = {
        {"ports 80 and 443: no direct port, tunnel ports 80 and 443",
         {{"connect", "relay.lan:80,443"}},
         "",
         {"https-proxy|relay.lan,relay.lan:443||1000", "https-direct|relay.lan|443|999",
          "httpt-proxy|relay.lan,relay.lan:80,|80|998", "httpt-direct|relay.lan:80,,relay.lan|80|997"}},
        {"one port: both tunnel ports follow it, so no https-direct",
         {{"connect", "relay.lan:7615"}},
         "",
         {"direct|relay.lan|7615|1000", "https-proxy|relay.lan,relay.lan:7615||999",
          "httpt-proxy|relay.lan,relay.lan:7615,|7615|998",
          "httpt-direct|relay.lan:7615,,relay.lan|7615|997"}},
        {"httpt_port completes a connect without ports",
         {{"connect", "relay.lan"}, {"httpt_port", "7615"}},
         "",
         {"direct|relay.lan|7615|1000", "https-proxy|relay.lan,relay.lan:7615||999",
          "httpt-proxy|relay.lan,relay.lan:7615,|7615|998",
          "httpt-direct|relay.lan:7615,,relay.lan|7615|997"}},
        {"443 with a direct port keeps HTTPS on 443, HTTP follows the direct port",
         {{"connect", "relay.lan:7615,443"}, {"original", "o.lan"}},
         "",
         {"direct|relay.lan|7615|1000", "https-proxy|relay.lan,relay.lan:443||999",
          "https-direct|relay.lan|443|998", "httpt-proxy|relay.lan,relay.lan:7615,o.lan|7615|997",
          "httpt-direct|relay.lan:7615,o.lan,relay.lan|7615|996"}},
        {"a given http key keeps the HTTP tunnel on 80",
         {{"connect", "relay.lan:7615"}, {"http", "1"}, {"nodirect", ""}},
         "",
         {"https-proxy|relay.lan,relay.lan:7615||1000", "httpt-proxy|relay.lan,relay.lan:80,|80|999",
          "httpt-direct|relay.lan:80,,relay.lan|80|998"}},
        {"two hosts interleave",
         two_hosts,
         "",
         {"direct|a.lan|7615|1000", "direct|a.lan|7616|999", "direct|b.lan|7615|999",
          "https-proxy|a.lan,a.lan:7615||998", "direct|b.lan|7616|998",
          "httpt-proxy|a.lan,a.lan:7615,|7615|997", "https-proxy|b.lan,b.lan:7615||997",
          "httpt-direct|a.lan:7615,,a.lan|7615|996", "httpt-proxy|b.lan,b.lan:7615,|7615|996",
          "httpt-direct|b.lan:7615,,b.lan|7615|995"}},
        {"force: only those kinds, in the forced order",
         forced,
         "",
         {"httpt-direct|a.lan:7615,,a.lan|7615|1000", "httpt-direct|b.lan:7615,,b.lan|7615|999",
          "direct|a.lan|7615|998", "direct|a.lan|7616|997", "direct|b.lan|7615|996",
          "direct|b.lan|7616|995"}},
        {"force: a repeated name keeps its last place",
         forced_twice,
         "",
         {"httpt-direct|a.lan:7615,,a.lan|7615|1000", "httpt-direct|b.lan:7615,,b.lan|7615|999",
          "direct|a.lan|7615|998", "direct|a.lan|7616|997", "direct|b.lan|7615|996",
          "direct|b.lan|7616|995"}},
        {"nodirect",
         {{"connect", "relay.lan:7615"}, {"nodirect", "0"}},
         "",
         {
             "https-proxy|relay.lan,relay.lan:7615||1000",
             "httpt-proxy|relay.lan,relay.lan:7615,|7615|999",
             "httpt-direct|relay.lan:7615,,relay.lan|7615|998",
         }},
        {"nooldhttp",
         {{"connect", "relay.lan:7615 7616"}, {"nooldhttp", ""}},
         "",
         {
             "direct|relay.lan|7615|1000",
             "direct|relay.lan|7616|999",
         }},
        {"last success first, its twin dropped",
         {{"connect", "relay.lan:7615"}},
         tunnel_7615,
         {"httpt-proxy|relay.lan,relay.lan:7615,|7615|9999", "direct|relay.lan|7615|1000",
          "https-proxy|relay.lan,relay.lan:7615||999", "httpt-direct|relay.lan:7615,,relay.lan|7615|997"}},
        {"last success spelling a port longer than needed still drops its twin",
         {{"connect", "relay.lan:191"}, {"nooldhttp", ""}},
         long_port,
         {"direct|relay.lan|191|9999"}},
        {"last success not in the list still goes first",
         {{"connect", "relay.lan:7615"}, {"nooldhttp", ""}},
         packed("direct", {"old.lan"}, {7000}),
         {"direct|old.lan|7000|9999", "direct|relay.lan|7615|1000"}},
        {"last success that force does not allow: neither first nor kept",
         {{"connect", "relay.lan:7615"}, {"force", "direct"}},
         tunnel_7615,
         {"direct|relay.lan|7615|1000"}},
        {"load balancer pattern rewrites an address host",
         {{"connect", "192.0.2.7:7615"}, {"original", "geo*.zone.lan"}, {"nooldhttp", ""}},
         "",
         {"direct|tovan-192-0-2-7.randip.zone.lan|7615|1000"}},
    };
    for (row const& r : rows) EXPECT_EQ(list_of(r.o, r.last_success), r.expect) << r.name;
}

// A stored last-success text that does not read as a method this program
// wrote is logged and ignored; it used to make every get_next throw.
TEST_F(Chooser, UnreadableLastSuccessIsIgnored) {
    options const o{{"connect", "relay.lan:7615"}, {"nooldhttp", ""}};
    std::string well_formed_but_empty = packed("direct", {}, {});
    std::string trailing = "xx" + packed("direct", {"old.lan"}, {7000});
    for (std::string const& last : {std::string("garbage"), std::string(), well_formed_but_empty, trailing}) {
        EXPECT_EQ(list_of(o, last), std::vector<std::string>{"direct|relay.lan|7615|1000"});
    }
}

TEST_F(Chooser, AdditionalHostsAreAShuffledChoice) {
    options const o{{"connect", "main.lan:7615"},
                    {"additional", "b1.lan;b2.lan,b3.lan b4.lan\nb5.lan\r"},
                    {"nooldhttp", ""}};
    std::set<std::string> const offered{"b1.lan", "b2.lan", "b3.lan", "b4.lan", "b5.lan"};
    std::set<std::pair<std::string, std::string>> pairs;
    for (int i = 0; i < 40; ++i) {
        std::string last;
        AutoTransport chooser(o, last);
        chooser.init();
        std::vector<AutoTransport::cmd> const& m = chooser.methods();
        ASSERT_EQ(m.size(), 3u);
        EXPECT_EQ(row_of(m[0]), "direct|main.lan|7615|1000");
        EXPECT_EQ(m[1].priority, 999);
        EXPECT_EQ(m[2].priority, 998);
        EXPECT_TRUE(offered.count(m[1].args[0]) && offered.count(m[2].args[0]));
        EXPECT_NE(m[1].args[0], m[2].args[0]);
        pairs.insert({m[1].args[0], m[2].args[0]});
    }
    EXPECT_GT(pairs.size(), 1u); // 40 equal draws out of 20 ordered pairs: practically never
}

TEST_F(Chooser, RetrySettingsAndBadConnect) {
    struct row {
        options o;
        int retries, interval;
    } const rows[] = {
        {{{"retry", "2"}}, 2, 10},
        {{{"retry", "2"}, {"retry_interval", "0"}}, 2, 0},
        {{{"retry", "2"}, {"retry_interval", "-1"}}, 0, 0},
        {{{"retry", "0"}, {"retry_interval", "5"}}, 0, 0},
        {{{"retry", ""}}, 0, 0},
    };
    for (row const& r : rows) {
        options o = r.o;
        o["connect"] = "relay.lan:7615";
        std::string last;
        AutoTransport chooser(o, last);
        chooser.init();
        EXPECT_EQ(chooser.retries_left(), r.retries) << o["retry"] << "/" << o["retry_interval"];
        EXPECT_EQ(chooser.retry_interval(), r.interval) << o["retry"] << "/" << o["retry_interval"];
    }
    for (char const* connect : {"relay.lan", "relay.lan:", "relay.lan: ,", ""}) {
        std::string last;
        AutoTransport chooser({{"connect", connect}, {"test", ""}}, last);
        EXPECT_EQ(thrown([&] { chooser.get_next({}); }), get_procid_e) << connect;
        EXPECT_EQ(thrown([&] { chooser.get_next({}); }), get_procid_e) << connect;
    }
}

// Test mode reports every method that could be tried: a proxy method only
// when its proxy is known, a direct one only when its host resolves. A failed
// look-up is asked again on the next walk.
TEST_F(Chooser, TestModeReportsEveryMethod) {
    std::vector<std::string> const with_proxy{
        "TCP connection to 127.0.0.1:7615 (1000)",
        "HTTPS connection to 127.0.0.1:443 through web proxy proxy.lan:3128 (999)",
        "HTTPS connection to 127.0.0.1:443 (998)",
        "HTTPS connection to no-such-host.invalid:443 through web proxy proxy.lan:3128 (998)",
        "HTTP tunnel to 127.0.0.1:7615->7615 through web proxy proxy.lan:3128 (997)",
        "HTTP tunnel to 127.0.0.1:7615->7615 (996)",
        "HTTP tunnel to no-such-host.invalid:7615->7615 through web proxy proxy.lan:3128 (996)",
        "HTTP tunnel to no-such-host.invalid:7615->7615 (995)",
    };
    std::vector<std::string> const without_proxy{
        "TCP connection to 127.0.0.1:7615 (1000)",
        "HTTPS connection to 127.0.0.1:443 (998)",
        "HTTP tunnel to 127.0.0.1:7615->7615 (996)",
        "HTTP tunnel to no-such-host.invalid:7615->7615 (995)",
    };
    struct row {
        char const* name;
        options extra;
        std::vector<std::string> walk;
    } const rows[] = {
        {"configured proxy", {{"http_proxy", "proxy.lan:3128"}}, with_proxy},
        {"configured HTTPS proxy stands for both", {{"http_proxy_ssl", "proxy.lan:3128"}}, with_proxy},
        {"an account in the address is not shown",
         {{"http_proxy", " http://bob:pw@proxy.lan:3128/ "}},
         with_proxy},
        {"a PAC address alone gives no proxy",
         {{"http_proxy_pac", "http://pac.lan/proxy.pac"}},
         without_proxy},
    };
    for (row const& r : rows) {
        SCOPED_TRACE(r.name);
        options o{{"connect", "127.0.0.1:7615,443"},
                  {"additional", "no-such-host.invalid"},
                  {"test", ""},
                  {"retry", "1"},
                  {"retry_interval", "0"}};
        o.insert(r.extra.begin(), r.extra.end());
        std::string last = packed("direct", {"stale.invalid"}, {1});
        AutoTransport chooser(o, last);
        std::vector<std::string> reports;
        chooser.set_report(collect, &reports);
        std::string name = "stale", text;
        log_capture log;
        EXPECT_EQ(thrown([&] { chooser.get_next({}, false, 1, &name, &text); }), no_transport);
        std::vector<std::string> both_walks = r.walk;
        both_walks.insert(both_walks.end(), r.walk.begin(), r.walk.end());
        // The stale last success resolves neither time: nothing reported for it.
        EXPECT_EQ(reports, both_walks);
        EXPECT_EQ(text, r.walk.back());
        EXPECT_EQ(name, "");
        EXPECT_EQ(last, "");
        EXPECT_EQ(log.count("AutoTransport: resolving [no-such-host.invalid]"), 2);
        EXPECT_EQ(log.count("AutoTransport: retries left: 1"), 1);
        // Spent: the next call walks nothing and fails at once.
        reports.clear();
        EXPECT_EQ(thrown([&] { chooser.get_next({}); }), no_transport);
        EXPECT_TRUE(reports.empty());
    }
}

// A port out of range refuses its setting by name, once, and the address is
// never tried.
TEST_F(Chooser, RefusedAddressesAreNamedAndUnused) {
    std::string last;
    AutoTransport chooser({{"connect", "127.0.0.1:7615"},
                           {"test", ""},
                           {"http_proxy", "bob:pw@proxy.lan:99999"},
                           {"additional", "b.lan:0 c.lan"}},
                          last);
    std::vector<std::string> reports;
    chooser.set_report(collect, &reports);
    EXPECT_EQ(thrown([&] { chooser.get_next({}); }), no_transport);
    std::string const range = ": the port is not a number from 1 to 65535";
    EXPECT_EQ(reports, (std::vector<std::string>{
                           "additional server [b.lan:0]" + range, "TCP connection to 127.0.0.1:7615 (1000)",
                           "web proxy http_proxy" + range, "HTTP tunnel to 127.0.0.1:7615->7615 (997)",
                           "HTTP tunnel to c.lan:7615->7615 (996)"}));
    AutoTransport relay({{"connect", "relay.lan:99999"}}, last);
    EXPECT_EQ(thrown([&] { relay.init(); }),
              std::string(get_procid_e) + ": port 99999 is not a number from 1 to 65535");
}

struct attempt_result {
    rulo::object<rptTransport> transport;
    std::string name = "unset", text;
    options back;
};

attempt_result next(AutoTransport& chooser, rulo::object<recording_sink> const& sink,
                    bool single_step = false) {
    attempt_result r;
    r.transport = chooser.get_next(sink, single_step, 10, &r.name, &r.text, &r.back);
    return r;
}

// The blocked first port falls through to the open one; the transport
// carries bytes both ways; what worked is written back and goes first in
// the next session.
TEST_F(Chooser, DirectFallsThroughAndWritesBack) {
    tcp_listener open;
    closed_port closed;
    std::string const open_port = std::to_string(open.port()),
                      closed_port_text = std::to_string(closed.port());
    options o{{"connect", "127.0.0.1:" + closed_port_text + "," + open_port},
              {"mtu", "1200"},
              {"wininethtml", "page"},
              {"no_delay", "1"},
              {"http_proxy", "proxy.lan:3128"}, // a name that does not resolve: its methods fail
              {"force", "https-proxy,direct,httpt-proxy"}};
    std::string last;
    AutoTransport chooser(o, last);
    std::vector<std::string> reports;
    chooser.set_report(collect, &reports);
    rulo::object<recording_sink> sink(new recording_sink);
    attempt_result r = next(chooser, sink);
    ASSERT_TRUE(r.transport);
    EXPECT_EQ(r.name, "direct");
    EXPECT_EQ(r.text, "TCP connection to 127.0.0.1:" + open_port + " (998)");
    EXPECT_EQ(reports, (std::vector<std::string>{"HTTPS connection to 127.0.0.1:" + closed_port_text +
                                                     " through web proxy proxy.lan:3128 (1000)",
                                                 "TCP connection to 127.0.0.1:" + closed_port_text + " (999)",
                                                 "TCP connection to 127.0.0.1:" + open_port + " (998)"}));
    EXPECT_EQ(r.back, (options{{"force", "direct"}, {"mtu", "1200"}, {"wininethtml", "page"}}));
    EXPECT_EQ(last, packed("direct", {"127.0.0.1"}, {uint16_t(open.port())}));
    EXPECT_EQ(chooser.mtu(), 1200);

    tcp_fd peer = open.accept();
    r.transport->send(netbuf::from_string("from the chooser's transport"));
    std::string got;
    while (got.size() < 28) {
        std::string piece = peer.receive_some();
        ASSERT_FALSE(piece.empty());
        got += piece;
    }
    EXPECT_EQ(got, "from the chooser's transport");
    peer.send_all("from the relay");
    ASSERT_TRUE(sink->wait_for_bytes(14));
    EXPECT_EQ(sink->bytes(), "from the relay");
    r.transport->disconnect();

    // The next call starts after the method that worked: the httpt-proxy
    // method is left, fails, and the list is spent.
    reports.clear();
    EXPECT_EQ(thrown([&] { next(chooser, sink); }), no_transport);
    EXPECT_EQ(reports,
              std::vector<std::string>{"HTTP tunnel to 127.0.0.1:" + closed_port_text + "->" +
                                       closed_port_text + " through web proxy proxy.lan:3128 (997)"});
    EXPECT_EQ(last, "");

    // The next session tries the last success first and connects at once.
    reports.clear();
    std::string remembered = packed("direct", {"127.0.0.1"}, {uint16_t(open.port())});
    AutoTransport again({{"connect", "127.0.0.1:" + closed_port_text + "," + open_port}}, remembered);
    again.set_report(collect, &reports);
    attempt_result second = next(again, sink);
    ASSERT_TRUE(second.transport);
    EXPECT_EQ(reports, std::vector<std::string>{"TCP connection to 127.0.0.1:" + open_port + " (9999)"});
    EXPECT_EQ(second.back, (options{{"force", "direct"}}));
    tcp_fd second_peer = open.accept();
    second.transport->disconnect();
}

TEST_F(Chooser, SingleStepsAndRetries) {
    tcp_listener open;
    closed_port first, second;
    std::string const p1 = std::to_string(first.port()), p2 = std::to_string(second.port()),
                      p3 = std::to_string(open.port());
    std::string last;
    AutoTransport chooser({{"connect", "127.0.0.1:" + p1 + "," + p2 + "," + p3}, {"nooldhttp", ""}}, last);
    rulo::object<recording_sink> sink(new recording_sink);
    struct step {
        bool connected;
        std::string text;
    } const steps[] = {
        {false, "TCP connection to 127.0.0.1:" + p1 + " (1000)"},
        {false, "TCP connection to 127.0.0.1:" + p2 + " (999)"},
        {true, "TCP connection to 127.0.0.1:" + p3 + " (998)"},
    };
    for (step const& s : steps) {
        attempt_result r = next(chooser, sink, true);
        EXPECT_EQ(bool(r.transport), s.connected) << s.text;
        EXPECT_EQ(r.text, s.text);
        EXPECT_EQ(r.name, s.connected ? "direct" : "");
        EXPECT_EQ(r.back.empty(), !s.connected);
        if (r.transport) r.transport->disconnect();
    }
    tcp_fd peer = open.accept();

    // Nothing works: each walk reports every method once, then the error.
    std::string none;
    AutoTransport blocked({{"connect", "127.0.0.1:" + p1 + "," + p2},
                           {"nooldhttp", ""},
                           {"retry", "2"},
                           {"retry_interval", "0"}},
                          none);
    std::vector<std::string> reports;
    blocked.set_report(collect, &reports);
    EXPECT_EQ(thrown([&] { next(blocked, sink); }), no_transport);
    EXPECT_EQ(reports.size(), 6u);
    EXPECT_EQ(sink->byte_count(), 0u);
}

} // namespace
