// rulo::socket against plain POSIX peers on 127.0.0.1: timed connects,
// addresses, send buffers, back-pressure of a raw send, ioctl requests and
// the TLS handshake wait over a stand-in filter.
#include "rulo-rpt/net/socket.h"
#include "rulo/packet.h"
#include "tests/support/framework_env.h"
#include "tests/support/tcp_peer.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>

namespace {

using test_support::tcp_fd;
using test_support::tcp_listener;
using test_support::thrown;

int sndbuf_of(int fd) {
    int value = 0;
    socklen_t length = sizeof value;
    getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &value, &length);
    return value;
}

std::unique_ptr<rulo::socket> connected_to(tcp_listener const& l) {
    auto s = std::make_unique<rulo::socket>(rulo::socket::tcp, l.address());
    s->connect(10);
    return s;
}

// Connects plain non-blocking clients until one is left unanswered: the
// listener's accept queue is then full and its SYNs are dropped.
std::vector<tcp_fd> fill_accept_queue(tcp_listener const& l) {
    std::vector<tcp_fd> clients;
    for (int i = 0; i < 16; ++i) {
        tcp_fd c(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(uint16_t(l.port()));
        ::connect(c.get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
        pollfd p{c.get(), POLLOUT, 0};
        bool const answered = ::poll(&p, 1, 300) == 1;
        clients.push_back(std::move(c));
        if (!answered) return clients;
    }
    throw std::runtime_error("the accept queue never filled");
}

TEST(Socket, TimedConnectFailsByCauseAndLeavesTheSocketBlocking) {
    tcp_listener full(0);
    auto queued = fill_accept_queue(full);
    rulo::socket waiting(rulo::socket::tcp, full.address());
    EXPECT_EQ(thrown([&] { waiting.connect(1); }), rulo::connect_timeout_e);
    EXPECT_FALSE(waiting.is_nonblocking());

    test_support::closed_port closed;
    rulo::socket refused(rulo::socket::tcp, tIProcessId(INADDR_LOOPBACK, uint16_t(closed.port())));
    EXPECT_EQ(thrown([&] { refused.connect(5); }), ":Error in 'connect'");
    EXPECT_FALSE(refused.is_nonblocking());

    EXPECT_EQ(thrown([] { rulo::socket(rulo::socket::socket_type(2), tIProcessId()); }),
              ":Error in 'socket_init'");
}

TEST(Socket, AddressesMatchWhatTheListenerSaw) {
    tcp_listener l;
    auto s = connected_to(l);
    tIProcessId peer;
    tcp_fd accepted = l.accept(&peer);
    EXPECT_EQ(s->get_src(), peer);
    EXPECT_EQ(s->get_dst(), l.address());

    // The same through ioctl packets; an unknown request is refused.
    std::string key, value;
    rulo_packet_push(key, std::string("get_src"));
    s->ioctl(key, value);
    tIProcessId answered;
    rulo_packet_pop(value, answered);
    EXPECT_EQ(answered, peer);
    std::string unknown;
    rulo_packet_push(unknown, std::string("get_mtu"));
    EXPECT_EQ(thrown([&] { s->ioctl(unknown, value); }), ":Error in 'ioctl'");
    EXPECT_EQ(thrown([&] { s->ioctl("", value); }), ":Error in 'ioctl'");

    std::string sndbuf;
    xstd::packet_push(sndbuf, std::string("set_sndbuf"), 20000);
    s->ioctl(sndbuf, value);
    EXPECT_EQ(sndbuf_of(s->descriptor()), 40000); // the kernel doubles what it is given
    // Once connected, unacknowledged data fails it: a silent path breaks like a closed one.
    int limit = 0;
    socklen_t length = sizeof limit;
    getsockopt(s->descriptor(), IPPROTO_TCP, TCP_USER_TIMEOUT, &limit, &length);
    EXPECT_EQ(limit, rulo::unacknowledged_limit_ms);
}

// The global cap reaches every open TCP socket and each later one; a
// socket's own wish counts when it is smaller.
TEST(Socket, SendBufferLimitReachesEverySocket) {
    std::vector<std::unique_ptr<rulo::socket>> open;
    for (int i = 0; i < 3; ++i) open.emplace_back(new rulo::socket(rulo::socket::tcp, tIProcessId()));
    open[0]->limit_send_buffer_socket(6000);
    rulo::socket::limit_send_buffer(16384);
    open.emplace_back(new rulo::socket(rulo::socket::tcp, tIProcessId()));
    EXPECT_EQ(sndbuf_of(open[0]->descriptor()), 12000);
    for (std::size_t i = 1; i < open.size(); ++i) EXPECT_EQ(sndbuf_of(open[i]->descriptor()), 32768) << i;
    rulo::socket::limit_send_buffer(0);

    struct row {
        int global, own, expected;
    };
    for (row r : {row{0, 0, 0}, row{0, 700, 700}, row{900, 0, 900}, row{900, 700, 700}, row{600, 700, 600}}) {
        rulo::socket::g_max_send_buf = r.global;
        rulo::socket s(rulo::socket::udp, tIProcessId());
        s.limit_send_buffer_socket(r.own);
        EXPECT_EQ(s.min_max_send_buf(), r.expected) << r.global << " " << r.own;
    }
    rulo::socket::g_max_send_buf = 0;
}

// A peer that does not read: the raw send takes what the kernel takes,
// queues the rest and returns false; later calls without data send the queue
// first, and every byte arrives in order.
TEST(Socket, FullKernelBufferQueuesTheRest) {
    tcp_listener l(16, 4096);
    auto s = connected_to(l);
    tcp_fd peer = l.accept();
    s->limit_send_buffer_socket(4096);
    s->set_nonblocking(true);
    std::string data(4 << 20, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = char(i * 7 + i / 4093);
    EXPECT_FALSE(s->send(netbuf::from_string(data), rulo::network_chunk, true));
    EXPECT_GT(s->queued(), 0);
    std::string got;
    while (got.size() < data.size()) {
        got += peer.receive_some();
        s->send(nullptr, rulo::network_chunk, true);
    }
    EXPECT_EQ(s->queued(), 0);
    EXPECT_TRUE(got == data);
}

// A stand-in for the TLS layer: "HELLO" is its first flight; "FIN" from the
// peer ends the handshake, and what follows it is plaintext.
class fake_filter : public rulo::SSLFilter {
public:
    netbuf write(netbuf const& plain) override { return plain; }
    netbuf read(netbuf const& cipher) override {
        m_in += cipher.to_string();
        auto fin = m_in.find("FIN");
        if (fin == std::string::npos) return netbuf();
        m_done = true;
        std::string plain = m_in.substr(fin + 3);
        m_in.clear();
        return netbuf::from_string(plain);
    }
    netbuf flush() override {
        if (m_hello_sent) return netbuf();
        m_hello_sent = true;
        return netbuf::from_string("HELLO");
    }
    bool handshake_done() override { return m_done; }

private:
    std::string m_in;
    bool m_hello_sent = false;
    bool m_done = false;
};

// Every way out of the handshake wait leaves the socket's mode as it was:
// success (with the plaintext that came along), the peer's close, the time-out.
TEST(Socket, HandshakeWaitRestoresTheModeOnEveryWayOut) {
    tcp_listener l;
    struct row {
        char const* peer_says; // null: the peer says nothing
        bool close_after;
        bool non_blocking_before;
        char const* error;
        char const* plaintext;
    };
    row const rows[] = {
        {"FINearly data", false, false, "", "early data"},
        {"FIN", false, true, "", ""},
        {"", true, false, ":Error in 'wait_for_ssl_handshake'", ""},
        {nullptr, false, true, ":Error in 'wait_for_ssl_handshake'", ""},
        {nullptr, false, false, ":Error in 'wait_for_ssl_handshake'", ""},
    };
    for (row const& r : rows) {
        SCOPED_TRACE(r.peer_says ? r.peer_says : "(silent)");
        auto s = connected_to(l);
        tcp_fd peer = l.accept();
        s->set_ssl_filter(rulo::object<rulo::SSLFilter>(new fake_filter));
        s->set_nonblocking(r.non_blocking_before);
        std::string hello;
        std::thread answer([&] {
            if (!r.peer_says) return;
            hello = peer.receive_some(5);
            peer.send_all(r.peer_says);
            if (r.close_after) peer.reset();
        });
        netbuf received;
        EXPECT_EQ(thrown([&] { s->wait_for_ssl_handshake(r.peer_says ? 10 : 1, received); }), r.error);
        answer.join();
        if (r.peer_says) {
            EXPECT_EQ(hello, "HELLO");
        }
        EXPECT_EQ(s->is_nonblocking(), r.non_blocking_before);
        EXPECT_EQ(received.to_string(), r.plaintext);
    }
    rulo::socket plain(rulo::socket::tcp, tIProcessId());
    netbuf received;
    EXPECT_EQ(thrown([&] { plain.wait_for_ssl_handshake(1, received); }),
              ":Error in 'wait_for_ssl_handshake'");
    EXPECT_EQ(thrown([&] { plain.ssl_handshake_done(); }), ":Error in 'ssl_handshake_done'");
}

} // namespace
