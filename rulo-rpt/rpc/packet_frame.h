// The length-line framing of the control channel, as pure functions over a
// buffer: no transport, no lock, no state beyond the buffer handed in.
//
// A packet on the wire:
//
//   +---------------------+----+----------------------+
//   | length, 1-10 digits | \n | payload, length bytes |
//   +---------------------+----+----------------------+
//
// A line reading "OK" in place of a length is a keep-alive and carries no
// payload. Everything else is refused: a sign, a blank, an empty line, more
// than ten digits, a value above INT32_MAX or above max_payload, and a stream
// whose first line_search bytes hold no line feed (a peer that sends that is
// not speaking this protocol, and waiting for more would buffer without end).
// So what a reader buffers is bounded by max_payload + line_search bytes.
#pragma once

#include "rulo/netbuf.h"

namespace rulo::packet_frame {

// The largest payload either end accepts: 64 MiB.
constexpr int max_payload = 64 * 1024 * 1024;
// The line feed must lie within this many bytes of the start of a packet.
constexpr int line_search = 20;

enum class status {
    need_more,  // the front of the buffer is a packet still arriving; nothing removed
    keep_alive, // an "OK" line was removed
    packet,     // one payload was cut off the front into the output
    malformed   // the front can never become a packet; nothing removed
};

// Looks at the front of input: removes one keep-alive line or one whole packet
// (line, line feed and payload; the payload shares its chunks, nothing is
// copied). Never throws.
status next(netbuf& input, netbuf& payload);

// The bytes that frame payload: its length line and the payload (shared, not
// copied). Throws the function exception "send" for a payload above max_payload.
netbuf frame(netbuf const& payload);

} // namespace rulo::packet_frame
