// The text-command dispatcher as logic: a recording host, a clock moved by
// hand, texts from the program, the peer and the server.
#include "tovan/session/command_log.h"
#include "tovan/session/dispatcher.h"
#include "tovan/session/numbers.h"

#include "rulo-rpt/net/net_util.h"
#include "rulo/packet.h"
#include "rulo/text.h"
#include "tests/support/fake_dispatch_host.h"

#include <gtest/gtest.h>

#include <climits>
#include <thread>

namespace {

using test_support::fake_dispatch_host;
using vyn::origin;

struct stand {
    fake_dispatch_host host;
    vyn::command_queue queue;
    vyn::dispatcher d{host, queue};
    vyn::session_state& s = d.state();
    stand() { host.watched = &s; }
    void ids(std::string sid, std::string key) {
        s.ids.update([&](vyn::session_ids& i) {
            i.sid = std::move(sid);
            i.key = std::move(key);
        });
    }
    void run(std::string const& text, origin from = origin::local) {
        queue.push(from, text);
        while (d.dispatch_next()) {
        }
    }
};

std::string map_packet(std::map<std::string, std::string> const& m) {
    std::string p;
    rulo_packet_push(p, m);
    return p;
}

TEST(Dispatcher, DeskSessionWalksThroughItsStates) {
    stand t;
    t.s.in_connection = true;
    t.ids("4:7", "k");
    t.s.flags = 0x900;             // a plugin's bits of the last session
    t.host.catalogue_fails = true; // a silent server: the desk still waits for its client
    struct {
        char const* text;
        int64_t state;
        char const* call; // one call the step must have made (empty: none checked)
    } const steps[] = {
        {"connection_status 1", 1, ""},
        {"channel_start_all", 1, "start_connection_thread"},
        {"connection_status 4", 4, ""},
        {"channel_status_connected", 5, "options join"},
        {"version 3.3.2", 6, "gui_status 6 0"}, // the bits cleared, the new state told
        {"version 3.3.2", 6, ""},               // already connected: only the version is kept
        {"channel_status_broken", 7, "system RECONNECTING_MSG"},
        {"my_intern_reconnect", 3, "clear_unrouted_packets"}, // after "reconnecting-session" to plugins
        {"send_network_interfaces", 3, ""},
        {"version 3.3.2", 6, "system RESTARTING_CONNECTION"},
        {"close_connection", 6, "stop 3"},
        {"channel_status_stopped", 0, "notify 0 0"},
    };
    for (auto const& step : steps) {
        t.host.calls.clear();
        t.run(step.text);
        EXPECT_EQ(t.s.state, step.state) << step.text;
        if (*step.call) {
            EXPECT_TRUE(t.host.called(step.call)) << step.text;
        }
    }
    EXPECT_EQ(t.host.interfaces, rulo::get_nifs(true));
    // The dropped channel was stopped before its handle went.
    EXPECT_TRUE(t.host.called("stop 1"));
    EXPECT_FALSE(t.s.in_connection);
    // A second stop only tells the desktop plugin.
    t.host.calls.clear();
    t.run("channel_status_stopped");
    EXPECT_EQ(t.host.calls, std::vector<std::string>{"desktop desk_connection_closed_1"});
    // A stop empties the chat also when the other end never came.
    t.s.state = 5;
    t.s.chat_html = t.s.chat_plain = t.s.chat_transcript_html = "a server line";
    t.run("channel_status_stopped");
    EXPECT_EQ(t.s.chat_html + t.s.chat_plain + t.s.chat_transcript_html, "");
}

TEST(Dispatcher, DeskTellsThePeerItsSessionOnConnect) {
    stand t;
    t.ids("4:7", "k");
    t.host.mtu_fix = "1";
    t.host.control_link_broken = true; // the server is not told; the session is set up all the same
    t.run("version 2.2");
    EXPECT_TRUE(t.s.layout_dirty);
    std::string const ids =
        map_packet({{"m_sid_string", "4:7"}, {"m_key_string", "k"}, {"m_sec_1", "R"}, {"m_sec_2", "L"}});
    EXPECT_TRUE(t.host.called("send " + ids));
    // Only a desk sends that map: a desk that gets one keeps its own session.
    t.run(map_packet({{"m_sid_string", "9:9"}, {"m_key_string", "kk"}}), origin::peer);
    EXPECT_EQ(t.s.ids.get().sid, "4:7");
    EXPECT_TRUE(t.host.called("send module_file_transfer")); // below 2.3
    EXPECT_TRUE(t.host.called("send adsl_fix 450"));
    EXPECT_TRUE(t.host.called("send_limit 450 300"));
    EXPECT_TRUE(t.host.called("button video 0"));

    // The byte-wise version order: "10.0" is old, "2.3.1" gets the check.
    for (auto const& [version, check] : {std::pair{"10.0", false}, {"2.3", false}, {"2.3.1", true}}) {
        stand u;
        u.run(std::string("version ") + version);
        EXPECT_EQ(u.host.count_prefix("send module_plugin_check "), check ? 1 : 0) << version;
    }
}

TEST(Dispatcher, LoggedCommandsAreTextWithoutSecrets) {
    auto escaped = [](std::string s) {
        std::string out;
        for (unsigned char c : s)
            out += c >= 0x20 && c < 0x7f ? std::string(1, char(c)) : "\\x" + xstd::hexcode({char(c)});
        return out;
    };
    auto session = [](std::string v) {
        return map_packet(
            {{"m_sid_string", "4:7"}, {"m_key_string", v}, {"m_sec_1", v}, {"m_sec_2", v}, {"user", "u"}});
    };
    struct row {
        std::string in, logged;
    } const rows[] = {
        {session("k"), escaped(session("***"))},
        {map_packet({{"Proxy_Password", "pw"}}), escaped(map_packet({{"Proxy_Password", "***"}}))},
        // Text that is no whole map keeps its bytes, escaped where unprintable.
        {"a\tb\nc\x7f" + std::string(1, '\0'), "a\\x09b\\x0ac\\x7f\\x00"},
        {"Gr\xc3\xbc\xc3\x9f \xe2\x82\xac \xf0\x9f\x98\x80",
         "Gr\xc3\xbc\xc3\x9f \xe2\x82\xac \xf0\x9f\x98\x80"},
        {"\xc3 \xc0\xaf \xed\xa0\x80 \xe2\x82", "\\xc3 \\xc0\\xaf \\xed\\xa0\\x80 \\xe2\\x82"},
    };
    for (auto const& r : rows) EXPECT_EQ(vyn::loggable_command(r.in), r.logged) << escaped(r.in);
    EXPECT_EQ(
        vyn::loggable_arguments("--username u --password  pw --conn-options "
                                "http_proxy=h:1&http_proxy_password=s%3Ax&x=1 --Password 'a b' --password"),
        "--username u --password  *** --conn-options http_proxy=h:1&http_proxy_password=***&x=1 --Password "
        "'***' --password");
}

TEST(Dispatcher, RetryLadder) {
    stand t;
    t.s.in_connection = true;
    t.s.state = 6;
    for (int n = 1; n <= 9; ++n) {
        t.run("channel_status_connect_failed");
        EXPECT_EQ(t.s.next_retry_ms, 1000 + n * 2000) << n;
    }
    EXPECT_EQ(t.host.count_prefix("box "), 0);
    t.run("channel_status_connect_failed"); // the tenth asks; yes goes on
    EXPECT_EQ(t.host.count_prefix("box RETRY_RECONNECT QUESTION"), 1);
    EXPECT_EQ(t.s.next_retry_ms, 1000 + 20000);
    t.run("channel_status_connect_failed");
    EXPECT_EQ(t.host.count_prefix("box RETRY_RECONNECT"), 2);
    EXPECT_EQ(t.s.next_retry_ms, 1000 + 22000);
    t.host.box_answer = 7;
    t.run("channel_status_connect_failed");
    EXPECT_TRUE(t.host.called("stop 1"));
    EXPECT_FALSE(t.s.in_connection);
    EXPECT_EQ(t.s.state, 6); // the dispatch ended there

    // A restored connection never asks and stays at 20 s.
    stand r;
    r.host.restored = true;
    r.s.in_connection = true;
    r.s.state = 4;
    for (int n = 1; n <= 14; ++n) r.run("channel_status_connect_failed");
    EXPECT_EQ(r.host.count_prefix("box "), 0);
    EXPECT_EQ(r.s.retry_count, 10);
    EXPECT_EQ(r.s.next_retry_ms, 1000 + 20000);

    // Not connected, not restored: the failure ends the session.
    stand f;
    f.s.in_connection = true;
    f.s.state = 4;
    f.run("channel_status_connect_failed");
    EXPECT_EQ(f.s.state, 0);
    EXPECT_TRUE(f.host.called("notify 0 0"));

    // The first failure with the plain log open switches the log, uncounted.
    stand l;
    l.host.log_open = true;
    l.s.in_connection = true;
    l.s.state = 4;
    l.run("channel_status_connect_failed");
    EXPECT_TRUE(l.host.called("enable_debug"));
    EXPECT_EQ(l.s.retry_count, 0);
    EXPECT_EQ(l.s.next_retry_ms, 1000);
}

// A broken session channel goes through the ladder too: at once after the
// channel had reached the other end, with the ladder's pause once a leg
// breaks before the other end answered (a leg the relay refuses), and the
// question at the tenth failure. Only the other end's answer on a leg
// ("session_connect") means the channel is up again.
TEST(Dispatcher, BrokenChannelsClimbTheLadder) {
    stand t;
    t.s.in_connection = true;
    t.s.state = 6;
    struct {
        char const* text;
        int64_t state;
        int retry_count;
        int64_t retry_in_ms; // -1: none due
        char const* call;    // one call the step must have made (empty: none checked)
    } const steps[] = {
        {"channel_status_session_connect", 6, 0, -1, ""},
        {"channel_status_broken", 7, 0, 0, "system RECONNECTING_MSG"},
        {"channel_status_connected", 7, 0, -1, ""}, // only the leg: not yet reconnected
        {"channel_status_broken", 7, 1, 2000, ""},
        {"channel_status_connected", 7, 1, -1, ""},
        {"channel_status_broken", 7, 2, 4000, ""},
        {"channel_status_connect_failed", 7, 3, 6000, ""},
        {"channel_status_session_connect", 6, 0, -1, "system RECONNECTED_MSG"},
        {"channel_status_broken", 7, 0, 0, ""},
    };
    for (auto const& step : steps) {
        t.host.calls.clear();
        bool const moves = t.s.state != step.state;
        t.s.look_dirty = false;
        t.run(step.text);
        EXPECT_EQ(t.s.state, step.state) << step.text;
        EXPECT_TRUE(t.s.look_dirty || !moves) << step.text; // refreshed into reconnecting and out of it
        EXPECT_EQ(t.s.retry_count, step.retry_count) << step.text;
        EXPECT_EQ(t.s.next_retry_ms, step.retry_in_ms < 0 ? 0 : 1000 + step.retry_in_ms) << step.text;
        if (*step.call) {
            EXPECT_TRUE(t.host.called(step.call)) << step.text;
        }
        EXPECT_FALSE(t.host.called("system RECONNECTED_MSG") &&
                     step.text == std::string("channel_status_connected"));
    }
    // Legs that keep breaking: the tenth failure asks, "no" gives up.
    t.host.box_answer = 7;
    for (int n = 1; n <= 9; ++n) t.run("channel_status_broken");
    EXPECT_EQ(t.host.count_prefix("box "), 0);
    EXPECT_EQ(t.s.next_retry_ms, 1000 + 9 * 2000);
    t.run("channel_status_broken");
    EXPECT_EQ(t.host.count_prefix("box RETRY_RECONNECT QUESTION"), 1);
    EXPECT_TRUE(t.host.called("stop 1"));
    EXPECT_FALSE(t.s.in_connection);
}

// The server does not know the session any more: it ends as a server's
// close does, with the server's words in the chat and a box; only the program itself
// can say so.
TEST(Dispatcher, ASessionTheServerForgotEndsLikeAClose) {
    for (origin from : {origin::local, origin::peer, origin::server}) {
        stand t;
        t.s.in_connection = true;
        t.s.state = 7;
        t.s.connect_params = {{"sid_string", "4:7"}};
        t.run("my_intern_session_gone", from);
        if (from != origin::local) {
            EXPECT_TRUE(t.host.calls.empty());
            continue;
        }
        EXPECT_EQ(
            t.host.calls,
            (std::vector<std::string>{
                "chat <font color=e0137c><b>VYN Corvane:</b><font color=000000> <CONNECTION_WAS_CLOSED>",
                "msgbox MSG_FROM_CORVANE <CONNECTION_WAS_CLOSED>", "clear_connect_save_file",
                "shutdown_connection", "stop 3"}));
        EXPECT_TRUE(t.s.connect_params.empty());
    }
}

// Commands that a step knows never reach the session-map step, so its parse
// failure is logged only for a text that could only be a session map.
TEST(Dispatcher, OnlyUnknownTextsFailAsSessionMaps) {
    struct {
        char const* text;
        bool failure_logged;
    } const rows[] = {
        {"connection_status 1", false},
        {"channel_start_all", false},
        {"channel_status_connected", false},
        {"channel_status_session_connect", false},
        {"version 3.3.2", false},
        {"module_plugin_load", false},
        {"module_file_transfer", false},
        {"dont_reconnect", false},
        {"ping_call", false},
        {"", false},
        {"no such command", true},
    };
    for (auto const& row : rows) {
        stand t;
        t.host.record_logs = true;
        t.s.in_connection = true;
        t.run(row.text);
        bool failed = false;
        for (auto const& line : t.host.logs) failed |= line.rfind("command step failed", 0) == 0;
        EXPECT_EQ(failed, row.failure_logged) << row.text;
    }
}

TEST(Dispatcher, InternalCommandsFromOutsideAreIgnored) {
    std::string corvane;
    rulo_packet_push(corvane, int64_t(0x1000), int64_t(0x2000), std::string("get_corvane_code"));
    char const* const forged[] = {"channel_status_stopped", "channel_status_broken",
                                  "connection_status 0",    "channel_start_all",
                                  "my_intern_connected",    "my_intern_reconnect",
                                  "run-in-main x",          "module_plugin_running desktop"};
    for (origin from : {origin::peer, origin::server}) {
        std::vector<std::string> texts(std::begin(forged), std::end(forged));
        texts.push_back(corvane);
        for (auto const& text : texts) {
            stand t;
            t.s.in_connection = true;
            t.s.state = 6;
            t.run(text, from);
            EXPECT_EQ(t.s.state, 6) << text;
            EXPECT_TRUE(t.s.in_connection) << text;
            EXPECT_TRUE(t.host.calls.empty()) << text << ": " << t.host.calls.front();
        }
    }
    // The same word from the program itself acts.
    stand t;
    t.s.state = 6;
    t.run("channel_status_stopped");
    EXPECT_EQ(t.s.state, 0);

    // The credentials request: only as the local entry kind, answered and
    // woken on every path.
    struct request : vyn::credentials_request {
        int woken = 0;
        void done() override { ++woken; }
    } req;
    t.queue.push_request(&req);
    t.d.dispatch_next();
    EXPECT_EQ(req.woken, 1);
    EXPECT_EQ(req.user, "asked");
    EXPECT_TRUE(req.answered);

    // A dialog that fails still wakes the worker, with no answer (a cancel).
    request failed;
    t.host.credentials_fail = true;
    t.queue.push_request(&failed);
    t.d.dispatch_next();
    EXPECT_EQ(failed.woken, 1);
    EXPECT_FALSE(failed.answered);
    // The request kind from outside is not honoured.
    request outside;
    vyn::command_entry from_peer;
    from_peer.from = origin::peer;
    from_peer.text = "get_corvane_code";
    from_peer.request = &outside;
    t.d.dispatch(from_peer);
    EXPECT_EQ(outside.woken, 0);

    t.s.state = 6; // a command of a connect attempt given up since is dropped
    t.queue.push(origin::local, "channel_status_stopped", [] { return true; });
    t.d.dispatch_next();
    EXPECT_EQ(t.s.state, 6);
}

TEST(Dispatcher, SessionMapsAndNumbers) {
    stand t;
    t.s.state = 6;
    t.s.in_connection = true;
    t.s.is_client = true; // only a client takes them
    t.run(map_packet({{"m_sid_string", "9:9"}, {"m_key_string", "kk"}, {"m_sec_1", "a"}, {"m_sec_2", "b"}}),
          origin::peer);
    EXPECT_EQ(t.s.ids.get().sid, "9:9");
    EXPECT_TRUE(t.host.called("set_secret a b 0"));
    EXPECT_TRUE(t.host.called("flush_session_message"));
    t.s.is_client = false;

    t.run(map_packet({{"disconnect", "30"}}), origin::server);
    EXPECT_TRUE(t.host.called(
        "chat <font color=e0137c><b>VYN Corvane:</b><font color=000000> <WILL_DISCONECT> 30s."));
    EXPECT_TRUE(t.host.called("msgbox MSG_FROM_CORVANE <WILL_DISCONECT> 30s."));
    EXPECT_TRUE(t.s.in_connection);
    t.host.calls.clear();
    t.run(map_packet({{"disconnect", "4294967296"}}), origin::server); // past int: refused, not wrapped to 0
    EXPECT_TRUE(t.host.calls.empty());
    EXPECT_TRUE(t.s.in_connection);
    t.run(map_packet({{"message", "a\r\nb\nc"}, {"chat", "1"}, {"cp_label", "L:"}}), origin::server);
    EXPECT_TRUE(t.host.called("chat L:a<br>b<br>c"));
    t.run(map_packet({{"disconnect", "0"}}), origin::server);
    EXPECT_TRUE(t.host.called("shutdown_connection"));
    EXPECT_FALSE(t.s.in_connection);

    t.run(map_packet({{"client_dialog", "x"}}), origin::peer);
    EXPECT_EQ(t.s.pending_text, map_packet({{"client_dialog", "x"}}));

    struct {
        char const* text;
        char const* limit; // expected send limit call, empty: none
        char const* stored;
    } const fixes[] = {
        {"adsl_fix normal", "send_limit 2147483647 0", "mtu_fix_v 0"},
        {"adsl_fix 150", "send_limit 150 100", "mtu_fix_v 2"},
        {"adsl_fix 151", "send_limit 151 100", "mtu_fix_v 1"},
        {"adsl_fix 450", "send_limit 450 300", "mtu_fix_v 1"},
        {"adsl_fix 99999999999", "", ""},
        {"adsl_fix -99999999999", "", ""},
    };
    for (auto const& f : fixes) {
        stand u;
        u.run(f.text, origin::peer);
        EXPECT_EQ(u.host.count_prefix("send_limit"), *f.limit ? 1 : 0) << f.text;
        if (*f.limit) {
            EXPECT_TRUE(u.host.called(f.limit)) << f.text;
        }
        if (*f.stored) {
            EXPECT_TRUE(u.host.called(f.stored)) << f.text;
        }
    }

    t.s.session_seconds = 100;
    t.run("connection_time 50", origin::peer);
    EXPECT_EQ(t.s.session_seconds, 100);
    t.run("connection_time 4294967396", origin::peer);
    EXPECT_EQ(t.s.session_seconds, 100);
    t.run("connection_time 200", origin::peer);
    EXPECT_EQ(t.s.session_seconds, 200);

    struct {
        char const* text;
        int64_t value; // -1: refused
    } const numbers[] = {
        {"123 456", 123},
        {"  42x", 42},
        {"", 0},
        {"abc", 0},
        {"2147483647", INT32_MAX},
        {"2147483648", -1},
        {"-2147483648", INT32_MIN},
        {"-2147483649", -1},
        {"99999999999999999999999999", -1},
    };
    for (auto const& n : numbers) {
        auto v = vyn::leading_decimal(n.text, INT32_MIN, INT32_MAX);
        EXPECT_EQ(v ? *v : -1, n.value) << n.text;
    }
    struct {
        char const* sid;
        bool ok;
        int32_t a, b;
    } const sids[] = {{"4:7", true, 4, 7},           {"2147483647:1", true, INT32_MAX, 1},
                      {"2147483648:1", false, 0, 0}, {"47", false, 0, 0},
                      {"4:", false, 0, 0},           {"4:7x", false, 0, 0}};
    for (auto const& s : sids) {
        int32_t a = 0, b = 0;
        EXPECT_EQ(vyn::parse_session_id(s.sid, a, b), s.ok) << s.sid;
        if (s.ok) {
            EXPECT_EQ(std::to_string(a) + ":" + std::to_string(b),
                      std::to_string(s.a) + ":" + std::to_string(s.b));
        }
    }
}

TEST(Dispatcher, EightProducersKeepTheirOrder) {
    stand t;
    t.host.record_logs = true;
    constexpr int producers = 8, each = 500;
    std::vector<std::thread> threads;
    for (int p = 0; p < producers; ++p)
        threads.emplace_back([&, p] {
            for (int k = 0; k < each; ++k)
                t.queue.push(origin::local, "ping_call " + std::to_string(p) + " " + std::to_string(k));
        });
    int taken = 0;
    while (taken < producers * each)
        if (t.d.dispatch_next()) ++taken;
    for (auto& th : threads) th.join();
    std::vector<int> next(producers, 0);
    for (auto const& line : t.host.logs) {
        int p = 0, k = 0;
        if (std::sscanf(line.c_str(), "new request :ping_call %d %d", &p, &k) != 2) continue;
        ASSERT_EQ(k, next[p]) << "producer " << p;
        ++next[p];
    }
    for (int p = 0; p < producers; ++p) EXPECT_EQ(next[p], each);
    EXPECT_FALSE(t.d.dispatch_next());
}

} // namespace
