// HTTP message heads: the incremental parser, the writer and the status texts.
#include "rulo-rpt/http/xstd-http.h"
#include "rulo/exception.h"

#include "tests/support/framework_env.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

namespace {

using test_support::thrown;
using xstd::http;

std::string const parse_error = "/xstd/http/parse:HTTP header parse error";
std::string const field_error = "/xstd/http/set_field:Invalid character in HTTP field";

// Feeds text in chunks of `step` bytes (0: all at once); returns the bytes
// handed back after the head, or "<incomplete>".
std::string feed(http& message, std::string const& text, size_t step = 0) {
    if (step == 0) step = text.size();
    for (size_t at = 0; at < text.size(); at += step) {
        netbuf rest;
        if (message.push(netbuf::from_string(text.substr(at, step)), rest)) {
            return rest.to_string() + text.substr(std::min(text.size(), at + step));
        }
    }
    return "<incomplete>";
}

std::string written(http const& message) {
    netbuf out;
    message.pop(out);
    return out.to_string();
}

TEST(http, chunks_of_any_size_parse_like_the_whole_head) {
    std::string const head = "HTTP/1.1 407 Proxy Authentication Required\r\n"
                             "server:   squid/5.7  \r\n"
                             "proxy-authenticate: Basic realm=\"r\"\n"
                             "Proxy-Authenticate: NTLM\r\n"
                             "\r\n";
    std::string const body = "body\r\n\r\nHTTP/1.1 200 OK\r\n";
    for (size_t step : {0, 1, 2, 7}) {
        http reply;
        reply.is_request = false;
        ASSERT_EQ(feed(reply, head + body, step), body) << "step " << step;
        EXPECT_EQ(reply.state, -2);
        EXPECT_EQ(reply.status, 407);
        EXPECT_EQ(reply.reason, "Proxy Authentication Required");
        EXPECT_EQ(reply.get_field("SERVER"), "squid/5.7");
        EXPECT_EQ(reply.fields["Proxy-Authenticate"],
                  (std::vector<std::string>{"Basic realm=\"r\"", "NTLM"}));
        netbuf rest; // once complete, further input passes straight through
        EXPECT_TRUE(reply.push(netbuf::from_string("more"), rest));
        EXPECT_EQ(rest.to_string(), "more");
    }
    http bare;
    bare.is_request = false;
    EXPECT_EQ(feed(bare, "HTTP/1.0   200\n\n"), "");
    EXPECT_EQ(written(bare), "HTTP/1.0 200 OK\r\n\r\n");
}

TEST(http, malformed_and_oversized_heads_are_parse_errors_for_good) {
    std::string const long_line(http::max_line_length + 1, 'a');
    std::string fields; // max_field_lines - 1 of them
    for (int i = 1; i < http::max_field_lines; ++i) fields += "X: 1\r\n";
    std::string const ok = "HTTP/1.1 200 OK\r\n";
    std::vector<std::pair<bool, std::string>> const rows = {
        {true, "GET /\r\n\r\n"},
        {true, "GET / HTTP/1.1 extra\r\n\r\n"},
        {true, "\r\n"},
        {false, "HTTP/1.1\r\n\r\n"},
        {false, ok + "no colon here\r\n\r\n"},
        {false, ok + "X: " + long_line + "\r\n\r\n"},
        {false, long_line},
        {false, ok + fields + "X: 1\r\nX: 1\r\n\r\n"},
    };
    for (auto const& [request, text] : rows) {
        http message;
        message.is_request = request;
        EXPECT_EQ(thrown([&] { feed(message, text); }), parse_error) << text.substr(0, 40);
        netbuf rest;
        EXPECT_EQ(thrown([&] { message.push(netbuf::from_string("\r\n"), rest); }), parse_error);
    }
    // The bounds themselves are accepted.
    http message;
    message.is_request = false;
    std::string const longest(http::max_line_length - 4, 'v'); // "Y: " and the "\r"
    EXPECT_EQ(feed(message, ok + fields + "Y: " + longest + "\r\n\r\n", 4096), "");
    EXPECT_EQ(message.get_field("y"), longest);
}

TEST(http, writer_and_field_edits) {
    http request = xstd::get_http_request("CONNECT", "127.0.0.1:8443", 1, 1);
    request.set_field("host", "127.0.0.1:8443");
    request.set_field("Proxy-Connection", "keep-alive");
    request.set_field("proxy-CONNECTION", "close"); // replaces, ignoring case
    request.fields["x-multi"] = {"a", "b"};
    EXPECT_EQ(written(request), "CONNECT 127.0.0.1:8443 HTTP/1.1\r\nHost: 127.0.0.1:8443\r\n"
                                "Proxy-CONNECTION: close\r\nX-Multi: a\r\nX-Multi: b\r\n\r\n");
    request.erase_field("X-MULTI");
    EXPECT_EQ(request.fields.count("x-multi"), 0u);

    http parsed;
    EXPECT_EQ(feed(parsed, written(request)), "");
    EXPECT_EQ(parsed.method, "CONNECT");
    EXPECT_EQ(written(parsed), written(request));
}

TEST(http, line_breaks_never_reach_the_wire) {
    using namespace std::string_literals;
    for (std::string const& bad : {"a\r\nX-Evil: 1"s, "a\nb"s, "a\rb"s, "a\0b"s}) {
        http request = xstd::get_http_request("GET", "/", 1, 0);
        request.set_field("Host", "h");
        EXPECT_EQ(thrown([&] { request.set_field("Host", bad); }), field_error);
        EXPECT_EQ(thrown([&] { request.set_field(bad, "v"); }), field_error);
        EXPECT_EQ(request.get_field("Host"), "h"); // unchanged by the refused call

        netbuf out = netbuf::from_string("kept");
        for (auto edit : {+[](http&m, std::string const&b) { m.fields["X"] = {b}; },
                          +[](http&m, std::string const&b) { m.uri = b; },
                          +[](http&m, std::string const&b) { m.fields[b] = {"v"}; }}) {
            http copy = request;
            edit(copy, bad);
            EXPECT_EQ(thrown([&] { copy.pop(out); }), field_error);
            EXPECT_EQ(out.to_string(), "kept");
        }
    }
    http request;
    EXPECT_EQ(thrown([&] { request.set_field("Bad:Name", "v"); }), field_error);
}

TEST(http, status_texts) {
    // The reason phrases of RFC 2616, section 6.1.1, "|"-separated.
    std::string const rfc2616 =
        "100 Continue|101 Switching Protocols|200 OK|201 Created|202 Accepted|"
        "203 Non-Authoritative Information|204 No Content|205 Reset Content|206 Partial Content|"
        "300 Multiple Choices|301 Moved Permanently|302 Found|303 See Other|304 Not Modified|"
        "305 Use Proxy|307 Temporary Redirect|400 Bad Request|401 Unauthorized|402 Payment Required|"
        "403 Forbidden|404 Not Found|405 Method Not Allowed|406 Not Acceptable|"
        "407 Proxy Authentication Required|408 Request Time-out|409 Conflict|410 Gone|"
        "411 Length Required|412 Precondition Failed|413 Request Entity Too Large|"
        "414 Request-URI Too Large|415 Unsupported Media Type|416 Requested range not satisfiable|"
        "417 Expectation Failed|500 Internal Server Error|501 Not Implemented|502 Bad Gateway|"
        "503 Service Unavailable|504 Gateway Time-out|505 HTTP Version not supported";
    std::istringstream rows(rfc2616);
    size_t count = 0;
    for (std::string row; std::getline(rows, row, '|'); ++count) {
        EXPECT_EQ(xstd::get_http_response_text(std::stoi(row)), row.substr(4));
    }
    EXPECT_EQ(count, 40u);
    EXPECT_EQ(xstd::http_error_codes().size(), count);
    // Nobody outside changes the table.
    static_assert(std::is_const_v<std::remove_reference_t<decltype(xstd::http_error_codes())>>);

    std::vector<std::pair<int, std::string>> const by_class = {
        {150, "OK"}, {299, "OK"}, {306, "Redirect"}, {418, "Error"}, {599, "Error"}, {99, ""}, {600, ""}};
    for (auto const& [code, text] : by_class) EXPECT_EQ(xstd::get_http_response_text(code), text) << code;
}

} // namespace
