// The chooser's "https-direct" attempts: TLS straight to port 443. Each test
// runs again in a private network namespace (choose_kit::in_private_network),
// so port 443 is the namespace's own, never this machine's.
#include "rulo-rpt/choose/AutoTransport.h"
#include "rulo-rpt/net/ssl_filter.h"
#include "rulo-rpt/tls/ssl_filter.h"
#include "rulo-rpt/tls/xyssl_ctx.h"
#include "rulo/exception.h"

#include "tests/rulo-rpt/choose/choose_kit.h"
#include "tests/support/child_process.h"
#include "tests/support/framework_env.h"
#include "tests/support/recording_sink.h"
#include "tests/support/tcp_peer.h"
#include "tests/support/tls_certs.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using choose_kit::netns;
using options = std::map<std::string, std::string>;
using rulo::AutoTransport;
using test_support::recording_sink;
using test_support::tcp_fd;
using test_support::tcp_listener;
using test_support::tls_certs;

#define IN_PRIVATE_NETWORK(name)                                                                             \
    do {                                                                                                     \
        netns where = choose_kit::in_private_network(name);                                                  \
        if (where == netns::unavailable) GTEST_SKIP() << "no private network namespace (needs root)";        \
        if (where == netns::ran_there) return;                                                               \
    } while (0)

// A listener on 127.0.0.1:port (the namespace's own).
tcp_fd listen_on(int port) {
    tcp_fd fd(::socket(AF_INET, SOCK_STREAM, 0));
    int on = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(uint16_t(port));
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd.get(), 8) != 0)
        throw std::runtime_error("cannot listen on port " + std::to_string(port) + ": " +
                                 std::to_string(errno));
    return fd;
}

tcp_fd accept_one(tcp_fd const& listener) {
    pollfd p{listener.get(), POLLIN, 0};
    if (::poll(&p, 1, 30000) != 1) throw std::runtime_error("nobody connected");
    return tcp_fd(::accept(listener.get(), nullptr, nullptr));
}

void collect(void* reports, std::string text) {
    static_cast<std::vector<std::string>*>(reports)->push_back(std::move(text));
}

class ChooserHttps : public ::testing::Test {
protected:
    void SetUp() override { choose_kit::fresh_home(); }
};

// openssl's test server answers each line reversed through the TLS transport
// the chooser hands out.
TEST_F(ChooserHttps, HttpsDirectToOpenssl) {
    IN_PRIVATE_NETWORK("ChooserHttps.HttpsDirectToOpenssl");
    tls_certs const& certs = tls_certs::get();
    test_support::child_process server({"openssl", "s_server", "-accept", "127.0.0.1:443", "-cert",
                                        certs.server_cert, "-key", certs.server_key, "-rev", "-naccept",
                                        "1"});
    ASSERT_TRUE(server.wait_output_text("ACCEPT", std::chrono::seconds(20))) << server.errors();

    std::string last;
    AutoTransport chooser({{"connect", "127.0.0.1:443"}, {"force", "https-direct"}}, last);
    rulo::object<recording_sink> sink(new recording_sink);
    std::string name, text;
    options back;
    rulo::object<rptTransport> t = chooser.get_next(sink, false, 10, &name, &text, &back);
    ASSERT_TRUE(t);
    EXPECT_EQ(name, "https-direct");
    EXPECT_EQ(text, "HTTPS connection to 127.0.0.1:443 (1000)");
    EXPECT_EQ(back, (options{{"force", "https-direct"}, {"https", "1"}}));
    EXPECT_EQ(last, AutoTransport::pack({"https-direct", {"127.0.0.1"}, {443}, 0}));

    t->send(netbuf::from_string("hello relay\n"));
    ASSERT_TRUE(sink->wait_for_bytes(12)) << sink->bytes();
    EXPECT_EQ(sink->bytes(), "yaler olleh\n");
    t->disconnect();
}

// A peer on 443 that never answers the TLS hello fails the attempt within
// the time-out, and the next method connects.
TEST_F(ChooserHttps, SilentPeerOn443FallsThroughToDirect) {
    IN_PRIVATE_NETWORK("ChooserHttps.SilentPeerOn443FallsThroughToDirect");
    tcp_fd silent = listen_on(443); // the kernel accepts; nobody ever reads
    tcp_listener open;
    std::string const port = std::to_string(open.port());
    std::string last;
    AutoTransport chooser({{"connect", "127.0.0.1:443," + port}, {"force", "https-direct,direct"}}, last);
    std::vector<std::string> reports;
    chooser.set_report(collect, &reports);
    rulo::object<recording_sink> sink(new recording_sink);
    std::string name;
    options back;
    auto start = std::chrono::steady_clock::now();
    rulo::object<rptTransport> t = chooser.get_next(sink, false, 1, &name, nullptr, &back);
    auto waited = std::chrono::steady_clock::now() - start;
    ASSERT_TRUE(t);
    EXPECT_EQ(name, "direct");
    EXPECT_EQ(reports, (std::vector<std::string>{"HTTPS connection to 127.0.0.1:443 (1000)",
                                                 "TCP connection to 127.0.0.1:" + port + " (999)"}));
    EXPECT_EQ(back, (options{{"force", "direct"}, {"https", "1"}}));
    EXPECT_GE(waited, std::chrono::milliseconds(900));
    EXPECT_LT(waited, std::chrono::seconds(20));
    tcp_fd peer = open.accept();
    t->disconnect();
}

// A sink that takes the bytes and then fails on them.
struct failing_sink : recording_sink {
    void received(netbuf const& data) override {
        recording_sink::received(data);
        throw rulo::exception::function("failing_sink");
    }
};

// Plaintext that the server sends together with the end of its handshake
// reaches the sink first, before what the poller reads after it. A sink that
// fails on those bytes fails the attempt, and its connection closes.
TEST_F(ChooserHttps, PlaintextWithTheHandshakeEndIsDelivered) {
    IN_PRIVATE_NETWORK("ChooserHttps.PlaintextWithTheHandshakeEndIsDelivered");
    tcp_fd listener = listen_on(443);
    tls_certs const& certs = tls_certs::get(); // made on the test's thread
    std::string const first = "first words, sent with the server's Finished";
    std::string const later = " and the words after them";
    for (bool failing : {false, true}) {
        SCOPED_TRACE(failing ? "failing sink" : "sink");
        bool closed_by_client = false;
        std::thread server([&] {
            try {
                tcp_fd peer = accept_one(listener);
                rulo::object<rulo::xyssl_ctx> ctx(new rulo::xyssl_ctx);
                ctx->set_verify_peer(false);
                ctx->set_cert(certs.server_cert, certs.server_key, "");
                rulo::object<rulo::SSLFilter> filter = rulo::xyssl_create_filter(ctx, true);
                // The last handshake flight and the first record leave in one send.
                for (bool sent = false; !sent;) {
                    std::string in = peer.receive_some();
                    if (in.empty()) return;
                    filter->read(netbuf::from_string(in));
                    netbuf out = filter->flush();
                    if (filter->handshake_done()) {
                        out.append(filter->write(netbuf::from_string(first)));
                        sent = true;
                    }
                    peer.send_all(out.to_string());
                }
                if (!failing) peer.send_all(filter->write(netbuf::from_string(later)).to_string());
                // Until the client closes; only TLS records (its close_notify) come before.
                for (std::string in = peer.receive_some(); !in.empty(); in = peer.receive_some()) {
                }
                closed_by_client = true;
            } catch (std::exception const&) {
            }
        });
        std::string last;
        AutoTransport chooser({{"connect", "127.0.0.1:443"}, {"force", "https-direct"}}, last);
        rulo::object<recording_sink> sink(failing ? new failing_sink : new recording_sink);
        rulo::object<rptTransport> t;
        std::string error = test_support::thrown([&] { t = chooser.get_next(sink, false, 10); });
        if (failing) {
            EXPECT_EQ(error, rulo::find_transport_e);
            EXPECT_EQ(sink->bytes(), first);
        } else if (t) {
            EXPECT_EQ(error, "");
            EXPECT_TRUE(sink->wait_for_bytes(first.size() + later.size())) << sink->bytes();
            EXPECT_EQ(sink->bytes(), first + later);
            t->disconnect();
        }
        server.join();
        EXPECT_TRUE(closed_by_client);
    }
}

} // namespace
