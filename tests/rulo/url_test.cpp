// URLs, URL (percent) coding and CGI parameter lists.
#include "rulo/url.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

using params = std::map<std::string, std::string>;

TEST(url_coding, encoders) {
    struct row {
        std::string in, url, percent;
    };
    std::vector<row> const rows = {
        {"a b&c", "a+b%26c", "a%20b%26c"},
        {"a b", "a+b", "a%20b"},
        {"AZaz09_", "AZaz09_", "AZaz09_"},
        {"-.~/+%", "%2d%2e%7e%2f%2b%25", "%2d%2e%7e%2f%2b%25"},
        {"\xc3\xa9\xff", "%c3%a9%ff", "%c3%a9%ff"},
        {std::string("\0x", 2), "%00x", "%00x"},
        {"", "", ""},
    };
    for (auto const& r : rows) {
        EXPECT_EQ(rulo::urlencode(r.in), r.url) << r.in;
        EXPECT_EQ(rulo::percentencode(r.in), r.percent) << r.in;
    }
}

TEST(url_coding, decoders) {
    struct row {
        std::string in, url, percent;
    };
    std::vector<row> const rows = {
        {"%4A+x%4", "J x", "J+x"}, // a "%" with one character left ends the text
        {"%zz", std::string(1, '\0'), std::string(1, '\0')},
        {"ab%", "ab", "ab"}, // ... and so does one with none
        {"%%41",
         std::string("\x04"
                     "1",
                     2),
         std::string("\x04"
                     "1",
                     2)}, // "%%4" spells byte 0x04
        {"%c3%A9", "\xc3\xa9", "\xc3\xa9"},
        {"a+b%2B", "a b+", "a+b+"},
        {"", "", ""},
    };
    for (auto const& r : rows) {
        EXPECT_EQ(rulo::urldecode(r.in), r.url) << r.in;
        EXPECT_EQ(rulo::percentdecode(r.in), r.percent) << r.in;
    }

    // Every byte value survives both codings, also past the decoder's inline store.
    std::string all;
    for (int round = 0; round < 5; ++round)
        for (int b = 0; b < 256; ++b) all += char(b);
    EXPECT_EQ(rulo::urldecode(rulo::urlencode(all)), all);
    EXPECT_EQ(rulo::percentdecode(rulo::percentencode(all)), all);
}

TEST(url_cgi, parse_and_get_params) {
    struct row {
        std::string text;
        params map;
    };
    std::vector<row> const rows = {
        {"k=v+w&e", {{"k", "v w"}, {"e", ""}}},
        {"a=1&a=2", {{"a", "2"}}},
        {"a=b=c", {{"a", "b=c"}}},
        {"=x&&b=&c%3D=%26", {{"b", ""}, {"c=", "&"}}},
        {"", {}},
        {"&", {}},
    };
    for (auto const& r : rows) EXPECT_EQ(rulo::cgi_parse_param(r.text, '&', '='), r.map) << r.text;
    EXPECT_EQ(rulo::cgi_parse_param("a:1;b:2:3", ';', ':'), (params{{"a", "1"}, {"b", "2:3"}}));

    EXPECT_EQ(rulo::cgi_get_param({{"k", "v w"}, {"e", ""}, {"", "dropped"}, {"a&b", "="}}),
              "a%26b=%3d&e=&k=v+w");
    EXPECT_EQ(rulo::cgi_get_param({}), "");
    params odd = {{"x y", "1&2=3"}, {"\xc3\xa9", "+"}};
    EXPECT_EQ(rulo::cgi_parse_param(rulo::cgi_get_param(odd), '&', '='), odd);
}

TEST(url_parse, fields_and_round_trip) {
    struct row {
        std::string text;
        std::string scheme, host;
        unsigned port;
        std::string path;
        params cgi;
        std::string fragment;
        bool relative;
        std::string written;
    };
    std::vector<row> const rows = {
        {"web://h:8080/a%20b//c?k=v+w&e#top",
         "web",
         "h",
         8080,
         "/a b/c",
         {{"k", "v w"}, {"e", ""}},
         "top",
         false,
         "web://h:8080/a%20b/c?e=&k=v+w#top"},
        {"files/x", "", "", 0, "files/x", {}, "", true, "files/x"},
        {"a.b://h/p", "", "", 0, "a.b:/h/p", {}, "", true, "a.b%3a/h/p"}, // "." cannot be in a scheme
        {"http://example", "http", "example", 0, "", {}, "", false, "http://example"},
        {"http://h:x/", "http", "h", 0, "/", {}, "", false, "http://h/"},
        {"http://h/", "http", "h", 0, "/", {}, "", false, "http://h/"},
        {"file:///etc/x-y_z.conf", "file", "", 0, "/etc/x-y_z.conf", {}, "", false, "file:///etc/x-y_z.conf"},
        {"http://h?q=1", "http", "h?q=1", 0, "", {}, "", false, "http://h?q=1"}, // the host runs to "/"
        {"https://h:443?x", "https", "h", 443, "", {}, "", false, "https://h:443"},
        {"http://h/p#a%20b", "http", "h", 0, "/p", {}, "a b", false, "http://h/p#a%20b"},
        {"?a=1#f", "", "", 0, "", {{"a", "1"}}, "f", true, "?a=1#f"},
        {"://x", "", "", 0, ":/x", {}, "", true, "%3a/x"}, // an empty scheme is none
    };
    for (auto const& r : rows) {
        rulo::url u(r.text);
        EXPECT_EQ(u.scheme, r.scheme) << r.text;
        EXPECT_EQ(u.host, r.host) << r.text;
        EXPECT_EQ(u.port, r.port) << r.text;
        EXPECT_EQ(u.path, r.path) << r.text;
        EXPECT_EQ(u.cgi, r.cgi) << r.text;
        EXPECT_EQ(u.fragment, r.fragment) << r.text;
        EXPECT_EQ(u.relative(), r.relative) << r.text;
        EXPECT_EQ(u.as_string(), r.written) << r.text;
        // What was written reads back as the same URL.
        rulo::url again(u.as_string());
        EXPECT_EQ(again.as_string(), r.written) << r.text;
    }
}

TEST(url_write, fields_to_text) {
    rulo::url u;
    u.scheme = "http";
    u.host = "h";
    u.path = "p q";
    EXPECT_EQ(u.as_string(), "http://h/p%20q"); // a path gets its leading "/"
    u.host.clear();
    u.port = 81;
    EXPECT_EQ(u.as_string(), "http:///p%20q"); // no host, so no port

    rulo::url rel;
    rel.path = "a//b";
    EXPECT_EQ(rel.as_string(), "a/b");

    rulo::url u2("http://h/x?a=1&b=2");
    rulo::url u3 = rulo::url::add_cgi(u2, {{"a", ""}, {"c", "3 4"}, {"zz", ""}});
    EXPECT_EQ(u3.as_string(), "http://h/x?b=2&c=3+4");
    EXPECT_EQ(u2.as_string(), "http://h/x?a=1&b=2");
}

TEST(url_path_param, split_and_join) {
    std::string path, query, fragment;
    rulo::cgi_parse_path_param("/a%2Bb+c?x=%20#f%23", &path, &query, &fragment);
    EXPECT_EQ(path, "/a+b+c");
    EXPECT_EQ(query, "x=%20");
    EXPECT_EQ(fragment, "f#");

    std::string out = "pre";
    rulo::cgi_make_path_param(&out, "/a_b-c.d", "", "");
    EXPECT_EQ(out, "pre/a_b-c.d");
    out.clear();
    rulo::cgi_make_path_param(&out, "", "q", "f g");
    EXPECT_EQ(out, "?q#f%20g");
}

} // namespace
