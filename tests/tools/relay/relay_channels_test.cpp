// Frames and named channels at the relay: frame length limits, ECHO on plain
// and secure channels, refused breaches, RPC, named messages, the admin
// commands and the joining of session legs.
#include "tests/tools/relay/relay_helpers.h"

#include <gtest/gtest.h>

using namespace relay_test;
using test_support::relay_process;

TEST(RelayFrames, LongestFrameIsEchoedAndOneByteMoreDisconnects) {
    relay_process relay;
    mux_client c(relay.port());
    c.handshake();
    c.open(2, "ECHO", false, false);
    // L = 0xFFFFFF: one byte of channel id and 0xFFFFFE bytes of payload.
    std::string payload(0xFFFFFE, '\0');
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7 + (i >> 13));
    std::string frame = make_frame(2, payload);
    ASSERT_EQ(frame.substr(0, 4), std::string("\xFF\xFF\xFF\x07", 4));
    c.send_raw(frame);
    auto f = c.next_frame(60s);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->channel, 2u);
    EXPECT_TRUE(f->payload == payload);

    // L = 0x1000000 is refused as soon as its length is read.
    c.send_raw(std::string("\x80\x80\x80\x08\x02", 5));
    EXPECT_TRUE(c.wait_closed());
    EXPECT_NE(relay.wait_log({"\"violation\"", "malformed frame"}), "");
}

TEST(RelayChannels, EchoOnPlainAndSecureChannelsKeepsEachOnItsPath) {
    relay_process relay({"--echo-greeting", "hello"});
    auto c = secure_client(relay);
    c->open(2, "ECHO", true, true);
    c->open(3, "ECHO", false, true);
    for (int i = 0; i < 2; ++i) {
        auto greeting = c->next_frame();
        ASSERT_TRUE(greeting);
        EXPECT_EQ(greeting->payload, "hello");
        EXPECT_EQ(greeting->secure, greeting->channel == 2);
    }
    for (int round = 0; round < 20; ++round) {
        std::string a(static_cast<std::size_t>(round * 997 + 1), static_cast<char>('a' + round));
        std::string b = "plain " + std::to_string(round);
        c->send_secure(2, a);
        c->send_frame(3, b);
        auto f1 = c->next_frame();
        auto f2 = c->next_frame();
        ASSERT_TRUE(f1 && f2);
        // Either may come first: each went its own way.
        if (f1->channel == 3) std::swap(f1, f2);
        EXPECT_EQ(f1->channel, 2u);
        EXPECT_TRUE(f1->secure);
        EXPECT_EQ(f1->payload, a);
        EXPECT_EQ(f2->channel, 3u);
        EXPECT_FALSE(f2->secure);
        EXPECT_EQ(f2->payload, b);
    }
    c.reset();
    EXPECT_NE(relay.wait_log({"\"channel-end\"", "\"channel\":2", "\"secure\":true", "\"frames_in\":20"}),
              "");
    EXPECT_NE(relay.wait_log({"\"channel-end\"", "\"channel\":3", "\"secure\":false", "\"frames_in\":20"}),
              "");
}

TEST(RelayChannels, BreachesAreLoggedAndDisconnect) {
    relay_process relay;
    struct breach {
        char const* what;
        char const* logged;
        void (*act)(mux_client&);
    };
    breach const cases[] = {
        {"secure channel data outside TLS", "secure channel data outside TLS",
         [](mux_client& c) {
             c.open(2, "ECHO", true, true);
             c.send_frame(2, "injected");
         }},
        {"plain channel data inside TLS", "plain channel data inside TLS",
         [](mux_client& c) {
             c.open(2, "ECHO", false, true);
             c.send_secure(2, "hidden");
         }},
        {"VYNRPC opened plain", "VYNRPC opened with the wrong security",
         [](mux_client& c) { c.open(2, "VYNRPC", false, true); }},
        {"VYNMSG opened plain", "VYNMSG opened with the wrong security",
         [](mux_client& c) { c.open(2, "VYNMSG", false, true); }},
        {"PLUGINS opened secure", "PLUGINS opened with the wrong security",
         [](mux_client& c) { c.open(2, "PLUGINS", true, true); }},
        {"VYNL2 opened secure", "VYNL2 opened with the wrong security",
         [](mux_client& c) { c.open(2, "VYNL2", true, true); }},
        {"secure channel opened outside TLS", "secure channel opened outside TLS",
         [](mux_client& c) { c.open(2, "ECHO", true, false); }},
        {"keys outside TLS", "connection keys outside TLS",
         [](mux_client& c) {
             std::string p;
             xstd::packet_push(p, std::string("connection-keys"), std::string());
             c.send_control(p, false);
         }},
        {"reserved channel", "open of reserved channel 1",
         [](mux_client& c) { c.open(1, "ECHO", false, true); }},
        {"channel opened twice", "opened twice",
         [](mux_client& c) {
             c.open(4, "ECHO", false, true);
             c.open(4, "ECHO", false, true);
         }},
        {"garbage control packet", "malformed control packet",
         [](mux_client& c) { c.send_frame(0, "\xFF"); }},
        {"too many channels", "too many channels",
         [](mux_client& c) {
             for (long long id = 2; id < 2 + 1025; ++id) c.open(id, "ECHO", false, false);
         }},
    };
    for (auto const& b : cases) {
        SCOPED_TRACE(b.what);
        auto c = secure_client(relay);
        b.act(*c);
        EXPECT_TRUE(c->wait_closed());
        EXPECT_NE(relay.wait_log({"\"violation\"", b.logged}), "");
    }
}

TEST(RelayChannels, FramesInTheSameWriteAsTheHeadAreServed) {
    relay_process relay;
    mux_client c(relay.port());
    std::string open;
    xstd::packet_push(open, std::string("open"), 2LL, std::string("ECHO"), false);
    c.send_raw("MUXV2 / HTTP/1.0\r\nConnection-Data: 1\r\n\r\n" + make_frame(0, open) +
               make_frame(2, std::string("right behind\0the head", 21)));
    auto r = c.read_reply();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    auto f = c.next_frame();
    ASSERT_TRUE(f);
    EXPECT_EQ(f->payload, std::string("right behind\0the head", 21));
}

TEST(RelayChannels, UnknownServiceGetsChannelError) {
    relay_process relay;
    auto c = secure_client(relay);
    c->open(2, "NOSUCH", false, true);
    auto f = c->next_frame();
    ASSERT_TRUE(f);
    std::string b = f->payload, command, text;
    long long id = 0;
    xstd::packet_pop(b, command, id, text);
    EXPECT_EQ(command, "channel-error");
    EXPECT_EQ(id, 2);
    EXPECT_EQ(text, "unknown service");
}

namespace {

std::string rpc_packet(std::string const& text) {
    return std::to_string(text.size()) + "\n" + text;
}

} // namespace

TEST(RelayChannels, RpcAnswersPingAndGivesEveryCallOneReply) {
    relay_process relay;
    auto c = secure_client(relay);
    c->open(2, "VYNRPC", true, true);
    // A ping, an "OK" line, and two calls cut into pieces across frames.
    std::string stream =
        rpc_packet("result 0\n") + "OK\n" + rpc_packet("7\nbody of seven") + rpc_packet("8\n");
    for (std::size_t at = 0; at < stream.size(); at += 3) c->send_secure(2, stream.substr(at, 3));
    std::string received;
    std::string const expected =
        rpc_packet("result 0\n") + rpc_packet("result 7\n") + rpc_packet("result 8\n");
    while (received.size() < expected.size()) {
        auto f = c->next_frame();
        ASSERT_TRUE(f);
        EXPECT_TRUE(f->secure);
        received += f->payload;
    }
    EXPECT_EQ(received, expected);
    EXPECT_NE(relay.wait_log({"\"rpc-call\"", "\"id\":\"7\"", "\"body\":\"body of seven\""}), "");

    // A length line that is no number disconnects.
    c->send_secure(2, "12x\n");
    EXPECT_TRUE(c->wait_closed());
    EXPECT_NE(relay.wait_log({"\"violation\"", "malformed RPC length line"}), "");
}

TEST(RelayChannels, NamedMessagesAreRecorded) {
    relay_process relay;
    auto c = secure_client(relay);
    c->open(2, "VYNMSG", true, true);
    // The message "id" with the arguments "s" then "k", as the client's
    // message builder puts it on the wire.
    c->send_secure(2, std::string("\x73\x01\x01\x6B\x01\x01\x69\x64\x02\x01\x00", 11));
    EXPECT_NE(
        relay.wait_log({"\"message\"", "\"name\":\"id\"", "\"body\":\"s\\u0001\\u0001k\\u0001\\u0001\""}),
        "");
}

namespace {

void admin_commands(std::vector<std::string> const& options) {
    relay_process relay(options);
    auto c = secure_client(relay);
    c->open(2, "ECHO", false, true);
    c->open(3, "ECHO", false, true);
    c->open(4, "VYNRPC", true, true);
    auto const conn = relay.connection_of(c->local_port());
    ASSERT_NE(conn, 0u);
    EXPECT_NE(relay.admin("list").find("2:ECHO:p,3:ECHO:p,4:VYNRPC:s"), std::string::npos);

    auto next_control = [&] {
        auto f = c->next_frame();
        if (!f) throw std::runtime_error("no frame");
        EXPECT_EQ(f->channel, 0u);
        return f->payload;
    };
    relay.admin("channel-error " + std::to_string(conn) + " 2 it broke");
    std::string b = next_control(), command, text;
    long long id = 0;
    xstd::packet_pop(b, command, id, text);
    EXPECT_EQ(command, "channel-error");
    EXPECT_EQ(id, 2);
    EXPECT_EQ(text, "it broke");

    relay.admin("channel-closed " + std::to_string(conn) + " 3");
    b = next_control();
    xstd::packet_pop(b, command, id);
    EXPECT_EQ(command, "channel-closed");
    EXPECT_EQ(id, 3);
    EXPECT_THROW(relay.admin("channel-closed " + std::to_string(conn) + " 3"), std::runtime_error);

    relay.admin("pong " + std::to_string(conn) + " hello there");
    b = next_control();
    rulo_packet_pop(b, command);
    EXPECT_EQ(command, "pong");
    EXPECT_EQ(pop_blob(b), "hello there");

    relay.admin("rpc-ping " + std::to_string(conn) + " 4");
    auto f = c->next_frame();
    ASSERT_TRUE(f);
    EXPECT_EQ(f->channel, 4u);
    EXPECT_EQ(f->payload, "9\nresult 0\n");

    relay.admin("rpc-call " + std::to_string(conn) + " 4 31 what is new");
    f = c->next_frame();
    ASSERT_TRUE(f);
    EXPECT_EQ(f->payload, "14\n31\nwhat is new");
    c->send_secure(4, "17\nresult 31\nnothing");
    EXPECT_NE(relay.wait_log({"\"rpc-result\"", "\"id\":\"31\"", "\"body\":\"nothing\""}), "");

    c->open(5, "VYNMSG", true, true);
    ASSERT_NE(relay.wait_log({"\"open\"", "\"name\":\"VYNMSG\""}), "");
    relay.admin("message " + std::to_string(conn) + " 5 chat hi there");
    f = c->next_frame();
    ASSERT_TRUE(f);
    EXPECT_TRUE(f->secure);
    std::string m = f->payload, name, first, second;
    int zero = -1;
    xstd::packet_pop(m, zero, name, second, first);
    EXPECT_EQ(zero, 0);
    EXPECT_EQ(name, "chat");
    EXPECT_EQ(first, "hi");
    EXPECT_EQ(second, "there");
    EXPECT_TRUE(m.empty());

    relay.admin("reply-field Georeconnect 1");
    EXPECT_EQ(mux_client(relay.port()).handshake().fields["Georeconnect"], "1");
    relay.admin("reply-field Georeconnect");
    EXPECT_EQ(mux_client(relay.port()).handshake().fields.count("Georeconnect"), 0u);

    relay.admin("drop " + std::to_string(conn));
    EXPECT_TRUE(c->wait_closed());
    EXPECT_EQ(relay.connection_of(c->local_port()), 0u);
}

} // namespace

TEST(RelayChannels, AdminSendsControlCommandsAndDrops) {
    SCOPED_TRACE("admin on standard input");
    admin_commands({});
}

TEST(RelayChannels, AdminOnALoopbackPort) {
    SCOPED_TRACE("admin on a port");
    admin_commands({"--admin", "0"});
}

TEST(RelayChannels, SessionLegsAreJoinedByteForByte) {
    relay_process relay({"--pair-unbound"});
    auto a = secure_client(relay);
    auto b = secure_client(relay);
    a->open(5, "VYNL2", false, true);
    // Bytes sent before the second leg exists wait for it.
    a->send_frame(5, "early bytes");
    ASSERT_NE(relay.wait_log({"\"open\"", "\"name\":\"VYNL2\""}), "");
    b->open(2, "VYNL2", false, true);
    auto f = b->next_frame();
    ASSERT_TRUE(f);
    EXPECT_EQ(f->channel, 2u);
    EXPECT_EQ(f->payload, "early bytes");
    std::string big(300000, 'x');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i % 251);
    b->send_frame(2, big);
    std::string got;
    while (got.size() < big.size()) {
        auto g = a->next_frame();
        ASSERT_TRUE(g);
        EXPECT_EQ(g->channel, 5u);
        got += g->payload;
    }
    EXPECT_TRUE(got == big);

    // One leg's connection ends: the other leg is closed.
    a.reset();
    auto closed = b->next_frame();
    ASSERT_TRUE(closed);
    std::string p = closed->payload, command;
    long long id = 0;
    xstd::packet_pop(p, command, id);
    EXPECT_EQ(command, "channel-closed");
    EXPECT_EQ(id, 2);
}

TEST(RelayChannels, SessionLegWithoutPairingIsRefused) {
    relay_process relay;
    auto c = secure_client(relay);
    c->open(2, "VYNL2", false, true);
    auto f = c->next_frame();
    ASSERT_TRUE(f);
    EXPECT_EQ(command_of(f->payload), "channel-error");
}
