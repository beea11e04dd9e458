// rptSocket as a transport over loopback TCP, served by the poller: call-backs
// from inside the sink, one broken() and nothing after it, back-pressure on a
// peer that does not read, a peer's reset while sending, and no leaks over
// many connections.
#include "rulo-rpt/net/rptSocket.h"
#include "rulo/hash.h"
#include "rulo/lock.h"
#include "tests/support/framework_env.h"
#include "tests/support/recording_sink.h"
#include "tests/support/tcp_peer.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <random>
#include <string>

namespace {

using test_support::recording_sink;
using test_support::tcp_fd;
using test_support::tcp_listener;
using test_support::thrown;

struct connection {
    rulo::object<rulo::rptSocket> transport;
    rulo::object<recording_sink> sink;
    tcp_fd peer;
};

// A started rptSocket connected to the listener, and the listener's end.
connection connect_to(tcp_listener& l, rulo::object<recording_sink> sink = rulo::object<recording_sink>()) {
    if (!sink) sink = rulo::object<recording_sink>(new recording_sink);
    rulo::object<rulo::socket> s(new rulo::socket(rulo::socket::tcp, l.address()));
    s->connect(10);
    connection c{rulo::object<rulo::rptSocket>(new rulo::rptSocket), sink, l.accept()};
    c.transport->start(sink, s);
    return c;
}

std::string random_bytes(std::size_t n, unsigned seed) {
    std::mt19937_64 gen(seed);
    std::string out(n, '\0');
    for (std::size_t i = 0; i + 8 <= n; i += 8) {
        uint64_t v = gen();
        std::memcpy(&out[i], &v, 8);
    }
    return out;
}

// The sink answers from inside received() and hangs up when it sees '!':
// the answer leaves before the hang-up, the sink gets no broken() for its own
// disconnect, and the poller is not stuck (the framework lock is recursive).
TEST(RptSocket, SinkMaySendAndDisconnectFromReceived) {
    tcp_listener l;
    rulo::object<recording_sink> sink(new recording_sink);
    connection c = connect_to(l, sink);
    rulo::object<rulo::rptSocket> t = c.transport;
    sink->on_received = [t](netbuf const& data) mutable {
        t->send(data);
        if (data.find('!') >= 0) t->disconnect();
    };
    c.peer.send_all("hello!");
    std::string echoed;
    for (std::string piece; (piece = c.peer.receive_some()) != "";) echoed += piece;
    EXPECT_EQ(echoed, "hello!");
    EXPECT_EQ(sink->broken_count(), 0);
    EXPECT_EQ(thrown([&] { t->send(netbuf::from_string("late")); }), ":Error in 'send'");
    sink->on_received = nullptr;
}

// The peer closes: the bytes it sent first arrive, then one broken(), then
// nothing; the transport has let go of its socket.
TEST(RptSocket, PeerCloseEndsWithOneBroken) {
    tcp_listener l;
    connection c = connect_to(l);
    c.peer.send_all("last words");
    c.peer.reset();
    ASSERT_TRUE(c.sink->wait_for_broken());
    EXPECT_EQ(c.sink->bytes(), "last words");
    EXPECT_EQ(thrown([&] { c.transport->send(netbuf::from_string("x")); }), ":Error in 'send'");
    c.transport->disconnect();
    EXPECT_EQ(c.sink->broken_count(), 1);
    EXPECT_EQ(c.sink->events_after_broken(), 0);
    EXPECT_GT(c.transport->last_received(), 0);
}

// A peer with a small receive window that does not read: sends are queued
// without blocking the caller and queue_empty() waits; once the peer reads,
// all 64 MiB arrive in order and the queue drains.
TEST(RptSocket, BackPressureQueuesAndDeliversEverythingInOrder) {
    tcp_listener l(16, 4096);
    connection c = connect_to(l);
    std::size_t const block = 1 << 20, total = 64 * block;
    xstd::sha512 sent;
    int const empties_before = c.sink->queue_empty_count();
    for (std::size_t at = 0; at < total; at += block) {
        std::string const data = random_bytes(block, unsigned(at / block));
        sent.update(data.data(), data.size());
        c.transport->send(netbuf::from_string(data));
    }
    int const empties_after_sends = c.sink->queue_empty_count();
    EXPECT_LT(empties_after_sends - empties_before, 64); // the kernel did not take it all
    c.peer.set_receive_buffer(4 << 20);                  // reading 4 KiB at a time would take long
    xstd::sha512 got;
    std::size_t received = 0;
    while (received < total) {
        std::string const piece = c.peer.receive_some(1 << 20);
        ASSERT_NE(piece, "");
        got.update(piece.data(), piece.size());
        received += piece.size();
    }
    EXPECT_EQ(received, total);
    EXPECT_TRUE(got.finish() == sent.finish());
    EXPECT_TRUE(c.sink->wait_for_queue_empty(empties_after_sends + 1)); // from the poller, once drained
    c.transport->disconnect();
}

// The peer resets the connection while the program is sending: with SIGPIPE
// at its default action the process would end if a send raised it. It must
// live, see the failure as an error of send() or as the one broken().
TEST(RptSocket, PeerResetWhileSendingIsAnErrorNotASignal) {
    struct sigaction current {};
    sigaction(SIGPIPE, nullptr, &current);
    ASSERT_EQ(current.sa_handler, SIG_DFL);
    tcp_listener l;
    {
        // The socket itself: the sends after the reset fail with the system error.
        rulo::socket s(rulo::socket::tcp, l.address());
        s.connect(10);
        l.accept().reset_connection();
        // The first failure may report the reset itself; those after it are
        // the ones that would raise the signal.
        int failures = 0;
        for (int i = 0; i < 100 && failures < 3; ++i) {
            std::string const failure =
                thrown([&] { s.send(netbuf::from_string("after the reset"), rulo::network_chunk, true); });
            if (failure.empty()) continue;
            EXPECT_NE(failure.find("from 'send' (called in 'send')"), std::string::npos) << failure;
            ++failures;
        }
        EXPECT_EQ(failures, 3);
    }
    connection c = connect_to(l);
    std::string const data(256 << 10, 'x');
    c.transport->send(netbuf::from_string(data));
    c.peer.receive_some();
    c.peer.reset_connection();
    std::string error;
    for (int i = 0; i < 1000 && error.empty() && c.sink->broken_count() == 0; ++i)
        error = thrown([&] { c.transport->send(netbuf::from_string(data)); });
    ASSERT_TRUE(c.sink->wait_for_broken());
    EXPECT_EQ(c.sink->broken_count(), 1);
    if (!error.empty()) {
        EXPECT_TRUE(error.find("from 'send'") != std::string::npos || error == ":Error in 'send'") << error;
    }
    c.transport->disconnect();
}

// Many connect / send / disconnect cycles leave no descriptor, thread or
// socket object behind.
TEST(RptSocket, ManyConnectionsLeakNothing) {
    tcp_listener l(256);
    auto cycle = [&] {
        connection c = connect_to(l);
        c.transport->send(netbuf::from_string("ping"));
        EXPECT_EQ(c.peer.receive_some(4), "ping");
        c.transport->disconnect();
    };
    cycle(); // the poller thread is running from here on
    int const descriptors = test_support::open_descriptors();
    int const threads = test_support::thread_count();
    int64_t const sockets = rulo::g_socket_count.value();
    for (int i = 0; i < 10000; ++i) cycle();
    EXPECT_EQ(test_support::open_descriptors(), descriptors);
    EXPECT_EQ(test_support::thread_count(), threads);
    EXPECT_EQ(rulo::g_socket_count.value(), sockets);
    EXPECT_EQ(rulo::module->registered(), 0u);
}

// A sink that throws from received() does not take the poller down: the
// same connection and the others go on being served.
TEST(RptSocket, SinkExceptionStaysOnThePollerThread) {
    tcp_listener l;
    connection thrower = connect_to(l), other = connect_to(l);
    thrower.sink->on_received = [](netbuf const&) { throw rulo::exception("sink failed"); };
    thrower.peer.send_all("one");
    ASSERT_TRUE(thrower.sink->wait_for_bytes(3));
    thrower.peer.send_all("two");
    other.peer.send_all("other");
    ASSERT_TRUE(thrower.sink->wait_for_bytes(6));
    ASSERT_TRUE(other.sink->wait_for_bytes(5));
    EXPECT_EQ(thrower.sink->bytes(), "onetwo");
    EXPECT_EQ(thrower.sink->broken_count(), 0);
    thrower.sink->on_received = nullptr;
    thrower.transport->disconnect();
    other.transport->disconnect();
}

TEST(RptSocket, IoctlReachesTheSocket) {
    tcp_listener l;
    connection c = connect_to(l);
    std::string key, value;
    rulo_packet_push(key, std::string("get_dst"));
    c.transport->ioctl(key, value);
    tIProcessId dst;
    rulo_packet_pop(value, dst);
    EXPECT_EQ(dst, l.address());
    c.transport->no_delay();
    c.transport->disconnect();
    c.transport->disconnect(); // a second one does nothing
}

} // namespace
