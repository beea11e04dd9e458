// The HTTP tunnel against a relay-side tunnel end written from the protocol
// (tunnel_server), directly and through a real squid: the streams both ways,
// the upload budget's edge, download bodies of every shape, and closing.
#include "rulo-rpt/http/httpt.h"

#include "rulo-rpt/choose/AutoTransport.h"

#include "rulo/exception.h"
#include "tests/rulo-rpt/http/tunnel_server.h"
#include "tests/support/child_process.h"
#include "tests/support/framework_env.h"
#include "tests/support/recording_sink.h"
#include "tests/support/squid_proxy.h"
#include "tests/support/tcp_peer.h"
#include "tests/support/tls_certs.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <thread>

namespace {

using test_support::recording_sink;
using test_support::squid_proxy;
using test_support::thrown;
using test_support::tunnel_server;

std::string sha256(std::string const& bytes) {
    unsigned char out[32];
    unsigned int n = 0;
    EVP_Digest(bytes.data(), bytes.size(), out, &n, EVP_sha256(), nullptr);
    return std::string(reinterpret_cast<char*>(out), n);
}

std::string random_bytes(size_t n, unsigned seed) {
    std::mt19937 g(seed);
    std::string s(n, '\0');
    for (char& c : s) c = char(g());
    return s;
}

struct tunnel_kit {
    recording_sink* sink = new recording_sink;
    rulo::object<rptTransportSink> sink_handle{sink};
    rulo::object<rulo::httpt> tunnel{new rulo::httpt(sink_handle, rulo::object<rulo::httpt_password>(), 0)};

    // Directly to the server, or through a proxy on proxy_port.
    void connect(tunnel_server& server, int proxy_port = 0, long timeout = 20) {
        std::string const relay = "127.0.0.1:" + std::to_string(server.port());
        if (proxy_port)
            tunnel->connect(timeout, 5938, "127.0.0.1:" + std::to_string(proxy_port), relay, "127.0.0.1");
        else
            tunnel->connect(timeout, 5938, relay, "", "127.0.0.1");
    }
    // The tunnel's leg threads and poller registrations let go of it once it
    // is closed and its last connections have ended.
    ~tunnel_kit() {
        tunnel->disconnect();
        for (int i = 0; i < 3000 && tunnel.use_count() > 1; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
};

// 8 MiB of random bytes each way at once arrive whole and in order: many
// POST legs, each exactly its announced length, and several GET legs.
TEST(httpt, eight_mib_each_way_directly_and_through_squid) {
    size_t const size = 8u << 20;
    std::string const up = random_bytes(size, 1), down = random_bytes(size, 2);
    for (bool via_squid : {false, true}) {
        SCOPED_TRACE(via_squid ? "through squid" : "directly");
        if (via_squid && !squid_proxy::installed(squid_proxy::scheme::none)) {
            std::fprintf(stderr,
                         "\n****** squid is NOT INSTALLED: the tunnel through it is SKIPPED ******\n\n");
            continue;
        }
        tunnel_server server(3 << 20);
        std::unique_ptr<squid_proxy> proxy;
        if (via_squid)
            proxy = std::make_unique<squid_proxy>(squid_proxy::scheme::none, server.port(), "", "", "", true);
        tunnel_kit kit;
        kit.connect(server, via_squid ? proxy->port() : 0);
        server.push_down(down);
        for (size_t at = 0; at < size; at += 100000)
            kit.tunnel->send(netbuf::from_string(up.substr(at, 100000)));
        ASSERT_TRUE(kit.sink->wait_for_bytes(size, 120000)) << kit.sink->byte_count();
        ASSERT_TRUE(server.wait_for_up(size, 120000)) << server.up_bytes().size();
        EXPECT_EQ(sha256(kit.sink->bytes()), sha256(down));
        EXPECT_EQ(sha256(server.up_bytes()), sha256(up));
        std::vector<std::string> const bodies = server.post_bodies();
        std::vector<int> const lengths = server.post_lengths();
        EXPECT_GE(bodies.size(), 9u);
        for (size_t i = 0; i + 1 < bodies.size(); ++i) {
            EXPECT_EQ(int(bodies[i].size()), lengths[i]) << i;
            EXPECT_GE(lengths[i], 500000);
            EXPECT_LE(lengths[i], 999999);
        }
        EXPECT_EQ(kit.sink->broken_count(), 0);
        if (via_squid) {
            EXPECT_NE(server.heads()[0].find("GET /webaccess/"), std::string::npos) << server.heads()[0];
        }
    }
}

// Exactly the remaining budget completes the POST; one byte more goes first
// on the next one.
TEST(httpt, budget_edge) {
    tunnel_server server;
    tunnel_kit kit;
    kit.connect(server);
    ASSERT_TRUE(server.wait_for_posts(1));
    int const budget = server.post_lengths()[0];
    std::string const data = random_bytes(size_t(budget) + 1, 3);
    kit.tunnel->send(netbuf::from_string(data.substr(0, size_t(budget))));
    kit.tunnel->send(netbuf::from_string(data.substr(size_t(budget))));
    ASSERT_TRUE(server.wait_for_up(data.size()));
    ASSERT_TRUE(server.wait_for_posts(2));
    EXPECT_EQ(server.post_bodies()[0], data.substr(0, size_t(budget)));
    EXPECT_EQ(server.post_bodies()[1], data.substr(size_t(budget)));
}

// Download responses of every shape: what reaches the sink, and whether the
// tunnel then breaks (once) or goes on with the next GET.
TEST(httpt, download_bodies) {
    struct row {
        char const* what;
        std::vector<tunnel_server::scripted_get> gets; // then GETs stream 4 bytes each
        std::string delivered;
        bool breaks;
    };
    std::string const ok = "HTTP/1.1 200 OK\r\n";
    std::vector<row> const rows = {
        {"whole body with the head",
         {{ok + "Content-Length: 0\r\n\r\n"}, {ok + "Content-Length: 3\r\n\r\nabc"}},
         "abcmore",
         false},
        {"no Content-Length, then closed", {{ok + "\r\n", "abc"}}, "abc", true},
        {"body cut short", {{ok + "Content-Length: 10\r\n\r\n", "abc"}}, "abc", true},
        {"bytes beyond the body", {{ok + "Content-Length: 3\r\n\r\n", "abcdef", false}}, "abc", true},
        {"Transfer-Encoding",
         {{ok + "Content-Length: 2\r\n\r\n", "ok"},
          {ok + "Transfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n", "", false}},
         "ok",
         true},
    };
    for (row const& r : rows) {
        SCOPED_TRACE(r.what);
        tunnel_server server(4, r.gets);
        tunnel_kit kit;
        kit.connect(server);
        kit.tunnel->send(netbuf::from_string("up"));
        if (!r.breaks) server.push_down("more");
        if (r.breaks) {
            ASSERT_TRUE(kit.sink->wait_for_broken());
        } else {
            ASSERT_TRUE(kit.sink->wait_for_bytes(r.delivered.size()));
        }
        EXPECT_EQ(kit.sink->bytes(), r.delivered);
        EXPECT_EQ(kit.sink->broken_count(), r.breaks ? 1 : 0);
        kit.tunnel->disconnect();
        EXPECT_EQ(kit.sink->broken_count(), 1); // whoever closes, the sink hears it once
        EXPECT_EQ(kit.sink->events_after_broken(), 0);
    }
}

// An upload connection that ends before its body is complete loses what was
// handed to it: the tunnel breaks so that the layers above reconnect.
// One cut before its first body byte (an idle POST a proxy drops) loses
// nothing; against a proxy that drops every POST at its head the
// replacements after the first wait longer and longer, up to 4 s, but bytes
// written meanwhile leave at once.
TEST(httpt, upload_cut_short_breaks) {
    using std::chrono::milliseconds;
    tunnel_server server;
    tunnel_kit kit;
    kit.connect(server);
    ASSERT_TRUE(server.wait_for_posts(1));
    server.cut_posts(true);
    // Post 6 was cut: the leg after it waits the longest pause.
    ASSERT_TRUE(server.wait_for_posts(6));
    std::size_t const first_kept = server.cut_posts(false);
    std::vector<std::chrono::steady_clock::time_point> const at = server.post_times();
    for (int i = 2, pause = rulo::httpt::first_up_pause; i < 6; ++i, pause *= 2)
        EXPECT_GE(at[i] - at[i - 1], milliseconds(pause)) << i;
    std::this_thread::sleep_until(at[5] + milliseconds(200));
    auto const written = std::chrono::steady_clock::now();
    kit.tunnel->send(netbuf::from_string("some"));
    ASSERT_TRUE(server.wait_for_up(4, 30000));
    auto const took = std::chrono::steady_clock::now() - written;
    EXPECT_LT(took, milliseconds(100));
    EXPECT_EQ(server.post_bodies()[first_kept], "some");
    server.cut_open_posts();
    EXPECT_TRUE(kit.sink->wait_for_broken(10000));
    EXPECT_EQ(kit.sink->broken_count(), 1);
}

// A POST answered with an error (a proxy that could not pass the body on)
// lost its bytes: the tunnel breaks instead of going on without them.
TEST(httpt, refused_post_breaks) {
    tunnel_server server;
    tunnel_kit kit;
    kit.connect(server);
    ASSERT_TRUE(server.wait_for_posts(1));
    server.set_post_answer("HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n");
    kit.tunnel->send(netbuf::from_string(std::string(size_t(server.post_lengths()[0]), 'p')));
    EXPECT_TRUE(kit.sink->wait_for_broken(10000));
    EXPECT_EQ(kit.sink->broken_count(), 1);
    EXPECT_FALSE(server.wait_for_posts(2, 500));
}

// Closing: before the tunnel is up nothing is reported (connect fails); a
// second disconnect does nothing more; no leg starts after it.
TEST(httpt, disconnect) {
    test_support::closed_port nobody;
    {
        tunnel_kit kit;
        std::string const relay = "127.0.0.1:" + std::to_string(nobody.port());
        EXPECT_EQ(thrown([&] { kit.tunnel->connect(20, 5938, relay, "", "127.0.0.1"); }),
                  rulo::httpt_connect_e);
        kit.tunnel->disconnect();
        EXPECT_EQ(kit.sink->broken_count(), 0);
    }
    tunnel_server server;
    tunnel_kit kit;
    kit.connect(server);
    ASSERT_TRUE(server.wait_for_posts(1));
    kit.tunnel->disconnect();
    kit.tunnel->disconnect();
    EXPECT_EQ(kit.sink->broken_count(), 1);
    EXPECT_EQ(thrown([&] { kit.tunnel->send(netbuf::from_string("x")); }), "");
}

// The answer to the last POST, arriving after disconnect, starts no new leg.
TEST(httpt, no_leg_after_disconnect) {
    tunnel_server server;
    tunnel_kit kit;
    kit.connect(server);
    ASSERT_TRUE(server.wait_for_posts(1));
    int const budget = server.post_lengths()[0];
    server.hold_answers(true);
    kit.tunnel->send(netbuf::from_string(std::string(size_t(budget), 'u')));
    kit.tunnel->disconnect();
    ASSERT_TRUE(server.wait_for_up(size_t(budget)));
    server.hold_answers(false);
    // Once the tunnel has let go of its last connection, any leg it started
    // has sent its head.
    for (int i = 0; i < 3000 && kit.tunnel.use_count() > 1; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(server.wait_for_posts(2, 1000));
}

// The chooser's tunnel methods reach the tunnel end and carry bytes both
// ways: "httpt-direct" straight to it, "httpt-proxy" through squid with
// Basic, the account coming from the options (offered once, no prompt).
// The few bytes each way arrive while their POST and GET bodies are far from
// complete: squid passes both bodies on as they come.
TEST(httpt, chooser_tunnel_methods) {
    struct row {
        char const* method;
        squid_proxy::scheme s;
    };
    for (row const& r :
         {row{"httpt-direct", squid_proxy::scheme::none}, row{"httpt-proxy", squid_proxy::scheme::basic}}) {
        SCOPED_TRACE(r.method);
        bool const proxied = std::string(r.method) == "httpt-proxy";
        if (proxied && !squid_proxy::installed(r.s)) continue;
        tunnel_server server(1000);
        std::unique_ptr<squid_proxy> proxy;
        if (proxied) proxy = std::make_unique<squid_proxy>(r.s, server.port(), "alice", "pw", "", true);
        std::map<std::string, std::string> options = {
            {"connect", "127.0.0.1:" + std::to_string(server.port())}, {"force", r.method}};
        if (proxied) {
            options["http_proxy"] = "127.0.0.1:" + std::to_string(proxy->port());
            options["http_proxy_user"] = "alice";
            options["http_proxy_password"] = "pw";
        }
        std::string last;
        rulo::AutoTransport chooser(options, last);
        recording_sink* sink = new recording_sink;
        rulo::object<rptTransportSink> sink_handle(sink);
        std::string name;
        std::map<std::string, std::string> back;
        rulo::object<rptTransport> t = chooser.get_next(sink_handle, false, 20, &name, nullptr, &back);
        ASSERT_TRUE(t);
        EXPECT_EQ(name, r.method);
        EXPECT_EQ(back["force"], r.method);
        t->send(netbuf::from_string("hello relay"));
        server.push_down("hello client");
        EXPECT_TRUE(server.wait_for_up(11));
        EXPECT_EQ(server.up_bytes(), "hello relay");
        EXPECT_TRUE(sink->wait_for_bytes(12));
        EXPECT_EQ(sink->bytes(), "hello client");
        t->disconnect();
    }
}

// The CONNECT variant through squid with Basic: the pipe that squid opens
// carries a TLS session to openssl's test server, which answers each line
// reversed.
TEST(httpt, cconnect_through_squid_then_tls) {
    if (!squid_proxy::installed(squid_proxy::scheme::basic)) return;
    test_support::tls_certs const& certs = test_support::tls_certs::get();
    int port;
    {
        test_support::tcp_listener probe; // a port free a moment ago
        port = probe.port();
    }
    test_support::child_process server({"openssl", "s_server", "-accept", "127.0.0.1:" + std::to_string(port),
                                        "-cert", certs.server_cert, "-key", certs.server_key, "-rev",
                                        "-naccept", "1"});
    ASSERT_TRUE(server.wait_output_text("ACCEPT", std::chrono::seconds(20))) << server.errors();
    squid_proxy proxy(squid_proxy::scheme::basic, port, "alice", "pw");
    struct account : rulo::httpt_password {
        int asked = 0;
        void httpt_password_event(bool retry, std::string, std::string& u, std::string& p) override {
            if (retry || asked++) throw rulo::exception("refused");
            u = "alice";
            p = "pw";
        }
    };
    recording_sink* sink = new recording_sink;
    rulo::object<rptTransportSink> sink_handle(sink);
    rulo::object<rulo::httpt> t(
        new rulo::httpt(sink_handle, rulo::object<rulo::httpt_password>(new account), 0));
    t->cconnect(20, "127.0.0.1:" + std::to_string(proxy.port()), "127.0.0.1:" + std::to_string(port));
    t->send(netbuf::from_string("hello relay\n"));
    ASSERT_TRUE(sink->wait_for_bytes(12)) << sink->bytes();
    EXPECT_EQ(sink->bytes(), "yaler olleh\n");
    t->disconnect();
    EXPECT_EQ(sink->broken_count(), 1);
}

} // namespace
