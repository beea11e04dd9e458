// Named messages: the wire bytes of a built call, what the receiving sink
// sees, and how a bad message or a failing sink ends the channel.
#include "rulo-rpt/rpc/rptMsg.h"
#include "rulo/packet.h"
#include "tests/support/framework_env.h"
#include "tests/support/memory_transport.h"
#include "tests/support/recording_sink.h"

#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace {

using test_support::memory_transport_pair;
using test_support::recording_sink;
using test_support::thrown;

std::string hex(std::string const& bytes) {
    static char const digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) {
        if (!out.empty()) out += ' ';
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

// Called on the delivery thread under the framework lock.
struct msg_sink : rulo::rptMsgSink {
    void message(rulo::object<rulo::rptMsg>, std::string name, netbuf& body) override {
        std::lock_guard<std::mutex> lock(mutex);
        names.push_back(name);
        bodies.push_back(body);
        if (fail) throw rulo::exception("refused by the sink");
    }
    void broken_msg() override {
        std::lock_guard<std::mutex> lock(mutex);
        ++broken;
    }
    std::mutex mutex;
    std::vector<std::string> names;
    std::vector<netbuf> bodies;
    int broken = 0;
    bool fail = false;
};

struct msg_end {
    explicit msg_end(rulo::object<rptTransport> channel) : sink(new msg_sink), msg(new rulo::rptMsg(sink)) {
        channel->set_sink(msg);
        msg->start(channel);
    }
    rulo::object<msg_sink> sink;
    rulo::object<rulo::rptMsg> msg;
};

TEST(RptMsg, ABuiltCallHasTheExactWireBytes) {
    memory_transport_pair pair;
    msg_end a(pair.a);
    rulo::object<recording_sink> wire(new recording_sink);
    pair.b->set_sink(wire);
    !(a.msg->call("id"), "s", "k");
    // "s" and "k" as texts (byte, length 1 in one count byte), then the name
    // "id", then the int 0 (a lone count byte).
    EXPECT_EQ(hex(wire->bytes()), "73 01 01 6B 01 01 69 64 02 01 00");
    a.msg->stop();
}

TEST(RptMsg, TheReceiverPopsArgumentsLastFirst) {
    memory_transport_pair pair;
    msg_end a(pair.a), b(pair.b);
    std::map<std::string, std::string> const options{{"k1", "v1"}, {"k2", "v2"}};
    std::vector<std::string> const list{"x", "y", "z"};
    !(a.msg->call("chat"), std::string("hello"), options, list);
    netbuf empty;
    a.msg->send("empty", empty);

    ASSERT_EQ(b.sink->names, (std::vector<std::string>{"chat", "empty"}));
    netbuf body = b.sink->bodies[0];
    std::vector<std::string> got_list;
    std::map<std::string, std::string> got_options;
    std::string got_text;
    rulo_packet_pop(body, got_list);
    rulo_packet_pop(body, got_options);
    rulo_packet_pop(body, got_text);
    EXPECT_EQ(got_list, list);
    EXPECT_EQ(got_options, options);
    EXPECT_EQ(got_text, "hello");
    EXPECT_TRUE(body.empty());
    EXPECT_TRUE(b.sink->bodies[1].empty());
    a.msg->stop();
    EXPECT_EQ(b.sink->broken, 1);
}

TEST(RptMsg, ABadMessageOrAFailingSinkStopsTheChannelOnce) {
    struct row {
        std::string what;
        std::string bytes; // sent raw by the peer; empty: a good message to a failing sink
    };
    row const rows[] = {
        {"int longer than the data", std::string("\x05", 1)},
        {"truncated name", std::string("\x69\x64\x05\x01\x00", 5)},
        {"int without name", std::string("\x00", 1)},
        {"failing sink", ""},
    };
    for (row const& r : rows) {
        SCOPED_TRACE(r.what);
        memory_transport_pair pair;
        msg_end a(pair.a);
        rulo::object<recording_sink> wire(new recording_sink);
        pair.b->set_sink(wire);
        if (r.what == "failing sink") {
            a.sink->fail = true;
            netbuf good;
            rulo_packet_push(good, std::string("name"), 0);
            pair.b->send(good);
        } else {
            pair.b->send(netbuf::from_string(r.bytes));
        }
        EXPECT_EQ(a.sink->broken, 1);
        EXPECT_EQ(wire->broken_count(), 1); // the channel was disconnected
        netbuf late;
        EXPECT_NE(thrown([&] { a.msg->send("late", late); }).find("Error in 'send'"), std::string::npos);
        a.msg->stop();
        EXPECT_EQ(a.sink->broken, 1);
    }
    // Before start, sending throws too.
    rulo::object<rulo::rptMsg> unstarted(new rulo::rptMsg(rulo::object<rulo::rptMsgSink>(new msg_sink)));
    netbuf body;
    EXPECT_NE(thrown([&] { unstarted->send("early", body); }).find("Error in 'send'"), std::string::npos);
}

} // namespace
