#include "rulo-rpt/rpc/packet_frame.h"

#include "rulo/exception.h"

#include <cstdint>
#include <string>

namespace rulo::packet_frame {

status next(netbuf& input, netbuf& payload) {
    int const newline = input.find('\n', line_search);
    if (newline < 0) return input.size() >= line_search ? status::malformed : status::need_more;

    char line[line_search];
    input.copy_front(line, newline);
    if (newline == 2 && line[0] == 'O' && line[1] == 'K') {
        input.erase_front(newline + 1);
        return status::keep_alive;
    }
    if (newline < 1 || newline > 10) return status::malformed;
    int64_t length = 0;
    for (int i = 0; i < newline; ++i) {
        if (line[i] < '0' || line[i] > '9') return status::malformed;
        length = length * 10 + (line[i] - '0');
    }
    // Ten digits reach past INT32_MAX; the 64 MiB limit is the tighter one,
    // both are kept so that neither depends on the other's value.
    if (length > INT32_MAX || length > max_payload) return status::malformed;
    if (int64_t(input.size()) - (newline + 1) < length) return status::need_more;

    payload = netbuf(input, newline + 1, int(length));
    input.erase_front(newline + 1 + int(length));
    return status::packet;
}

netbuf frame(netbuf const& payload) {
    if (payload.size() > max_payload) throw exception::function("send");
    netbuf out(payload);
    out.prepend(std::to_string(payload.size()) + "\n");
    return out;
}

} // namespace rulo::packet_frame
