// The relay's HTTP tunnel through a real web proxy (squid passing GET and
// POST to the relay's port): the proxy passes the bodies on as they come,
// keeps its connections to the relay open between legs, and writes absolute
// targets as paths; a whole session and 8 MiB each way still arrive whole.
#include "tests/support/squid_proxy.h"
#include "tests/tools/relay/relay_helpers.h"
#include "tests/tools/relay/tunnel_bridge.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <random>

using namespace relay_test;
using test_support::relay_process;
using test_support::squid_proxy;

namespace {

std::string sha256(std::string const& data) {
    unsigned char md[32];
    unsigned int len = 0;
    EVP_Digest(data.data(), data.size(), md, &len, EVP_sha256(), nullptr);
    return std::string(reinterpret_cast<char*>(md), len);
}

struct through_squid {
    relay_process relay;
    squid_proxy squid{squid_proxy::scheme::none, relay.port(), "", "", "", true};

    tunnel_bridge::settings legs(std::string const& path) const {
        tunnel_bridge::settings s;
        s.port = static_cast<unsigned short>(squid.port());
        s.path = path;
        s.absolute = true;
        s.host = "127.0.0.1:" + std::to_string(relay.port());
        return s;
    }
};

} // namespace

TEST(RelayTunnelSquid, BodiesPassAsTheyCome) {
    if (!squid_proxy::installed(squid_proxy::scheme::none)) GTEST_SKIP() << "squid is not installed";
    through_squid env;
    std::string const host = "127.0.0.1:" + std::to_string(env.relay.port());
    std::string const url = "http://" + host + "/webaccess/slow";
    test_support::loopback_socket get(env.squid.port());
    get.send("GET " + url + " HTTP/1.1\r\nHost: " + host + "\r\nConnection: keep-alive\r\n\r\n");
    // squid may pass the answer's head on in pieces: read up to its end.
    std::string down;
    while (down.find("\r\n\r\n") == std::string::npos) {
        std::string more = get.receive();
        ASSERT_FALSE(more.empty()) << down;
        down += more;
    }
    ASSERT_NE(down.find("Content-Length: 1048576"), std::string::npos) << down;
    test_support::loopback_socket post(env.squid.port());
    post.send("POST " + url + " HTTP/1.1\r\nHost: " + host + "\r\nContent-Length: 500000\r\n\r\n");
    // The first bytes of the body reach the relay while the rest is not sent...
    post.send("MUXV2 / HTTP/1.0\r\nConnection-Data: 1\r\n\r\n");
    EXPECT_NE(env.relay.wait_log({"\"handshake\""}, std::chrono::seconds(30)), "");
    // ...and the relay's answer comes back in a GET body far from complete.
    while (down.find("Connection-Data: ") == std::string::npos) {
        std::string more = get.receive();
        ASSERT_FALSE(more.empty());
        down += more;
    }
    EXPECT_NE(down.find("HTTP/1.0 200 OK\r\nProtocol: MUXV2\r\n"), std::string::npos);
}

TEST(RelayTunnelSquid, SessionAndEightMebibytesEachWay) {
    if (!squid_proxy::installed(squid_proxy::scheme::none)) GTEST_SKIP() << "squid is not installed";
    through_squid env;
    tunnel_bridge bridge(env.legs("/webaccess/69643D3432"));
    auto c = std::make_unique<mux_client>(bridge.port());
    c->handshake();
    c->start_tls();
    c->open(2, "ECHO", true, true);
    c->send_secure(2, "through squid");
    auto f = c->next_frame();
    ASSERT_TRUE(f) << bridge.error() << env.squid.diagnostics();
    EXPECT_EQ(f->payload, "through squid");

    c->open(3, "ECHO", false, true);
    std::mt19937 random(3);
    std::string data(8 << 20, '\0');
    for (auto& ch : data) ch = static_cast<char>(random());
    std::string frames, back;
    for (std::size_t at = 0; at < data.size(); at += 60000) frames += make_frame(3, data.substr(at, 60000));
    std::size_t sent = 0;
    auto const deadline = std::chrono::steady_clock::now() + 120s;
    while (back.size() < data.size() && std::chrono::steady_clock::now() < deadline && !c->closed()) {
        if (sent < frames.size()) sent += c->try_send_raw(frames.substr(sent, 1 << 20));
        auto g = c->next_frame(sent < frames.size() ? 5ms : 10s);
        if (g && g->channel == 3) back += g->payload;
    }
    ASSERT_EQ(back.size(), data.size()) << bridge.error();
    EXPECT_EQ(sha256(back), sha256(data));
    EXPECT_GE(bridge.post_lengths().size(), 8u);
    EXPECT_GE(bridge.get_bodies().size(), 8u);
    EXPECT_EQ(env.relay.log_text().find("\"violation\""), std::string::npos);
    // squid passed the absolute targets on as paths of the one tunnel.
    EXPECT_EQ(env.relay.log_text().find("\"path\":\"http"), std::string::npos);
}
