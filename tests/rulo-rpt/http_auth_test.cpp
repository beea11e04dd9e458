// Challenge parsing, Basic and Digest answers.
#include "rulo-rpt/http/xnet-http-auth-detail.h"
#include "rulo-rpt/http/xnet-http-auth.h"
#include "rulo/hash.h"
#include "rulo/text.h"

#include "tests/support/framework_env.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using test_support::thrown;

std::string md5_hex(std::string const& text) {
    return xstd::hexcode(xstd::get_md5(text));
}

xnet::http_auth_challenges parse(std::vector<std::string> const& values) {
    xstd::http reply;
    reply.fields["Proxy-Authenticate"] = values;
    reply.fields["WWW-Authenticate"] = {"Other x=y"}; // not a proxy's challenge
    return xnet::get_http_auth(reply, true);
}

TEST(http_auth, challenges_parse_one_per_field_value) {
    std::vector<std::pair<std::vector<std::string>, xnet::http_auth_challenges>> const rows = {
        {{"Basic realm=\"Squid proxy\"", "NTLM"}, {{"basic", {{"realm", "Squid proxy"}}}, {"ntlm", {}}}},
        {{"Digest realm=\"r\",  \t nonce=\"n\",qop=\"auth\""}, // any blanks after a ","
         {{"digest", {{"realm", "r"}, {"nonce", "n"}, {"qop", "auth"}}}}},
        {{"Digest Algorithm=MD5,stale=false, realm=", "digest realm=\"later\""},
         {{"digest", {{"algorithm", "MD5"}, {"stale", "false"}, {"realm", "later"}}}}},
    };
    for (auto const& [values, expected] : rows) EXPECT_EQ(parse(values), expected) << values[0];
    // Only one challenge per value is understood; quotes have no escape.
    for (char const* bad : {"Basic realm=\"Squid proxy\", NTLM", "Basic realm=\"open", "Basic realm=\"a\"b"})
        EXPECT_EQ(thrown([&] { parse({bad}); }), "/xnet/http_auth/parse:Parse error") << bad;
}

TEST(http_auth, digest_acceptance) {
    std::vector<std::tuple<xnet::http_auth_params, bool, bool>> const rows = {
        {{}, false, true},
        {{{"algorithm", "md5-sess"}, {"qop", "auth-int, auth"}}, false, true},
        {{{"algorithm", "MD5-sess"}}, false, false}, // sess needs a qop's cnonce
        {{{"algorithm", "SHA-256"}, {"qop", "auth"}}, false, false},
        {{{"qop", "auth-int"}}, false, false},
        {{{"qop", "auth-int"}}, true, true},
    };
    for (auto const& [params, allow_int, expected] : rows)
        EXPECT_EQ(xnet::can_digest_auth(params, allow_int), expected);
}

TEST(http_auth, digest_rfc2617_example) {
    // RFC 2617 section 3.5, with its own client nonce.
    xstd::http request = xstd::get_http_request("GET", "/dir/index.html", 1, 1);
    xnet::http_auth_params const params = {{"realm", "testrealm@host.com"},
                                           {"qop", "auth,auth-int"},
                                           {"nonce", "dcd98b7102dd2f0e8b11d0f600bfb0c093"},
                                           {"opaque", "5ccc069c403ebaf9f0171e9517f40e41"}};
    EXPECT_EQ(xnet::detail::digest_answer(request, params, "Mufasa", "Circle Of Life", false, "", "0a4f113b"),
              "Digest username=\"Mufasa\", realm=\"testrealm@host.com\", qop=\"auth\", algorithm=\"MD5\", "
              "uri=\"/dir/index.html\", nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", nc=00000001, "
              "cnonce=\"0a4f113b\", response=\"6629fae49393a05397450978507c4ef1\", "
              "opaque=\"5ccc069c403ebaf9f0171e9517f40e41\"");
}

TEST(http_auth, digest_answers_recomputed) {
    // qop offered, algorithm, allow_int, the qop chosen ("" for the RFC 2069 form)
    std::vector<std::tuple<std::string, std::string, bool, std::string>> const rows = {
        {"", "MD5", false, ""},
        {"auth,auth-int", "", false, "auth"},
        {"auth, auth-int", "MD5", true, "auth-int"},
        {"auth", "MD5-sess", false, "auth"},
    };
    for (auto const& [offered, algorithm, allow_int, qop] : rows) {
        xnet::http_auth_params params = {{"realm", "proxy"}, {"nonce", "n0nce"}, {"charset", "UTF-8"}};
        if (!offered.empty()) params["qop"] = offered;
        if (!algorithm.empty()) params["algorithm"] = algorithm;
        xstd::http request = xstd::get_http_request("CONNECT", "relay.test:443", 1, 0);
        xnet::set_digest_auth(request, true, params, "u", "p w", allow_int, "body");
        std::string const answer = request.get_field("Proxy-Authorization");
        auto items = parse({answer})["digest"];
        EXPECT_EQ(items.count("qop") + items.count("nc") + items.count("cnonce"), qop.empty() ? 0u : 3u);

        bool const sess = algorithm == "MD5-sess";
        EXPECT_EQ(items["algorithm"], sess ? "MD5-sess" : "MD5");
        EXPECT_NE(answer.find(", charset=UTF-8"), std::string::npos);
        std::string const cnonce = items["cnonce"];
        std::string ha1 = md5_hex("u:proxy:p w");
        if (sess) ha1 = md5_hex(ha1 + ":n0nce:" + cnonce);
        std::string const ha2 =
            md5_hex("CONNECT:relay.test:443" + (qop == "auth-int" ? ":" + md5_hex("body") : ""));
        std::string const counted = qop.empty() ? "" : "00000001:" + cnonce + ":" + qop + ":";
        EXPECT_EQ(items["qop"], qop);
        EXPECT_EQ(items["nc"], qop.empty() ? "" : "00000001");
        EXPECT_EQ(items["response"], md5_hex(ha1 + ":n0nce:" + counted + ha2));
    }
}

TEST(http_auth, digest_answer_quotes_what_it_echoes) {
    // Quotes and backslashes in the echoed values go as quoted-pairs (RFC 7230
    // section 3.2.6); the hashes are over the values themselves.
    xstd::http request = xstd::get_http_request("CONNECT", "relay.test:443", 1, 1);
    xnet::http_auth_params const params = {{"realm", R"(r"e\alm)"},
                                           {"nonce", R"(n"1\)"},
                                           {"opaque", R"(o", x="y)"},
                                           {"qop", "auth"},
                                           {"charset", "UTF-8"}};
    std::string const ha1 = md5_hex(R"(u\ser:r"e\alm:pw)");
    std::string const ha2 = md5_hex("CONNECT:relay.test:443");
    std::string const response = md5_hex(ha1 + R"(:n"1\:00000001:c0:auth:)" + ha2);
    EXPECT_EQ(
        xnet::detail::digest_answer(request, params, R"(u\ser)", "pw", false, "", "c0"),
        R"(Digest username="u\\ser", realm="r\"e\\alm", qop="auth", algorithm="MD5", uri="relay.test:443", )"
        R"(nonce="n\"1\\", nc=00000001, cnonce="c0", response=")" +
            response + R"(", opaque="o\", x=\"y", charset=UTF-8)");

    // Challenges that get no answer: the request keeps its field.
    std::vector<std::pair<xnet::http_auth_params, std::string>> const refused = {
        {{{"realm", "r"}}, "Digest challenge without nonce"},
        {{{"realm", "r"}, {"nonce", ""}}, "Digest challenge without nonce"},
        {{{"nonce", "n"}, {"charset", "UTF-8, realm=\"evil\""}}, "Digest challenge charset is not a token"},
        {{{"nonce", "n"}, {"charset", "UTF-8\"x"}}, "Digest challenge charset is not a token"},
        {{{"nonce", "n"}, {"charset", ""}}, "Digest challenge charset is not a token"},
    };
    request.set_field("Proxy-Authorization", "before");
    for (auto const& [challenge, message] : refused) {
        EXPECT_EQ(thrown([&] { xnet::set_digest_auth(request, true, challenge, "u", "p", false, ""); }),
                  "/xnet/set_digest_auth:" + message);
        EXPECT_EQ(request.get_field("Proxy-Authorization"), "before");
    }
}

TEST(http_auth, basic_answer_and_refusals_leave_the_request) {
    xstd::http request;
    xnet::set_basic_auth(request, true, "Aladdin", "open sesame"); // RFC 7617 section 2
    std::string const basic = "Basic QWxhZGRpbjpvcGVuIHNlc2FtZQ==";
    EXPECT_EQ(request.get_field("Proxy-Authorization"), basic);
    EXPECT_EQ(thrown([&] { xnet::set_basic_auth(request, true, "a:b", "c"); }),
              "/xnet/set_basic_auth:Username cannot contain ':'");
    EXPECT_EQ(thrown([&] { xnet::set_digest_auth(request, true, {}, "a\"b", "p", false, ""); }),
              "/xnet/set_digest_auth:Username cannot contain double quote");
    xnet::http_auth_params const sha = {{"algorithm", "SHA-256"}};
    EXPECT_EQ(thrown([&] { xnet::set_digest_auth(request, true, sha, "u", "p", false, ""); }),
              "/xnet/set_digest_auth:Cannot perform digest authorization");
    EXPECT_EQ(request.fields.size(), 1u);
    EXPECT_EQ(request.get_field("Proxy-Authorization"), basic);
}

} // namespace
