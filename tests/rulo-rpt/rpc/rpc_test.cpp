// The packet layer and the RPC wrapper, against a raw peer that writes and
// reads the wire text itself, and against a second wrapper, over the
// in-memory pair with its delivery thread and random cuts.
#include "rulo-rpt/rpc/rpcWrapper.h"
#include "rulo-rpt/rpc/rptPacket.h"
#include "rulo/executor.h"
#include "rulo/scheduler.h"
#include "tests/rulo-rpt/rpc/rpc_stand.h"
#include "tests/support/framework_env.h"
#include "tests/support/memory_transport.h"
#include "tests/support/recording_sink.h"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using rpc_stand::rpc_end;
using rpc_stand::rpc_sink;
using test_support::memory_transport_pair;
using test_support::recording_sink;
using test_support::thrown;

memory_transport_pair::options cut_and_threaded(unsigned seed) {
    memory_transport_pair::options o;
    o.random_pieces = true;
    o.threaded = true;
    o.seed = seed;
    return o;
}

std::string framed(std::string const& payload) {
    return std::to_string(payload.size()) + "\n" + payload;
}

bool has(std::string const& text, std::string const& part) {
    return text.find(part) != std::string::npos;
}

// A wrapper on end a, the test speaking the wire text on end b.
struct raw_peer {
    explicit raw_peer(unsigned seed) : pair(cut_and_threaded(seed)), end(pair.a), wire(new recording_sink) {
        pair.b->set_sink(wire);
    }
    ~raw_peer() { end.close(); }
    void say(std::string const& payload) { pair.b->send(netbuf::from_string(framed(payload))); }
    memory_transport_pair pair;
    rpc_end end;
    rulo::object<recording_sink> wire;
};

TEST(Rpc, CallsAreNumberedAndRepliesInAnyOrderFindTheirCalls) {
    raw_peer peer(1);
    unsigned int id1 = 0, id2 = 0;
    auto first = peer.end.wrapper->async_call(netbuf::from_string("alpha"), &id1);
    auto second = peer.end.wrapper->async_call(netbuf::from_string("beta"), &id2);
    EXPECT_EQ(id1, 1u);
    EXPECT_EQ(id2, 2u);
    std::string const calls = framed("1\nalpha") + framed("2\nbeta");
    ASSERT_TRUE(peer.wire->wait_for_bytes(calls.size()));
    EXPECT_EQ(peer.wire->bytes(), calls);

    peer.say("result 2\nfor beta");
    peer.say("result 1\nfor alpha");
    EXPECT_EQ(peer.end.wrapper->async_call_ret(second).to_string(), "for beta");
    EXPECT_EQ(peer.end.wrapper->async_call_ret(first).to_string(), "for alpha");
    EXPECT_EQ(peer.end.wrapper->pending_count(), 0u);
}

TEST(Rpc, PingGoesBothWays) {
    raw_peer peer(2);
    peer.end.wrapper->ping();
    ASSERT_TRUE(peer.wire->wait_for_bytes(framed("result 0\n").size()));
    EXPECT_EQ(peer.wire->bytes(), framed("result 0\n"));
    peer.say("result 0\n");
    ASSERT_TRUE(peer.end.sink->wait_for_pings(1));

    // And between two wrappers.
    memory_transport_pair pair(cut_and_threaded(3));
    rpc_end a(pair.a), b(pair.b);
    a.wrapper->ping();
    b.wrapper->ping();
    EXPECT_TRUE(b.sink->wait_for_pings(1));
    EXPECT_TRUE(a.sink->wait_for_pings(1));
    EXPECT_TRUE(a.close());
    EXPECT_TRUE(b.sink->wait_for_broken());
}

TEST(Rpc, EveryIncomingCallGetsExactlyOneReply) {
    struct row {
        rpc_sink::mode how;
        std::string reply;
    };
    row const rows[] = {
        {rpc_sink::answer, framed("result 42\nre:question")},
        {rpc_sink::drop, framed("result 42\n")}, // the dropped reply object answers empty
        {rpc_sink::answer_twice, framed("result 42\nfirst")},
    };
    unsigned seed = 10;
    for (row const& r : rows) {
        SCOPED_TRACE(int(r.how));
        raw_peer peer(seed++);
        peer.end.sink->how = r.how;
        peer.say("42\nquestion");
        ASSERT_TRUE(peer.wire->wait_for_bytes(r.reply.size()));
        // A late second reply would be behind the first: send a ping after it
        // and see that nothing came between.
        peer.end.wrapper->ping();
        ASSERT_TRUE(peer.wire->wait_for_bytes(r.reply.size() + framed("result 0\n").size()));
        EXPECT_EQ(peer.wire->bytes(), r.reply + framed("result 0\n"));
        EXPECT_EQ(peer.end.sink->bodies(), std::vector<std::string>{"question"});
        if (r.how == rpc_sink::answer_twice) {
            EXPECT_TRUE(has(peer.end.sink->second_send(), "Error in 'send'"));
        }
    }
}

TEST(Rpc, ThousandCallsEachWayArriveInStreamOrderThroughTheSchedulerPool) {
    memory_transport_pair pair(cut_and_threaded(4));
    rpc_end a(pair.a), b(pair.b);
    int const n = 1000;
    auto caller = [](rpc_end& from, std::string const& tag) {
        std::vector<rulo::object<rulo::rpcWrapper::sCall>> calls;
        for (int i = 0; i < n; ++i)
            calls.push_back(from.wrapper->async_call(netbuf::from_string(tag + std::to_string(i))));
        std::vector<std::string> replies;
        long limit = 30;
        for (auto& c : calls) replies.push_back(from.wrapper->async_call_ret(c, &limit).to_string());
        return replies;
    };
    std::vector<std::string> from_b;
    std::thread other([&] { from_b = caller(b, "b"); });
    std::vector<std::string> const from_a = caller(a, "a");
    other.join();

    std::vector<std::string> sent_a, sent_b, replies_a, replies_b;
    for (int i = 0; i < n; ++i) {
        sent_a.push_back("a" + std::to_string(i));
        sent_b.push_back("b" + std::to_string(i));
        replies_a.push_back("re:a" + std::to_string(i));
        replies_b.push_back("re:b" + std::to_string(i));
    }
    EXPECT_EQ(b.sink->bodies(), sent_a);
    EXPECT_EQ(a.sink->bodies(), sent_b);
    EXPECT_EQ(from_a, replies_a);
    EXPECT_EQ(from_b, replies_b);
    EXPECT_EQ(a.wrapper->pending_count() + b.wrapper->pending_count(), 0u);
    EXPECT_TRUE(a.close());
    EXPECT_TRUE(b.sink->wait_for_broken());
}

// Packets reach the sink in stream order and the end comes after the last of
// them, although the events run on a pool of several threads.
TEST(Rpc, PacketEventsKeepStreamOrderAndBrokenComesLast) {
    for (unsigned seed : {5u, 6u, 7u}) {
        memory_transport_pair pair(cut_and_threaded(seed));
        rulo::object<rulo::rptPacket> packet(new rulo::rptPacket(rulo::scheduler_pool()));
        rulo::object<recording_sink> upper(new recording_sink);
        packet->set_sink(upper);
        pair.a->set_sink(packet);
        packet->start(pair.a);
        std::string expect;
        for (int i = 0; i < 2000; ++i) {
            std::string const p = std::to_string(i) + ",";
            expect += p;
            pair.b->send(netbuf::from_string(framed(p)));
        }
        pair.b->disconnect();
        ASSERT_TRUE(upper->wait_for_broken());
        EXPECT_EQ(upper->bytes(), expect);
        EXPECT_EQ(upper->broken_count(), 1);
        EXPECT_EQ(upper->events_after_broken(), 0);
    }
}

// Packets that arrive before the layer above is attached wait for it.
TEST(Rpc, PacketsBeforeTheSinkWaitForIt) {
    memory_transport_pair pair;
    rulo::object<rulo::rptPacket> packet(new rulo::rptPacket(rulo::scheduler_pool()));
    pair.a->set_sink(packet);
    packet->start(pair.a);
    pair.b->send(netbuf::from_string(framed("early") + "OK\n" + framed("later")));
    rulo::object<recording_sink> upper(new recording_sink);
    packet->set_sink(upper);
    ASSERT_TRUE(upper->wait_for_bytes(10));
    EXPECT_EQ(upper->bytes(), "earlylater");
    packet->disconnect();
    ASSERT_TRUE(upper->wait_for_broken());
}

TEST(Rpc, TimedOutCallsLeaveNoPendingEntry) {
    raw_peer peer(8);
    long one_second = 1;
    EXPECT_TRUE(has(thrown([&] { peer.end.wrapper->call(netbuf::from_string("x"), nullptr, &one_second); }),
                    "Error in 'call'"));
    EXPECT_EQ(peer.end.wrapper->pending_count(), 0u);

    unsigned int id = 0;
    auto c = peer.end.wrapper->async_call(netbuf::from_string("y"), &id);
    EXPECT_EQ(peer.end.wrapper->pending_count(), 1u);
    EXPECT_TRUE(
        has(thrown([&] { peer.end.wrapper->async_call_ret(c, &one_second); }), "Error in 'async_call_ret'"));
    EXPECT_EQ(peer.end.wrapper->pending_count(), 0u);

    // The late reply is ignored, and the channel still works.
    peer.say("result " + std::to_string(id) + "\nlate");
    auto next = peer.end.wrapper->async_call(netbuf::from_string("z"), &id);
    peer.say("result " + std::to_string(id) + "\nin time");
    EXPECT_EQ(peer.end.wrapper->async_call_ret(next, &one_second).to_string(), "in time");
}

TEST(Rpc, RepliesWithUnreadableIdsAreIgnored) {
    raw_peer peer(9);
    unsigned int id = 0;
    auto c = peer.end.wrapper->async_call(netbuf::from_string("q"), &id);
    ASSERT_EQ(id, 1u);
    // Each would complete call 1, or count as a ping, if read leniently.
    for (std::string const header :
         {"result 1x", "result x1", "result -1", "result +1", "result  1", "result 01 ", "result ", "result",
          "result 4294967297", "result 00000000001", "result 0x0", "result 0 "})
        peer.say(header + "\nwrong");
    peer.say("result 1\nright");
    EXPECT_EQ(peer.end.wrapper->async_call_ret(c).to_string(), "right");
    EXPECT_EQ(peer.end.sink->pings(), 0);
    EXPECT_EQ(peer.end.sink->broken_count(), 0);
}

TEST(Rpc, MalformedLengthLinesEndTheChannel) {
    std::string const bad[] = {"-5\nhello",    "abc\n",      "12345678901\n",
                               "2147483648\n", "67108865\n", std::string(20, '7'),
                               "5 \nhello",    "\nx"};
    unsigned seed = 20;
    for (std::string const& input : bad) {
        SCOPED_TRACE(input);
        raw_peer peer(seed++);
        auto c = peer.end.wrapper->async_call(netbuf::from_string("q"));
        peer.pair.b->send(netbuf::from_string("OK\n" + input));
        ASSERT_TRUE(peer.end.sink->wait_for_broken());
        EXPECT_TRUE(peer.wire->wait_for_broken()); // the peer saw the hang-up
        EXPECT_TRUE(has(thrown([&] { peer.end.wrapper->async_call_ret(c); }), "Error in 'async_call_ret'"));
        EXPECT_TRUE(has(thrown([&] { peer.end.wrapper->async_call(netbuf()); }), "Error in 'async_call'"));
        EXPECT_TRUE(has(thrown([&] { peer.end.wrapper->ping(); }), "Error in 'ping'"));
        EXPECT_EQ(peer.end.sink->broken_count(), 1);
    }
}

TEST(Rpc, ABreakWakesAWaitingCallerButKeepsARepliedOne) {
    raw_peer peer(30);
    auto replied = peer.end.wrapper->async_call(netbuf::from_string("a"));
    auto waiting = peer.end.wrapper->async_call(netbuf::from_string("b"));
    std::string waiter_error;
    std::thread waiter([&] { waiter_error = thrown([&] { peer.end.wrapper->async_call_ret(waiting); }); });
    peer.say("result 1\nanswer");
    peer.pair.break_link();
    ASSERT_TRUE(peer.end.sink->wait_for_broken());
    waiter.join();
    EXPECT_TRUE(has(waiter_error, "Error in 'async_call_ret'"));
    EXPECT_EQ(peer.end.wrapper->async_call_ret(replied).to_string(), "answer");
    EXPECT_EQ(peer.end.wrapper->pending_count(), 0u);
    EXPECT_EQ(peer.end.sink->broken_count(), 1);
}

} // namespace

// An executor that keeps what it is given until the test lets it run.
struct held_executor {
    void execute(rulo::runnable const& r) {
        std::lock_guard<std::mutex> lock(mutex);
        held.push_back(r);
    }
    void release() {
        std::vector<rulo::runnable> now;
        {
            std::lock_guard<std::mutex> lock(mutex);
            now.swap(held);
        }
        for (auto const& r : now) r.run_and_delete();
    }
    std::size_t count() {
        std::lock_guard<std::mutex> lock(mutex);
        return held.size();
    }
    std::mutex mutex;
    std::vector<rulo::runnable> held;
};

// A reply whose caller waits reaches it on the receiving thread, with no
// executor run; behind a queued incoming call it waits its turn.
TEST(Rpc, AWaitedReplySkipsTheExecutorUnlessSomethingIsQueuedBeforeIt) {
    held_executor pool;
    memory_transport_pair pair;
    rulo::object<rulo::rptPacket> packet(new rulo::rptPacket(rulo::executor_f<held_executor>::make(&pool)));
    rulo::object<rpc_sink> sink(new rpc_sink);
    rulo::object<rulo::rpcWrapper> wrapper(new rulo::rpcWrapper(packet, sink));
    packet->set_sink(wrapper);
    pair.a->set_sink(packet);
    packet->start(pair.a);

    auto call = wrapper->async_call(netbuf::from_string("alpha"));
    pair.b->send(netbuf::from_string(framed("result 1\nfor alpha")));
    long timeout = 30;
    EXPECT_EQ(wrapper->async_call_ret(call, &timeout).to_string(), "for alpha");
    EXPECT_EQ(pool.count(), 0u);

    // An incoming call is queued first: the reply behind it must not overtake it.
    sink->how = rpc_sink::hold;
    auto second = wrapper->async_call(netbuf::from_string("beta"));
    pair.b->send(netbuf::from_string(framed("7\nincoming") + framed("result 2\nfor beta")));
    EXPECT_EQ(pool.count(), 1u);
    EXPECT_EQ(wrapper->pending_count(), 1u);
    pool.release();
    EXPECT_EQ(sink->bodies(), std::vector<std::string>{"incoming"});
    EXPECT_EQ(wrapper->async_call_ret(second, &timeout).to_string(), "for beta");
    // A reply nobody waits for, and a ping, still go the usual way.
    pair.b->send(netbuf::from_string(framed("result 9\nlate") + framed("result 0\n")));
    pool.release();
    EXPECT_EQ(sink->pings(), 1);
    sink->take_held();
    packet->disconnect();
    pool.release();
    EXPECT_EQ(sink->broken_count(), 1);
}
