// URLs, URL (percent) coding and CGI parameter lists.
#include "rulo/url.h"

#include <gtest/gtest.h>

#include <array>
#include <map>
#include <string>
#include <vector>

namespace {

using params = std::map<std::string, std::string>;

TEST(url_coding, encoders_and_decoders) {
    using row = std::array<std::string, 3>; // in, URL coded, percent coded
    std::vector<row> const encoded = {
        {"a b&c", "a+b%26c", "a%20b%26c"},
        {"Zaz09_ -.~/+%\xc3\xff", "Zaz09_+%2d%2e%7e%2f%2b%25%c3%ff", "Zaz09_%20%2d%2e%7e%2f%2b%25%c3%ff"},
        {std::string("\0x", 2), "%00x", "%00x"}};
    for (auto const& [in, url, percent] : encoded)
        EXPECT_EQ(rulo::urlencode(in) + " " + rulo::percentencode(in), url + " " + percent) << in;
    // A "%" with fewer than two characters after it ends the text; "%%4" spells the byte 0x04.
    std::vector<row> const decoded = {
        {"%4A+x%4", "J x", "J+x"},  {"%zz", std::string(1, '\0'), std::string(1, '\0')}, {"ab%", "ab", "ab"},
        {"%%4x", "\x04x", "\x04x"}, {"a+b%2B%c3%A9", "a b+\xc3\xa9", "a+b+\xc3\xa9"},
    };
    for (auto const& [in, url, percent] : decoded)
        EXPECT_EQ(rulo::urldecode(in) + " " + rulo::percentdecode(in), url + " " + percent) << in;
    // Every byte value survives both codings, also past the decoder's inline store.
    std::string all;
    for (int i = 0; i < 5 * 256; ++i) all += char(i);
    EXPECT_EQ(rulo::urldecode(rulo::urlencode(all)), all);
    EXPECT_EQ(rulo::percentdecode(rulo::percentencode(all)), all);
}

TEST(url_cgi, parse_and_get_params) {
    std::vector<std::pair<std::string, params>> const rows = {{"k=v+w&e", {{"k", "v w"}, {"e", ""}}},
                                                              {"a=1&a=2", {{"a", "2"}}},
                                                              {"a=b=c", {{"a", "b=c"}}},
                                                              {"=x&&b=&c%3D=%26", {{"b", ""}, {"c=", "&"}}}};
    for (auto const& [text, map] : rows) EXPECT_EQ(rulo::cgi_parse_param(text, '&', '='), map) << text;
    EXPECT_EQ(rulo::cgi_parse_param("a:1;b:2:3", ';', ':'), (params{{"a", "1"}, {"b", "2:3"}}));
    EXPECT_EQ(rulo::cgi_get_param({{"k", "v w"}, {"e", ""}, {"", "dropped"}, {"a&b", "="}}),
              "a%26b=%3d&e=&k=v+w");
    params odd = {{"x y", "1&2=3"}, {"\xc3\xa9", "+"}};
    EXPECT_EQ(rulo::cgi_parse_param(rulo::cgi_get_param(odd), '&', '='), odd);
}

// The parsed fields as "scheme|host|port|path|query|fragment|relative".
std::string fields(rulo::url const& u) {
    return u.scheme + "|" + u.host + "|" + std::to_string(u.port) + "|" + u.path + "|" +
           rulo::cgi_get_param(u.cgi) + "|" + u.fragment + "|" + (u.relative() ? "relative" : "absolute");
}

// Callers that want one part pass null for the others.
TEST(url_cgi, path_param_skips_null_outputs) {
    std::string path, query, fragment;
    rulo::cgi_parse_path_param("/a//b%20c?x=1#f%21", &path, nullptr, nullptr);
    EXPECT_EQ(path, "/a/b c");
    rulo::cgi_parse_path_param("/a//b%20c?x=1#f%21", nullptr, &query, nullptr);
    EXPECT_EQ(query, "x=1");
    rulo::cgi_parse_path_param("/a//b%20c?x=1#f%21", nullptr, nullptr, &fragment);
    EXPECT_EQ(fragment, "f!");
    rulo::cgi_parse_path_param("/p", &path, &query, &fragment);
    EXPECT_EQ(path + "|" + query + "|" + fragment, "/p||");
}

TEST(url_parse, fields_written_and_read_back) {
    std::vector<std::array<std::string, 3>> const rows = {
        // text, fields, written
        {"web://h:8080/a%20b//c?k=v+w&e#top", "web|h|8080|/a b/c|e=&k=v+w|top|absolute",
         "web://h:8080/a%20b/c?e=&k=v+w#top"},
        {"files/x", "||0|files/x|||relative", "files/x"},
        {"a.b://h/p", "||0|a.b:/h/p|||relative", "a.b%3a/h/p"}, // "." cannot be in a scheme
        {"://x", "||0|:/x|||relative", "%3a/x"},                // an empty scheme is none
        {"http://h:x/", "http|h|0|/|||absolute", "http://h/"},
        {"http://h?q=1", "http|h?q=1|0||||absolute", "http://h?q=1"}, // the host runs to "/"
        {"/a%2Bb+c?a=1#f%23", "||0|/a+b+c|a=1|f#|relative", "/a%2bb%2bc?a=1#f%23"},
    };
    for (auto const& [text, parsed, written] : rows) {
        rulo::url u(text);
        EXPECT_EQ(fields(u), parsed) << text;
        EXPECT_EQ(u.as_string(), written) << text;
        EXPECT_EQ(rulo::url(written).as_string(), written) << text;
    }
    rulo::url u("http://h");
    u.path = "p q";
    EXPECT_EQ(u.as_string(), "http://h/p%20q"); // a path gets its leading "/"
    u.host.clear();
    u.port = 81;
    EXPECT_EQ(u.as_string(), "http:///p%20q"); // no host, so no port
    EXPECT_EQ(rulo::url::add_cgi(rulo::url("http://h/x?a=1&b=2"), {{"a", ""}, {"c", "3 4"}, {"zz", ""}})
                  .as_string(),
              "http://h/x?b=2&c=3+4");
}

} // namespace
