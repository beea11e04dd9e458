// The session channel: both framings, the raw-mode greeting, the frame-size
// cap on both sides, sends before start and after stop.
#include "rulo-rpt/channel/rptChannel.h"
#include "rulo/packet.h"
#include "tests/rulo-rpt/channel/channel_kit.h"
#include "tests/support/framework_env.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

using channel_kit::capture_transport;
using channel_kit::channel_sink;
using packet_list = std::vector<std::pair<int, std::string>>;

std::string random_text(std::size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string out(n, '\0');
    for (char& c : out) c = char(gen());
    return out;
}

struct receiver {
    rulo::object<channel_sink> sink{new channel_sink};
    rulo::object<capture_transport> transport{new capture_transport};
    rulo::object<rulo::rptChannel> channel{new rulo::rptChannel(sink)};
    receiver() { channel->start(transport); }
};

// The bytes a sending channel puts on the wire for these packets.
std::string wire(packet_list const& packets, bool vint) {
    rulo::object<channel_sink> unused(new channel_sink);
    rulo::object<capture_transport> out(new capture_transport);
    rulo::object<rulo::rptChannel> sender(new rulo::rptChannel(unused));
    sender->start(out);
    sender->set_vint(vint);
    for (auto const& p : packets) sender->send(p.first, netbuf::from_string(p.second));
    return out->all();
}

TEST(SessionChannel, BothFramingsRoundTripWithTheStreamCutAtEveryByte) {
    // Sizes around the vint's one/two/three-byte lengths, negative and large indexes.
    packet_list const packets{{0, ""},
                              {-1, "plugin"},
                              {7, random_text(127, 1)},
                              {2147483647, random_text(128, 2)},
                              {-2147483647 - 1, random_text(300, 3)},
                              {3, "RFB 003.008\n"}};
    for (bool vint : {false, true}) {
        SCOPED_TRACE(vint ? "vint framing" : "4-byte framing");
        std::string const bytes = wire(packets, vint);
        for (std::size_t cut = 0; cut <= bytes.size(); ++cut) {
            receiver r;
            r.channel->set_vint(vint);
            r.channel->received(netbuf::from_string(bytes.substr(0, cut)));
            r.channel->received(netbuf::from_string(bytes.substr(cut)));
            ASSERT_EQ(r.sink->packets, packets) << "cut at " << cut;
            ASSERT_EQ(r.sink->broken_count, 0);
        }
        receiver bytewise;
        bytewise.channel->set_vint(vint);
        for (char c : bytes) bytewise.channel->received(netbuf::from_string(std::string(1, c)));
        EXPECT_EQ(bytewise.sink->packets, packets);
        EXPECT_EQ(bytewise.channel->current_mode(), rulo::rptChannel::packets);
    }
}

TEST(SessionChannel, BatchIsOneSendOfTheSameBytesAsPacketByPacket) {
    packet_list const packets{{5, random_text(1024, 5)}, {-1, ""}, {6, random_text(200, 6)}, {5, "tail"}};
    std::vector<std::pair<int, netbuf>> batch;
    for (auto const& p : packets) batch.emplace_back(p.first, netbuf::from_string(p.second));
    for (bool vint : {false, true}) {
        SCOPED_TRACE(vint ? "vint framing" : "4-byte framing");
        rulo::object<channel_sink> unused(new channel_sink);
        rulo::object<capture_transport> out(new capture_transport);
        rulo::object<rulo::rptChannel> sender(new rulo::rptChannel(unused));
        sender->set_vint(vint);
        // Before start the batch waits with what was sent singly; after it, one send.
        sender->send(9, netbuf::from_string("first"));
        sender->send_batch(batch);
        sender->start(out);
        sender->send_batch(batch);
        sender->send_batch({});
        ASSERT_EQ(out->sends.size(), 2u);
        EXPECT_EQ(out->sends[0], wire({{9, "first"}}, vint) + wire(packets, vint));
        EXPECT_EQ(out->sends[1], wire(packets, vint));
    }
    // A packet over the cap refuses the whole batch: nothing of it leaves.
    rulo::object<channel_sink> unused(new channel_sink);
    rulo::object<capture_transport> out(new capture_transport);
    rulo::object<rulo::rptChannel> sender(new rulo::rptChannel(unused));
    sender->start(out);
    sender->set_vint(true);
    std::vector<std::pair<int, netbuf>> oversized{{1, netbuf::from_string("fits")},
                                                  {2, netbuf::from_string(std::string(0xFFFFFF, 'x'))}};
    EXPECT_NE(test_support::thrown([&] { sender->send_batch(oversized); }), "");
    EXPECT_TRUE(out->sends.empty());
}

TEST(SessionChannel, SinkSwitchesToVintFramingInsideOneDelivery) {
    // The answering "init" goes in the old framing, everything after it in
    // the new one, and a receiver may get all of it in one delivery.
    std::string const bytes =
        wire({{-2, "init"}}, false) + wire({{-2, "auth"}, {5, random_text(2000, 4)}}, true);
    receiver r;
    r.sink->on_packet = [&](int, netbuf const& data) {
        if (data.to_string() == "init") r.channel->set_vint(true);
    };
    r.channel->received(netbuf::from_string(bytes));
    ASSERT_EQ(r.sink->packets.size(), 3u);
    EXPECT_EQ(r.sink->packets[1].second, "auth");
    EXPECT_EQ(r.sink->packets[2].first, 5);
    EXPECT_EQ(r.sink->broken_count, 0);
}

TEST(SessionChannel, RemoteFramebufferGreetingSwitchesToRawMode) {
    receiver r;
    r.channel->received(netbuf::from_string("RFB"));
    EXPECT_EQ(r.channel->current_mode(), rulo::rptChannel::undecided);
    r.channel->received(netbuf::from_string(" 003.008"));
    ASSERT_EQ(r.sink->raw, std::vector<std::string>{"RFB 003.008"});
    r.channel->received(netbuf::from_buffer("\x00\x00\x00\x05", 4));
    ASSERT_EQ(r.sink->raw.size(), 2u);
    EXPECT_EQ(r.sink->raw[1], std::string("\x00\x00\x00\x05", 4));
    EXPECT_TRUE(r.sink->packets.empty());
    r.channel->send(netbuf::from_string("raw out"));
    EXPECT_EQ(r.transport->all(), "raw out");

    // Without the greeting first, "RFB " later is data like any other.
    receiver p;
    std::string const bytes = wire({{1, "first"}, {2, "RFB 003.008\n"}}, false);
    p.channel->received(netbuf::from_string(bytes.substr(0, 3)));
    p.channel->received(netbuf::from_string(bytes.substr(3)));
    EXPECT_EQ(p.channel->current_mode(), rulo::rptChannel::packets);
    EXPECT_TRUE(p.sink->raw.empty());
    EXPECT_EQ(p.sink->packets, (packet_list{{1, "first"}, {2, "RFB 003.008\n"}}));
    EXPECT_EQ(p.sink->broken_count, 0);
}

TEST(SessionChannel, FrameLengthCapOnReceiveAndSend) {
    int const max = rulo::rptChannel::max_packet;
    // A body of exactly the cap: data plus the pushed index fill it.
    netbuf index_only;
    rulo_packet_push(index_only, 9);
    std::string const fill = random_text(std::size_t(max - index_only.size()), 5);

    struct header_case {
        char const* name;
        bool vint;
        std::string header;
    };
    std::string vint_over;
    {
        netbuf b;
        rulo::vint_push(b, 0x1000000ULL, true);
        vint_over = b.to_string();
    }
    for (header_case const& c : {header_case{"4-byte 0x1000000", false, std::string("\x01\x00\x00\x00", 4)},
                                 header_case{"4-byte 2 GiB", false, std::string("\x80\x00\x00\x00", 4)},
                                 header_case{"vint 0x1000000", true, vint_over}}) {
        SCOPED_TRACE(c.name);
        // The largest frame goes out and is taken...
        std::string const largest = wire({{9, fill}}, c.vint);
        ASSERT_EQ(largest.size(), std::size_t(max) + 4 /* both length forms take 4 bytes here */);
        receiver r;
        r.channel->set_vint(c.vint);
        r.channel->received(netbuf::from_string(largest));
        ASSERT_EQ(r.sink->packets.size(), 1u);
        EXPECT_EQ(r.sink->packets[0].second.size(), fill.size());
        // ...one byte more is refused when sent, and stops the receiver.
        rulo::object<capture_transport> out(new capture_transport);
        rulo::object<rulo::rptChannel> sender(
            new rulo::rptChannel(rulo::object<channel_sink>(new channel_sink)));
        sender->start(out);
        sender->set_vint(c.vint);
        EXPECT_NE(test_support::thrown([&] { sender->send(9, netbuf::from_string(fill + "x")); }), "");
        EXPECT_TRUE(out->all().empty());

        r.channel->received(netbuf::from_string(c.header));
        EXPECT_EQ(r.sink->broken_count, 1);
        EXPECT_EQ(r.transport->disconnects, 1);
        r.channel->received(netbuf::from_string(largest));
        EXPECT_EQ(r.sink->packets.size(), 1u);
        EXPECT_EQ(r.sink->broken_count, 1);
    }
}

TEST(SessionChannel, SendsBeforeStartGoOutInOrderAndSendsAfterStopThrow) {
    rulo::object<channel_sink> sink(new channel_sink);
    rulo::object<rulo::rptChannel> channel(new rulo::rptChannel(sink));
    channel->send(1, netbuf::from_string("one"));
    channel->send(2, netbuf::from_string("two"));
    channel->send(netbuf::from_string("raw"));
    rulo::object<capture_transport> transport(new capture_transport);
    channel->start(transport);
    ASSERT_EQ(transport->sends.size(), 1u);
    EXPECT_EQ(transport->sends[0], wire({{1, "one"}, {2, "two"}}, false) + "raw");

    // A failing transport send reaches the caller; the channel stays usable.
    transport->fail_sends = true;
    EXPECT_NE(test_support::thrown([&] { channel->send(3, netbuf::from_string("x")); }), "");
    transport->fail_sends = false;
    channel->send(3, netbuf::from_string("three"));
    EXPECT_EQ(transport->sends.size(), 2u);

    channel->stop();
    EXPECT_EQ(sink->broken_count, 1);
    EXPECT_EQ(transport->disconnects, 1);
    EXPECT_NE(test_support::thrown([&] { channel->send(4, netbuf::from_string("late")); }), "");
    EXPECT_NE(test_support::thrown([&] { channel->send(netbuf::from_string("late")); }), "");
    channel->stop();
    channel->broken();
    channel->queue_empty();
    EXPECT_EQ(sink->broken_count, 1);
    EXPECT_EQ(sink->queue_empty_count, 0);
    EXPECT_EQ(transport->sends.size(), 2u);
}

TEST(SessionChannel, MalformedBodyOrFailingSinkStopsOnce) {
    // A frame whose body holds no index, and a sink that throws.
    receiver bad;
    bad.channel->received(netbuf::from_string(std::string("\x00\x00\x00\x01\x07", 5)));
    EXPECT_EQ(bad.sink->broken_count, 1);
    EXPECT_EQ(bad.transport->disconnects, 1);

    receiver throwing;
    throwing.sink->on_packet = [](int, netbuf const&) { throw rulo::exception::function("sink"); };
    throwing.channel->received(netbuf::from_string(wire({{1, "a"}, {2, "b"}}, false)));
    EXPECT_EQ(throwing.sink->packets.size(), 1u);
    EXPECT_EQ(throwing.sink->broken_count, 1);

    // A sink that stops the channel while handling a packet gets nothing after it.
    receiver stopping;
    stopping.sink->on_packet = [&](int, netbuf const&) { stopping.channel->stop(); };
    stopping.channel->received(netbuf::from_string(wire({{1, "a"}, {2, "b"}}, false)));
    EXPECT_EQ(stopping.sink->packets.size(), 1u);
    EXPECT_EQ(stopping.sink->broken_count, 1);
}

} // namespace
