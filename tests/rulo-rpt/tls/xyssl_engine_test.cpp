// The TLS engine against itself over the in-memory transport pair, delivering
// from its own thread in random pieces: handshake, data both ways, certificates
// and their verification, Diffie-Hellman, the filter, and how the engine ends.
#include "rulo-rpt/tls/rptXYSSL.h"
#include "rulo-rpt/tls/ssl_filter.h"
#include "rulo-rpt/tls/xyssl.h"
#include "rulo-rpt/tls/xyssl_ctx.h"

#include "tests/rulo-rpt/tls/tls_kit.h"
#include "tests/support/framework_env.h"
#include "tests/support/memory_transport.h"
#include "tests/support/recording_sink.h"
#include "tests/support/shell.h"
#include "tests/support/tls_certs.h"

#include <gtest/gtest.h>

#include <openssl/err.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <future>
#include <regex>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using rulo::object;
using rulo::rptXYSSL;
using rulo::xyssl_ctx;
using test_support::memory_transport_pair;
using test_support::recording_sink;
using test_support::thrown;
using test_support::tls_certs;
using tls_kit::certs;
using tls_kit::random_bytes;
using tls_kit::shipped_dh;

bool starts_with(std::string const& text, std::string const& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

object<xyssl_ctx> server_ctx(std::string const& cert, std::string const& key,
                             std::string const& password = "") {
    object<xyssl_ctx> ctx(new xyssl_ctx);
    ctx->set_verify_peer(false);
    ctx->set_cert(cert, key, password);
    return ctx;
}

object<xyssl_ctx> client_ctx(std::string const& ca, std::string const& name) {
    object<xyssl_ctx> ctx(new xyssl_ctx);
    ctx->set_trusted_ca(ca, name);
    return ctx;
}

memory_transport_pair::options const threaded_pieces{true, true, 7};

// A client engine on pair end a, a server engine on end b, each with a
// recording sink. The client's first plaintext, when given, is queued before
// the engine has a transport, so it must wait for the handshake.
struct connection {
    connection(object<xyssl_ctx> client_ctx, object<xyssl_ctx> server_ctx, std::string const& early = "",
               memory_transport_pair::options const& how = threaded_pieces)
        : pair(how), client_sink(new recording_sink), server_sink(new recording_sink),
          client(new rptXYSSL(client_sink, client_ctx, false)),
          server(new rptXYSSL(server_sink, server_ctx, true)) {
        pair.a->set_sink(client);
        pair.b->set_sink(server);
        if (!early.empty()) client->send(netbuf::from_string(early));
        server->start(pair.b);
        client->start(pair.a);
    }
    ~connection() {
        client->disconnect();
        server->disconnect();
    }

    memory_transport_pair pair;
    object<recording_sink> client_sink, server_sink;
    object<rptXYSSL> client, server;
};

TEST(XysslEngine, HandshakeAndDataBothWaysWithEachKeyExchange) {
    struct row {
        char const* what;
        int dh; // 0 none, 1 built-in group, 2 the shipped dh.pem
        int suite;
    } const rows[] = {
        {"RSA key exchange", 0, rulo::tls_rsa_aes256_sha},
        {"DHE, built-in group", 1, rulo::tls_dhe_rsa_aes256_sha},
        {"DHE, shipped dh.pem", 2, rulo::tls_dhe_rsa_aes256_sha},
    };
    std::string const up = random_bytes(300000, 1), down = random_bytes(200000, 2);
    for (row const& r : rows) {
        SCOPED_TRACE(r.what);
        object<xyssl_ctx> sctx = server_ctx(certs().server_cert, certs().server_key);
        object<xyssl_ctx> cctx = client_ctx(certs().ca_cert, tls_certs::server_name);
        if (r.dh) {
            sctx->enable_dh(true, r.dh == 2 ? shipped_dh() : "");
            cctx->enable_dh(false);
        }
        connection c(cctx, sctx, "early ");
        // The handshake tells each sink that it may send.
        ASSERT_TRUE(c.client_sink->wait_for_queue_empty(1));
        ASSERT_TRUE(c.server_sink->wait_for_queue_empty(1));
        EXPECT_TRUE(c.client->handshake_done());
        EXPECT_EQ(c.client->ciphersuite(), r.suite);
        EXPECT_EQ(c.server->ciphersuite(), r.suite);

        c.client->send(netbuf::from_string(up));
        c.server->send(netbuf::from_string(down));
        ASSERT_TRUE(c.server_sink->wait_for_bytes(6 + up.size()));
        ASSERT_TRUE(c.client_sink->wait_for_bytes(down.size()));
        EXPECT_TRUE(c.server_sink->bytes() == "early " + up);
        EXPECT_TRUE(c.client_sink->bytes() == down);
        EXPECT_EQ(c.client_sink->broken_count() + c.server_sink->broken_count(), 0);
    }
}

TEST(XysslEngine, ShippedDhParametersAreTheBuiltInGroup) {
    std::string const path = shipped_dh();
    // OpenSSL recognises it as the named group the engine builds in.
    auto r = test_support::run_command("openssl pkeyparam -in " + test_support::shell_quote(path) +
                                       " -text -noout");
    EXPECT_NE(r.out.find("GROUP: ffdhe2048"), std::string::npos) << r.out;
}

TEST(XysslEngine, VerificationOfThePeer) {
    struct row {
        char const* what;
        std::string ca, name, cert, key;
        bool client_cert; // the server demands one, from the same CA
        bool succeeds;
    } const rows[] = {
        {"right CA and name", certs().ca_cert, tls_certs::server_name, certs().server_cert,
         certs().server_key, false, true},
        {"right CA, no name asked", certs().ca_cert, "", certs().server_cert, certs().server_key, false,
         true},
        {"both ends verified", certs().ca_cert, tls_certs::server_name, certs().server_cert,
         certs().server_key, true, true},
        {"wrong CA", certs().other_ca_cert, tls_certs::server_name, certs().server_cert, certs().server_key,
         false, false},
        {"wrong name", certs().ca_cert, "other.test", certs().server_cert, certs().server_key, false, false},
        {"self-signed server", certs().ca_cert, tls_certs::server_name, certs().self_signed_cert,
         certs().self_signed_key, false, false},
        {"client without certificate", certs().ca_cert, tls_certs::server_name, certs().server_cert,
         certs().server_key, true, false},
    };
    for (row const& r : rows) {
        SCOPED_TRACE(r.what);
        object<xyssl_ctx> sctx = server_ctx(r.cert, r.key);
        object<xyssl_ctx> cctx = client_ctx(r.ca, r.name);
        if (r.client_cert) {
            sctx->set_verify_peer(true);
            sctx->set_trusted_ca(certs().ca_cert, "");
            if (r.succeeds) cctx->set_cert(certs().server_cert, certs().server_key, "");
        }
        connection c(cctx, sctx, "hello");
        if (r.succeeds) {
            EXPECT_TRUE(c.server_sink->wait_for_bytes(5));
            EXPECT_EQ(c.server_sink->bytes(), "hello");
            EXPECT_EQ(c.client_sink->broken_count(), 0);
        } else {
            ASSERT_TRUE(c.client_sink->wait_for_broken());
            ASSERT_TRUE(c.server_sink->wait_for_broken());
            EXPECT_TRUE(c.pair.wait_delivered());
            EXPECT_EQ(c.server_sink->bytes(), "");
            EXPECT_EQ(c.client_sink->broken_count(), 1);
            EXPECT_EQ(c.server_sink->broken_count(), 1);
            EXPECT_EQ(thrown([&] { c.client->send(netbuf::from_string("more")); }), ":Error in 'flush'");
        }
        EXPECT_EQ(c.client_sink->events_after_broken() + c.server_sink->events_after_broken(), 0);
    }
}

TEST(XysslEngine, CertificateAndParameterFiles) {
    struct row {
        char const* what;
        std::string key, password;
        char const* error; // "" when the key is taken
    } const rows[] = {
        {"plain key", certs().server_key, "", ""},
        {"AES-256 PKCS#8 key with its password", certs().encrypted_key, tls_certs::key_password, ""},
        {"traditional AES-128 key with its password", certs().legacy_encrypted_key, tls_certs::key_password,
         ""},
        {"traditional key, wrong password", certs().legacy_encrypted_key, "Sesame 43",
         ":Error in 'set_cert'"},
        {"wrong password", certs().encrypted_key, "Sesame 43", ":Error in 'set_cert'"},
        {"encrypted key without password", certs().encrypted_key, "", ":Error in 'set_cert'"},
        {"missing key file", certs().server_key + ".missing", "", ":Error in 'set_cert'"},
        {"a certificate where the key should be", certs().server_cert, "", ":Error in 'set_cert'"},
    };
    for (row const& r : rows) {
        SCOPED_TRACE(r.what);
        object<xyssl_ctx> sctx(new xyssl_ctx);
        sctx->set_verify_peer(false);
        std::string error = thrown([&] { sctx->set_cert(certs().server_cert, r.key, r.password); });
        if (*r.error) {
            EXPECT_PRED2(starts_with, error, r.error);
            continue;
        }
        EXPECT_EQ(error, "");
        connection c(client_ctx(certs().ca_cert, tls_certs::server_name), sctx, "x");
        EXPECT_TRUE(c.server_sink->wait_for_bytes(1)); // the key really belongs to the certificate
    }
    object<xyssl_ctx> ctx(new xyssl_ctx);
    // Files of the wrong kind, and a key that belongs to another certificate.
    EXPECT_PRED2(starts_with, thrown([&] { ctx->set_trusted_ca(certs().server_key, ""); }),
                 ":Error in 'set_trusted_ca'");
    EXPECT_PRED2(starts_with, thrown([&] { ctx->enable_dh(true, certs().server_cert); }),
                 ":Error in 'enable_dh'");
    EXPECT_PRED2(starts_with, thrown([&] { ctx->set_cert(certs().server_key, certs().server_key, ""); }),
                 ":Error in 'set_cert'");
    EXPECT_PRED2(starts_with,
                 thrown([&] { ctx->set_cert(certs().self_signed_cert, certs().server_key, ""); }),
                 ":Error in 'set_cert'");
}

TEST(XysslEngine, GarbageFromThePeerEndsTheEngineOnce) {
    object<recording_sink> sink(new recording_sink), peer(new recording_sink);
    object<rptXYSSL> client(new rptXYSSL(sink, client_ctx(certs().ca_cert, ""), false));
    memory_transport_pair pair;
    pair.a->set_sink(client);
    pair.b->set_sink(peer);
    client->start(pair.a);
    EXPECT_GT(peer->byte_count(), 0u); // the hello left at once
    client->received(netbuf::from_string("HTTP/1.1 400 Bad Request\r\n\r\n"));
    client->received(netbuf::from_string("more garbage"));
    EXPECT_EQ(sink->broken_count(), 1);
    EXPECT_EQ(peer->broken_count(), 1); // the engine disconnected the transport below
    EXPECT_EQ(thrown([&] { client->send(netbuf::from_string("x")); }), ":Error in 'flush'");
    client->disconnect(); // a second end only logs
    EXPECT_EQ(sink->broken_count(), 1);
    EXPECT_EQ(sink->events_after_broken(), 0);

    object<rulo::SSLFilter> filter = rulo::xyssl_create_filter(client_ctx(certs().ca_cert, ""), false);
    EXPECT_FALSE(filter->flush().empty());
    EXPECT_EQ(thrown([&] { filter->read(netbuf::from_string("HTTP/1.1 400 Bad Request\r\n\r\n")); }),
              ":Error in 'check_error'");
    EXPECT_EQ(thrown([&] { filter->flush(); }), ":Error in 'check_error'");
    EXPECT_EQ(thrown([&] { filter->write(netbuf::from_string("x")); }), ":Error in 'check_error'");
}

TEST(XysslEngine, FiltersFedOneByteAtATime) {
    object<rulo::SSLFilter> client =
        rulo::xyssl_create_filter(client_ctx(certs().ca_cert, "tls.test"), false);
    object<rulo::SSLFilter> server =
        rulo::xyssl_create_filter(server_ctx(certs().server_cert, certs().server_key), true);
    std::string const text = random_bytes(40000, 3);
    std::string to_server = client->flush().to_string(), to_client, got;
    bool sent = false;
    for (int round = 0; round < 20 && got.size() < text.size(); ++round) {
        for (char c : to_server) to_client += server->read(netbuf::from_buffer(&c, 1)).to_string();
        to_server.clear();
        to_client += server->flush().to_string();
        if (server->handshake_done() && !sent) {
            to_client += server->write(netbuf::from_string(text)).to_string();
            sent = true;
        }
        for (char c : to_client) got += client->read(netbuf::from_buffer(&c, 1)).to_string();
        to_client.clear();
        to_server += client->flush().to_string();
    }
    EXPECT_TRUE(client->handshake_done());
    EXPECT_EQ(got, text);
}

TEST(XysslEngine, SinkRulesAndCleanClose) {
    connection c(client_ctx(certs().ca_cert, tls_certs::server_name),
                 server_ctx(certs().server_cert, certs().server_key));
    ASSERT_TRUE(c.client_sink->wait_for_queue_empty(1));
    EXPECT_EQ(thrown([&] { c.client->set_sink(object<rptTransportSink>()); }), ":Error in 'set_sink'");
    object<recording_sink> second(new recording_sink);
    c.client->set_sink(second);
    c.server->send(netbuf::from_string("to the second sink"));
    ASSERT_TRUE(second->wait_for_bytes(18));
    EXPECT_EQ(c.client_sink->bytes(), "");

    // The server's close_notify comes after its last bytes: they arrive, then one broken().
    c.server->send(netbuf::from_string(" and goodbye"));
    c.server->disconnect();
    EXPECT_EQ(c.server_sink->broken_count(), 1);
    ASSERT_TRUE(second->wait_for_broken());
    EXPECT_TRUE(c.pair.wait_delivered());
    EXPECT_EQ(second->bytes(), "to the second sink and goodbye");
    EXPECT_EQ(second->broken_count(), 1);
    EXPECT_EQ(c.client_sink->broken_count(), 0);
    EXPECT_EQ(thrown([&] { c.client->set_sink(second); }), ":Error in 'set_sink'");
    EXPECT_EQ(second->events_after_broken(), 0);
}

// Several threads send on one engine while the peer's sink echoes from inside
// received(), so records and sink events are queued by one thread while
// another delivers: every message arrives whole and in its sender's order,
// the echo comes back byte for byte, and an end racing the senders gives one
// broken() and nothing after it.
TEST(XysslEngine, ConcurrentSendersKeepOrderAndEndOnce) {
    connection c(client_ctx(certs().ca_cert, tls_certs::server_name),
                 server_ctx(certs().server_cert, certs().server_key), "", {false, true, 1});
    object<rptXYSSL> server = c.server;
    c.server_sink->on_received = [server](netbuf const& data) { server->send(data); };
    ASSERT_TRUE(c.client_sink->wait_for_queue_empty(1));

    int const senders = 4, messages = 300, size = 1000;
    auto message = [&](int sender, int n) {
        std::string m = std::to_string(sender) + ":" + std::to_string(n) + ":";
        return m + std::string(size_t(size) - m.size(), char('a' + sender));
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < senders; ++t)
        threads.emplace_back([&, t] {
            for (int n = 0; n < messages; ++n) c.client->send(netbuf::from_string(message(t, n)));
        });
    for (std::thread& t : threads) t.join();
    std::size_t const total = size_t(senders * messages * size);
    ASSERT_TRUE(c.server_sink->wait_for_bytes(total));
    ASSERT_TRUE(c.client_sink->wait_for_bytes(total));
    std::string const got = c.server_sink->bytes();
    EXPECT_TRUE(c.client_sink->bytes() == got);
    int next[senders] = {};
    for (std::size_t at = 0; at < got.size(); at += size_t(size)) {
        int const sender = got[at] - '0';
        ASSERT_TRUE(sender >= 0 && sender < senders);
        ASSERT_TRUE(got.compare(at, size_t(size), message(sender, next[sender]++)) == 0) << "at " << at;
    }

    // The end races senders that are still writing.
    std::atomic<int> refused{0};
    threads.clear();
    for (int t = 0; t < senders; ++t)
        threads.emplace_back([&, t] {
            for (int n = 0; n < messages; ++n) {
                try {
                    c.client->send(netbuf::from_string(message(t, n)));
                } catch (std::exception const&) {
                    ++refused;
                }
            }
        });
    c.client->disconnect();
    for (std::thread& t : threads) t.join();
    ASSERT_TRUE(c.client_sink->wait_for_broken());
    ASSERT_TRUE(c.server_sink->wait_for_broken());
    EXPECT_TRUE(c.pair.wait_delivered());
    EXPECT_GT(refused.load(), 0);
    for (recording_sink* sink : {c.client_sink.get(), c.server_sink.get()}) {
        EXPECT_EQ(sink->broken_count(), 1);
        EXPECT_EQ(sink->events_after_broken(), 0);
    }
}

// The session directly on a descriptor: the library's own socket calls.
struct socket_sessions {
    socket_sessions() {
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        client_ctx_ = client_ctx(certs().ca_cert, tls_certs::server_name);
        server_ctx_ = server_ctx(certs().server_cert, certs().server_key);
        client = object<rulo::xyssl>(new rulo::xyssl(client_ctx_, fds[0], true));
        server = object<rulo::xyssl>(new rulo::xyssl(server_ctx_, fds[1], true));
    }
    ~socket_sessions() {
        if (fds[0] >= 0) ::close(fds[0]);
        if (fds[1] >= 0) ::close(fds[1]);
    }
    int fds[2] = {-1, -1};
    object<xyssl_ctx> client_ctx_, server_ctx_;
    object<rulo::xyssl> client, server;
};

TEST(XysslSession, EndOfStreamEndsAReadAllLoop) {
    socket_sessions s;
    std::thread server([&] { s.server->accept(); });
    bool connected = s.client->connect();
    server.join();
    ASSERT_TRUE(connected);
    netbuf data = netbuf::from_string("last words");
    ASSERT_TRUE(s.server->write(&data, 100));
    ::close(s.fds[1]); // gone without close_notify
    s.fds[1] = -1;

    // The read runs on its own thread, so a read that never ends fails the test
    // instead of hanging it.
    auto done = std::make_shared<std::promise<std::string>>();
    std::future<std::string> result = done->get_future();
    object<rulo::xyssl> client = s.client;
    std::thread([client, done] {
        netbuf out;
        client->read(out, 0xFFFF);
        done->set_value(out.to_string());
    }).detach();
    ASSERT_EQ(result.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_EQ(result.get(), "last words");
    EXPECT_TRUE(s.client->peer_closed());
    netbuf out;
    EXPECT_EQ(thrown([&] { s.client->read(out, 10); }), "SSL object in closed state");
}

TEST(XysslSession, LibraryFailuresCarryItsNumbers) {
    socket_sessions s;
    std::string garbage = "HTTP/1.1 400 Bad Request\r\n\r\n";
    ASSERT_EQ(::write(s.fds[1], garbage.data(), garbage.size()), ssize_t(garbage.size()));
    std::string error = thrown([&] { s.client->connect(); });
    std::smatch m;
    ASSERT_TRUE(std::regex_match(error, m,
                                 std::regex("SSL exception 0x([0-9a-f]+)/-0x([0-9a-f]+), "
                                            "caused by 'ssl_handshake'")))
        << error;
    int code = -int(std::strtoul(m[1].str().c_str(), nullptr, 16));
    EXPECT_EQ(code, int(std::strtoul(m[2].str().c_str(), nullptr, 16)));
    EXPECT_LT(code, 0);
    // The library's own packed number: its TLS part, with a reason it can name.
    EXPECT_EQ(ERR_GET_LIB(static_cast<unsigned long>(-code)), ERR_LIB_SSL);
    EXPECT_NE(ERR_reason_error_string(static_cast<unsigned long>(-code)), nullptr);
    EXPECT_EQ(thrown([&] { s.client->connect(); }), "SSL object in closed state");
}

// Two sessions joined by byte queues through the I/O hooks; the client's
// sends can be held back, as a full lower transport would.
struct hooked_sessions {
    hooked_sessions() {
        cctx = client_ctx(certs().ca_cert, tls_certs::server_name);
        sctx = server_ctx(certs().server_cert, certs().server_key);
        cctx->set_io(this, &client_send, &client_recv);
        sctx->set_io(this, &server_send, &server_recv);
        client = object<rulo::xyssl>(new rulo::xyssl(cctx, -1, true));
        server = object<rulo::xyssl>(new rulo::xyssl(sctx, -1, true));
    }
    bool handshake() {
        bool c = false, s = false;
        for (int step = 0; step < 20 && !(c && s); ++step) {
            if (!c) c = client->connect();
            if (!s) s = server->accept();
        }
        return c && s;
    }
    static int put(std::string& queue, unsigned char const* data, size_t length) {
        queue.append(reinterpret_cast<char const*>(data), length);
        return int(length);
    }
    static int take(std::string& queue, unsigned char* data, size_t length) {
        if (queue.empty()) return rulo::XYSSL_ERR_NET_TRY_AGAIN;
        size_t n = std::min(length, queue.size());
        queue.copy(reinterpret_cast<char*>(data), n);
        queue.erase(0, n);
        return int(n);
    }
    static int client_send(void* self, unsigned char const* data, size_t length) {
        hooked_sessions* h = static_cast<hooked_sessions*>(self);
        return h->hold_client ? rulo::XYSSL_ERR_NET_TRY_AGAIN : put(h->to_server, data, length);
    }
    static int client_recv(void* self, unsigned char* data, size_t length) {
        return take(static_cast<hooked_sessions*>(self)->to_client, data, length);
    }
    static int server_send(void* self, unsigned char const* data, size_t length) {
        return put(static_cast<hooked_sessions*>(self)->to_client, data, length);
    }
    static int server_recv(void* self, unsigned char* data, size_t length) {
        return take(static_cast<hooked_sessions*>(self)->to_server, data, length);
    }

    std::string to_server, to_client;
    bool hold_client = false;
    object<xyssl_ctx> cctx, sctx;
    object<rulo::xyssl> client, server;
};

TEST(XysslSession, AWriteThatMustWaitOffersTheSameBytesAgain) {
    hooked_sessions h;
    ASSERT_TRUE(h.handshake());
    std::string const first = random_bytes(100, 51), second = random_bytes(300, 52);
    netbuf a = netbuf::from_string(first), b = netbuf::from_string(second);
    h.hold_client = true;
    EXPECT_FALSE(h.client->write(&a, 0xFFFF)); // stays pending
    h.hold_client = false;
    EXPECT_TRUE(h.client->write(&b, 0xFFFF));
    netbuf out;
    ASSERT_TRUE(h.server->read(out, 0xFFFF));
    EXPECT_TRUE(out.to_string() == first + second) << out.size();
}

} // namespace
