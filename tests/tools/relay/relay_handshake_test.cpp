// The relay's way in: the handshake reply and its Connection-Data, refusal
// of bad heads, the HTTPS way in, the channel 1 TLS link and the keys.
#include "tests/support/shell.h"
#include "tests/tools/relay/relay_helpers.h"

#include <gtest/gtest.h>

#include <openssl/ssl.h>

using namespace relay_test;
using test_support::relay_process;

TEST(RelayHandshake, ReplyCarriesProtocolConnectionDataAndRequestedFields) {
    relay_process relay({"--grid-id", "77", "--grid-name", "Test Grid", "--reply-field",
                         "Public-Ip: 192.0.2.7", "--reply-field", "Georeconnect: 1"});
    mux_client c(relay.port());
    reply r = c.handshake("Connection-Target: server1\r\nService: svc\r\n");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.fields["Protocol"], "MUXV2");
    EXPECT_EQ(r.fields["Public-Ip"], "192.0.2.7");
    EXPECT_EQ(r.fields["Georeconnect"], "1");
    EXPECT_EQ(c.connection_data["grid_id"], "77");
    EXPECT_EQ(c.connection_data["grid_name"], "Test Grid");
    EXPECT_EQ(c.connection_data["cp_protocol"], "1");
    // key_cs is the certificate the relay made on its first start, as PEM.
    EXPECT_EQ(c.connection_data["key_cs"], test_support::read_file(relay.cert_path()));
    auto fingerprint = test_support::run_command("openssl x509 -in " + relay.cert_path() + " -noout -text");
    EXPECT_NE(fingerprint.out.find("Public-Key: (2048 bit)"), std::string::npos) << fingerprint.out;
    EXPECT_NE(relay.wait_log({"\"handshake\"", "\"target\":\"server1\"", "\"service\":\"svc\""}), "");
}

TEST(RelayHandshake, CertificateCanBeSentAsDer) {
    relay_process relay({"--key-cs-der"});
    mux_client c(relay.port());
    c.handshake();
    test_support::scratch_dir dir;
    test_support::write_file(dir.file("sent.der"), c.connection_data["key_cs"]);
    // openssl reads what was sent as DER and finds the relay's certificate in it.
    auto sent = test_support::run_command("openssl x509 -inform DER -in " + dir.file("sent.der"));
    ASSERT_EQ(sent.status, 0);
    EXPECT_EQ(sent.out, test_support::read_file(relay.cert_path()));
}

TEST(RelayHandshake, BadHeadsGet400AndTheConnectionClosed) {
    relay_process relay;
    struct {
        char const* what;
        std::string bytes;
    } const cases[] = {
        {"another method", "PUT / HTTP/1.0\r\n\r\n"},
        {"tunnel leg without a path", "GET webaccess HTTP/1.1\r\n\r\n"},
        {"tunnel leg of another version", "POST /webaccess/1 HTTP/2.0\r\n\r\n"},
        {"another protocol version", "MUXV3 / HTTP/1.0\r\n\r\n"},
        {"not HTTP", "MUXV2 / SPDY/3\r\n\r\n"},
        {"two words", "MUXV2 /\r\n\r\n"},
        {"field without colon", "MUXV2 / HTTP/1.0\r\nConnection-Data 1\r\n\r\n"},
        {"NUL byte", std::string("MUXV2 / HTTP/1.0\r\nA: \0\r\n\r\n", 26)},
        {"endless head", "MUXV2 / HTTP/1.0\r\nX: " + std::string(20000, 'a')},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.what);
        mux_client client(relay.port());
        client.send_raw(c.bytes);
        auto r = client.read_reply();
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 400);
        EXPECT_TRUE(client.wait_closed());
    }
    // The relay still answers a good head after all of them.
    mux_client good(relay.port());
    EXPECT_EQ(good.handshake().status, 200);
}

TEST(RelayHandshake, HttpsWayInCarriesTheSameProtocol) {
    relay_process relay;
    std::string cert = test_support::read_file(relay.cert_path());
    mux_client c(relay.port(), true, cert);
    EXPECT_EQ(c.handshake().status, 200);
    c.start_tls();
    c.open(2, "ECHO", true, true);
    c.send_secure(2, "through two TLS layers");
    auto f = c.next_frame();
    ASSERT_TRUE(f);
    EXPECT_TRUE(f->secure);
    EXPECT_EQ(f->payload, "through two TLS layers");
    EXPECT_NE(relay.wait_log({"\"handshake\"", "\"https\":true"}), "");
}

TEST(RelayHandshake, KeysAreCachedExactlyForTheCertificateHash) {
    relay_process relay;
    // The hash is the SHA-256 of the certificate's DER form, as openssl and sha256sum see it.
    auto hash =
        test_support::run_command("openssl x509 -in " + relay.cert_path() + " -outform DER | sha256sum");
    ASSERT_EQ(hash.status, 0);
    std::string const key_hash = hash.out.substr(0, 64);

    mux_client c(relay.port());
    c.handshake();
    c.start_tls();
    struct {
        std::string sent;
        char const* answer;
    } const cases[] = {
        {"", "connection-keys"}, {"0123", "connection-keys"}, {key_hash, "connection-keys-cached"}};
    for (auto const& k : cases) {
        SCOPED_TRACE(k.sent);
        std::string p;
        xstd::packet_push(p, std::string("connection-keys"), k.sent);
        c.send_control(p, true);
        auto f = c.next_frame();
        ASSERT_TRUE(f);
        EXPECT_TRUE(f->secure);
        EXPECT_EQ(f->channel, 0u);
        std::string b = f->payload, command;
        rulo_packet_pop(b, command);
        EXPECT_EQ(command, k.answer);
        if (command == "connection-keys") {
            std::string packed = pop_blob(b);
            std::map<std::string, std::string> keys;
            rulo_packet_pop(packed, keys);
            EXPECT_EQ(keys["key_hash"], key_hash);
        }
    }
}

TEST(RelayHandshake, SecureLinkSpeaksTheOldVersionsAndSuitesOnly) {
    relay_process relay;
    struct {
        int version;
        char const* ciphers;
        bool works;
        char const* agreed;
    } const cases[] = {
        {TLS1_VERSION, "AES128-SHA:@SECLEVEL=0", true, "TLSv1"},
        {TLS1_1_VERSION, "AES256-SHA:@SECLEVEL=0", true, "TLSv1.1"},
        {TLS1_2_VERSION, "DHE-RSA-AES256-SHA:@SECLEVEL=0", true, "TLSv1.2"},
        {TLS1_2_VERSION, "AES256-SHA:@SECLEVEL=0", true, "TLSv1.2"},
        {TLS1_2_VERSION, "ECDHE-RSA-AES128-GCM-SHA256", false, ""},
        {TLS1_3_VERSION, "TLS_AES_128_GCM_SHA256", false, ""},
    };
    for (auto const& k : cases) {
        SCOPED_TRACE(k.ciphers);
        mux_client c(relay.port());
        c.handshake();
        c.limit_tls(k.version, k.ciphers);
        if (!k.works) {
            EXPECT_THROW(c.start_tls(), std::runtime_error);
            continue;
        }
        c.start_tls();
        EXPECT_EQ(c.tls_version(), k.agreed);
        EXPECT_EQ(std::string(k.ciphers).substr(0, c.tls_cipher().size()), c.tls_cipher());
        c.open(2, "ECHO", true, true);
        c.send_secure(2, "over " + c.tls_version());
        auto f = c.next_frame();
        ASSERT_TRUE(f);
        EXPECT_EQ(f->payload, "over " + c.tls_version());
    }
    EXPECT_NE(relay.wait_log({"\"tls-error\"", "channel 1"}), "");
}

TEST(RelayHandshake, PingStealthIsAnsweredPlainlyWhileTlsIsPending) {
    relay_process relay;
    mux_client c(relay.port());
    c.handshake();
    std::string p;
    xstd::packet_push(p, std::string("ping-stealth"));
    c.send_control(p, false);
    auto f = c.next_frame();
    ASSERT_TRUE(f);
    EXPECT_FALSE(f->secure);
    EXPECT_EQ(f->channel, 0u);
    EXPECT_EQ(command_of(f->payload), "pong-stealth");
}

TEST(RelayHandshake, CertificateSurvivesARestartAndIsMadeFreshElsewhere) {
    test_support::scratch_dir dir;
    std::string first, second;
    {
        relay_process relay({}, dir.path());
        first = test_support::read_file(relay.cert_path());
    }
    {
        relay_process relay({}, dir.path());
        second = test_support::read_file(relay.cert_path());
    }
    relay_process other;
    EXPECT_EQ(first, second);
    EXPECT_NE(first, test_support::read_file(other.cert_path()));
}
