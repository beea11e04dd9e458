// HTTP heads and proxy authentication end to end: requests written by
// xstd::http and the xnet schemes, sent over a plain socket to a real squid on
// the loopback, which tunnels (CONNECT) to a local echo listener.
#include "rulo-rpt/http/xnet-http-auth.h"
#include "rulo-rpt/http/xnet-http-ntlm.h"
#include "rulo-rpt/http/xstd-http.h"

#include "tests/support/shell.h"
#include "tests/support/squid_proxy.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using test_support::loopback_socket;
using test_support::squid_proxy;
using scheme = squid_proxy::scheme;

std::string const user = "alice";
std::string const password = "Open Sesame 42";

// CI installs squid: a skip there hides breakage, so say it where nobody can miss it.
bool squid_missing(scheme s) {
    if (squid_proxy::installed(s)) return false;
    std::fprintf(stderr,
                 "\n****** squid (%s) or its auth helper is NOT INSTALLED: "
                 "the end-to-end proxy tests are SKIPPED ******\n\n",
                 squid_proxy::binary);
    return true;
}

std::string wire(xstd::http const& head) {
    netbuf out;
    head.pop(out);
    return out.to_string();
}

struct reply {
    xstd::http head;
    std::string raw;  // every byte received, head and body
    std::string body; // the bytes after the head: the whole body, by Content-Length
};

// Reads one reply head, and its body by Content-Length, so that the connection
// can carry the next request.
reply read_reply(loopback_socket& c) {
    reply r;
    r.head.is_request = false;
    netbuf rest;
    for (bool complete = false; !complete;) {
        std::string more = c.receive();
        if (more.empty()) throw std::runtime_error("proxy closed before the end of the head: " + r.raw);
        r.raw += more;
        complete = r.head.push(netbuf::from_string(more), rest);
    }
    r.body = rest.to_string();
    size_t length = std::stoul("0" + r.head.get_field("Content-Length"));
    if (r.body.size() < length) r.body += c.receive(length - r.body.size());
    r.raw += r.body.substr(rest.size());
    return r;
}

// The right password opens a tunnel that carries a line both ways; a wrong one
// is met with 407 again (the NTLM helper accepts anyone). Each first meets
// squid's real challenge, which must parse alike fed in any chunks.
TEST(proxy_squid, connect_tunnel_through_each_scheme) {
    struct row {
        char const* name; // as in the challenge
        scheme s;
        std::string given_password;
        bool let_through;
    };
    std::vector<row> const rows = {
        {"basic", scheme::basic, password, true},   {"basic", scheme::basic, "open sesame 42", false},
        {"digest", scheme::digest, password, true}, {"digest", scheme::digest, password + "!", false},
        {"ntlm", scheme::ntlm, password, true},
    };
    std::string const host = "WORKSTATION", domain = "DOMAIN";

    for (auto const& [name, s, given, let_through] : rows) {
        SCOPED_TRACE(std::string(name) + ", password '" + given + "'");
        if (squid_missing(s)) GTEST_SKIP() << "squid is not installed";
        loopback_socket listener(0);
        squid_proxy proxy(s, listener.port(), user, password);
        loopback_socket c(proxy.port());
        std::string const target = "127.0.0.1:" + std::to_string(listener.port());
        xstd::http request = xstd::get_http_request("CONNECT", target, 1, 1);
        request.set_field("Host", target);
        ASSERT_EQ(wire(request), "CONNECT " + target + " HTTP/1.1\r\nHost: " + target + "\r\n\r\n");

        c.send(wire(request));
        reply r = read_reply(c);
        ASSERT_EQ(r.head.status, 407) << r.raw;
        EXPECT_EQ(r.head.reason, "Proxy Authentication Required");
        EXPECT_FALSE(r.body.empty());
        for (size_t chunk : {size_t(1), size_t(7), r.raw.size()}) {
            xstd::http head;
            head.is_request = false;
            std::string rest;
            for (size_t at = 0; at < r.raw.size(); at += chunk) {
                netbuf more;
                head.push(netbuf::from_string(r.raw.substr(at, chunk)), more);
                rest += more.to_string();
            }
            EXPECT_EQ(rest, r.body) << "chunks of " << chunk;
            EXPECT_EQ(head.fields, r.head.fields);
            EXPECT_EQ(head.reason, r.head.reason);
        }
        xnet::http_auth_challenges challenges = xnet::get_http_auth(r.head, true);
        ASSERT_EQ(challenges.count(name), 1u) << r.raw;

        if (s == scheme::basic) {
            xnet::set_basic_auth(request, true, user, given);
            std::string by_hand = test_support::filter_command("openssl base64 -A", user + ":" + given);
            EXPECT_EQ(request.get_field("Proxy-Authorization"), "Basic " + by_hand);
        } else if (s == scheme::digest) {
            xnet::http_auth_params const& params = challenges["digest"];
            EXPECT_EQ(xnet::get_realm(params), "rulo-test");
            EXPECT_TRUE(xnet::can_digest_auth(params, false));
            xnet::set_digest_auth(request, true, params, user, given, false, "");
        } else {
            xnet::set_ntlm_auth1(request, true, host, domain);
            c.send(wire(request));
            r = read_reply(c);
            ASSERT_EQ(r.head.status, 407) << r.raw;
            xnet::set_ntlm_auth3(request, true, r.head, host, domain, user, given);
        }
        c.send(wire(request)); // the same connection: NTLM authenticates it
        r = read_reply(c);

        if (!let_through) {
            EXPECT_EQ(r.head.status, 407) << r.raw;
            continue;
        }
        ASSERT_EQ(r.head.status, 200) << r.raw << proxy.diagnostics();
        EXPECT_EQ(r.head.reason, "Connection established");
        EXPECT_EQ(r.body, "");
        std::string const line = "through the tunnel\n";
        c.send(line);
        EXPECT_EQ(listener.echo_one_line(), line);
        EXPECT_EQ(c.receive(line.size()), line);
    }
}

TEST(proxy_squid, refused_configuration_reports_squids_words) {
    if (squid_missing(scheme::basic)) GTEST_SKIP() << "squid is not installed";
    try {
        squid_proxy proxy(scheme::basic, 1, user, password, "no_such_directive on");
        FAIL() << "squid started with a bad configuration";
    } catch (std::runtime_error const& e) {
        std::string what = e.what();
        EXPECT_NE(what.find("no_such_directive"), std::string::npos) << what;
        EXPECT_NE(what.find("--- cache.log ---"), std::string::npos) << what;
    }
}

} // namespace
