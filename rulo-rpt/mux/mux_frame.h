// The frames of the relay connection: every byte between the client and the
// relay, after the handshake, travels in one of these, on the plain stream
// and, for the secure channels, inside the TLS records of channel 1.
//
//   +----------------+--------------------+---------------------------+
//   | L (vint)       | channel id (vint)  | payload                   |
//   +----------------+--------------------+---------------------------+
//                    |<------------------ L bytes ------------------->|
//
// Vints are unsigned LEB128 (seven bits a byte, lowest group first). L may
// be at most mux_max_frame; a longer one is refused before anything waits
// for its bytes, so a reader never buffers more than one frame.
//
// Pure functions over netbufs; the caller owns the buffers.
#pragma once

#include "rulo/netbuf.h"

namespace rulo {

// The largest L: 16 MiB less one byte.
constexpr unsigned long long mux_max_frame = 0xFFFFFF;

// Frames up to this size are packed in one piece (their payload copied).
constexpr int mux_contiguous_frame = 16 << 10;

// A new buffer holding the frame of payload for channel id: one piece up to
// mux_contiguous_frame bytes, above that the payload shared, not copied. A
// payload whose L would exceed mux_max_frame throws the function exception
// "pack_pkt".
netbuf mux_pack_frame(long long id, netbuf const& payload);

// Cuts the first whole frame off input: true with its channel id and payload
// (shared, not copied); false, changing nothing, while the frame is not
// complete. Throws the function exception "unpack_pkt", changing nothing,
// when L exceeds mux_max_frame, when the frame holds no whole channel id, or
// when a vint is longer than ten bytes or does not fit 64 bits.
bool mux_unpack_frame(netbuf& input, long long& id, netbuf& payload);

} // namespace rulo
