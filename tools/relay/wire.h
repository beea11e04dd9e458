// The relay's parsers of client bytes: the handshake head, the mux frame and
// the length line of the RPC packet stream. Pure functions from bytes to
// values, bounded, keeping "need more" apart from "malformed"; the connection
// code (connection.cpp) feeds them and the fuzz target (relay_fuzz.cpp) runs
// them on hostile input.
//
// A mux frame, both directions, every channel:
//
//   +-------------------+-------------------+---------------------------+
//   | vint L            | vint channel id   | payload                   |
//   | 1..4 bytes in use | 1..10 bytes       | L - size(channel vint)    |
//   +-------------------+-------------------+---------------------------+
//                       |<------------------ L bytes ----------------->|
//
// vint: unsigned LEB128, seven bits a byte, lowest group first, 0x80 on every
// byte but the last. 1 <= L <= 0xFFFFFF; a larger L is malformed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace relay {

enum class parse_status { ok, need_more, malformed };

inline constexpr std::uint64_t max_frame_length = 0xFFFFFF;
inline constexpr std::size_t max_head_size = 16 * 1024;

// Reads one vint at the start of data. need_more when data ends inside it;
// malformed when it runs past ten bytes or does not fit 64 bits.
parse_status read_vint(std::string_view data, std::uint64_t& value, std::size_t& used);
void append_vint(std::string& out, std::uint64_t value);

struct frame_view {
    std::uint64_t channel = 0;
    std::string_view payload; // points into the parsed bytes
    std::size_t consumed = 0; // bytes of the whole frame
};

// One frame at the start of data. need_more changes nothing; malformed means
// the stream cannot be resynchronised (L = 0, L > 0xFFFFFF, a channel vint
// that does not fit inside L).
parse_status parse_frame(std::string_view data, frame_view& out);
// Appends one frame; the caller keeps payloads below max_frame_length.
void append_frame(std::string& out, std::uint64_t channel, std::string_view payload);

struct request_head {
    std::string method, target, version;
    std::vector<std::pair<std::string, std::string>> fields; // names as sent, values trimmed
    std::size_t size = 0;                                    // bytes up to and including the empty line

    // The value of the first field of this name (case-insensitive), or "".
    std::string field(std::string_view name) const;
};

// One request head at the start of data: a start line of three words, field
// lines "Name: value", an empty line; lines end in CR LF or LF. need_more
// while no empty line is seen within limit bytes; malformed past the limit,
// on a start line without three words, a field line without a colon, or a NUL.
parse_status parse_head(std::string_view data, request_head& out, std::size_t limit = max_head_size);

// A tunnel leg's request: "GET" or "POST", HTTP/1.0 or 1.1, the target in
// origin form or in the absolute form a web proxy passes on:
//
//   POST http://relay.example:8080/webaccess/6964...  HTTP/1.1
//        |<------ scheme and authority ---->|<- key ->|
//
// The key (the path from its first '/', query included) names one tunnel.
struct tunnel_request {
    bool post = false;
    std::string path;
    std::int64_t content_length = -1; // -1: no Content-Length field
    bool transfer_encoding = false;   // a Transfer-Encoding field is present
};
inline constexpr std::size_t max_tunnel_path = 2048;
// ok, or malformed with a reason in error (another method or version, a
// target that is neither form, a path longer than max_tunnel_path, a
// Content-Length that is not 1-15 digits or that differs between fields).
parse_status parse_tunnel_request(request_head const& head, tunnel_request& out, std::string& error);

// The length line of the RPC packet stream: "OK\n" (skipped) or 1-10 decimal
// digits not above INT32_MAX, then "\n", then that many payload bytes.
struct packet_line {
    bool ok_line = false;      // "OK": no payload follows
    std::size_t length = 0;    // payload bytes
    std::size_t line_size = 0; // bytes of the line with its "\n"
};
// need_more while the "\n" may still come (fewer than 20 bytes seen); payload
// lengths above max_payload are malformed.
parse_status parse_packet_line(std::string_view data, packet_line& out, std::size_t max_payload);

} // namespace relay
