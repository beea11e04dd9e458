#include "rulo-rpt/mux/mux_frame.h"

#include "rulo/exception.h"
#include "rulo/packet.h"

namespace rulo {

netbuf mux_pack_frame(long long id, netbuf const& payload) {
    netbuf frame(payload);
    vint_push(frame, static_cast<unsigned long long>(id), false);
    if (static_cast<unsigned long long>(frame.size()) > mux_max_frame) throw exception::function("pack_pkt");
    vint_push(frame, static_cast<unsigned long long>(frame.size()), false);
    if (frame.size() > mux_contiguous_frame) return frame;
    // The socket writes piece by piece: a head apart from its payload would
    // leave as a segment of its own and wake the peer twice.
    char const* first = nullptr;
    int length = 0;
    netbuf::iterator(frame).get(first, length);
    if (length == frame.size()) return frame;
    netbuf flat;
    frame.copy_front(flat.allocate_back(frame.size()), frame.size());
    return flat;
}

bool mux_unpack_frame(netbuf& input, long long& id, netbuf& payload) {
    unsigned long long length = 0;
    int length_bytes = 0;
    try {
        if (!vint_read_front(input, length, length_bytes)) return false;
    } catch (exception const&) {
        throw exception::function("unpack_pkt");
    }
    if (length > mux_max_frame) throw exception::function("unpack_pkt");
    if (static_cast<unsigned long long>(input.size()) < length_bytes + length) return false;

    netbuf body(input, length_bytes, static_cast<int>(length));
    unsigned long long channel = 0;
    try {
        if (!vint_pop_front(body, channel)) throw exception::function("unpack_pkt");
    } catch (exception const&) {
        throw exception::function("unpack_pkt");
    }
    input.erase_front(length_bytes + static_cast<int>(length));
    id = static_cast<long long>(channel);
    payload = body;
    return true;
}

} // namespace rulo
