// The chooser's real "https-direct" attempt carrying a relay session: the
// relay server (tovan_relay, a process) listens on 127.0.0.1:443 of a private
// network namespace (choose_kit::in_private_network), never on this
// machine's own port. The relay tells the HTTPS way in from its first byte
// and runs the whole protocol inside that TLS session.
#include "rulo-rpt/choose/AutoTransport.h"
#include "rulo-rpt/mux/rptSRMux.h"

#include "tests/rulo-rpt/choose/choose_kit.h"
#include "tests/support/framework_env.h"
#include "tests/support/recording_sink.h"
#include "tests/support/relay_process.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using rulo::AutoTransport;
using rulo::object;
using test_support::recording_sink;
using test_support::relay_process;

class ChooserRelay : public ::testing::Test {
protected:
    void SetUp() override { choose_kit::fresh_home(); }
};

TEST_F(ChooserRelay, HttpsDirectCarriesARelaySession) {
    auto const where = choose_kit::in_private_network("ChooserRelay.HttpsDirectCarriesARelaySession");
    if (where == choose_kit::netns::unavailable) GTEST_SKIP() << "no private network namespace (needs root)";
    if (where == choose_kit::netns::ran_there) return;

    relay_process relay({"--listen", "127.0.0.1:443"});
    ASSERT_EQ(relay.port(), 443);
    std::string last;
    AutoTransport chooser({{"connect", "127.0.0.1:443"}, {"force", "https-direct"}}, last);
    object<rulo::rptSRMux> sr(new rulo::rptSRMux);
    object<recording_sink> rpc(new recording_sink);
    object<rptTransport> procedures = sr->connect(30, chooser, rpc, false, "o.lan", "t.lan", "", "");
    ASSERT_TRUE(procedures);
    EXPECT_EQ(last, AutoTransport::pack({"https-direct", {"127.0.0.1"}, {443}, 0}));

    // The multiplexer's head came through the outer TLS session, and the
    // control link's TLS came up inside it, with the relay's keys asked for.
    EXPECT_NE(relay.wait_log({"\"handshake\"", "\"https\":true", "\"target\":\"t.lan\""}), "");
    EXPECT_NE(relay.wait_log({"\"tls-up\""}), "");
    EXPECT_NE(relay.wait_log({"\"keys\""}), "");
    EXPECT_NE(relay.wait_log({"\"open\"", "\"name\":\"VYNRPC\"", "\"inside_tls\":true"}), "");

    // An echo round trip on a secure and on a plain channel: the relay closes
    // the connection for a channel's bytes on the wrong side of the control
    // TLS, so both answers mean each went its own way.
    for (bool secure : {true, false}) {
        SCOPED_TRACE(secure ? "secure" : "plain");
        object<recording_sink> echo(new recording_sink);
        object<rptTransport> channel = sr->get_transport("ECHO", echo, secure);
        std::string const words = secure ? "through both TLS layers" : "through the outer TLS only";
        channel->send(netbuf::from_string(words));
        ASSERT_TRUE(echo->wait_for_bytes(words.size())) << echo->bytes();
        EXPECT_EQ(echo->bytes(), words);
    }
    // The procedure channel answers a ping in its framing.
    procedures->send(netbuf::from_string("9\nresult 0\n"));
    EXPECT_TRUE(rpc->wait_for_bytes(11));
    EXPECT_EQ(rpc->bytes(), "9\nresult 0\n");
    EXPECT_EQ(relay.log_text().find("\"violation\""), std::string::npos) << relay.log_text();

    sr->disconnect();
    EXPECT_EQ(rpc->broken_count(), 1);
    EXPECT_NE(relay.wait_log({"\"close\""}), "");
}

} // namespace
