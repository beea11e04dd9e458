// The relay's parsers at their edges: "need more" kept apart from "malformed".
#include "tools/relay/codec.h"
#include "tools/relay/wire.h"

#include <gtest/gtest.h>

using relay::parse_status;

TEST(RelayWire, FrameLengthsAtTheirLimits) {
    struct {
        std::string bytes;
        parse_status status;
        std::uint64_t channel;
        std::size_t payload;
    } const cases[] = {
        {"", parse_status::need_more, 0, 0},
        {"\x80", parse_status::need_more, 0, 0},
        {std::string("\x00", 1), parse_status::malformed, 0, 0},             // L = 0
        {"\x01\x05", parse_status::ok, 5, 0},                                // channel only
        {"\x03\x02hi", parse_status::ok, 2, 2},                              //
        {"\x03\x02h", parse_status::need_more, 0, 0},                        //
        {"\x02\x80\x01", parse_status::ok, 128, 0},                          // two-byte channel
        {"\x01\x80", parse_status::malformed, 0, 0},                         // channel runs past L
        {"\xFF\xFF\xFF\x07", parse_status::need_more, 0, 0},                 // L = 0xFFFFFF, waits
        {std::string("\x80\x80\x80\x08", 4), parse_status::malformed, 0, 0}, // L = 0x1000000
        {std::string("\x80\x80\x80\x80", 4), parse_status::malformed, 0, 0}, // a fifth length byte
        {std::string("\xFF\xFF\xFF\x7F", 4), parse_status::malformed, 0, 0}, // far too long
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.bytes));
        relay::frame_view f;
        EXPECT_EQ(relay::parse_frame(c.bytes, f), c.status);
        if (c.status == parse_status::ok) {
            EXPECT_EQ(f.channel, c.channel);
            EXPECT_EQ(f.payload.size(), c.payload);
            EXPECT_EQ(f.consumed, c.bytes.size());
        }
    }
    std::string longest;
    relay::append_frame(longest, 3, std::string(0xFFFFFE, 'x'));
    relay::frame_view f;
    ASSERT_EQ(relay::parse_frame(longest, f), parse_status::ok);
    EXPECT_EQ(f.payload.size(), 0xFFFFFEu);
}

TEST(RelayWire, HeadsAndPacketLines) {
    relay::request_head h;
    EXPECT_EQ(relay::parse_head("MUXV2 / HTTP/1.0\r\nA: 1\r\n", h), parse_status::need_more);
    ASSERT_EQ(relay::parse_head("MUXV2 / HTTP/1.0\r\nconnection-data:  1 \r\n\r\nrest", h), parse_status::ok);
    EXPECT_EQ(h.method, "MUXV2");
    EXPECT_EQ(h.version, "HTTP/1.0");
    EXPECT_EQ(h.field("Connection-Data"), "1");
    EXPECT_EQ(h.size, 42u); // "rest" is not part of it
    EXPECT_EQ(relay::parse_head(std::string(100, 'a'), h, 64), parse_status::malformed);
    // Frames may follow the head in the same bytes; their NULs are not the head's.
    std::string const with_frame =
        std::string("MUXV2 / HTTP/1.0\r\n\r\n") + std::string("\x03\x02\x00\x01", 4);
    ASSERT_EQ(relay::parse_head(with_frame, h), parse_status::ok);
    EXPECT_EQ(h.size, 20u);
    EXPECT_EQ(relay::parse_head(std::string("MUXV2 / HTTP/1.0\r\nA: \0\r\n\r\n", 26), h),
              parse_status::malformed);

    struct {
        char const* bytes;
        parse_status status;
        std::size_t length;
    } const lines[] = {
        {"12\n", parse_status::ok, 12},
        {"OK\n", parse_status::ok, 0},
        {"2147483647\n", parse_status::ok, 2147483647},
        {"2147483648\n", parse_status::malformed, 0},
        {"-1\n", parse_status::malformed, 0},
        {"\n", parse_status::malformed, 0},
        {"12345678901\n", parse_status::malformed, 0},
        {"123", parse_status::need_more, 0},
        {"11111111111111111111", parse_status::malformed, 0},
    };
    for (auto const& l : lines) {
        SCOPED_TRACE(l.bytes);
        relay::packet_line p;
        EXPECT_EQ(relay::parse_packet_line(l.bytes, p, 0x7FFFFFFF), l.status);
        if (l.status == parse_status::ok) {
            EXPECT_EQ(p.length, l.length);
        }
    }
    relay::packet_line p;
    EXPECT_EQ(relay::parse_packet_line("100\n", p, 99), parse_status::malformed);
}

// The examples of PROTOCOL.md, worked out by hand from the packet and frame layouts.
TEST(RelayWire, ProtocolExamplesByteForByte) {
    auto hex = [](std::string const& b) {
        static char const digits[] = "0123456789ABCDEF";
        std::string out;
        for (unsigned char c : b) out += {digits[c >> 4], digits[c & 15], ' '};
        if (!out.empty()) out.pop_back();
        return out;
    };
    struct {
        std::uint64_t channel;
        std::string payload;
        char const* bytes;
    } const cases[] = {
        {0, relay::make_packet(std::string("open"), 2LL, std::string("VYNRPC"), true),
         "12 00 54 56 59 4E 52 50 43 06 01 02 01 6F 70 65 6E 04 01"},
        {0, relay::make_packet(std::string("channel-error"), 3LL, std::string("no")),
         "16 00 6E 6F 02 01 03 01 63 68 61 6E 6E 65 6C 2D 65 72 72 6F 72 0D 01"},
        {5, relay::make_packet(std::string("pkt"), std::string("a"), relay::blob{"xyz"}),
         "0E 05 78 79 7A 03 01 61 01 01 70 6B 74 03 01"},
        {300, "hi", "04 AC 02 68 69"},
    };
    for (auto const& c : cases) {
        std::string frame;
        relay::append_frame(frame, c.channel, c.payload);
        EXPECT_EQ(hex(frame), c.bytes);
    }
}

TEST(RelayWire, TunnelRequestsAreKeyedByTheirPath) {
    struct {
        std::string head;
        bool ok, post;
        std::string path;
        long long length;
    } const cases[] = {
        {"GET /webaccess/6964 HTTP/1.1\r\nHost: a\r\n\r\n", true, false, "/webaccess/6964", -1},
        {"POST http://127.0.0.1:8080/webaccess/6964?x=1 HTTP/1.0\r\nContent-Length: 500000\r\n\r\n", true,
         true, "/webaccess/6964?x=1", 500000},
        {"POST HTTP://relay/p HTTP/1.1\r\ncontent-length: 7\r\nContent-Length: 7\r\n\r\n", true, true, "/p",
         7},
        {"GET http://relay HTTP/1.1\r\n\r\n", false, false, "", -1},
        {"GET https://relay/p HTTP/1.1\r\n\r\n", false, false, "", -1},
        {"GET webaccess HTTP/1.1\r\n\r\n", false, false, "", -1},
        {"PUT /p HTTP/1.1\r\n\r\n", false, false, "", -1},
        {"GET /p HTTP/2.0\r\n\r\n", false, false, "", -1},
        {"GET /" + std::string(2048, 'p') + " HTTP/1.1\r\n\r\n", false, false, "", -1},
        {"POST /p HTTP/1.1\r\nContent-Length: 7\r\nContent-Length: 8\r\n\r\n", false, true, "", -1},
        {"POST /p HTTP/1.1\r\nContent-Length: -1\r\n\r\n", false, true, "", -1},
        {"POST /p HTTP/1.1\r\nContent-Length: 1234567890123456\r\n\r\n", false, true, "", -1},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.head.substr(0, 60));
        relay::request_head head;
        ASSERT_EQ(relay::parse_head(c.head, head), relay::parse_status::ok);
        relay::tunnel_request r;
        std::string error;
        auto const s = relay::parse_tunnel_request(head, r, error);
        EXPECT_EQ(s == relay::parse_status::ok, c.ok) << error;
        if (!c.ok) {
            EXPECT_FALSE(error.empty());
            continue;
        }
        EXPECT_EQ(r.post, c.post);
        EXPECT_EQ(r.path, c.path);
        EXPECT_EQ(r.content_length, c.length);
    }
}
