// The reliable channel against a scripted peer: the peer is a session
// channel the test drives by hand, on a fresh in-memory pair per connection,
// so every control message and trailer on the wire is seen and chosen here.
#include "rulo-rpt/channel/rptSafeChannel.h"
#include "rulo/clock.h"
#include "rulo/lock.h"
#include "rulo/packet.h"
#include "tests/rulo-rpt/channel/safe_channel_kit.h"
#include "tests/support/child_process.h"
#include "tests/support/framework_env.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace safe_kit;
using rulo::rptSafeChannel;

// One reliable channel under test on a scripted-peer factory.
struct scripted {
    end e;
    rulo::object<peer_factory> factory{new peer_factory};

    void start(bool initiator, netbuf const& initial = netbuf()) {
        e.channel->start(factory, initiator, initial_index, initial);
    }
};

struct control {
    std::string name;
    netbuf rest;
};

// The control messages the peer has received so far, in order.
std::vector<control> controls(peer_factory::peer const& p) {
    std::vector<control> out;
    std::lock_guard<std::mutex> lock(p.sink->m);
    for (auto const& packet : p.sink->packets) {
        if (packet.first != control_index) continue;
        control c;
        c.rest = netbuf::from_string(packet.second);
        rulo_packet_pop(c.rest, c.name);
        out.push_back(c);
    }
    return out;
}

// The data packets (not control) the peer has received, in order.
std::vector<std::pair<int, std::string>> data_packets(peer_factory::peer const& p) {
    std::vector<std::pair<int, std::string>> out;
    std::lock_guard<std::mutex> lock(p.sink->m);
    for (auto const& packet : p.sink->packets)
        if (packet.first != control_index) out.push_back(packet);
    return out;
}

std::size_t count_named(peer_factory::peer const& p, std::string const& name) {
    std::size_t n = 0;
    for (auto const& c : controls(p)) n += c.name == name;
    return n;
}

bool wait_named(peer_factory::peer const& p, std::string const& name, std::size_t n = 1) {
    return p.sink->wait([&] {
        std::size_t k = 0;
        for (auto const& packet : p.sink->packets) {
            if (packet.first != control_index) continue;
            netbuf b = netbuf::from_string(packet.second);
            std::string got;
            rulo_packet_pop(b, got);
            k += got == name;
        }
        return k >= n;
    });
}

bool wait_data(peer_factory::peer const& p, std::size_t n, int64_t ms = generous_ms) {
    return p.sink->wait(
        [&] {
            std::size_t k = 0;
            for (auto const& packet : p.sink->packets) k += packet.first != control_index;
            return k >= n;
        },
        ms);
}

struct init_fields {
    uint64_t count = 0;
    bool fragmenter = false;
    std::string challenge;
    bool vint = false;
};

init_fields parse_init(control c) {
    init_fields f;
    xstd::packet_pop(c.rest, f.count, f.fragmenter, f.challenge, f.vint);
    return f;
}

// The peer answers as the desk: its "init" in the old framing, then the vint one.
void answer_init(peer_factory::peer const& p, uint64_t count, std::string const& challenge = "") {
    rulo::rulo_lock_guard lock;
    p.channel()->send(control_index, init_message(count, challenge));
    p.channel()->set_vint(true);
}

// A client's first words on a fresh connection, as a peer in the client's role sends them.
void client_init(peer_factory::peer const& p, uint64_t count, std::string const& challenge = "") {
    rulo::rulo_lock_guard lock;
    p.sink->on_packet = [channel = p.channel()](int index, netbuf const& data) {
        netbuf b(data);
        std::string name;
        rulo_packet_pop(b, name);
        if (index == control_index && name == "init") channel->set_vint(true);
    };
    p.channel()->send(control_index, init_message(count, challenge));
}

void peer_send(peer_factory::peer const& p, int index, netbuf const& data) {
    rulo::rulo_lock_guard lock;
    p.channel()->send(index, data);
}

// Raw MD5 of bytes as `openssl dgst -md5 -binary` computes it.
std::string openssl_md5(std::string const& bytes) {
    test_support::child_process openssl({"openssl", "dgst", "-md5", "-binary"});
    openssl.write_input(bytes);
    openssl.close_input();
    EXPECT_TRUE(openssl.wait_closed(std::chrono::milliseconds(generous_ms)));
    return openssl.output();
}

// A client connected to a peer that answered its "init" with the count given.
peer_factory::peer connect_client(scripted& s, std::size_t n, uint64_t count = 0) {
    peer_factory::peer p = s.factory->wait_peer(n);
    EXPECT_TRUE(wait_named(p, "init"));
    answer_init(p, count);
    EXPECT_TRUE(s.e.host->wait_status("session_connect", int(n) + 1));
    return p;
}

TEST(ReliableChannel, InitAndFragmentTrailers) {
    scripted s;
    s.start(true, netbuf::from_string("hello"));
    peer_factory::peer p = s.factory->wait_peer(0);
    ASSERT_TRUE(wait_named(p, "init"));
    init_fields f = parse_init(controls(p)[0]);
    EXPECT_EQ(f.count, 0u);
    EXPECT_TRUE(f.fragmenter);
    EXPECT_TRUE(f.vint);
    EXPECT_EQ(f.challenge, "");
    // Nothing else goes before the peer's first packet, not even the initial one.
    std::string const early(1500, 'e');
    s.e.channel->send(5, netbuf::from_string(early));
    ASSERT_FALSE(p.sink->wait([&] { return p.sink->packets.size() > 1; }, 200));

    answer_init(p, 0);
    ASSERT_TRUE(wait_data(p, 3));
    auto got = data_packets(p);
    // The initial index goes first and bare; what waited from before the
    // peer's "init" is cut and carries trailers like everything after it.
    EXPECT_EQ(got[0], (std::pair<int, std::string>{initial_index, "hello"}));
    EXPECT_EQ(unframe(got[1].second), (std::pair<std::string, int>{early.substr(0, 1024), 1}));
    EXPECT_EQ(unframe(got[2].second), (std::pair<std::string, int>{early.substr(1024), 2}));

    struct fragment_case {
        int index;
        std::size_t size;
        std::vector<std::pair<std::size_t, int>> expected; // size and type of each piece
    };
    std::vector<fragment_case> const cases{
        {5, 1, {{1, 0}}},
        {5, 1024, {{1024, 0}}},
        {5, 1025, {{1024, 1}, {1, 2}}},
        {6, 3000, {{1024, 1}, {1024, 1}, {952, 2}}},
        {initial_index, 3000, {{3000, -1}}}, // never cut, no trailer
    };
    std::size_t seen = 3;
    for (auto const& c : cases) {
        SCOPED_TRACE(testing::Message() << "index " << c.index << " size " << c.size);
        std::string const data(c.size, char('a' + c.size % 26));
        s.e.channel->send(c.index, netbuf::from_string(data));
        ASSERT_TRUE(wait_data(p, seen + c.expected.size()));
        got = data_packets(p);
        std::string joined;
        for (std::size_t i = 0; i < c.expected.size(); ++i) {
            auto const& packet = got[seen + i];
            EXPECT_EQ(packet.first, c.index);
            if (c.expected[i].second < 0) {
                EXPECT_EQ(packet.second.size(), c.expected[i].first);
                joined += packet.second;
                continue;
            }
            auto piece = unframe(packet.second);
            EXPECT_EQ(piece.first.size(), c.expected[i].first);
            EXPECT_EQ(piece.second, c.expected[i].second);
            joined += piece.first;
        }
        EXPECT_EQ(joined, data);
        seen += c.expected.size();
    }
    EXPECT_EQ(s.e.channel->sent_count(), seen);
}

TEST(ReliableChannel, AcknowledgesAtTheTenthThenEveryThousand) {
    scripted s;
    s.start(true);
    peer_factory::peer p = connect_client(s, 0);
    auto rcounts = [&] {
        std::vector<uint64_t> out;
        for (auto c : controls(p))
            if (c.name == "rcount") {
                uint64_t n = 0;
                rulo_packet_pop(c.rest, n);
                out.push_back(n);
            }
        return out;
    };
    for (int i = 1; i <= 9; ++i) peer_send(p, 5, fragment("x", 0));
    ASSERT_TRUE(s.e.host->wait_packets(9));
    EXPECT_TRUE(rcounts().empty());
    // A fragment that is not the last counts like a whole packet.
    peer_send(p, 5, fragment("half", 1));
    ASSERT_TRUE(wait_named(p, "rcount"));
    EXPECT_EQ(rcounts(), std::vector<uint64_t>{10});
    peer_send(p, 5, fragment("-end", 2));
    for (int i = 12; i <= 1010; ++i) peer_send(p, 5, fragment("x", 0));
    ASSERT_TRUE(wait_named(p, "rcount", 2));
    EXPECT_EQ(rcounts(), (std::vector<uint64_t>{10, 1010}));
    ASSERT_TRUE(s.e.host->wait_packets(1009));
    EXPECT_EQ(s.e.host->packets()[9].second, "half-end");
    EXPECT_EQ(s.e.channel->received_count(), 1010u);
}

TEST(ReliableChannel, AcknowledgesAfterAThreeSecondGap) {
    // The one slow test: the gap is the behaviour, at its real length.
    scripted s;
    s.start(true);
    peer_factory::peer p = connect_client(s, 0);
    for (int i = 1; i <= 10; ++i) peer_send(p, 5, fragment("x", 0));
    ASSERT_TRUE(wait_named(p, "rcount"));
    int64_t const acked = rulo::relative_time();
    peer_send(p, 5, fragment("soon", 0));
    ASSERT_TRUE(s.e.host->wait_packets(11));
    EXPECT_EQ(count_named(p, "rcount"), 1u);
    ASSERT_TRUE(wait_until([&] { return rulo::relative_time() >= acked + 3100; }));
    peer_send(p, 5, fragment("late", 0));
    ASSERT_TRUE(wait_named(p, "rcount", 2));
    control last = controls(p).back();
    uint64_t n = 0;
    rulo_packet_pop(last.rest, n);
    EXPECT_EQ(n, 12u);
}

TEST(ReliableChannel, ResendsWhatThePeerDidNotGetInOrder) {
    scripted s;
    s.e.host->auto_reconnect = true;
    s.start(true);
    peer_factory::peer first = connect_client(s, 0);
    for (int i = 1; i <= 9; ++i) s.e.channel->send(5, netbuf::from_string("p" + std::to_string(i)));
    ASSERT_TRUE(wait_data(first, 9));
    peer_send(first, control_index, rcount_message(4));
    ASSERT_TRUE(wait_until([&] { return s.e.channel->unacknowledged() == 5; }));

    first.channel()->stop();
    peer_factory::peer second = s.factory->wait_peer(1);
    ASSERT_TRUE(wait_named(second, "init"));
    answer_init(second, 7);
    ASSERT_TRUE(wait_data(second, 2));
    s.e.channel->send(5, netbuf::from_string("p10"));
    ASSERT_TRUE(wait_data(second, 3));
    std::vector<std::string> resent;
    for (auto const& packet : data_packets(second)) resent.push_back(unframe(packet.second).first);
    EXPECT_EQ(resent, (std::vector<std::string>{"p8", "p9", "p10"}));
    EXPECT_FALSE(second.sink->wait([&] { return second.sink->packets.size() > 4; }, 200));
    EXPECT_EQ(s.e.host->status_count("broken"), 1);
}

TEST(ReliableChannel, RestartedPeerProvesTheSecret) {
    // This end restarted: its "init" carries a challenge that the peer must
    // answer with MD5(secret + challenge); openssl computes the right answer.
    for (bool right : {true, false}) {
        SCOPED_TRACE(right ? "right secret" : "wrong secret");
        scripted s;
        s.e.channel->set_secret("verification", "answer", true);
        s.start(true);
        peer_factory::peer p = s.factory->wait_peer(0);
        ASSERT_TRUE(wait_named(p, "init"));
        std::string const challenge = parse_init(controls(p)[0]).challenge;
        ASSERT_EQ(challenge.size(), 16u);
        answer_init(p, 0);
        // Data before the proof is not this session's.
        peer_send(p, 5, fragment("before", 0));
        ASSERT_TRUE(s.e.host->wait_status("invalid_reconnect"));
        peer_send(p, control_index,
                  auth_message(openssl_md5((right ? "verification" : "verificatioN") + challenge)));
        peer_send(p, 5, fragment("after", 0));
        if (right) {
            ASSERT_TRUE(s.e.host->wait_packets(1));
            EXPECT_EQ(s.e.host->packets()[0].second, "after");
            EXPECT_EQ(s.e.host->status_count("invalid_reconnect"), 1);
        } else {
            ASSERT_TRUE(s.e.host->wait_status("invalid_reconnect", 3));
            EXPECT_TRUE(s.e.host->packets().empty());
        }
    }
}

TEST(ReliableChannel, AnswersARestartedPeerWithTheDigestOpensslComputes) {
    scripted s;
    s.e.host->auto_reconnect = true;
    s.e.channel->set_secret("verification", "answer", false);
    s.start(true);
    peer_factory::peer first = connect_client(s, 0);
    s.e.channel->send(5, netbuf::from_string("queued"));
    ASSERT_TRUE(wait_data(first, 1));
    // Half a packet, then the peer goes away and comes back restarted.
    peer_send(first, 5, fragment("old-half", 1));
    ASSERT_TRUE(wait_until([&] { return s.e.channel->received_count() == 1; }));
    first.channel()->stop();

    peer_factory::peer second = s.factory->wait_peer(1);
    ASSERT_TRUE(wait_named(second, "init"));
    std::string const challenge = "0123456789abcdef";
    answer_init(second, 0, challenge);
    ASSERT_TRUE(wait_named(second, "auth"));
    control auth = controls(second).back();
    std::string digest;
    rulo_packet_pop(auth.rest, digest);
    EXPECT_EQ(digest, openssl_md5("answer" + challenge));
    EXPECT_EQ(s.e.host->reinits(), 1);
    // Counts begin again and nothing of the old session is resent or glued on.
    peer_send(second, 5, fragment("new", 2));
    ASSERT_TRUE(s.e.host->wait_packets(1));
    EXPECT_EQ(s.e.host->packets()[0].second, "new");
    EXPECT_TRUE(data_packets(second).empty());
    EXPECT_EQ(s.e.channel->unacknowledged(), 0u);
    EXPECT_EQ(s.e.host->status_count("invalid_reconnect"), 0);
}

TEST(ReliableChannel, InvalidReconnects) {
    struct invalid_case {
        char const* name;
        bool restart; // this end restarted
        uint64_t count;
        std::string challenge;
        bool auth_without_challenge;
    };
    for (invalid_case const& c : {invalid_case{"challenge with a count", false, 3, "0123456789abcdef", false},
                                  invalid_case{"both ends restarted", true, 0, "0123456789abcdef", false},
                                  invalid_case{"auth nobody asked for", false, 0, "", true}}) {
        SCOPED_TRACE(c.name);
        scripted s;
        s.e.channel->set_secret("verification", "answer", c.restart);
        s.start(true);
        peer_factory::peer p = s.factory->wait_peer(0);
        ASSERT_TRUE(wait_named(p, "init"));
        if (c.restart) {
            // The peer answers this end's challenge so its data counts.
            std::string const mine = parse_init(controls(p)[0]).challenge;
            answer_init(p, c.count, c.challenge);
            peer_send(p, control_index, auth_message(openssl_md5("verification" + mine)));
        } else {
            answer_init(p, c.count, c.challenge);
        }
        if (c.auth_without_challenge) peer_send(p, control_index, auth_message(std::string(16, 'x')));
        ASSERT_TRUE(s.e.host->wait_status("invalid_reconnect"));
        // An unasked auth makes no challenge: the peer's data still counts.
        peer_send(p, 5, fragment("data", 0));
        ASSERT_TRUE(s.e.host->wait_packets(1));
        EXPECT_EQ(s.e.host->status_count("invalid_reconnect"), 1);
    }
}

TEST(ReliableChannel, RestartedDeskAsksTheClientForProof) {
    scripted s;
    s.e.channel->set_secret("verification", "answer", true);
    s.start(false);
    peer_factory::peer p = s.factory->wait_peer(0);
    client_init(p, 5);
    ASSERT_TRUE(wait_named(p, "init"));
    init_fields f = parse_init(controls(p)[0]);
    EXPECT_EQ(f.count, 0u);
    ASSERT_EQ(f.challenge.size(), 16u);
    peer_send(p, control_index, auth_message(openssl_md5("verification" + f.challenge)));
    peer_send(p, 5, fragment("proved", 0));
    ASSERT_TRUE(s.e.host->wait_packets(1));
    EXPECT_EQ(s.e.host->status_count("invalid_reconnect"), 0);
}

TEST(ReliableChannel, FactoryRefusals) {
    struct refusal_case {
        refusal r;
        char const* status;
    };
    for (refusal_case const& c :
         {refusal_case{refusal::repeat, "broken"}, refusal_case{refusal::cancel, "connect_cancelled"},
          refusal_case{refusal::fail, "connect_failed"}}) {
        SCOPED_TRACE(c.status);
        scripted s;
        s.factory->set_refusal(c.r);
        s.start(true);
        ASSERT_TRUE(s.e.host->wait_status(c.status));
        EXPECT_EQ(s.e.channel->state(), rptSafeChannel::down);
        EXPECT_EQ(s.factory->calls(), 1u);
        // Nothing retries by itself; the host's reconnect does.
        s.factory->set_refusal(refusal::none);
        s.e.channel->reconnect();
        connect_client(s, 0);
        EXPECT_EQ(s.e.host->status_count("connected"), 1);
    }
}

TEST(ReliableChannel, LegacyAndRawPeers) {
    scripted legacy;
    legacy.start(false);
    peer_factory::peer p = legacy.factory->wait_peer(0);
    for (int i = 0; i < 12; ++i) peer_send(p, 5, netbuf::from_string("old " + std::to_string(i)));
    ASSERT_TRUE(legacy.e.host->wait_packets(12));
    EXPECT_EQ(legacy.e.host->packets()[11].second, "old 11");
    legacy.e.channel->send(5, netbuf::from_string("bare"));
    ASSERT_TRUE(wait_data(p, 1));
    EXPECT_EQ(data_packets(p)[0].second, "bare");
    EXPECT_EQ(count_named(p, "rcount") + count_named(p, "init"), 0u);
    EXPECT_EQ(legacy.e.channel->unacknowledged(), 0u);

    scripted raw;
    raw.start(false);
    peer_factory::peer r = raw.factory->wait_peer(0);
    {
        rulo::rulo_lock_guard lock;
        r.channel()->send(netbuf::from_string("RFB 003.008\n"));
    }
    ASSERT_TRUE(wait_until([&] { return !raw.e.host->raw().empty(); }));
    EXPECT_EQ(raw.e.host->raw()[0], "RFB 003.008\n");
}

TEST(ReliableChannel, PeerOfTheOldProtocolAfterHalfAPacket) {
    scripted s;
    s.e.host->auto_reconnect = true;
    s.start(true);
    peer_factory::peer first = connect_client(s, 0);
    peer_send(first, 5, fragment("old-half", 1));
    ASSERT_TRUE(wait_until([&] { return s.e.channel->received_count() == 1; }));
    first.channel()->stop();
    // Then a peer that speaks without trailers...
    peer_factory::peer legacy = s.factory->wait_peer(1);
    peer_send(legacy, 5, netbuf::from_string("bare"));
    ASSERT_TRUE(s.e.host->wait_packets(1));
    EXPECT_EQ(s.e.host->packets()[0].second, "bare");
    legacy.channel()->stop();
    // ...and one with them again: nothing of the first is glued on.
    peer_factory::peer third = s.factory->wait_peer(2);
    ASSERT_TRUE(wait_named(third, "init"));
    answer_init(third, 1);
    ASSERT_TRUE(s.e.host->wait_status("session_connect", 2));
    peer_send(third, 5, fragment("new", 2));
    ASSERT_TRUE(s.e.host->wait_packets(2));
    EXPECT_EQ(s.e.host->packets()[1].second, "new");
}

TEST(ReliableChannel, PacketThatNeverEndsEndsTheConnection) {
    scripted s;
    rptSafeChannel::timing t;
    t.max_reassembly = 4096;
    s.e.channel->set_timing(t);
    s.start(true);
    peer_factory::peer p = connect_client(s, 0);
    for (int i = 0; i < 4; ++i) peer_send(p, 5, fragment(std::string(1024, 'f'), 1));
    peer_send(p, 5, fragment("!", 2));
    ASSERT_TRUE(s.e.host->wait_packets(1));
    EXPECT_EQ(s.e.host->packets()[0].second.size(), 4097u);
    for (int i = 0; i < 5; ++i) peer_send(p, 5, fragment(std::string(1024, 'g'), 1));
    ASSERT_TRUE(s.e.host->wait_status("broken"));
    ASSERT_TRUE(p.sink->wait([&] { return p.sink->broken_count == 1; }));
    EXPECT_EQ(s.e.host->packets().size(), 1u);
}

TEST(ReliableChannel, SendFailureEndsTheSessionChannel) {
    scripted s;
    s.start(true);
    peer_factory::peer p = connect_client(s, 0);
    p.near_tap()->fail_sends();
    s.e.channel->send(5, netbuf::from_string("lost"));
    ASSERT_TRUE(s.e.host->wait_status("broken"));
    // The connection under it is closed too, not left open behind it.
    ASSERT_TRUE(p.sink->wait([&] { return p.sink->broken_count == 1; }));
    EXPECT_EQ(s.e.channel->unacknowledged(), 1u);
}

// The data of the peer's data packets, trailers taken off, in order.
std::vector<std::string> data_of(peer_factory::peer const& p) {
    std::vector<std::string> out;
    for (auto const& d : data_packets(p)) out.push_back(unframe(d.second).first);
    return out;
}

TEST(ReliableChannel, BatchesPerQueueEmptyWithinTheWindow) {
    std::vector<std::string> payload;
    for (int i = 0; i < 20; ++i) payload.push_back(std::string(1000, char('a' + i)));
    {
        SCOPED_TRACE("what queues while the transport drains leaves in batches");
        scripted s;
        rptSafeChannel::timing t;
        t.batch_bytes = 3500; // three packets of 1000 bytes and their trailers
        s.e.channel->set_timing(t);
        s.start(true);
        peer_factory::peer p = connect_client(s, 0);
        p.near_tap()->hold_drain();
        s.e.channel->send(5, netbuf::from_string("first"));
        ASSERT_TRUE(wait_data(p, 1));
        int const before = p.near_tap()->sends();
        for (int i = 0; i < 10; ++i) s.e.channel->send(5, netbuf::from_string(payload[i]));
        EXPECT_EQ(p.near_tap()->sends(), before);
        p.near_tap()->release_drain();
        ASSERT_TRUE(wait_data(p, 11));
        EXPECT_EQ(p.near_tap()->sends() - before, 4); // 3 + 3 + 3 + 1
        std::vector<std::string> want{"first"};
        want.insert(want.end(), payload.begin(), payload.begin() + 10);
        EXPECT_EQ(data_of(p), want);
        EXPECT_EQ(s.e.channel->unacknowledged(), 11u);
    }
    {
        SCOPED_TRACE("the window waits for the peer's count");
        scripted s;
        rptSafeChannel::timing t;
        t.window_bytes = 5000;
        t.first_ack = 2;
        t.ack_every = 3; // never closed below 2 + 3 packets
        s.e.channel->set_timing(t);
        s.start(true);
        peer_factory::peer p = connect_client(s, 0);
        for (auto const& d : payload) s.e.channel->send(5, netbuf::from_string(d));
        for (std::size_t counted : {6u, 12u, 18u}) {
            ASSERT_TRUE(wait_data(p, counted));
            EXPECT_FALSE(wait_data(p, counted + 1, 300));
            EXPECT_EQ(s.e.channel->unacknowledged(), 6u);
            EXPECT_EQ(s.e.channel->queued(), payload.size() - counted);
            peer_send(p, control_index, rcount_message(counted));
        }
        ASSERT_TRUE(wait_data(p, payload.size()));
        EXPECT_EQ(data_of(p), payload);
    }
}

TEST(ReliableChannel, GracefulStop) {
    {
        SCOPED_TRACE("empty queues");
        scripted s;
        s.start(true);
        connect_client(s, 0);
        s.e.channel->stop(5);
        ASSERT_TRUE(s.e.host->wait_status("stopped", 1, 1000));
        ASSERT_TRUE(wait_until([&] { return !s.e.channel->worker_running(); }));
        s.e.channel->stop(5);
        s.e.channel->reconnect();
        EXPECT_EQ(s.e.channel->state(), rptSafeChannel::stopped);
        EXPECT_NE(test_support::thrown([&] { s.e.channel->send(5, netbuf::from_string("late")); }), "");
        EXPECT_FALSE(s.e.host->wait_status("stopped", 2, 300));
    }
    {
        SCOPED_TRACE("queues that cannot drain");
        scripted s;
        s.start(true);
        peer_factory::peer p = connect_client(s, 0);
        p.near_tap()->hold_drain();
        for (int i = 0; i < 5; ++i) s.e.channel->send(5, netbuf::from_string("stuck"));
        s.e.channel->stop(1);
        ASSERT_TRUE(s.e.host->wait_status("stopped"));
        ASSERT_TRUE(wait_until([&] { return !s.e.channel->worker_running(); }));
        EXPECT_EQ(data_packets(p).size(), 1u);
        ASSERT_TRUE(p.sink->wait([&] { return p.sink->broken_count == 1; }));
    }
    {
        SCOPED_TRACE("the transport still holds the last packet");
        scripted s;
        s.start(true);
        peer_factory::peer p = connect_client(s, 0);
        p.near_tap()->hold_drain();
        s.e.channel->send(5, netbuf::from_string("last"));
        s.e.channel->stop(10);
        EXPECT_FALSE(s.e.host->wait_status("stopped", 1, 300));
        p.near_tap()->release_drain();
        ASSERT_TRUE(s.e.host->wait_status("stopped", 1, 2000));
    }
}

TEST(ReliableChannel, StopWhileTheFactoryConnects) {
    scripted s;
    s.factory->block();
    s.start(true);
    ASSERT_TRUE(s.factory->wait_blocked_call());
    s.e.channel->stop(1);
    ASSERT_TRUE(s.e.host->wait_status("stopped"));
    s.factory->release();
    peer_factory::peer p = s.factory->wait_peer(0);
    // The connection that came too late is closed and the worker ends.
    ASSERT_TRUE(p.sink->wait([&] { return p.sink->broken_count == 1; }));
    ASSERT_TRUE(wait_until([&] { return !s.e.channel->worker_running(); }));
    EXPECT_EQ(s.e.channel->state(), rptSafeChannel::stopped);
    EXPECT_EQ(s.e.host->status_count("connected"), 0);
}

TEST(ReliableChannel, ReconnectPauseLeavesTheFrameworkLockFree) {
    for (bool stop_in_pause : {false, true}) {
        SCOPED_TRACE(stop_in_pause ? "stopped during the pause" : "pause ends in broken");
        scripted s;
        s.start(true);
        peer_factory::peer p = connect_client(s, 0);
        s.e.channel->reconnect();
        ASSERT_TRUE(p.sink->wait([&] { return p.sink->broken_count == 1; }));
        // The worker is now in its 2-second pause; the lock is there for others.
        std::atomic<bool> locked{false};
        std::thread other([&] {
            rulo::rulo_lock_guard lock;
            locked = true;
        });
        EXPECT_TRUE(wait_until([&] { return locked.load(); }, 1000));
        other.join();
        if (stop_in_pause) {
            s.e.channel->stop(0);
            ASSERT_TRUE(s.e.host->wait_status("stopped"));
            ASSERT_TRUE(wait_until([&] { return !s.e.channel->worker_running(); }));
            EXPECT_EQ(s.e.host->status_count("broken"), 0);
        } else {
            ASSERT_TRUE(s.e.host->wait_status("broken"));
            EXPECT_EQ(s.e.channel->state(), rptSafeChannel::down);
        }
    }
}

} // namespace
