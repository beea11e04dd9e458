// The relay as the program's server: the control methods' replies (bytes
// worked out by hand from the packet format), log-in and the other test
// switches, the binding of desk and client to a session, the joining of
// their legs, and the admin commands about sessions.
#include "tests/support/shell.h"
#include "tests/support/tcp_peer.h"
#include "tests/tools/relay/relay_helpers.h"

#include <gtest/gtest.h>

#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <set>
#include <sstream>
#include <sys/stat.h>

using namespace relay_test;
using test_support::relay_process;

namespace {

std::string rpc_packet(std::string const& text) {
    return std::to_string(text.size()) + "\n" + text;
}

// A call body: the arguments in push order, then the method number.
template <class... T>
std::string method(long long number, T const&... args) {
    std::string b;
    rulo_packet_push(b, args..., number);
    return b;
}

std::string bytes(std::initializer_list<int> list) {
    std::string s;
    for (int b : list) s += static_cast<char>(b);
    return s;
}

std::string const done = bytes({0x02, 0x01});
std::string error_reply(int code) {
    return bytes({code, 0x01, 0x01, 0x01});
}

// One end of a session as a test drives it: a secure client with VYNRPC on
// channel 2; frames sorted into RPC packets, control packets and leg bytes.
class end_point {
public:
    explicit end_point(relay_process& relay) : c(secure_client(relay)) { c->open(2, "VYNRPC", true, true); }

    std::string call(std::string const& body) {
        std::string const id = std::to_string(m_next++);
        c->send_secure(2, rpc_packet(id + "\n" + body));
        auto reply = take_rpc("result " + id + "\n");
        if (!reply) throw std::runtime_error("no reply to call " + id);
        return *reply;
    }
    // The next RPC packet that starts with prefix, without it.
    std::optional<std::string> take_rpc(std::string const& prefix, std::chrono::milliseconds limit = 10s) {
        auto p = take(
            m_rpc, [&](std::string const& p) { return p.rfind(prefix, 0) == 0; }, limit);
        if (!p) return std::nullopt;
        return p->substr(prefix.size());
    }
    // The next control packet with this command and channel id.
    bool take_control(std::string const& command, long long channel, std::chrono::milliseconds limit = 10s) {
        return take(
                   m_controls,
                   [&](std::string p) {
                       std::string cmd;
                       long long id = -1;
                       try {
                           xstd::packet_pop(p, cmd, id);
                       } catch (std::exception const&) {
                           return false;
                       }
                       return cmd == command && id == channel;
                   },
                   limit)
            .has_value();
    }
    // Leg bytes received on channel, at least n of them.
    std::string leg_bytes(std::uint64_t channel, std::size_t n) {
        auto deadline = std::chrono::steady_clock::now() + 10s;
        while (m_legs[channel].size() < n && std::chrono::steady_clock::now() < deadline)
            if (!pump(deadline)) break;
        return std::exchange(m_legs[channel], {});
    }

    std::unique_ptr<mux_client> c;

private:
    std::optional<std::string> take(std::deque<std::string>& q,
                                    std::function<bool(std::string const&)> const& want,
                                    std::chrono::milliseconds limit) {
        auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            for (auto it = q.begin(); it != q.end(); ++it)
                if (want(*it)) {
                    std::string p = *it;
                    q.erase(it);
                    return p;
                }
            if (!pump(deadline)) return std::nullopt;
        }
    }
    bool pump(std::chrono::steady_clock::time_point deadline) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        auto f = c->next_frame(left);
        if (!f) return false;
        if (f->channel == 0) {
            m_controls.push_back(f->payload);
        } else if (f->channel == 2) {
            m_rpc_in += f->payload;
            for (;;) {
                auto nl = m_rpc_in.find('\n');
                if (nl == std::string::npos) break;
                std::size_t n = std::stoul(m_rpc_in.substr(0, nl));
                if (m_rpc_in.size() < nl + 1 + n) break;
                m_rpc.push_back(m_rpc_in.substr(nl + 1, n));
                m_rpc_in.erase(0, nl + 1 + n);
            }
        } else {
            m_legs[f->channel] += f->payload;
        }
        return true;
    }

    int m_next = 1;
    std::string m_rpc_in;
    std::deque<std::string> m_rpc, m_controls;
    std::map<std::uint64_t, std::string> m_legs;
};

struct created {
    std::string code, sid, key, aux, desk_private;
};

created parse_create(std::string reply) {
    long long status = 0;
    rulo_packet_pop(reply, status);
    if (status != 3) throw std::runtime_error("create refused: status " + std::to_string(status));
    std::string inner = pop_blob(reply);
    created c;
    xstd::packet_pop(inner, c.desk_private, c.aux, c.key, c.sid, c.code);
    return c;
}

// The three texts of a resolve reply, as the program pops them: redirect, key, sid.
std::vector<std::string> parse_resolve(std::string reply) {
    long long status = 0;
    rulo_packet_pop(reply, status);
    if (status != 3) return {"status " + std::to_string(status)};
    std::string inner = pop_blob(reply);
    std::string sid, key, redirect;
    xstd::packet_pop(inner, redirect, key, sid);
    return {sid, key, redirect};
}

} // namespace

TEST(RelaySessions, EveryMethodGetsItsReply) {
    relay_process relay;
    end_point desk(relay);
    std::string const mail = desk.call(method(44));
    struct row {
        char const* what;
        std::string body, reply;
    } const rows[] = {
        {"message", method(13, std::string("hello")), done},
        {"version", method(16, std::string("3.3.2")), done},
        {"language", method(18, std::string("en")), done},
        {"graceful exit", method(22), done},
        {"check graceful", method(23), done},
        {"notification", method(24, std::string("CODE=1")), done},
        {"configuration", method(25, (unsigned short)0, (unsigned short)80, true, false), done},
        {"customization", method(38, std::string("x")), done},
        {"interfaces", method(42, std::vector<std::string>{"127.0.0.1"}), done},
        {"filters", method(43, std::vector<std::string>{"00:11:22:33:44:55"}), done},
        {"log-in not required", method(33, std::string("u"), std::string("p")), done},
        {"web log-in not required", method(39, std::string("t")), done},
        {"plugins: an empty sequence", method(29), bytes({0x00, 0x03, 0x01})},
        {"program link: the parameters form-encoded",
         method(35, true, std::map<std::string, std::string>{{"a", "b c"}}),
         std::string("link:a=b+c\x0a\x01\x03\x01", 14)},
        {"translations: none served, an empty answer", method(40, "a", "b", "c", "d", "e", "f", "g"),
         bytes({0x00, 0x03, 0x01})},
        {"unknown method", method(99), error_reply(2)},
        {"close without a session", method(41), error_reply(16)},
        {"continue of an unknown sid", method(21, std::string("tok"), std::string("1:2")), error_reply(16)},
        {"client by an unknown code", bytes({0x37, 0x37, 0x37, 0x03, 0x01, 0x00, 0x00, 0x25, 0x01}),
         error_reply(4)},
        {"resolve of an unknown code", method(47, std::string("777"), std::string(), std::string()),
         error_reply(4)},
        {"resolve of an unknown sid", method(47, std::string(), std::string("9:9"), std::string("k")),
         error_reply(16)},
        {"client by an unknown sid", method(37, std::string(), std::string("9:9"), std::string("k")),
         error_reply(16)},
        {"arguments missing", method(13), error_reply(1)},
        {"no method number: the plain empty reply", "hello", ""},
    };
    for (auto const& r : rows) {
        SCOPED_TRACE(r.what);
        EXPECT_EQ(desk.call(r.body), r.reply);
    }
    // The mail template: a buffer of three texts.
    std::string m = mail;
    long long status = 0;
    rulo_packet_pop(m, status);
    EXPECT_EQ(status, 3);
    std::string inner = pop_blob(m), a, b, c;
    xstd::packet_pop(inner, c, b, a);
    EXPECT_FALSE(a.empty() || b.empty() || c.empty());
    EXPECT_TRUE(inner.empty());

    // A call as the program frames it, byte for byte: call 5 of the graceful check.
    desk.c->send_secure(2, std::string("4\n5\n\x17\x01", 6));
    EXPECT_EQ(desk.take_rpc("result 5\n"), done);
    EXPECT_NE(relay.wait_log({"\"control-call\"", "\"method\":23", "\"name\":\"check_graceful\""}), "");
}

TEST(RelaySessions, CreateResolveAndBindTheTwoEnds) {
    relay_process relay;
    end_point desk(relay), client(relay);
    created s = parse_create(desk.call(method(48)));
    EXPECT_TRUE(std::regex_match(s.code, std::regex("[1-9][0-9]{8}"))) << s.code;
    EXPECT_TRUE(std::regex_match(s.sid, std::regex("[0-9]+:[0-9]+"))) << s.sid;
    EXPECT_TRUE(std::regex_match(s.key, std::regex("[0-9a-f]{32}"))) << s.key;
    EXPECT_TRUE(std::regex_match(s.desk_private, std::regex("[0-9a-f]{32}")));
    EXPECT_EQ(s.aux, "");
    created other = parse_create(end_point(relay).call(method(48)));
    EXPECT_NE(other.code, s.code);
    EXPECT_NE(other.sid, s.sid);
    EXPECT_NE(other.key, s.key);

    struct row {
        char const* what;
        std::string body;
        std::vector<std::string> resolved;
    } const resolves[] = {
        {"code form", method(47, s.code, std::string(), std::string()), {s.sid, s.key, ""}},
        {"sid form", method(47, std::string(), s.sid, s.key), {s.sid, s.key, ""}},
        {"code with a key only", method(47, s.code, std::string(), s.key), {s.sid, s.key, ""}},
        {"sid form, wrong key", method(47, std::string(), s.sid, std::string("00")), {"status 1"}},
    };
    for (auto const& r : resolves) {
        SCOPED_TRACE(r.what);
        EXPECT_EQ(parse_resolve(client.call(r.body)), r.resolved);
    }
    // Resolving binds nothing: the client's leg is still refused.
    client.c->open(3, "VYNL2", false, true);
    EXPECT_TRUE(client.take_control("channel-error", 3));

    EXPECT_EQ(client.call(method(37, s.code, std::string(), std::string())), done);
    EXPECT_EQ(client.call(method(37, std::string(), s.sid, std::string("bad"))), error_reply(16));
    EXPECT_EQ(client.call(method(37, std::string(), s.sid, s.key)), done);
    EXPECT_NE(relay.wait_log({"\"bind\"", "\"role\":\"desk\"", "\"method\":48", "\"sid\":\"" + s.sid + "\""}),
              "");
    EXPECT_NE(relay.wait_log({"\"bind\"", "\"role\":\"client\"", "\"method\":37"}), "");

    // The desk continues from a new connection with its private token only.
    end_point again(relay);
    EXPECT_EQ(again.call(method(21, std::string("wrong"), s.sid)), error_reply(16));
    EXPECT_EQ(again.call(method(21, s.desk_private, s.sid)), done);
    EXPECT_NE(relay.wait_log({"\"bind\"", "\"role\":\"desk\"", "\"method\":21"}), "");
    std::string listing = relay.admin("sessions");
    EXPECT_NE(listing.find("session " + s.sid + " code=" + s.code), std::string::npos) << listing;
}

TEST(RelaySessions, SwitchesFromTheCommandLineAndTheAdmin) {
    relay_process relay({"--require-login", "u:p:tok", "--never-answer", "23"});
    {
        end_point desk(relay);
        EXPECT_EQ(desk.call(method(48)), error_reply(14));
        EXPECT_EQ(desk.call(method(33, std::string("u"), std::string("x"))), error_reply(8));
        EXPECT_EQ(desk.call(method(33, std::string("p"), std::string("u"))),
                  error_reply(8)); // the order counts
        EXPECT_EQ(desk.call(method(39, std::string("other"))), error_reply(8));
        EXPECT_EQ(desk.call(method(48)), error_reply(14));
        EXPECT_EQ(desk.call(method(33, std::string("u"), std::string("p"))), done);
        EXPECT_NO_THROW(parse_create(desk.call(method(48))));
    }
    {
        end_point desk(relay);
        EXPECT_EQ(desk.call(method(39, std::string("tok"))), done);
        EXPECT_NO_THROW(parse_create(desk.call(method(48))));
        // Method 23 is never answered; the call after it is.
        desk.c->send_secure(2, rpc_packet("50\n" + method(23)));
        EXPECT_EQ(desk.call(method(22)), done);
        EXPECT_FALSE(desk.take_rpc("result 50\n", 0ms)); // it would have come before the later reply
        EXPECT_NE(relay.wait_log({"\"control-call\"", "\"id\":\"50\"", "\"reply\":\"none\""}), "");
    }
    relay.admin("require-login");
    relay.admin("answer 23");
    relay.admin("refuse-create on");
    end_point desk(relay);
    EXPECT_EQ(desk.call(method(48)), error_reply(12));
    relay.admin("refuse-create off");
    created s = parse_create(desk.call(method(48)));
    EXPECT_EQ(desk.call(method(23)), done);
    relay.admin("redirect 127.0.0.1:4242");
    EXPECT_EQ(parse_resolve(desk.call(method(47, s.code, std::string(), std::string()))),
              (std::vector<std::string>{s.sid, s.key, "127.0.0.1:4242"}));
    relay.admin("redirect");
    EXPECT_EQ(parse_resolve(desk.call(method(47, s.code, std::string(), std::string()))),
              (std::vector<std::string>{s.sid, s.key, ""}));
    EXPECT_THROW(relay.admin("refuse-create maybe"), std::runtime_error);
    EXPECT_THROW(relay.admin("never-answer x"), std::runtime_error);
}

TEST(RelaySessions, LegsOfTheTwoEndsAreJoinedAndReplaced) {
    relay_process relay;
    end_point desk(relay), client(relay);
    created s = parse_create(desk.call(method(48)));
    ASSERT_EQ(client.call(method(37, s.code, std::string(), std::string())), done);
    std::string const copy = relay.dir() + "/desk-leg.bin";
    relay.admin("copy-leg " + s.sid + " desk " + copy);

    desk.c->open(3, "VYNL2", false, true);
    desk.c->send_frame(3, "early from desk");
    ASSERT_NE(relay.wait_log({"\"leg\"", "\"role\":\"desk\""}), "");
    client.c->open(5, "VYNL2", false, true);
    EXPECT_EQ(client.leg_bytes(5, 15), "early from desk");
    EXPECT_NE(relay.wait_log({"\"legs-joined\"", "\"sid\":\"" + s.sid + "\""}), "");
    std::string big(200000, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i % 253);
    client.c->send_frame(5, big);
    EXPECT_TRUE(desk.leg_bytes(3, big.size()) == big);
    desk.c->send_frame(3, " and more");
    EXPECT_EQ(client.leg_bytes(5, 9), " and more");
    std::string copied;
    {
        std::ifstream in(copy, std::ios::binary);
        copied.assign(std::istreambuf_iterator<char>(in), {});
    }
    EXPECT_EQ(copied, "early from desk and more");

    // The client opens a new leg: the old one and its partner are closed.
    client.c->open(7, "VYNL2", false, true);
    EXPECT_TRUE(client.take_control("channel-closed", 5));
    EXPECT_TRUE(desk.take_control("channel-closed", 3));
    desk.c->open(9, "VYNL2", false, true);
    desk.c->send_frame(9, "second round");
    EXPECT_EQ(client.leg_bytes(7, 12), "second round");

    // The admin breaks them.
    relay.admin("break-legs " + s.sid);
    EXPECT_TRUE(client.take_control("channel-closed", 7));
    EXPECT_TRUE(desk.take_control("channel-closed", 9));

    // A leg on a connection bound to nothing is refused.
    end_point stranger(relay);
    stranger.c->open(3, "VYNL2", false, true);
    EXPECT_TRUE(stranger.take_control("channel-error", 3));

    // The desk reconnects: the new connection's leg joins the client's; when
    // the client's connection ends, the desk's leg is closed.
    end_point desk2(relay);
    ASSERT_EQ(desk2.call(method(21, s.desk_private, s.sid)), done);
    client.c->open(11, "VYNL2", false, true);
    desk2.c->open(4, "VYNL2", false, true);
    client.c->send_frame(11, "to the new desk");
    EXPECT_EQ(desk2.leg_bytes(4, 15), "to the new desk");
    // The old desk connection is no longer the desk.
    desk.c->open(13, "VYNL2", false, true);
    EXPECT_TRUE(desk.take_control("channel-error", 13));
    client.c.reset();
    EXPECT_TRUE(desk2.take_control("channel-closed", 4));
}

TEST(RelaySessions, CloseSessionAndServerCallsReachBothEnds) {
    relay_process relay;
    end_point desk(relay), client(relay);
    created s = parse_create(desk.call(method(48)));
    ASSERT_EQ(client.call(method(37, std::string(), s.sid, s.key)), done);

    relay.admin("server-call " + s.sid + " client send_chat_live");
    auto call = client.take_rpc("");
    ASSERT_TRUE(call);
    auto nl = call->find('\n');
    EXPECT_EQ(call->substr(nl + 1), "send_chat_live");
    client.c->send_secure(2, rpc_packet("result " + call->substr(0, nl) + "\n"));
    EXPECT_NE(relay.wait_log({"\"rpc-result\"", "\"id\":\"" + call->substr(0, nl) + "\""}), "");

    relay.admin("server-map " + s.sid + " desk disconnect=30 text=bye");
    auto map_call = desk.take_rpc("");
    ASSERT_TRUE(map_call);
    std::string body = map_call->substr(map_call->find('\n') + 1);
    std::map<std::string, std::string> map;
    rulo_packet_pop(body, map);
    EXPECT_EQ(map, (std::map<std::string, std::string>{{"disconnect", "30"}, {"text", "bye"}}));
    EXPECT_THROW(relay.admin("server-call 0:0 desk x"), std::runtime_error);

    // Live chat lines on the message channel are logged one by one.
    client.c->open(6, "VYNMSG", true, true);
    std::string chat;
    rulo_packet_push(chat, std::vector<std::string>{"first line", "second line"}, std::string("chat_live"),
                     0);
    client.c->send_secure(6, chat);
    EXPECT_NE(relay.wait_log({"\"chat_live\"", "\"role\":\"client\"", "\"line\":\"second line\""}), "");
    EXPECT_NE(relay.wait_log({"\"chat_live\"", "\"line\":\"first line\""}), "");

    EXPECT_EQ(client.call(method(41)), done);
    for (end_point* e : {&desk, &client}) {
        auto closing = e->take_rpc("");
        ASSERT_TRUE(closing);
        EXPECT_EQ(closing->substr(closing->find('\n') + 1), "close_connection");
    }
    EXPECT_NE(relay.wait_log({"\"server-call\"", "\"role\":\"desk\"", "close_connection"}), "");
    // The session is over: a second close finds none, nor does the code.
    EXPECT_EQ(desk.call(method(41)), error_reply(16));
    EXPECT_EQ(client.call(method(47, s.code, std::string(), std::string())), error_reply(4));
    EXPECT_EQ(relay.admin("sessions"), "");
}

TEST(RelaySessions, ALegJoinedToAPlainPort) {
    relay_process relay;
    end_point desk(relay), client(relay);
    created s = parse_create(desk.call(method(48)));
    ASSERT_EQ(client.call(method(37, s.code, std::string(), std::string())), done);
    desk.c->open(3, "VYNL2", false, true);
    client.c->open(3, "VYNL2", false, true);
    ASSERT_NE(relay.wait_log({"\"legs-joined\""}), "");

    // Listen form: the desk's next leg meets whoever connects to the port.
    std::string reply = relay.admin("join-leg " + s.sid + " desk listen");
    ASSERT_EQ(reply.rfind("port ", 0), 0u) << reply;
    auto tool = test_support::tcp_connect(std::stoi(reply.substr(5)));
    relay.admin("break-legs " + s.sid);
    EXPECT_TRUE(desk.take_control("channel-closed", 3));
    EXPECT_TRUE(client.take_control("channel-closed", 3));
    desk.c->open(5, "VYNL2", false, true);
    client.c->open(5, "VYNL2", false, true); // waits: the desk's leg is the port's
    desk.c->send_frame(5, "hello port");
    std::string got;
    while (got.size() < 10) {
        std::string part = tool.receive_some(65536, 10000);
        ASSERT_FALSE(part.empty());
        got += part;
    }
    EXPECT_EQ(got, "hello port");
    tool.send_all("from the port");
    EXPECT_EQ(desk.leg_bytes(5, 13), "from the port");
    EXPECT_EQ(client.leg_bytes(5, 0), "");
    // The port closes: so does the leg joined to it.
    tool.reset();
    EXPECT_TRUE(desk.take_control("channel-closed", 5));

    // Connect form, on the client's current leg (the desk has none now).
    test_support::tcp_listener listener;
    relay.admin("join-leg " + s.sid + " client connect " + std::to_string(listener.port()));
    auto server = listener.accept(nullptr, 10000);
    client.c->send_frame(5, "to the server");
    got.clear();
    while (got.size() < 13) {
        std::string part = server.receive_some(65536, 10000);
        ASSERT_FALSE(part.empty());
        got += part;
    }
    EXPECT_EQ(got, "to the server");
    // The leg ends, then a new one's connection: each time the port is closed.
    relay.admin("channel-closed " + std::to_string(relay.connection_of(client.c->local_port())) + " 5");
    EXPECT_TRUE(client.take_control("channel-closed", 5));
    EXPECT_EQ(server.receive_some(65536, 10000), "");
    client.c->open(7, "VYNL2", false, true);
    ASSERT_NE(relay.wait_log({"\"leg\"", "\"channel\":7"}), "");
    test_support::tcp_listener listener2;
    relay.admin("join-leg " + s.sid + " client connect " + std::to_string(listener2.port()));
    auto server2 = listener2.accept(nullptr, 10000);
    ASSERT_NE(relay.wait_log({"\"leg-port-joined\"", "\"channel\":7"}), "");
    client.c.reset();
    EXPECT_EQ(server2.receive_some(65536, 10000), "");
    EXPECT_THROW(relay.admin("join-leg " + s.sid + " client connect 0"), std::runtime_error);
}

TEST(RelaySessions, CreatesStopAtTheLimit) {
    relay_process relay;
    end_point desk(relay);
    // 10,000 creates in one go, then one more: refused as unavailable.
    std::string batch;
    for (int i = 0; i < 10000; ++i) batch += rpc_packet(std::to_string(100000 + i) + "\n" + method(48));
    for (std::size_t at = 0; at < batch.size(); at += 60000) desk.c->send_secure(2, batch.substr(at, 60000));
    auto last = desk.take_rpc("result 109999\n", 60s);
    ASSERT_TRUE(last);
    EXPECT_NO_THROW(parse_create(*last));
    EXPECT_EQ(desk.call(method(48)), error_reply(12));
}

// With --state the sessions outlive the relay: a second relay on the same
// file takes the desk's continue and the client's resolve by session id,
// counts new sids on from the kept ones, and writes the file (0600, the keys
// are in it) on every change. A file it cannot read exactly stops it at the
// start, untouched. --refuse-legs and its admin switch refuse every leg.
TEST(RelaySessions, TheStateFileAndRefusedLegs) {
    test_support::scratch_dir dir;
    std::string const state = dir.file("sessions");
    std::vector<std::string> const keep = {"--state", state};
    created s;
    {
        relay_process first(keep, dir.path());
        end_point desk(first);
        s = parse_create(desk.call(method(48)));
    }
    auto line_of = [](created const& c) {
        return "session " + c.sid + " " + c.code + " " + c.key + " " + c.desk_private + "\n";
    };
    std::string const line = line_of(s);
    EXPECT_EQ(test_support::read_file(state), line);
    EXPECT_EQ(std::filesystem::status(state).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);

    std::vector<std::string> refuse = keep;
    refuse.push_back("--refuse-legs");
    relay_process second(refuse, dir.path());
    end_point desk(second), client(second);
    EXPECT_EQ(desk.call(method(21, s.desk_private, s.sid)), done);
    EXPECT_EQ(parse_resolve(client.call(method(47, std::string(), s.sid, s.key))),
              (std::vector<std::string>{s.sid, s.key, ""}));
    ASSERT_EQ(client.call(method(37, std::string(), s.sid, s.key)), done);
    desk.c->open(3, "VYNL2", false, true);
    EXPECT_TRUE(desk.take_control("channel-error", 3));
    second.admin("refuse-legs off");
    desk.c->open(5, "VYNL2", false, true);
    client.c->open(5, "VYNL2", false, true);
    EXPECT_NE(second.wait_log({"\"legs-joined\"", s.sid}), "");
    second.admin("refuse-legs on");
    client.c->open(7, "VYNL2", false, true);
    EXPECT_TRUE(client.take_control("channel-error", 7));

    end_point other(second);
    created const t = parse_create(other.call(method(48)));
    EXPECT_GT(std::stoull(t.sid), std::stoull(s.sid));
    EXPECT_EQ(test_support::read_file(state), line + line_of(t));
    ASSERT_EQ(other.call(method(41)), done); // ends t: the file keeps only s
    EXPECT_TRUE(other.take_rpc("1000000\n").has_value());
    EXPECT_NE(second.wait_log({"\"session-end\"", t.sid}), "");
    EXPECT_EQ(test_support::read_file(state), line);
    EXPECT_THROW(second.admin("refuse-legs maybe"), std::runtime_error);

    for (std::string const& bad :
         {line + "session", line + line, "session 1:2 12345678 " + s.key + " " + s.key + "\n",
          "session 1:2 123456789 " + s.key + " " + s.key + " more\n"}) {
        SCOPED_TRACE(bad);
        std::string const file = dir.file("bad");
        test_support::write_file(file, bad);
        EXPECT_THROW(relay_process({"--state", file}, dir.path()), std::runtime_error);
        EXPECT_EQ(test_support::read_file(file), bad);
    }
}

// The plugin catalogue (method 29) and plugin translations (method 40):
// records in the file's order with size and signature taken from the served
// package, "depends" as a packed set; translations compressed for xz and
// named by their SHA-256, empty when the caller has them.
TEST(RelaySessions, PluginCatalogueAndTranslations) {
    test_support::scratch_dir dir;
    test_support::write_file(dir.file("one.ini"), "name=t\n");
    test_support::write_file(dir.file("pkg.plugin"), std::string("name=p\nsignature=SIG\n\0payload", 29));
    test_support::write_file(dir.file("two.ini"), "# two records\nname=p\ndownload_ticket=pkg.plugin\n"
                                                  "depends=a,b\n\n\nname=q\nsize=7\n");
    ::mkdir(dir.file("tr").c_str(), 0755);
    std::string const text = "[en]\nHELLO=Hello\n";
    test_support::write_file(dir.file("tr/p.ini"), text);
    relay_process relay(
        {"--files", dir.path(), "--catalogue", dir.file("one.ini"), "--translations", dir.file("tr")});
    end_point desk(relay);

    // {name: t}: "name" 04 01 "t" 01 01, one pair 01 01, one record 01 01, a value 03 01.
    EXPECT_EQ(desk.call(method(29)), bytes({0x6E, 0x61, 0x6D, 0x65, 0x04, 0x01, 0x74, 0x01, 0x01, 0x01, 0x01,
                                            0x01, 0x01, 0x03, 0x01}));

    EXPECT_EQ(relay.admin("catalogue " + dir.file("two.ini")), "");
    std::string reply = desk.call(method(29));
    long long status = 0;
    rulo_packet_pop(reply, status);
    ASSERT_EQ(status, 3);
    std::vector<std::map<std::string, std::string>> records;
    rulo_packet_pop(reply, records);
    ASSERT_EQ(records.size(), 2u);
    std::string depends;
    rulo_packet_push(depends, std::set<std::string>{"a", "b"});
    EXPECT_EQ(records[0], (std::map<std::string, std::string>{{"name", "p"},
                                                              {"download_ticket", "pkg.plugin"},
                                                              {"depends", depends},
                                                              {"size", "29"},
                                                              {"signature", "SIG"}}));
    EXPECT_EQ(records[1], (std::map<std::string, std::string>{{"name", "q"}, {"size", "7"}}));

    auto sum = test_support::run_command("sha256sum " + dir.file("tr/p.ini"));
    std::string const id = sum.out.substr(0, 16);
    auto answer = [&](std::string const& name, std::string const& cached) {
        // As the program frames it: the seventh text pushed first, the product name on top.
        std::string r = desk.call(method(40, std::string("lzma"), std::string("linux64"), cached,
                                         std::string("1"), name, std::string("Tovan"), std::string("Tovan")));
        long long st = 0;
        rulo_packet_pop(r, st);
        EXPECT_EQ(st, 3);
        return pop_blob(r);
    };
    std::string first = answer("p", "");
    std::string got_id;
    rulo_packet_pop(first, got_id);
    EXPECT_EQ(got_id, id);
    EXPECT_EQ(test_support::filter_command("xz -dc --format=lzma", first), text);
    EXPECT_EQ(answer("p", id), "");
    EXPECT_EQ(answer("missing", ""), "");
    EXPECT_EQ(answer("../tr/p", ""), "");
    EXPECT_NE(relay.wait_log({"\"translations\"", "\"name\":\"p\"", "\"answer\":\"" + id + "\""}), "");
}

// What the desk program's window needs of the relay: the texts posted at the
// end with who posted them, the mail template from a file, failing methods,
// the one text of a method in the log, and a port that refuses for a while.
TEST(RelaySessions, PostedTextsMailTemplateFailuresAndListening) {
    relay_process relay({"--fail-method", "16:7"});
    std::ofstream(relay.dir() + "/mail.txt") << "a b+c\nunused\nx&y\\nz\n";
    relay.admin("mail-template " + relay.dir() + "/mail.txt");
    end_point desk(relay);
    std::string m = desk.call(method(44));
    long long status = 0;
    rulo_packet_pop(m, status);
    std::string inner = pop_blob(m), subject, unused, body;
    xstd::packet_pop(inner, body, unused, subject);
    EXPECT_EQ(subject, "a b+c");
    EXPECT_EQ(body, "x&y\nz");
    EXPECT_EQ(desk.call(method(16, std::string("3.3.2"))), error_reply(7));
    relay.admin("fail-method 13");
    EXPECT_EQ(desk.call(method(13, std::string("proxylog :hi"))), error_reply(2));
    relay.admin("answer 13");
    EXPECT_EQ(desk.call(method(13, std::string("proxylog :hi"))), done);
    EXPECT_NE(relay.wait_log({"\"control-call\"", "\"method\":13", "\"text\":\"proxylog :hi\"", "\"done\""}),
              "");

    desk.c->open(6, "VYNMSG", true, true);
    auto send = [&](std::string const& name, std::string b) {
        rulo_packet_push(b, name, 0);
        desk.c->send_secure(6, b);
    };
    std::string id;
    rulo_packet_push(id, std::string("7:9"), std::string("key"));
    send("id", id);
    std::string role;
    rulo_packet_push(role, std::string("desk"));
    send("software_type", role);
    std::string transcript;
    rulo_packet_push(transcript, std::string("desk_chat"),
                     std::map<std::string, std::string>{{"CHAT_TRANSCRIPT_PLAIN", "12:00:00 hi\n"},
                                                        {"CHAT_TRANSCRIPT", "<p>hi</p>"}});
    send("message", transcript);
    send("message", "thanks");
    EXPECT_NE(
        relay.wait_log({"\"transcript\"", "\"sid\":\"7:9\"", "\"role\":\"desk\"", "\"kind\":\"desk_chat\"",
                        "\"plain\":\"12:00:00 hi\\u000a\"", "\"html\":\"<p>hi</p>\""}),
        "");
    EXPECT_NE(relay.wait_log({"\"comments\"", "\"sid\":\"7:9\"", "\"text\":\"thanks\""}), "");
    EXPECT_NE(relay.wait_log({"\"message\"", "\"name\":\"message\"", "\"role\":\"desk\""}), "");

    relay.admin("listen off");
    EXPECT_THROW(secure_client(relay), std::exception);
    EXPECT_EQ(desk.call(method(22)), done) << "open connections go on";
    relay.admin("listen on");
    end_point again(relay);
    EXPECT_EQ(again.call(method(22)), done);
}

// A code admits one client (whose reconnects come by the session id); one after it has gone takes over,
// with a new key, and the first, back with the old one, finds no session.
TEST(RelaySessions, ACodeJoinsOneClient) {
    relay_process relay;
    end_point desk(relay), second(relay);
    created s = parse_create(desk.call(method(48)));
    auto const by_code = method(47, s.code, std::string(), std::string()),
               by_sid = method(37, std::string(), s.sid, s.key);
    std::string refused;
    rulo_packet_push(refused, std::string("the session already has a client"), 7LL, 1LL);
    {
        end_point first(relay), again(relay);
        ASSERT_EQ(parse_resolve(first.call(by_code))[0], s.sid);
        EXPECT_EQ(second.call(by_code), refused) << "resolved, not yet bound";
        for (end_point* e : {&first, &again}) ASSERT_EQ(e->call(by_sid), done);
        EXPECT_EQ(second.call(method(37, s.code, std::string(), std::string())), refused);
        for (end_point* e : {&first, &again}) {
            std::string const id = std::to_string(relay.connection_of(e->c->local_port()));
            e->c->shutdown_send();
            ASSERT_NE(relay.wait_log({"\"close\"", "\"conn\":" + id + ","}), "");
        }
    }
    std::vector<std::string> const taken = parse_resolve(second.call(by_code));
    ASSERT_EQ(taken.size(), 3u) << taken[0];
    EXPECT_NE(taken[1], s.key);
    EXPECT_EQ(end_point(relay).call(by_sid), error_reply(16));
}

// An end without a leg for the grace ends its session, closing the other end; a desk's graceful exit
// before its client came ends it at once; a desk waiting for its client is left alone.
TEST(RelaySessions, AnEndWithoutALegEndsItsSession) {
    relay_process relay({"--leg-grace", "2"});
    end_point waiting(relay), leaving(relay), desk(relay), client(relay);
    created const w = parse_create(waiting.call(method(48))), g = parse_create(leaving.call(method(48)));
    EXPECT_EQ(leaving.call(method(22)), done);
    EXPECT_EQ(client.call(method(47, g.code, std::string(), std::string())), error_reply(4));
    created const s = parse_create(desk.call(method(48)));
    ASSERT_EQ(client.call(method(37, std::string(), s.sid, s.key)), done);
    for (end_point* e : {&waiting, &desk, &client}) e->c->open(3, "VYNL2", false, true);
    ASSERT_NE(relay.wait_log({"\"legs-joined\"", s.sid}), "");
    EXPECT_EQ(desk.call(method(22)), done) << "with its client there the desk's exit ends nothing";
    client.c->shutdown_send();
    EXPECT_TRUE(desk.c->wait_closed());
    EXPECT_NE(relay.log_text().find("\"sid\":\"" + s.sid + "\",\"reason\":\"no leg\""), std::string::npos);
    EXPECT_NE(relay.admin("sessions").find(w.sid), std::string::npos);
    EXPECT_THROW(relay_process({"--leg-grace", "0"}), std::runtime_error);
}
