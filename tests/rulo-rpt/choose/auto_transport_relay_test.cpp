// Every way the chooser knows carrying a relay session: the relay server
// (tovan_relay, a process) and the web proxy (squid, with each of its
// authentication helpers, a configuration of its own per case) run in a
// private network namespace (choose_kit::in_private_network), so that port
// 443 and the addresses 127.0.0.2 are the namespace's own, never this
// machine's. A session is the whole protocol: the multiplexer's head, the
// control link's TLS, the relay's keys, an echo round trip on a secure and on
// a plain channel, and a call on the procedure channel.
#include "rulo-rpt/choose/AutoTransport.h"
#include "rulo-rpt/choose/proxy_accounts.h"
#include "rulo-rpt/mux/rptSRMux.h"

#include "tests/rulo-rpt/choose/choose_kit.h"
#include "tests/support/framework_env.h"
#include "tests/support/recording_sink.h"
#include "tests/support/relay_process.h"
#include "tests/support/squid_proxy.h"
#include "tests/support/tcp_peer.h"

#include <gtest/gtest.h>

#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

using rulo::AutoTransport;
using rulo::object;
using test_support::recording_sink;
using test_support::relay_process;
using test_support::squid_proxy;
using scheme = squid_proxy::scheme;
using options = std::map<std::string, std::string>;

std::string const proxy_user = "alice";
std::string const proxy_password = "Open Sesame 42";

class ChooserRelay : public ::testing::Test {
protected:
    void SetUp() override { choose_kit::fresh_home(); }
};

// The person at the session host's prompt, behind its C callback: records
// each question, answers with the one account, refuses a retry.
struct prompt_record {
    struct question {
        bool retry;
        std::string realm;
    };
    std::vector<question> asked;
    std::string user = proxy_user;
};

int answer(void* context, bool retry, char const* realm, rulo::autotransport_http_password::setter set_user,
           void* user, rulo::autotransport_http_password::setter set_password, void* password) {
    auto* p = static_cast<prompt_record*>(context);
    p->asked.push_back({retry, realm});
    if (retry) return 0;
    set_user(user, p->user.c_str());
    set_password(password, proxy_password.c_str());
    return 1;
}

// The relay's connection that announced target in its multiplexer head, 0
// when none did in time.
long long connection_for(relay_process& relay, std::string const& target) {
    std::string const line = relay.wait_log({"\"handshake\"", "\"target\":\"" + target + "\""});
    std::smatch m;
    if (!std::regex_search(line, m, std::regex("\"conn\":([0-9]+)"))) return 0;
    return std::stoll(m[1]);
}

// Carries one session over the chooser's first working method and closes it.
void carry_session(relay_process& relay, AutoTransport& chooser, std::string const& target, bool outer_tls) {
    object<rulo::rptSRMux> sr(new rulo::rptSRMux);
    object<recording_sink> rpc(new recording_sink);
    object<rptTransport> procedures = sr->connect(30, chooser, rpc, false, "o.lan", target, "", "");
    ASSERT_TRUE(procedures);
    long long const conn = connection_for(relay, target);
    ASSERT_NE(conn, 0) << relay.log_text();
    std::string const c = "\"conn\":" + std::to_string(conn);
    EXPECT_NE(relay.wait_log({"\"handshake\"", c + ",", outer_tls ? "\"https\":true" : "\"https\":false"}),
              "");
    // The control link's TLS came up inside the way, with the relay's keys
    // asked for, and the procedure channel opened inside it.
    EXPECT_NE(relay.wait_log({"\"tls-up\"", c + "}"}), "");
    EXPECT_NE(relay.wait_log({"\"keys\"", c + ","}), "");
    EXPECT_NE(relay.wait_log({"\"open\"", c + ",", "\"name\":\"VYNRPC\"", "\"inside_tls\":true"}), "");
    // The relay closes the connection for a channel's bytes on the wrong side
    // of the control TLS, so both answers mean each went its own way.
    for (bool secure : {true, false}) {
        SCOPED_TRACE(secure ? "secure" : "plain");
        object<recording_sink> echo(new recording_sink);
        object<rptTransport> channel = sr->get_transport("ECHO", echo, secure);
        // The plain one long enough for a few POST bodies and many GET ones.
        std::string words = "inside the control TLS";
        if (!secure)
            for (int i = 0; words.size() < 1500000; ++i) words += " beside it " + std::to_string(i);
        channel->send(netbuf::from_string(words));
        ASSERT_TRUE(echo->wait_for_bytes(words.size())) << echo->bytes();
        EXPECT_EQ(echo->bytes(), words);
    }
    procedures->send(netbuf::from_string("9\nresult 0\n"));
    EXPECT_TRUE(rpc->wait_for_bytes(11));
    EXPECT_EQ(rpc->bytes(), "9\nresult 0\n");
    sr->disconnect();
    EXPECT_EQ(rpc->broken_count(), 1);
    EXPECT_NE(relay.wait_log({"\"close\"", c + ","}), "");
}

// The tunnel-leg lines of the relay's log between two admin commands.
std::vector<std::string> legs_between(relay_process& relay, std::string const& from, std::string const& to) {
    std::istringstream in(relay.log_text());
    std::vector<std::string> legs;
    bool inside = false;
    for (std::string line; std::getline(in, line);) {
        if (line.find("\"event\":\"admin\"") != std::string::npos) {
            if (line.find("\"command\":\"" + from + "\"") != std::string::npos) inside = true;
            if (line.find("\"command\":\"" + to + "\"") != std::string::npos) inside = false;
        }
        if (inside && line.find("\"event\":\"tunnel-leg\"") != std::string::npos) legs.push_back(line);
    }
    return legs;
}

TEST_F(ChooserRelay, EveryMethodCarriesARelaySession) {
    auto const where = choose_kit::in_private_network("ChooserRelay.EveryMethodCarriesARelaySession");
    if (where == choose_kit::netns::unavailable) GTEST_SKIP() << "no private network namespace (needs root)";
    if (where == choose_kit::netns::ran_there) return;

    // Every address of the namespace's loopback: a tunnel's later legs may
    // be sent to 127.0.0.2.
    // Small GET bodies: a session takes many download legs.
    relay_process relay({"--listen", "0.0.0.0:0", "--tunnel-get-budget", "20000"});
    relay_process relay_443(
        {"--listen", "0.0.0.0:443", "--cert", relay.cert_path(), "--key", relay.dir() + "/key.pem"});
    std::string const port = std::to_string(relay.port());
    std::string const server_field = "relay 1.0 127.0.0.2";

    struct row {
        char const* method;
        scheme proxy;       // none: no proxy, or one that asks for nothing
        bool moved = false; // the first answer's "Server" field moves the later legs
        bool ssl_proxy_differs = false;
    };
    std::vector<row> const rows = {
        {"direct", scheme::none},
        {"https-direct", scheme::none},
        {"https-proxy", scheme::none},
        {"https-proxy", scheme::basic},
        {"https-proxy", scheme::digest},
        {"https-proxy", scheme::ntlm, false, true},
        {"httpt-direct", scheme::none},
        {"httpt-direct", scheme::none, true},
        {"httpt-proxy", scheme::none},
        {"httpt-proxy", scheme::basic},
        {"httpt-proxy", scheme::digest, true},
        {"httpt-proxy", scheme::ntlm, false, true},
    };
    bool const proxied_rows = squid_proxy::installed(scheme::basic) &&
                              squid_proxy::installed(scheme::digest) && squid_proxy::installed(scheme::ntlm);
    ASSERT_TRUE(proxied_rows) << "squid or one of its authentication helpers is not installed";
    int n = 0;
    for (row const& r : rows) {
        std::string const method = r.method;
        bool const proxied = method == "https-proxy" || method == "httpt-proxy";
        bool const to_443 = method == "https-direct";
        std::string const target = "t" + std::to_string(++n) + ".lan";
        SCOPED_TRACE(method + " " + std::to_string(int(r.proxy)) + " " + target);

        std::unique_ptr<squid_proxy> proxy;
        if (proxied)
            proxy =
                std::make_unique<squid_proxy>(r.proxy, relay.port(), proxy_user, proxy_password, "", true);
        std::string const proxy_at = proxy ? "127.0.0.1:" + std::to_string(proxy->port()) : "";
        options o{{"connect", "127.0.0.1:" + (to_443 ? std::string("443") : port)}, {"force", method}};
        if (proxied) {
            // A proxy for the other kind of request that would never do.
            o[method == "https-proxy" ? "http_proxy_ssl" : "http_proxy"] = proxy_at;
            o[method == "https-proxy" ? "http_proxy" : "http_proxy_ssl"] =
                r.ssl_proxy_differs ? "127.0.0.1:1" : proxy_at;
        }
        std::string last;
        AutoTransport chooser(o, last);
        prompt_record prompt;
        if (r.proxy == scheme::ntlm) prompt.user = "CORP\\" + proxy_user;
        chooser.set_httpt_password(
            object<rulo::httpt_password>(new rulo::autotransport_http_password(answer, &prompt)));

        if (r.moved) relay.admin("tunnel-server-field " + server_field);
        // The session runs on a transport the chooser hands out: a sink that
        // takes what get_next gives is the multiplexer's.
        carry_session(to_443 ? relay_443 : relay, chooser, target,
                      method == "https-direct" || method == "https-proxy");
        if (r.moved) relay.admin("tunnel-server-field");

        // What worked goes first next time, with the settings that made it.
        std::vector<AutoTransport::cmd> const& methods = chooser.methods();
        ASSERT_EQ(methods.size(), 1u);
        EXPECT_EQ(last, AutoTransport::pack(methods[0]));
        // Asked once, for the proxy's address, never again: the tunnel's
        // later legs (and the first POST) reuse the accepted account.
        if (r.proxy != scheme::none) {
            ASSERT_EQ(prompt.asked.size(), 1u);
            EXPECT_FALSE(prompt.asked[0].retry);
            EXPECT_EQ(prompt.asked[0].realm, proxy_at);
        } else {
            EXPECT_TRUE(prompt.asked.empty());
        }

        if (r.moved) {
            // The first GET reached the address configured, the later legs
            // the one the relay named.
            std::vector<std::string> legs =
                legs_between(relay, "tunnel-server-field " + server_field, "tunnel-server-field");
            ASSERT_GE(legs.size(), 4u) << relay.log_text();
            EXPECT_NE(legs[0].find("\"method\":\"GET\""), std::string::npos) << legs[0];
            EXPECT_NE(legs[0].find("\"to\":\"127.0.0.1:" + port + "\""), std::string::npos) << legs[0];
            // Directly every later leg goes there; a proxy may still pass a
            // request on over a connection it kept to the first address.
            bool const direct = method == "httpt-direct";
            int posts = 0, gets = 0;
            std::string const moved_to = "\"to\":\"127.0.0.2:" + port + "\"";
            for (size_t i = 1; i < legs.size(); ++i) {
                bool const there = legs[i].find(moved_to) != std::string::npos;
                EXPECT_TRUE(there || !direct) << legs[i];
                if (!there) continue;
                (legs[i].find("\"method\":\"POST\"") != std::string::npos ? posts : gets) += 1;
            }
            EXPECT_GE(posts, 2);
            EXPECT_GE(gets, 2);
        }
    }
    EXPECT_EQ(relay.log_text().find("\"violation\""), std::string::npos) << relay.log_text();
    EXPECT_EQ(relay_443.log_text().find("\"violation\""), std::string::npos) << relay_443.log_text();
}

// A blocked method falls through to the next one in the same call: squid
// refusing the CONNECT to a port it does not let through (443 here), a
// closed direct port. What worked is written back: the method as "force",
// the ports' keys, and the proxies, the HTTPS one only when it differs.
TEST_F(ChooserRelay, BlockedMethodsFallThroughAndWriteBack) {
    if (!squid_proxy::installed(scheme::none)) GTEST_SKIP() << "squid is not installed";
    relay_process relay;
    std::string const port = std::to_string(relay.port());
    squid_proxy proxy(scheme::none, relay.port(), "", "", "", true);
    std::string const proxy_at = "127.0.0.1:" + std::to_string(proxy.port());
    std::string const proxy_by_name = "localhost:" + std::to_string(proxy.port());
    int closed;
    {
        test_support::tcp_listener probe; // a port free a moment ago
        closed = probe.port();
    }
    std::string const closed_port = std::to_string(closed);

    struct row {
        char const* what;
        options given;
        std::vector<std::string> reports;
        std::string method;
        options back;
    };
    std::vector<row> const rows = {
        {"squid refuses the CONNECT",
         {{"connect", "127.0.0.1:" + port + ",443"},
          {"force", "https-proxy,httpt-proxy"},
          {"http_proxy", proxy_at}},
         {"HTTPS connection to 127.0.0.1:443 through web proxy " + proxy_at + " (1000)",
          "HTTP tunnel to 127.0.0.1:" + port + "->" + port + " through web proxy " + proxy_at + " (999)"},
         "httpt-proxy",
         {{"force", "httpt-proxy"}, {"https", "1"}, {"http_proxy", proxy_at}}},
        {"the HTTPS proxy differs",
         {{"connect", "127.0.0.1:" + port + ",443"},
          {"force", "https-proxy,httpt-proxy"},
          {"http_proxy", proxy_at},
          {"http_proxy_ssl", proxy_by_name}},
         {"HTTPS connection to 127.0.0.1:443 through web proxy " + proxy_by_name + " (1000)",
          "HTTP tunnel to 127.0.0.1:" + port + "->" + port + " through web proxy " + proxy_at + " (999)"},
         "httpt-proxy",
         {{"force", "httpt-proxy"},
          {"https", "1"},
          {"http_proxy", proxy_at},
          {"http_proxy_ssl", proxy_by_name}}},
        {"a closed direct port",
         {{"connect", "127.0.0.1:" + closed_port + "," + port}, {"force", "direct"}, {"mtu", "1400"}},
         {"TCP connection to 127.0.0.1:" + closed_port + " (1000)",
          "TCP connection to 127.0.0.1:" + port + " (999)"},
         "direct",
         {{"force", "direct"}, {"mtu", "1400"}}},
    };
    for (row const& r : rows) {
        SCOPED_TRACE(r.what);
        std::string last;
        AutoTransport chooser(r.given, last);
        std::vector<std::string> reports;
        chooser.set_report(
            [](void* c, std::string text) { static_cast<std::vector<std::string>*>(c)->push_back(text); },
            &reports);
        object<recording_sink> sink(new recording_sink);
        std::string name;
        options back;
        object<rptTransport> t = chooser.get_next(sink, false, 15, &name, nullptr, &back);
        ASSERT_TRUE(t);
        EXPECT_EQ(reports, r.reports);
        EXPECT_EQ(name, r.method);
        EXPECT_EQ(back, r.back);
        t->disconnect();
    }
}

} // namespace
