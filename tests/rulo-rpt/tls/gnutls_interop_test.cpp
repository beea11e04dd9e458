// The TLS engine against GnuTLS's programs, the one TLS peer here that shares
// no code with our ends: our client against gnutls-serv (echoing), our server
// against gnutls-cli, each suite, each version forced from the GnuTLS side,
// 1 MiB of random bytes each way, and a wrong CA or name on either end.
// gnutls-serv listens on every address, so the test runs in a private
// network namespace; it runs there under a library configuration that asks
// for TLS 1.2 at least and a high security level, which our ends must ignore.
#include "rulo-rpt/tls/rptXYSSL.h"
#include "rulo-rpt/tls/xyssl_ctx.h"

#include "tests/rulo-rpt/choose/choose_kit.h"
#include "tests/rulo-rpt/tls/tls_kit.h"
#include "tests/support/child_process.h"
#include "tests/support/framework_env.h"
#include "tests/support/shell.h"
#include "tests/support/tcp_peer.h"
#include "tests/support/tls_certs.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>

namespace {

using namespace std::chrono_literals;
using rulo::object;
using rulo::xyssl_ctx;
using test_support::child_process;
using test_support::tls_certs;
using tls_kit::certs;
using tls_kit::engine_on_socket;
using tls_kit::random_bytes;
using tls_kit::shipped_dh;

enum class fault { none, wrong_ca, wrong_name };

struct row {
    bool we_serve;       // our engine is the server, gnutls-cli the client
    char const* version; // GnuTLS's name, the only one its priority allows
    int suite;
    int dh; // 0: RSA key exchange; 1: our built-in group; 2: the shipped dh.pem
    fault broken_by = fault::none;
    bool our_end_checks = false; // the fault is on our end (else on GnuTLS's)
};

// The GnuTLS priority that allows exactly this version and suite.
std::string priority(row const& r) {
    std::string p = std::string("NONE:+VERS-") + r.version + ":+SHA1:+COMP-NULL:+SIGN-ALL:+CTYPE-X509";
    p += r.suite == rulo::tls_rsa_aes128_sha ? ":+AES-128-CBC" : ":+AES-256-CBC";
    p += r.suite == rulo::tls_dhe_rsa_aes256_sha ? ":+DHE-RSA" : ":+RSA";
    return p;
}

std::string describe(row const& r) {
    char const* faults[] = {"", ", wrong CA", ", wrong name"};
    return std::string(r.we_serve ? "gnutls-cli -> our server" : "our client -> gnutls-serv") + ", " +
           r.version + ", suite " + std::to_string(r.suite) + ", dh " + std::to_string(r.dh) +
           faults[int(r.broken_by)] + (r.our_end_checks ? " (our end)" : "");
}

// gnutls-serv echoes text lines (a NUL byte ends what it echoes): random
// letters and digits in lines of 76.
std::string random_lines(size_t n, unsigned seed) {
    static char const alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text = random_bytes(n, seed);
    for (size_t i = 0; i < n; ++i) text[i] = i % 77 == 76 ? '\n' : alphabet[(unsigned char)text[i] % 64];
    text.back() = '\n'; // it holds back a last line without its end
    return text;
}

void against_gnutls_server(row const& r, std::string const& up) {
    int const port = tls_kit::free_loopback_port();
    std::vector<std::string> args = {
        "gnutls-serv",   "--port",           std::to_string(port), "--x509certfile", certs().server_cert,
        "--x509keyfile", certs().server_key, "--priority",         priority(r),      "--echo"};
    if (r.dh) args.insert(args.end(), {"--dhparams", shipped_dh()});
    child_process server(args);
    ASSERT_TRUE(server.wait_error_text("IPv4 0.0.0.0 port " + std::to_string(port) + "...done", 30s))
        << server.errors();

    object<xyssl_ctx> ctx(new xyssl_ctx);
    ctx->set_trusted_ca(r.broken_by == fault::wrong_ca ? certs().other_ca_cert : certs().ca_cert,
                        r.broken_by == fault::wrong_name ? "other.test" : tls_certs::server_name);
    if (r.dh) ctx->enable_dh(false);
    engine_on_socket client(ctx, false, tls_kit::connect_to(port, server));
    if (r.broken_by != fault::none) {
        ASSERT_TRUE(client.sink->wait_for_broken());
        EXPECT_TRUE(server.wait_error_text("Error in handshake", 30s)) << server.errors();
        EXPECT_EQ(client.sink->broken_count(), 1);
        EXPECT_EQ(client.sink->events_after_broken(), 0);
        return;
    }
    client.engine->send(netbuf::from_string(up));
    ASSERT_TRUE(client.sink->wait_for_bytes(up.size(), 60000)) << client.sink->byte_count();
    EXPECT_TRUE(client.sink->bytes() == up); // what went up came back down
    EXPECT_EQ(client.engine->ciphersuite(), r.suite);
    EXPECT_TRUE(server.wait_output_text(std::string("- Description: (") + r.version + "-", 30s));
    EXPECT_EQ(client.sink->broken_count(), 0);
}

void against_gnutls_client(row const& r, std::string const& up, std::string const& down) {
    test_support::scratch_dir dir;
    test_support::tcp_listener l;
    bool const peer_fails = r.broken_by != fault::none && !r.our_end_checks;
    child_process client(
        {"gnutls-cli", "127.0.0.1", "--port", std::to_string(l.port()), "--x509cafile",
         r.broken_by == fault::wrong_ca && peer_fails ? certs().other_ca_cert : certs().ca_cert,
         "--verify-hostname",
         r.broken_by == fault::wrong_name && peer_fails ? "other.test" : tls_certs::server_name, "--priority",
         priority(r), "--logfile", dir.file("log")});
    client.write_input(up);

    engine_on_socket server(tls_kit::server_ctx_with_dh(r.dh), true, ::dup(l.accept().get()));
    if (peer_fails) {
        ASSERT_TRUE(server.sink->wait_for_broken());
        EXPECT_TRUE(client.wait_closed(30s));
        EXPECT_NE(test_support::read_file(dir.file("log")).find("NOT trusted"), std::string::npos);
        EXPECT_EQ(server.sink->broken_count(), 1);
        EXPECT_EQ(server.sink->events_after_broken(), 0);
        return;
    }
    server.engine->send(netbuf::from_string(down));
    ASSERT_TRUE(server.sink->wait_for_bytes(up.size(), 60000)) << client.errors();
    EXPECT_TRUE(server.sink->bytes() == up);
    ASSERT_TRUE(client.wait_output(down.size(), 60s)) << client.errors();
    EXPECT_TRUE(client.output() == down);
    EXPECT_EQ(server.engine->ciphersuite(), r.suite);
    EXPECT_EQ(server.sink->broken_count(), 0);
    // The log is complete once the program has ended; its end ends ours once.
    client.close_input();
    EXPECT_TRUE(client.wait_closed(30s));
    std::string const log = test_support::read_file(dir.file("log"));
    EXPECT_NE(log.find(std::string("- Description: (") + r.version + "-"), std::string::npos) << log;
    EXPECT_TRUE(server.sink->wait_for_broken());
    EXPECT_EQ(server.sink->broken_count(), 1);
}

TEST(GnutlsInterop, BothDirectionsEachSuiteEachVersion) {
    test_support::scratch_dir conf_dir;
    if (!std::getenv("TOVAN_PRIVATE_NETWORK")) {
        // Read by the run in the namespace when it first uses the library.
        std::string const conf = conf_dir.file("openssl.cnf");
        test_support::write_file(conf, "openssl_conf = init\n[init]\nssl_conf = ssl\n[ssl]\n"
                                       "system_default = strict\n[strict]\nMinProtocol = TLSv1.2\n"
                                       "CipherString = DEFAULT@SECLEVEL=3\n");
        ::setenv("OPENSSL_CONF", conf.c_str(), 1);
    }
    auto where = choose_kit::in_private_network("GnutlsInterop.BothDirectionsEachSuiteEachVersion");
    ::unsetenv("OPENSSL_CONF");
    if (where == choose_kit::netns::unavailable) GTEST_SKIP() << "no private network namespace (needs root)";
    if (where == choose_kit::netns::ran_there) return;

    std::vector<row> rows;
    for (char const* version : {"TLS1.0", "TLS1.1", "TLS1.2"}) {
        for (bool we_serve : {false, true}) {
            rows.push_back({we_serve, version, rulo::tls_rsa_aes256_sha, 0});
            rows.push_back({we_serve, version, rulo::tls_rsa_aes128_sha, 0});
            rows.push_back({we_serve, version, rulo::tls_dhe_rsa_aes256_sha, 2});
            // Only our server sends the group it has built in.
            if (we_serve) rows.push_back({we_serve, version, rulo::tls_dhe_rsa_aes256_sha, 1});
        }
    }
    for (fault f : {fault::wrong_ca, fault::wrong_name}) {
        rows.push_back({false, "TLS1.2", rulo::tls_rsa_aes256_sha, 0, f, true});
        rows.push_back({true, "TLS1.2", rulo::tls_rsa_aes256_sha, 0, f, false});
    }
    std::string const up = random_bytes(1 << 20, 41), down = random_bytes(1 << 20, 42);
    std::string const echoed = random_lines(1 << 20, 43);
    for (row const& r : rows) {
        SCOPED_TRACE(describe(r));
        if (r.we_serve)
            against_gnutls_client(r, up, down);
        else
            against_gnutls_server(r, echoed);
    }
}

} // namespace
