// The relay's parsers of client bytes on hostile input.
//
// The first input byte picks what is fuzzed, the rest is the stream:
//   0  parse_frame over the stream, once whole and once cut into pieces at
//      points taken from the stream itself: both must give the same frames
//      and stop the same way; every frame lies inside what was given, obeys
//      the length limit, and append_frame of it parses back to itself.
//   1  parse_head: a head lies inside the limit, ends in an empty line, and
//      "need more" only while the limit is not reached.
//   2  parse_packet_line: lengths within the bound, "OK" without payload,
//      "malformed" for any line feed-less 20 bytes.
//   3  parse_head, then parse_tunnel_request of what it read: a tunnel leg is
//      a GET or POST of HTTP/1.x whose key is a bounded path inside the
//      target, and a length read is one the head's fields spell.
#include "tests/fuzz/fuzz_support.h"
#include "tools/relay/wire.h"

#include <string>
#include <string_view>
#include <vector>

using fuzz::check;
using relay::parse_status;

namespace {

struct outcome {
    std::vector<std::pair<std::uint64_t, std::string>> frames;
    parse_status end = parse_status::need_more;
};

// Feeds the stream in pieces of the given sizes, as the connection does.
outcome frames_in_pieces(std::string_view stream, std::vector<std::size_t> const& pieces) {
    outcome o;
    std::string buffer;
    std::size_t at = 0, piece = 0;
    while (true) {
        std::size_t n = piece < pieces.size() ? pieces[piece++] : stream.size() - at;
        n = std::min(n, stream.size() - at);
        buffer.append(stream.substr(at, n));
        at += n;
        std::size_t pos = 0;
        while (true) {
            relay::frame_view f;
            parse_status s = relay::parse_frame(std::string_view(buffer).substr(pos), f);
            if (s == parse_status::ok) {
                check(f.consumed <= buffer.size() - pos && f.consumed >= 2);
                check(f.payload.size() < f.consumed && f.payload.size() <= relay::max_frame_length);
                o.frames.emplace_back(f.channel, std::string(f.payload));
                pos += f.consumed;
                continue;
            }
            if (s == parse_status::malformed) {
                o.end = s;
                return o;
            }
            break;
        }
        buffer.erase(0, pos);
        if (at == stream.size()) return o;
    }
}

void fuzz_frames(std::string_view stream) {
    outcome whole = frames_in_pieces(stream, {});
    std::vector<std::size_t> pieces;
    for (unsigned char c : stream.substr(0, 64)) pieces.push_back(c % 17 + 1);
    outcome cut = frames_in_pieces(stream, pieces);
    check(whole.frames == cut.frames && whole.end == cut.end);
    for (auto const& [channel, payload] : whole.frames) {
        std::string again;
        relay::append_frame(again, channel, payload);
        relay::frame_view f;
        check(relay::parse_frame(again, f) == parse_status::ok);
        check(f.channel == channel && f.payload == payload && f.consumed == again.size());
    }
}

void fuzz_head(std::string_view data) {
    std::size_t const limit = 512;
    relay::request_head h;
    parse_status s = relay::parse_head(data, h, limit);
    if (s == parse_status::need_more) check(data.size() < limit);
    if (s == parse_status::ok) {
        check(h.size <= limit && h.size <= data.size());
        check(data.substr(0, h.size).ends_with("\n\n") || data.substr(0, h.size).ends_with("\n\r\n"));
        check(!h.method.empty() && !h.target.empty() && !h.version.empty());
    }
}

void fuzz_line(std::string_view data) {
    relay::packet_line p;
    std::size_t const max = 1000;
    parse_status s = relay::parse_packet_line(data, p, max);
    if (s == parse_status::ok) {
        check(p.line_size <= 20 && p.line_size <= data.size() && data[p.line_size - 1] == '\n');
        check(p.length <= max);
        if (p.ok_line) check(p.length == 0);
    }
    if (data.substr(0, 20).find('\n') == std::string_view::npos && data.size() >= 20)
        check(s == parse_status::malformed);
}

void fuzz_tunnel_head(std::string_view data) {
    relay::request_head h;
    if (relay::parse_head(data, h) != parse_status::ok) return;
    relay::tunnel_request r;
    std::string error;
    parse_status s = relay::parse_tunnel_request(h, r, error);
    if (s != parse_status::ok) {
        check(s == parse_status::malformed && !error.empty());
        return;
    }
    check(h.method == (r.post ? "POST" : "GET"));
    check(h.version == "HTTP/1.0" || h.version == "HTTP/1.1");
    check(!r.path.empty() && r.path.front() == '/' && r.path.size() <= relay::max_tunnel_path);
    check(h.target.ends_with(r.path));
    check(r.content_length >= -1 && r.content_length < 1000000000000000LL);
    if (r.content_length >= 0)
        check(h.field("Content-Length").find_first_not_of("0123456789") == std::string::npos);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
    if (size == 0) return 0;
    std::string_view rest(reinterpret_cast<char const*>(data) + 1, size - 1);
    switch (data[0] % 4) {
    case 0:
        fuzz_frames(rest);
        break;
    case 1:
        fuzz_head(rest);
        break;
    case 2:
        fuzz_line(rest);
        break;
    default:
        fuzz_tunnel_head(rest);
        break;
    }
    return 0;
}
