// The control RPC client: its frames byte for byte (hand-computed from the
// packet format), its reading of replies, and whole calls against a scripted
// server over the in-memory transport pair with random cuts.
#include "tovan/plugins/plugin_translations.h"
#include "tovan/session/control_rpc.h"

#include "rulo-rpt/rpc/rptPacket.h"
#include "rulo/packet.h"
#include "rulo/scheduler.h"
#include "tests/support/memory_transport.h"
#include "tests/support/recording_sink.h"
#include "tests/support/shell.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace {

using test_support::memory_transport_pair;
using vyn::control_rpc;

netbuf bytes(std::string const& s) {
    return netbuf::from_string(s);
}

// The client end takes no calls.
class no_calls : public rulo::rpcWrapperSink {
public:
    void func(netbuf const&, rulo::object<reply>) override {}
};

// The server end: pops the method number, records the rest of the frame and
// answers with what the script returns for that method (no answer: held).
class scripted_server : public rulo::rpcWrapperSink {
public:
    std::function<bool(int64_t, netbuf&)> answer; // false: hold the call

    void func(netbuf const& body, rulo::object<reply> r) override {
        netbuf args = body;
        int64_t method = 0;
        rulo_packet_pop(args, method);
        netbuf out;
        bool const answered = answer && answer(method, out);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_calls.push_back({method, args.to_string()});
            if (!answered) m_held.push_back(r);
        }
        if (answered) r->send(out);
        m_changed.notify_all();
    }
    std::vector<std::pair<int64_t, std::string>> calls() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_calls;
    }
    bool wait_for_calls(std::size_t n) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(30), [&] { return m_calls.size() >= n; });
    }
    void release() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_held.clear();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::pair<int64_t, std::string>> m_calls;
    std::vector<rulo::object<reply>> m_held;
};

struct stand {
    stand() : pair(options()) {
        client_packet = rulo::object<rulo::rptPacket>(new rulo::rptPacket(rulo::scheduler_pool()));
        client_wrapper = rulo::object<rulo::rpcWrapper>(
            new rulo::rpcWrapper(client_packet, rulo::object<rulo::rpcWrapperSink>(new no_calls)));
        client_packet->set_sink(client_wrapper);
        pair.a->set_sink(client_packet);
        client_packet->start(pair.a);

        server_packet = rulo::object<rulo::rptPacket>(new rulo::rptPacket(rulo::scheduler_pool()));
        server = rulo::object<scripted_server>(new scripted_server);
        server_wrapper = rulo::object<rulo::rpcWrapper>(new rulo::rpcWrapper(server_packet, server));
        server_packet->set_sink(server_wrapper);
        pair.b->set_sink(server_packet);
        server_packet->start(pair.b);
        rpc = rulo::object<control_rpc>(new control_rpc(client_wrapper));
    }
    ~stand() {
        server->release();
        rpc.reset(); // ends the link, which unties the layers
        pair.wait_delivered();
    }
    static memory_transport_pair::options options() {
        memory_transport_pair::options o;
        o.random_pieces = true;
        o.threaded = true;
        return o;
    }
    memory_transport_pair pair;
    rulo::object<rulo::rptPacket> client_packet, server_packet;
    rulo::object<rulo::rpcWrapper> client_wrapper, server_wrapper;
    rulo::object<scripted_server> server;
    rulo::object<control_rpc> rpc;
};

netbuf value_reply(netbuf const& value) {
    netbuf out;
    rulo_packet_push(out, value, int64_t(3));
    return out;
}

TEST(ControlRpc, FramesAreByteExact) {
    // The fifth call on a fresh link, framed by the packet layer.
    memory_transport_pair pair;
    rulo::object<rulo::rptPacket> packet(new rulo::rptPacket(rulo::scheduler_pool()));
    rulo::object<rulo::rpcWrapper> wrapper(
        new rulo::rpcWrapper(packet, rulo::object<rulo::rpcWrapperSink>(new no_calls)));
    packet->set_sink(wrapper);
    rulo::object<test_support::recording_sink> wire(new test_support::recording_sink);
    pair.b->set_sink(wire);
    pair.a->set_sink(packet);
    packet->start(pair.a);
    {
        control_rpc rpc(wrapper);
        for (int i = 0; i < 5; ++i) rpc.co_check_graceful();
        std::string expected;
        for (char id = '1'; id <= '5'; ++id) expected += std::string("4\n") + id + "\n\x17\x01";
        ASSERT_TRUE(wire->wait_for_bytes(expected.size()));
        EXPECT_EQ(wire->bytes(), expected);
    }

    struct {
        char const *code, *sid, *key;
        std::string body;
    } const cases[] = {
        // One of id and key empty: the code form.
        {"777", "", "k", std::string("777\x03\x01\x00\x00\x25\x01", 9)},
        {"777", "1:2", "", std::string("777\x03\x01\x00\x00\x25\x01", 9)},
        // Both known: an empty code, then id and key.
        {"777", "1:2", "k",
         std::string("\x00"
                     "1:2\x03\x01k\x01\x01\x25\x01",
                     11)},
    };
    for (auto const& c : cases)
        EXPECT_EQ(control_rpc::frame_i_am_client(c.code, c.sid, c.key).to_string(), c.body)
            << c.sid << "/" << c.key;
}

TEST(ControlRpc, RepliesAreReadByStatus) {
    struct {
        std::string reply;
        bool void_method;
        int code; // 0: success
        std::string text;
    } const cases[] = {
        {std::string("x\x01\x01\x08\x01\x01\x01", 7), true, 8, "x"},
        {std::string("x\x01\x01\x08\x01\x01\x01", 7), false, 8, "x"},
        {std::string("\x08\x01\x01\x01", 4), true, 8, ""}, // code without text
        {std::string("\x02\x01", 2), true, 0, ""},
        {std::string("\x03\x01", 2), false, 0, ""},
        {std::string("\x03\x01", 2), true, control_rpc::E_PROTOCOL, ""}, // a value where none is due
        {std::string("\x02\x01", 2), false, control_rpc::E_PROTOCOL, ""},
        {std::string("\x07\x01", 2), true, control_rpc::E_PROTOCOL, ""},
        {"", true, control_rpc::E_PROTOCOL, ""},                         // empty body: no status
        {std::string("\x01\x01", 2), true, control_rpc::E_PROTOCOL, ""}, // error without code
        {std::string("\x10\x01\x01\x01", 4), true, control_rpc::E_NO_SESSION, ""},
    };
    for (auto const& c : cases) {
        netbuf reply = bytes(c.reply);
        int code = 0;
        std::string text;
        try {
            if (c.void_method)
                control_rpc::void_exception(reply);
            else
                control_rpc::val_exception(reply);
        } catch (control_rpc::exception const& e) {
            code = e.code;
            text = e.text;
        }
        EXPECT_EQ(code, c.code) << testing::PrintToString(c.reply);
        EXPECT_EQ(text, c.text) << testing::PrintToString(c.reply);
    }
}

TEST(ControlRpc, CallsCarryTheirArgumentsAndResults) {
    stand s;
    s.server->answer = [](int64_t method, netbuf& out) {
        switch (method) {
        case 48: {
            netbuf values;
            rulo_packet_push(values, std::string("123456789"), std::string("4:7"), std::string("ab12"),
                             std::string("aux"), std::string("priv"));
            out = value_reply(values);
            return true;
        }
        case 47: {
            netbuf values;
            rulo_packet_push(values, std::string("9:9"), std::string("k2"), std::string("127.0.0.1:9"));
            out = value_reply(values);
            return true;
        }
        case 29: {
            std::vector<std::map<std::string, std::string>> list{{{"name", "a"}}, {{"name", "b"}}};
            rulo_packet_push(out, list, int64_t(3));
            return true;
        }
        case 44: {
            netbuf values;
            rulo_packet_push(values, std::string("one"), std::string("two"), std::string("three"));
            out = value_reply(values);
            return true;
        }
        case 33:
            rulo_packet_push(out, std::string("bad"), int64_t(8), int64_t(1));
            return true;
        case 41:
            return false; // a server that never answers
        default:
            rulo_packet_push(out, int64_t(2));
            return true;
        }
    };

    std::string code, sid, key, aux, priv;
    s.rpc->co_create_session(code, sid, key, aux, priv);
    EXPECT_EQ(code + "|" + sid + "|" + key + "|" + aux + "|" + priv, "123456789|4:7|ab12|aux|priv");

    std::string rsid = "1:1", rkey = "k1";
    EXPECT_EQ(s.rpc->co_resolve_session("", rsid, rkey), "127.0.0.1:9");
    EXPECT_EQ(rsid + "|" + rkey, "9:9|k2");

    auto plugins = s.rpc->co_get_plugins();
    ASSERT_EQ(plugins.size(), 2u);
    EXPECT_EQ(plugins[0]["name"], "a");

    std::string m1, m2, m3;
    s.rpc->co_get_mail_template(m1, m2, m3);
    EXPECT_EQ(m1 + m2 + m3, "onetwothree");

    try {
        s.rpc->co_login_plaintext("u", "p w");
        ADD_FAILURE() << "a refused log-in must throw";
    } catch (control_rpc::exception const& e) {
        EXPECT_EQ(e.code, control_rpc::E_PASSWORD);
        EXPECT_EQ(e.text, "bad");
    }
    s.rpc->co_continue("4:7", "priv");
    unsigned short extra = 5;
    s.rpc->co_my_configuration(0, 443, true, false, nullptr);
    s.rpc->co_my_configuration(0, 443, true, false, &extra);
    s.rpc->co_check_graceful(); // async: its answer is dropped

    // What the server read, in push order (the frame minus its number).
    auto pushed = [](auto... values) {
        netbuf b;
        rulo_packet_push(b, values...);
        return b.to_string();
    };
    ASSERT_TRUE(s.server->wait_for_calls(9));
    auto calls = s.server->calls();
    std::vector<std::pair<int64_t, std::string>> const expected = {
        {48, ""},
        {47, pushed(std::string(), std::string("1:1"), std::string("k1"))},
        {29, ""},
        {44, ""},
        {33, pushed(std::string("u"), std::string("p w"))},
        {21, pushed(std::string("priv"), std::string("4:7"))},
        {25, pushed((unsigned short)0, (unsigned short)443, true, false)},
        {25, pushed((unsigned short)5, (unsigned short)0, (unsigned short)443, true, false)},
        {23, ""},
    };
    EXPECT_EQ(calls, expected);

    // The calls the GUI thread makes have a limit: a silent server cannot
    // freeze the window.
    s.rpc->set_gui_call_limit(1);
    EXPECT_THROW(s.rpc->co_close_session(), rulo::exception);
    // Told apart from a broken link: the call that went unanswered.
    try {
        s.rpc->co_close_session();
        ADD_FAILURE() << "answered";
    } catch (vyn::control_rpc::no_answer const& e) {
        EXPECT_EQ(e.method, 41);
        EXPECT_FALSE(e.abandoned);
    }
    // The mail button's template, unanswered: the command ends as on a failure.
    ASSERT_TRUE(s.server->wait_for_calls(11)); // the server has seen every call before
    s.server->answer = [](int64_t, netbuf&) { return false; };
    EXPECT_THROW(s.rpc->co_get_mail_template(m1, m2, m3), control_rpc::no_answer);
}

} // namespace

// A translation request the server leaves unanswered ends at its limit: the
// plugin goes on without its texts and nothing stays pending.
TEST(ControlRpc, TranslationWaitIsBounded) {
    test_support::scratch_dir home;
    std::string const old_home = std::getenv("HOME") ? std::getenv("HOME") : "";
    ::setenv("HOME", home.path().c_str(), 1);
    {
        stand s;
        s.server->answer = [](int64_t, netbuf&) { return false; };
        auto rpc = tovan::control_translation_rpc([&] { return s.rpc; });
        tovan::plugin_translations translations([](std::string const&) {});
        tovan::plugin_def entry(
            tovan::plugin_record{{"name", "x"}, {"version", "1"}, {"platform", "linux64"}});
        translations.start(rpc, entry);
        ASSERT_TRUE(s.server->wait_for_calls(1));
        EXPECT_EQ(s.server->calls()[0].first, 40);
        translations.finish(rpc, entry, 1);
        EXPECT_EQ(entry.take("tr_downloaded"), "");
        EXPECT_FALSE(translations.pending("x_1"));
    }
    ::setenv("HOME", old_home.c_str(), 1);
}
