// TLS put onto a connected socket: enabling it, the client handshake with a
// time limit, and the first plaintext that comes with the end of the handshake.
#include "rulo-rpt/net/socket.h"
#include "rulo-rpt/tls/ssl_filter.h"
#include "rulo-rpt/tls/xyssl_ctx.h"

#include "tests/rulo-rpt/tls/tls_kit.h"
#include "tests/support/child_process.h"
#include "tests/support/framework_env.h"
#include "tests/support/shell.h"
#include "tests/support/tcp_peer.h"
#include "tests/support/tls_certs.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <thread>

namespace {

using rulo::object;
using rulo::xyssl_ctx;
using test_support::tcp_fd;
using test_support::tcp_listener;
using test_support::thrown;
using test_support::tls_certs;

tls_certs const& certs() {
    return tls_certs::get();
}

object<xyssl_ctx> server_ctx() {
    object<xyssl_ctx> ctx(new xyssl_ctx);
    ctx->set_verify_peer(false);
    ctx->set_cert(certs().server_cert, certs().server_key, "");
    return ctx;
}

object<rulo::socket> connected_socket(int port) {
    object<rulo::socket> s(new rulo::socket(rulo::socket::tcp, tIProcessId(INADDR_LOOPBACK, uint16_t(port))));
    s->connect(10);
    return s;
}

TEST(SslOnSocket, EnablingTwiceFails) {
    tcp_listener l;
    object<rulo::socket> s = connected_socket(l.port());
    rulo::xyssl_enable_on_socket(s.get(), object<xyssl_ctx>(new xyssl_ctx), false);
    EXPECT_EQ(thrown([&] { rulo::xyssl_enable_on_socket(s.get(), object<xyssl_ctx>(new xyssl_ctx), false); }),
              ":Error in 'xyssl_enable_on_socket'");
}

TEST(SslOnSocket, SilentServerTimesOutAndLeavesTheModeAsItWas) {
    for (bool non_blocking : {false, true}) {
        SCOPED_TRACE(non_blocking ? "non-blocking" : "blocking");
        tcp_listener l; // the kernel accepts; nobody ever answers the hello
        object<rulo::socket> s = connected_socket(l.port());
        s->set_nonblocking(non_blocking);
        netbuf received;
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(thrown([&] { rulo::ssl_connect_if_supported(1, s, received); }),
                  ":Error in 'wait_for_ssl_handshake'");
        auto waited = std::chrono::steady_clock::now() - start;
        EXPECT_GE(waited, std::chrono::milliseconds(900));
        EXPECT_LT(waited, std::chrono::seconds(10));
        EXPECT_EQ(s->is_nonblocking(), non_blocking);
    }
}

TEST(SslOnSocket, PlaintextThatComesWithTheEndOfTheHandshakeIsKept) {
    tcp_listener l;
    object<rulo::socket> s = connected_socket(l.port());
    tcp_fd peer = l.accept();
    std::string const first = "first words, sent with the server's Finished";
    // A server filter on the accepted descriptor: its last handshake flight
    // and the first record leave in one send.
    std::thread server([&] {
        object<rulo::SSLFilter> filter = rulo::xyssl_create_filter(server_ctx(), true);
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
        peer.receive_some(); // until the client closes
    });
    netbuf received;
    rulo::ssl_connect_if_supported(10, s, received);
    EXPECT_TRUE(s->ssl_handshake_done());
    EXPECT_EQ(received.to_string(), first);
    s->close();
    server.join();
}

TEST(SslOnSocket, HttpsRequestToOpenssl) {
    test_support::scratch_dir dir;
    std::string const file = tls_kit::random_bytes(300000, 41);
    test_support::write_file(dir.file("file"), file);
    int port = tls_kit::free_loopback_port();
    test_support::child_process server({"openssl", "s_server", "-accept", "127.0.0.1:" + std::to_string(port),
                                        "-cert", certs().server_cert, "-key", certs().server_key, "-WWW",
                                        "-naccept", "1"},
                                       dir.path());
    ASSERT_TRUE(server.wait_output_text("ACCEPT", std::chrono::seconds(20))) << server.errors();

    object<rulo::socket> s = connected_socket(port);
    netbuf received;
    rulo::ssl_connect_if_supported(10, s, received);
    EXPECT_TRUE(received.empty());
    s->set_nonblocking(false);
    EXPECT_TRUE(s->send(netbuf::from_string("GET /file HTTP/1.0\r\n\r\n"), rulo::network_chunk, false));
    // s_server sends no length and keeps the connection after the file: read
    // until the head and the whole file are there.
    std::string answer;
    std::string const blank_line = "\r\n\r\n";
    while (answer.find(blank_line) == std::string::npos ||
           answer.size() < answer.find(blank_line) + blank_line.size() + file.size()) {
        netbuf in;
        if (!s->receive(30, in, nullptr, rulo::network_chunk, false)) continue;
        ASSERT_FALSE(in.empty()) << "ended after " << answer.size() << " bytes";
        answer += in.to_string();
    }
    size_t head_end = answer.find("\r\n\r\n");
    ASSERT_NE(head_end, std::string::npos) << answer.substr(0, 200);
    EXPECT_EQ(answer.substr(0, 15), "HTTP/1.0 200 ok");
    EXPECT_TRUE(answer.substr(head_end + 4) == file) << answer.size();
}

} // namespace
