// The in-memory transport pair and the recording sink keep the transport
// contract that the layer tests rely on: order, queue_empty, one broken()
// and nothing after it, and call-backs from inside a sink.
#include "rulo/hash.h"
#include "rulo/lock.h"
#include "tests/support/framework_env.h"
#include "tests/support/memory_transport.h"
#include "tests/support/recording_sink.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

using test_support::memory_transport_pair;
using test_support::recording_sink;

std::string random_bytes(std::size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string out(n, '\0');
    for (char& c : out) c = char(gen());
    return out;
}

TEST(MemoryTransport, DeliversInOrderInEveryModeAndEndsWithOneBroken) {
    struct mode {
        bool pieces, threaded;
    };
    for (mode m : {mode{false, false}, mode{true, false}, mode{true, true}}) {
        SCOPED_TRACE(testing::Message() << "pieces " << m.pieces << " threaded " << m.threaded);
        memory_transport_pair pair({m.pieces, m.threaded, 7});
        rulo::object<recording_sink> at_a(new recording_sink), at_b(new recording_sink);
        pair.a->set_sink(at_a);
        pair.b->set_sink(at_b);
        std::string const there = random_bytes(100000, 1), back = random_bytes(5000, 2);
        for (std::size_t at = 0; at < there.size(); at += 10000)
            pair.a->send(netbuf::from_string(there.substr(at, 10000)));
        pair.b->send(netbuf::from_string(back));
        ASSERT_TRUE(at_b->wait_for_bytes(there.size()));
        ASSERT_TRUE(at_a->wait_for_bytes(back.size()));
        EXPECT_EQ(at_b->bytes(), there);
        EXPECT_EQ(at_a->bytes(), back);
        ASSERT_TRUE(at_a->wait_for_queue_empty(10));

        pair.break_link();
        ASSERT_TRUE(at_a->wait_for_broken());
        ASSERT_TRUE(at_b->wait_for_broken());
        EXPECT_NE(test_support::thrown([&] { pair.a->send(netbuf::from_string("late")); }), "");
        pair.break_link();
        ASSERT_TRUE(pair.wait_delivered());
        EXPECT_EQ(at_a->broken_count(), 1);
        EXPECT_EQ(at_b->broken_count(), 1);
        EXPECT_EQ(at_a->events_after_broken() + at_b->events_after_broken(), 0);
    }
}

// A sink that answers from inside received() and then hangs up: the answer
// arrives, the hang-up reaches the other side as its one broken(), and the
// side that hung up hears nothing more.
TEST(MemoryTransport, SinkMaySendAndDisconnectFromReceived) {
    for (bool threaded : {false, true}) {
        memory_transport_pair pair({true, threaded, 3});
        rulo::object<recording_sink> at_a(new recording_sink), at_b(new recording_sink);
        auto b = pair.b;
        at_b->on_received = [b](netbuf const& data) mutable {
            b->send(data);
            if (data.find('!') >= 0) b->disconnect();
        };
        pair.a->set_sink(at_a);
        pair.b->set_sink(at_b);
        pair.a->send(netbuf::from_string("hello there!"));
        ASSERT_TRUE(at_a->wait_for_broken());
        ASSERT_TRUE(pair.wait_delivered());
        EXPECT_EQ(at_a->bytes(), "hello there!");
        EXPECT_EQ(at_b->broken_count(), 0);
        EXPECT_EQ(at_a->events_after_broken(), 0);
    }
}

TEST(RecordingSink, DigestCoversTheStreamWithoutKeepingIt) {
    recording_sink sink(false);
    std::string const data = random_bytes(70000, 4);
    sink.received(netbuf::from_string(data.substr(0, 12345)));
    sink.received(netbuf::from_string(data.substr(12345)));
    xstd::sha512 whole;
    whole.update(data.data(), data.size());
    EXPECT_EQ(sink.byte_count(), data.size());
    EXPECT_EQ(sink.bytes(), "");
    EXPECT_EQ(sink.digest(), whole.finish());
}

} // namespace
