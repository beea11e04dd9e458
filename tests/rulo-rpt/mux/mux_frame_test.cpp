// Packing a multiplexer frame: the bytes against the relay protocol's own
// examples and hand-computed vints, and a small frame in one piece (the
// socket writes piece by piece, so a head apart from its payload would leave
// as a segment of its own).
#include "rulo-rpt/mux/mux_frame.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// LEB128, seven bits a byte, lowest group first.
std::string vint(unsigned long long v) {
    std::string out;
    do {
        unsigned char low = v & 0x7f;
        v >>= 7;
        out.push_back(static_cast<char>(v ? low | 0x80 : low));
    } while (v);
    return out;
}

int pieces(netbuf const& b) {
    int n = 0;
    for (netbuf::iterator it(b); it.valid(); it.next()) ++n;
    return n;
}

TEST(mux_frame, PackedBytesAndPieces) {
    struct row {
        long long id;
        int payload; // bytes of 'x'; -1: the protocol's example "hi"
        std::string head;
    } const rows[] = {
        // "the payload hi on channel 300": 04 AC 02 68 69 (tools/relay/PROTOCOL.md)
        {300, -1, "\x04\xAC\x02"},
        {3, 1, vint(2) + vint(3)},
        {3, 64, vint(65) + vint(3)},
        {1, 126, vint(127) + vint(1)},     // L fits one byte
        {1, 127, vint(128) + vint(1)},     // L needs two
        {4, 16381, vint(16382) + vint(4)}, // the largest frame packed in one piece
        {4, 16382, vint(16383) + vint(4)}, // the smallest frame whose payload is shared
        {5, 1 << 20, vint((1 << 20) + 1) + vint(5)},
    };
    for (row const& r : rows) {
        SCOPED_TRACE("id " + std::to_string(r.id) + ", payload " + std::to_string(r.payload));
        std::string const payload = r.payload < 0 ? "hi" : std::string(r.payload, 'x');
        netbuf const frame = rulo::mux_pack_frame(r.id, netbuf::from_string(payload));
        EXPECT_EQ(frame.to_string(), r.head + payload);
        if (frame.size() <= rulo::mux_contiguous_frame) {
            EXPECT_EQ(pieces(frame), 1);
        }
        netbuf input = frame;
        long long id = 0;
        netbuf back;
        ASSERT_TRUE(rulo::mux_unpack_frame(input, id, back));
        EXPECT_EQ(id, r.id);
        EXPECT_EQ(back.to_string(), payload);
        EXPECT_TRUE(input.empty());
    }
}

} // namespace
