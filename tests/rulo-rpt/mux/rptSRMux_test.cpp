// The relay mux client: named channels with their ids and security, the
// first bytes behind "open", and how the end of any channel ends them all.
#include "rulo-rpt/mux/rptSRMux.h"
#include "rulo-rpt/rpc/SRDownloader.h"
#include "rulo/lock.h"
#include "rulo/packet.h"
#include "tests/rulo-rpt/mux/mux_fixture.h"
#include "tests/support/framework_env.h"
#include "tests/support/recording_sink.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

using namespace mux_test;
using rulo::object;
using rulo::rptSRMux;
using test_support::recording_sink;

namespace {

struct sr_client {
    explicit sr_client(relay_link& l) : l(l), sr(new rptSRMux), rpc(new recording_sink) {}
    ~sr_client() { sr->disconnect(); }
    bool start() {
        object<rulo::rptMux> mux = sr->make_mux(false, "o.lan", "t.lan", "", "");
        l.pair.a->set_sink(mux);
        rpc_transport = sr->start_on(mux, l.pair.a, 30, rpc);
        return bool(rpc_transport);
    }
    relay_link& l;
    object<rptSRMux> sr;
    object<recording_sink> rpc;
    object<rptTransport> rpc_transport;
};

TEST(rptSRMux, ChannelIdsInCallOrderWithTheirSecurity) {
    temporary_home home;
    relay_link l(relay_config());
    sr_client c(l);
    ASSERT_TRUE(c.start());
    object<recording_sink> msg(new recording_sink), session(new recording_sink), plugins(new recording_sink);
    std::vector<object<rptTransport>> transports{c.rpc_transport, c.sr->get_msg_transport(msg),
                                                 c.sr->get_session_transport(session),
                                                 c.sr->get_transport("PLUGINS", plugins, false)};
    std::vector<object<recording_sink>> sinks{c.rpc, msg, session, plugins};
    ASSERT_TRUE(l.relay->wait_for([&] { return l.relay->opens().size() == 4; }));
    struct expected {
        long long id;
        char const* name;
        bool secure;
    } const rows[] = {{2, "VYNRPC", true}, {3, "VYNMSG", true}, {4, "VYNL2", false}, {5, "PLUGINS", false}};
    for (std::size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(rows[i].name);
        auto const o = l.relay->opens()[i];
        EXPECT_EQ(o.id, rows[i].id);
        EXPECT_EQ(o.name, rows[i].name);
        EXPECT_EQ(o.secure, rows[i].secure);
        EXPECT_TRUE(o.via_tls); // control commands travel inside TLS once it is up
        std::string const up = "up " + std::to_string(i), down = "down " + std::to_string(i);
        transports[i]->send(netbuf::from_string(up));
        EXPECT_TRUE(l.relay->wait_for([&] { return l.relay->channel_bytes(o.id) == up; }));
        // At the relay a secure id's bytes came through TLS, a plain id's did not.
        EXPECT_EQ(l.relay->plain_data_frames(o.id), rows[i].secure ? 0 : 1);
        l.relay->send_data(o.id, down, rows[i].secure);
        EXPECT_TRUE(sinks[i]->wait_for_bytes(down.size()));
        EXPECT_EQ(sinks[i]->bytes(), down);
    }
    // A frame for an id nobody opened is dropped; the connection stays up.
    l.relay->send_data(77, "nobody", false);
    transports[3]->send(netbuf::from_string("!"));
    EXPECT_TRUE(l.relay->wait_for([&] { return l.relay->channel_bytes(5) == "up 3!"; }));
    for (auto& s : sinks) EXPECT_EQ(s->broken_count(), 0);
}

// The relay may send on a channel right behind its answer to "open": the
// channel's sink is in place before "open" leaves.
TEST(rptSRMux, BytesRightBehindOpenAreNeverLost) {
    for (bool threaded : {false, true}) {
        SCOPED_TRACE(threaded ? "delivered from a thread" : "delivered inline");
        temporary_home home;
        relay_end::config conf = relay_config();
        conf.greeting = "hello";
        relay_link l(conf, {false, threaded, 5});
        sr_client c(l);
        ASSERT_TRUE(c.start());
        EXPECT_TRUE(c.rpc->wait_for_bytes(5));
        EXPECT_EQ(c.rpc->bytes(), "hello");
        for (int round = 0; round < 500; ++round) {
            object<recording_sink> sink(new recording_sink);
            c.sr->get_transport("ECHO", sink, round % 2 == 0);
            ASSERT_TRUE(sink->wait_for_bytes(5)) << "round " << round;
            ASSERT_EQ(sink->bytes(), "hello") << "round " << round;
        }
    }
}

// Whatever ends one channel ends the connection: every channel sink gets
// exactly one broken(), later sends throw, the relay sees the close.
TEST(rptSRMux, EndOfAnyChannelBreaksEveryChannelOnce) {
    struct row {
        char const* what;
        std::function<void(relay_link&, std::vector<object<rptTransport>>&)> end;
    } const rows[] = {
        {"channel-error for a channel",
         [](relay_link& l, auto&) {
             netbuf p;
             xstd::packet_push(p, std::string("channel-error"), 3LL, std::string("gone"));
             l.relay->send_control(p, true);
         }},
        {"channel-closed for a channel",
         [](relay_link& l, auto&) {
             netbuf p;
             xstd::packet_push(p, std::string("channel-closed"), 4LL);
             l.relay->send_control(p, true);
         }},
        {"channel-error for an unknown id",
         [](relay_link& l, auto&) {
             netbuf p;
             xstd::packet_push(p, std::string("channel-error"), 99LL, std::string("?"));
             l.relay->send_control(p, true);
         }},
        {"disconnect of the message channel", [](relay_link&, auto& t) { t[1]->disconnect(); }},
        {"disconnect of the session channel", [](relay_link&, auto& t) { t[2]->disconnect(); }},
        {"disconnect of the procedure channel", [](relay_link&, auto& t) { t[0]->disconnect(); }},
        {"the relay_link breaks", [](relay_link& l, auto&) { l.pair.break_link(); }},
        {"a malformed frame", [](relay_link& l, auto&) { l.relay->send_raw(std::string("\x00", 1)); }},
    };
    for (row const& r : rows) {
        SCOPED_TRACE(r.what);
        temporary_home home;
        relay_link l(relay_config(), {false, true, 9});
        sr_client c(l);
        ASSERT_TRUE(c.start());
        object<recording_sink> msg(new recording_sink), session(new recording_sink);
        std::vector<object<rptTransport>> transports{c.rpc_transport, c.sr->get_msg_transport(msg),
                                                     c.sr->get_session_transport(session)};
        ASSERT_TRUE(l.relay->wait_for([&] { return l.relay->opens().size() == 3; }));
        r.end(l, transports);
        for (auto const& sink : {c.rpc, msg, session}) {
            EXPECT_TRUE(sink->wait_for_broken());
            EXPECT_EQ(sink->broken_count(), 1);
            EXPECT_EQ(sink->events_after_broken(), 0);
        }
        EXPECT_TRUE(l.relay->wait_for([&] { return l.relay->ended(); }));
        for (auto& t : transports)
            EXPECT_EQ(test_support::thrown([&] { t->send(netbuf::from_string("late")); }),
                      ":Error in 'send'");
        EXPECT_EQ(test_support::thrown([&] { c.sr->get_msg_transport(msg); }), ":Error in 'get_transport'");
    }
}

struct quiet_downloads : rulo::SRDownloaderSink {
    void download_packet(std::string, netbuf const&) override {}
    void download_error(std::string, std::string) override {}
    void download_cancelled(std::string) override {}
    void download_complete(std::string) override {}
};

// The downloader is ready before its "open" leaves: a command the relay
// sends right behind it reaches the downloader (an unreadable one ends the
// connection) instead of being dropped.
TEST(rptSRMux, DownloaderTakesTheBytesRightBehindItsOpen) {
    temporary_home home;
    relay_end::config conf = relay_config();
    conf.greeting = "\x01";
    relay_link l(conf);
    sr_client c(l);
    ASSERT_TRUE(c.start());
    ASSERT_EQ(c.rpc->broken_count(), 0);
    object<rulo::SRDownloader> d =
        c.sr->create_downloader(object<rulo::SRDownloaderSink>(new quiet_downloads));
    auto const opened = l.relay->opens();
    ASSERT_EQ(opened.size(), 2u);
    EXPECT_EQ(opened[1].id, 3);
    EXPECT_EQ(opened[1].name, "PLUGINS");
    EXPECT_FALSE(opened[1].secure);
    EXPECT_TRUE(c.rpc->wait_for_broken());
    EXPECT_TRUE(l.relay->ended());
}

TEST(rptSRMux, ChannelSinkThatThrowsEndsTheConnection) {
    temporary_home home;
    relay_link l(relay_config());
    sr_client c(l);
    ASSERT_TRUE(c.start());
    object<recording_sink> bad(new recording_sink);
    bad->on_received = [](netbuf const&) { throw std::runtime_error("refused"); };
    c.sr->get_session_transport(bad);
    l.relay->send_data(3, "x", false);
    EXPECT_TRUE(c.rpc->wait_for_broken());
    EXPECT_TRUE(bad->wait_for_broken());
    EXPECT_TRUE(l.relay->wait_for([&] { return l.relay->ended(); }));
}

// The connection's "queue empty" reaches a channel only when that channel
// has sent since it last heard it: the socket signals after every read too,
// and each signal wakes the sender waiting above the channel.
TEST(rptSRMux, QueueEmptyReachesOnlyTheChannelsThatSent) {
    temporary_home home;
    relay_link l(relay_config());
    sr_client c(l);
    ASSERT_TRUE(c.start());
    object<recording_sink> msg(new recording_sink), session(new recording_sink);
    std::vector<object<rptTransport>> transports{c.rpc_transport, c.sr->get_msg_transport(msg),
                                                 c.sr->get_session_transport(session)};
    std::vector<object<recording_sink>> sinks{c.rpc, msg, session};
    ASSERT_TRUE(l.relay->wait_for([&] { return l.relay->opens().size() == 3; }));
    ASSERT_TRUE(l.pair.wait_delivered());
    c.sr->queue_empty(); // whatever the set-up left to hear
    char const* const names[] = {"VYNRPC", "VYNMSG", "VYNL2"};
    for (std::size_t sender = 0; sender < sinks.size(); ++sender) {
        SCOPED_TRACE(names[sender]);
        std::vector<int> before;
        for (auto const& s : sinks) before.push_back(s->queue_empty_count());
        long long const id = static_cast<long long>(sender) + 2;
        std::string const sent = l.relay->channel_bytes(id) + "x";
        transports[sender]->send(netbuf::from_string("x"));
        ASSERT_TRUE(l.relay->wait_for([&] { return l.relay->channel_bytes(id) == sent; }));
        ASSERT_TRUE(l.pair.wait_delivered());
        EXPECT_TRUE(sinks[sender]->wait_for_queue_empty(before[sender] + 1));
        c.sr->queue_empty(); // as after a read: nobody has sent since
        for (std::size_t i = 0; i < sinks.size(); ++i)
            EXPECT_EQ(sinks[i]->queue_empty_count(), before[i] + (i == sender)) << names[i];
    }
}

TEST(rptSRMux, FailedHandshakeOpensNothing) {
    temporary_home home;
    relay_end::config conf = relay_config();
    conf.status = 403;
    relay_link l(conf);
    sr_client c(l);
    EXPECT_FALSE(c.start());
    EXPECT_TRUE(l.relay->opens().empty());
    EXPECT_TRUE(l.relay->ended());
    EXPECT_EQ(c.rpc->broken_count(), 0);
    object<recording_sink> msg(new recording_sink);
    EXPECT_EQ(test_support::thrown([&] { c.sr->get_msg_transport(msg); }), ":Error in 'get_transport'");
}

} // namespace
