// The relay's HTTP tunnel: a client stream carried in POST request bodies
// and GET answer bodies, keyed by the request path. The client is the
// test's own tunnel_bridge with a mux_client on top, so a whole relay
// session (handshake, channel 1 TLS, ECHO) runs through the tunnel.
#include "tests/tools/relay/relay_helpers.h"
#include "tests/tools/relay/tunnel_bridge.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <random>

using namespace relay_test;
using test_support::relay_process;

namespace {

// A blocking loopback connection for hand-made legs; every read waits 30 s at most.
class raw_leg {
public:
    explicit raw_leg(unsigned short port) : m_fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        if (::connect(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
            throw std::runtime_error("connect");
    }
    ~raw_leg() { ::close(m_fd); }
    raw_leg(raw_leg const&) = delete;
    void send_all(std::string const& bytes) {
        for (std::size_t at = 0; at < bytes.size();) {
            ssize_t n = ::send(m_fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
            if (n <= 0) return; // the relay closed: what it says is read next
            at += static_cast<std::size_t>(n);
        }
    }
    // What comes next; "" when the relay closed (or nothing came in 30 s).
    std::string receive_some() {
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, 30000) != 1) return "";
        char buf[65536];
        ssize_t n = ::recv(m_fd, buf, sizeof buf, 0);
        return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : "";
    }

private:
    int m_fd;
};

tunnel_bridge::settings tunnel_to(relay_process const& relay, std::string const& path,
                                  bool absolute = false) {
    tunnel_bridge::settings s;
    s.port = relay.port();
    s.path = path;
    s.absolute = absolute;
    s.host = "127.0.0.1:" + std::to_string(relay.port());
    return s;
}

// Handshake, channel 1 TLS and connection keys through the bridge.
std::unique_ptr<mux_client> secure_client_at(unsigned short port) {
    auto c = std::make_unique<mux_client>(port);
    c->handshake();
    c->start_tls();
    std::string keys;
    xstd::packet_push(keys, std::string("connection-keys"), std::string());
    c->send_control(keys, true);
    auto f = c->next_frame();
    if (!f || f->channel != 0 || !f->secure) throw std::runtime_error("no keys answer inside TLS");
    return c;
}

std::string sha256(std::string const& data) {
    unsigned char md[32];
    unsigned int len = 0;
    EVP_Digest(data.data(), data.size(), md, &len, EVP_sha256(), nullptr);
    return std::string(reinterpret_cast<char*>(md), len);
}

std::string random_bytes(std::size_t n, unsigned seed) {
    std::mt19937 random(seed);
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(random());
    return s;
}

// Sends `data` on plain ECHO channel `channel` in frames of at most `piece`
// bytes while reading the echo at the same time; returns what came back.
std::string echo_through(mux_client& c, std::uint64_t channel, std::string const& data, std::size_t piece) {
    std::string frames, back;
    for (std::size_t at = 0; at < data.size(); at += piece)
        frames += make_frame(channel, data.substr(at, piece));
    std::size_t sent = 0;
    auto const deadline = std::chrono::steady_clock::now() + 120s;
    while (back.size() < data.size() && std::chrono::steady_clock::now() < deadline && !c.closed()) {
        if (sent < frames.size()) sent += c.try_send_raw(frames.substr(sent, 1 << 20));
        auto f = c.next_frame(sent < frames.size() ? 5ms : 10s);
        if (f && f->channel == channel) back += f->payload;
    }
    return back;
}

// One raw GET leg to path; returns the answer head.
std::string get_head(std::string const& path, raw_leg& fd) {
    fd.send_all("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    std::string head;
    while (head.find("\r\n\r\n") == std::string::npos) {
        std::string more = fd.receive_some();
        if (more.empty()) break;
        head += more;
    }
    return head;
}

} // namespace

TEST(RelayTunnel, CarriesASecureSessionInEitherTargetForm) {
    struct {
        bool absolute;
        char const* path;
    } const cases[] = {
        {false, "/webaccess/69643D3132333435262706F72743D3830"},
        {true, "/webaccess/69643D2D3938373635262706F72743D343433"},
    };
    relay_process relay;
    for (auto const& k : cases) {
        SCOPED_TRACE(k.path);
        tunnel_bridge bridge(tunnel_to(relay, k.path, k.absolute));
        auto c = secure_client_at(bridge.port());
        c->open(2, "ECHO", true, true);
        c->send_secure(2, "through the tunnel");
        auto f = c->next_frame();
        ASSERT_TRUE(f) << bridge.error();
        EXPECT_TRUE(f->secure);
        EXPECT_EQ(f->payload, "through the tunnel");
        EXPECT_NE(relay.wait_log({"\"tunnel-leg\"", "\"POST\"", std::string("\"path\":\"") + k.path + "\""}),
                  "");
        ASSERT_FALSE(bridge.get_heads().empty());
        // No "Server" field: a client would take it as the address of later legs.
        EXPECT_EQ(bridge.get_heads().front().find("Server:"), std::string::npos);
        EXPECT_EQ(bridge.error(), "");
    }
}

TEST(RelayTunnel, EightMebibytesEachWayArriveWhole) {
    relay_process relay;
    tunnel_bridge bridge(tunnel_to(relay, "/webaccess/eight"));
    mux_client c(bridge.port());
    c.handshake();
    c.open(2, "ECHO", false, false);
    std::string const data = random_bytes(8 << 20, 8);
    std::string const back = echo_through(c, 2, data, 60000);
    ASSERT_EQ(back.size(), data.size()) << bridge.error();
    EXPECT_EQ(sha256(back), sha256(data));
    // About a dozen POST bodies of 500000..999999 bytes, eight and more GET bodies of 1 MiB.
    EXPECT_GE(bridge.post_lengths().size(), 8u);
    EXPECT_GE(bridge.get_bodies().size(), 8u);
    for (auto n : bridge.get_bodies()) EXPECT_EQ(n, 1024u * 1024u);
    EXPECT_EQ(relay.log_text().find("\"violation\""), std::string::npos);
}

TEST(RelayTunnel, GetBodiesEndExactlyAtTheirBudget) {
    // Small budgets: echoes cross the end of a GET body often, and land on it
    // exactly (frames of the budget's size and of one byte more).
    for (std::size_t budget : {100u, 4096u}) {
        SCOPED_TRACE(budget);
        relay_process relay({"--tunnel-get-budget", std::to_string(budget)});
        tunnel_bridge bridge(tunnel_to(relay, "/webaccess/edge"));
        mux_client c(bridge.port());
        c.handshake();
        c.open(2, "ECHO", false, false);
        for (std::size_t size : {budget - 2, budget - 1, budget - 3, std::size_t(1), budget * 3 + 7}) {
            std::string const data = random_bytes(size, static_cast<unsigned>(size));
            EXPECT_EQ(echo_through(c, 2, data, size), data) << bridge.error();
        }
        auto const bodies = bridge.get_bodies();
        EXPECT_GE(bodies.size(), 3u);
        for (auto n : bodies) EXPECT_EQ(n, budget);
        EXPECT_EQ(bridge.error(), "");
    }
}

TEST(RelayTunnel, ConcurrentTunnelsAreKeptApartByPath) {
    relay_process relay;
    std::vector<std::unique_ptr<tunnel_bridge>> bridges;
    std::vector<std::unique_ptr<mux_client>> clients;
    for (int i = 0; i < 3; ++i) {
        bridges.push_back(
            std::make_unique<tunnel_bridge>(tunnel_to(relay, "/webaccess/t" + std::to_string(i))));
        clients.push_back(std::make_unique<mux_client>(bridges.back()->port()));
        clients.back()->handshake();
        clients.back()->open(2, "ECHO", false, false);
    }
    for (int round = 0; round < 5; ++round)
        for (int i = 0; i < 3; ++i) clients[i]->send_frame(2, "tunnel " + std::to_string(i));
    for (int i = 0; i < 3; ++i)
        for (int round = 0; round < 5; ++round) {
            auto f = clients[i]->next_frame();
            ASSERT_TRUE(f) << bridges[i]->error();
            EXPECT_EQ(f->payload, "tunnel " + std::to_string(i));
        }
    std::string const list = relay.admin("list");
    std::size_t tunnels = 0;
    for (std::size_t at = 0; (at = list.find(" tunnel:", at)) != std::string::npos; ++at) ++tunnels;
    EXPECT_EQ(tunnels, 3u) << list;
}

TEST(RelayTunnel, PostBreachesAreViolations) {
    // Refused lengths leave the tunnel's stream whole: only the leg is
    // refused (a body-less POST, a client's probe for a proxy's challenge,
    // is answered as an empty body). Bytes beyond a body end the tunnel.
    struct {
        std::string fields, body, reason, answer;
        bool tunnel_ends;
    } const cases[] = {
        {"Content-Length: 499999\r\n", "", "POST length 499999 outside 500000..999999", "HTTP/1.1 400 ",
         false},
        {"Content-Length: 1000000\r\n", "", "POST length 1000000 outside", "HTTP/1.1 400 ", false},
        {"", "", "POST length -1 outside", "HTTP/1.1 400 ", false},
        {"Transfer-Encoding: chunked\r\n", "", "POST with Transfer-Encoding", "HTTP/1.1 400 ", false},
        {"Content-Length: 0\r\n", "", "POST length 0 outside", "HTTP/1.1 200 ", false},
        {"Content-Length: 500000\r\n", "MUXV2 / HTTP/1.0\r\n\r\n" + std::string(499980, 'a') + "xyz",
         "POST body longer than announced", "HTTP/1.1 200 ", true},
    };
    relay_process relay;
    raw_leg get(relay.port());
    ASSERT_NE(get_head("/webaccess/v", get).find("200 OK"), std::string::npos);
    for (auto const& k : cases) {
        SCOPED_TRACE(k.reason);
        raw_leg fd(relay.port());
        fd.send_all("POST /webaccess/v HTTP/1.1\r\nHost: 127.0.0.1\r\n" + k.fields + "\r\n" + k.body);
        EXPECT_NE(relay.wait_log({"\"violation\"", k.reason}), "");
        std::string const answer = fd.receive_some();
        EXPECT_EQ(answer.substr(0, k.answer.size()), k.answer) << answer;
        // The relay answers before it logs the tunnel's end: wait for an end
        // that must come; one that must not has no earlier line to wait on.
        if (k.tunnel_ends)
            EXPECT_NE(relay.wait_log({"\"tunnel-end\""}), "");
        else
            EXPECT_EQ(relay.log_text().find("\"tunnel-end\""), std::string::npos);
    }
}

TEST(RelayTunnel, ServerFieldOnlyWhenAsked) {
    relay_process relay;
    raw_leg fd(relay.port());
    EXPECT_EQ(get_head("/webaccess/s1", fd).find("Server:"), std::string::npos);
    relay.admin("tunnel-server-field 127.0.0.2");
    raw_leg fd2(relay.port());
    EXPECT_NE(get_head("/webaccess/s2", fd2).find("\r\nServer: 127.0.0.2\r\n"), std::string::npos);

    relay_process asked({"--tunnel-server-field", "127.0.0.2:8080"});
    raw_leg fd3(asked.port());
    EXPECT_NE(get_head("/webaccess/s3", fd3).find("\r\nServer: 127.0.0.2:8080\r\n"), std::string::npos);
}

TEST(RelayTunnel, TunnelWithoutLegsEndsAfterItsIdleTime) {
    relay_process relay({"--tunnel-idle", "1"});
    {
        raw_leg fd(relay.port());
        std::string const head = get_head("/webaccess/idle", fd);
        EXPECT_NE(head.find("Content-Length: 1048576\r\n"), std::string::npos) << head;
    }
    // Its only GET leg closed before any body byte: nothing lost, the tunnel waits, then ends.
    EXPECT_NE(relay.wait_log({"\"tunnel-end\"", "/webaccess/idle", "tunnel idle"}), "");
    EXPECT_EQ(relay.log_text().find("\"violation\""), std::string::npos);
}

TEST(RelayTunnel, OneConnectionCarriesAPostThenAGet) {
    relay_process relay;
    // A POST body that is a whole valid stream of exactly 500000 bytes: the
    // head, an ECHO open and one frame of padding.
    std::string open;
    xstd::packet_push(open, std::string("open"), 2LL, std::string("ECHO"), false);
    std::string body = "MUXV2 / HTTP/1.0\r\nConnection-Data: 1\r\n\r\n" + make_frame(0, open);
    std::size_t const rest = 500000 - body.size();
    body += make_frame(2, std::string(rest - 4, 'e'));
    ASSERT_EQ(body.size(), 500000u);

    // As a web proxy does: the POST, then a GET on the same connection.
    raw_leg leg(relay.port());
    leg.send_all("POST /webaccess/reuse HTTP/1.1\r\nContent-Length: 500000\r\n\r\n" + body);
    std::string in;
    while (in.find("\r\n\r\n") == std::string::npos) {
        std::string more = leg.receive_some();
        ASSERT_FALSE(more.empty()) << relay.log_text();
        in += more;
    }
    EXPECT_EQ(in.substr(0, 15), "HTTP/1.1 200 OK");
    EXPECT_NE(in.find("Content-Length: 0\r\n"), std::string::npos);
    leg.send_all("GET /webaccess/reuse HTTP/1.1\r\n\r\n");
    // The GET answer carries the relay's handshake reply and the echo.
    in.erase(0, in.find("\r\n\r\n") + 4);
    while (in.find(std::string(1000, 'e')) == std::string::npos) {
        std::string more = leg.receive_some();
        ASSERT_FALSE(more.empty()) << in.substr(0, 300);
        in += more;
    }
    EXPECT_NE(in.find("Content-Length: 1048576\r\n"), std::string::npos);
    EXPECT_NE(in.find("\r\n\r\nHTTP/1.0 200 OK\r\nProtocol: MUXV2\r\n"), std::string::npos);
    EXPECT_EQ(relay.log_text().find("\"violation\""), std::string::npos);
}

TEST(RelayTunnel, AGetBodyCutShortEndsTheTunnel) {
    relay_process relay;
    {
        raw_leg get(relay.port());
        std::string const head = get_head("/webaccess/cut", get);
        ASSERT_NE(head.find("200 OK"), std::string::npos);
        raw_leg post(relay.port());
        post.send_all(
            "POST /webaccess/cut HTTP/1.1\r\nContent-Length: 500000\r\n\r\nMUXV2 / HTTP/1.0\r\n\r\n");
        EXPECT_NE(get.receive_some(), ""); // the relay's reply: part of the GET body went out
    }
    EXPECT_NE(
        relay.wait_log({"\"tunnel-end\"", "/webaccess/cut", "GET leg closed before its body was complete"}),
        "");
}

TEST(RelayTunnel, ALaterPostWaitsForTheEarlierOne) {
    relay_process relay;
    // One valid stream of 1100000 bytes (the head, an ECHO open, frames of
    // padding), split into a first POST body of 500000 and a second of 600000.
    std::string open;
    xstd::packet_push(open, std::string("open"), 2LL, std::string("ECHO"), false);
    std::string stream = "MUXV2 / HTTP/1.0\r\nConnection-Data: 1\r\n\r\n" + make_frame(0, open);
    while (stream.size() < 1100000) {
        std::size_t const rest = 1100000 - stream.size();
        std::size_t const payload = rest > 60000 + 4 + 100 ? 60000 : rest - 4;
        stream += make_frame(2, std::string(payload, 'w'));
    }
    ASSERT_EQ(stream.size(), 1100000u);
    auto answer = [](raw_leg& leg) {
        std::string in;
        while (in.find("\r\n\r\n") == std::string::npos) {
            std::string more = leg.receive_some();
            if (more.empty()) break;
            in += more;
        }
        return in.substr(0, 15);
    };

    // The first POST starts; the second comes, with more of its body than
    // the relay reads ahead, while the first is unfinished: it waits.
    raw_leg first(relay.port()), second(relay.port());
    first.send_all("POST /webaccess/order HTTP/1.1\r\nContent-Length: 500000\r\n\r\n" +
                   stream.substr(0, 1000));
    ASSERT_NE(relay.wait_log({"\"tunnel-leg\"", "\"length\":500000"}), "");
    second.send_all("POST /webaccess/order HTTP/1.1\r\nContent-Length: 600000\r\n\r\n" +
                    stream.substr(500000, 200000));
    ASSERT_NE(relay.wait_log({"\"tunnel-leg\"", "\"length\":600000"}), "");
    first.send_all(stream.substr(1000, 499000));
    EXPECT_EQ(answer(first), "HTTP/1.1 200 OK");
    second.send_all(stream.substr(700000));
    EXPECT_EQ(answer(second), "HTTP/1.1 200 OK") << relay.log_text();
    EXPECT_EQ(relay.log_text().find("\"violation\""), std::string::npos) << relay.log_text();
    EXPECT_EQ(relay.log_text().find("\"tunnel-leg-end\""), std::string::npos) << relay.log_text();
}
