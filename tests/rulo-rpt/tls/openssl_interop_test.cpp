// The TLS engine against OpenSSL's own programs over loopback TCP: the client
// engine on an rptSocket against `openssl s_server`, the server engine against
// `openssl s_client`, and the filter fed one byte at a time.
#include "rulo-rpt/net/rptSocket.h"
#include "rulo-rpt/tls/rptXYSSL.h"
#include "rulo-rpt/tls/ssl_filter.h"
#include "rulo-rpt/tls/xyssl_ctx.h"

#include "tests/rulo-rpt/tls/tls_kit.h"
#include "tests/support/child_process.h"
#include "tests/support/framework_env.h"
#include "tests/support/recording_sink.h"
#include "tests/support/tcp_peer.h"
#include "tests/support/tls_certs.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

namespace {

using namespace std::chrono_literals;
using rulo::object;
using rulo::rptXYSSL;
using rulo::xyssl_ctx;
using test_support::child_process;
using test_support::recording_sink;
using test_support::tls_certs;
using tls_kit::certs;
using tls_kit::connect_to;
using tls_kit::engine_on_socket;
using tls_kit::random_bytes;
using tls_kit::shipped_dh;

std::string const offered_suites = "AES256-SHA:AES128-SHA:DHE-RSA-AES256-SHA";
size_t const mib = 1 << 20;

TEST(OpensslInterop, ClientEngineAgainstOpensslServer) {
    struct row {
        char const* what;
        std::string cert, key, dh_file, peer_name;
        bool offer_dh;
        int suite; // 0: the handshake must fail
    } const rows[] = {
        {"RSA key exchange", certs().server_cert, certs().server_key, "", tls_certs::server_name, false,
         rulo::tls_rsa_aes256_sha},
        {"DHE, the shipped group sent by OpenSSL", certs().server_cert, certs().server_key, shipped_dh(),
         tls_certs::server_name, true, rulo::tls_dhe_rsa_aes256_sha},
        {"wrong name", certs().server_cert, certs().server_key, "", "other.test", false, 0},
        {"self-signed server", certs().self_signed_cert, certs().self_signed_key, "", tls_certs::server_name,
         false, 0},
    };
    std::string const up = random_bytes(mib, 11);
    for (row const& r : rows) {
        SCOPED_TRACE(r.what);
        int port = tls_kit::free_loopback_port();
        std::vector<std::string> args = {
            "openssl", "s_server",     "-accept", "127.0.0.1:" + std::to_string(port),
            "-cert",   r.cert,         "-key",    r.key,
            "-cipher", offered_suites, "-quiet",  "-naccept",
            "1"};
        if (!r.dh_file.empty()) args.insert(args.end(), {"-dhparam", r.dh_file});
        child_process server(args);

        object<xyssl_ctx> ctx(new xyssl_ctx);
        ctx->set_trusted_ca(certs().ca_cert, r.peer_name);
        if (r.offer_dh) ctx->enable_dh(false);
        engine_on_socket client(ctx, false, connect_to(port, server));
        if (!r.suite) {
            ASSERT_TRUE(client.sink->wait_for_broken());
            EXPECT_FALSE(server.wait_output(1, 0ms));
            EXPECT_EQ(client.sink->broken_count(), 1);
            EXPECT_EQ(client.sink->events_after_broken(), 0);
            continue;
        }
        client.engine->send(netbuf::from_string(up));
        ASSERT_TRUE(server.wait_output(up.size(), 60s)) << server.errors();
        EXPECT_EQ(client.engine->ciphersuite(), r.suite);
        EXPECT_TRUE(server.output() == up);
        EXPECT_EQ(client.sink->broken_count(), 0);
    }
}

TEST(OpensslInterop, ServerEngineAgainstOpensslClient) {
    struct row {
        char const* what;
        int dh; // 0 none, 1 the built-in group, 2 the shipped dh.pem
        char const* suite;
    } const rows[] = {
        {"RSA key exchange", 0, "Ciphersuite: AES256-SHA\n"},
        {"DHE, built-in group", 1, "Ciphersuite: DHE-RSA-AES256-SHA\n"},
        {"DHE, shipped dh.pem", 2, "Ciphersuite: DHE-RSA-AES256-SHA\n"},
    };
    std::string const up = random_bytes(mib, 21), down = random_bytes(mib, 22);
    for (row const& r : rows) {
        SCOPED_TRACE(r.what);
        test_support::tcp_listener l;
        child_process client({"openssl", "s_client", "-connect", "127.0.0.1:" + std::to_string(l.port()),
                              "-brief", "-CAfile", certs().ca_cert, "-verify_hostname",
                              tls_certs::server_name, "-verify_return_error", "-cipher", offered_suites});
        client.write_input(up);

        engine_on_socket server(tls_kit::server_ctx_with_dh(r.dh), true, ::dup(l.accept().get()));
        server.engine->send(netbuf::from_string(down));

        ASSERT_TRUE(client.wait_error_text(r.suite, 30s)) << client.errors();
        EXPECT_TRUE(client.wait_error_text("Verification: OK", 30s)) << client.errors();
        if (r.dh) {
            EXPECT_TRUE(client.wait_error_text("Server Temp Key: DH, 2048 bits", 30s)) << client.errors();
        }
        ASSERT_TRUE(server.sink->wait_for_bytes(up.size(), 60000));
        EXPECT_TRUE(server.sink->bytes() == up);
        ASSERT_TRUE(client.wait_output(down.size(), 60s)) << client.errors();
        EXPECT_TRUE(client.output() == down);
        EXPECT_EQ(server.sink->broken_count(), 0);
    }
}

// s_server as a web server (-WWW) of one file: it answers "GET /<name>"
// with a short head, the file, and close_notify.
struct file_server {
    explicit file_server(std::string const& content)
        : port(tls_kit::free_loopback_port()),
          process(
              [&] {
                  test_support::write_file(dir.file("file"), content);
                  return std::vector<std::string>{
                      "openssl", "s_server",          "-accept", "127.0.0.1:" + std::to_string(port),
                      "-cert",   certs().server_cert, "-key",    certs().server_key,
                      "-WWW",    "-naccept",          "1"};
              }(),
              dir.path()) {}
    static constexpr char const* request = "GET /file HTTP/1.0\r\n\r\n";
    // What follows the head of the answer.
    static std::string body(std::string const& answer) {
        size_t end = answer.find("\r\n\r\n");
        return end == std::string::npos ? "" : answer.substr(end + 4);
    }

    test_support::scratch_dir dir;
    int port;
    child_process process;
};

TEST(OpensslInterop, ClientEngineDownloadsAndSeesACleanClose) {
    std::string const down = random_bytes(mib, 12);
    file_server server(down);
    object<xyssl_ctx> ctx(new xyssl_ctx);
    ctx->set_trusted_ca(certs().ca_cert, tls_certs::server_name);
    engine_on_socket client(ctx, false, connect_to(server.port, server.process));
    client.engine->send(netbuf::from_string(file_server::request));
    // The server ends with close_notify after the file: every byte, then one broken().
    ASSERT_TRUE(client.sink->wait_for_broken(60000)) << server.process.errors();
    EXPECT_TRUE(file_server::body(client.sink->bytes()) == down);
    EXPECT_EQ(client.sink->broken_count(), 1);
    EXPECT_EQ(client.sink->events_after_broken(), 0);
}

TEST(OpensslInterop, FilterFedOneByteAtATime) {
    std::string const down = random_bytes(64 * 1024, 31);
    file_server server(down);
    int fd = connect_to(server.port, server.process);
    timeval limit{30, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);

    object<xyssl_ctx> ctx(new xyssl_ctx);
    ctx->set_trusted_ca(certs().ca_cert, tls_certs::server_name);
    object<rulo::SSLFilter> filter = rulo::xyssl_create_filter(ctx, false);
    std::string answer, out = filter->flush().to_string();
    bool asked = false;
    for (;;) {
        if (filter->handshake_done() && !asked) {
            out += filter->write(netbuf::from_string(file_server::request)).to_string();
            asked = true;
        }
        if (!out.empty()) {
            ASSERT_EQ(::send(fd, out.data(), out.size(), MSG_NOSIGNAL), ssize_t(out.size()));
        }
        char buffer[4096];
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        ASSERT_GE(n, 0) << "after " << answer.size() << " bytes: " << server.process.errors();
        if (n == 0) break;
        try {
            for (ssize_t i = 0; i < n; ++i)
                answer += filter->read(netbuf::from_buffer(buffer + i, 1)).to_string();
        } catch (rulo::exception const&) {
            break; // the server's close_notify ended the engine
        }
        out = filter->flush().to_string();
    }
    EXPECT_TRUE(file_server::body(answer) == down) << answer.size();
    ::close(fd);
}

} // namespace
