// The control channel's length-line framing on hostile bytes.
//
// The first input byte gives the size of the pieces (1 to 64) in which the
// rest arrives, as a network cuts it. The pieces are fed to the parser the
// way the packet layer feeds it (append, then take packets until it needs
// more or refuses); the packets, keep-alives, the refusal and the bytes left
// over must equal what a decoder written from the format reads from the
// whole stream at once. Every packet must frame and parse back unchanged.
#include "rulo-rpt/rpc/packet_frame.h"
#include "rulo/netbuf.h"
#include "tests/fuzz/fuzz_support.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

using fuzz::check;
using rulo::packet_frame::status;

namespace {

struct outcome {
    std::vector<std::string> events; // "P<payload>" or "K"
    bool refused = false;
    std::size_t left = 0;
};

// The format: a line of "OK" or 1 to 10 digits worth at most 64 MiB, the line
// feed within the first 20 bytes, then that many payload bytes.
outcome reference(std::string const& stream) {
    outcome o;
    std::size_t at = 0;
    for (;;) {
        std::string const rest = stream.substr(at);
        std::size_t const nl = rest.substr(0, 20).find('\n');
        if (nl == std::string::npos) {
            o.refused = rest.size() >= 20;
            break;
        }
        std::string const line = rest.substr(0, nl);
        if (line == "OK") {
            o.events.push_back("K");
            at += 3;
            continue;
        }
        bool digits = !line.empty() && line.size() <= 10;
        for (char c : line) digits = digits && c >= '0' && c <= '9';
        if (!digits || std::stoull(line) > 64ull * 1024 * 1024) {
            o.refused = true;
            break;
        }
        std::size_t const length = std::stoull(line);
        if (rest.size() - nl - 1 < length) break;
        o.events.push_back("P" + rest.substr(nl + 1, length));
        at += nl + 1 + length;
    }
    o.left = stream.size() - at;
    return o;
}

outcome incremental(std::string const& stream, std::size_t piece) {
    outcome o;
    netbuf input;
    for (std::size_t at = 0; at < stream.size() && !o.refused; at += piece) {
        input.append(netbuf::from_string(stream.substr(at, piece)));
        for (bool more = true; more;) {
            netbuf payload;
            int const before = input.size();
            switch (rulo::packet_frame::next(input, payload)) {
            case status::need_more:
                check(input.size() == before);
                more = false;
                break;
            case status::keep_alive:
                o.events.push_back("K");
                break;
            case status::packet: {
                std::string const p = payload.to_string();
                o.events.push_back("P" + p);
                // Framed again, it reads back as the same one packet.
                netbuf again = rulo::packet_frame::frame(payload);
                netbuf back;
                check(rulo::packet_frame::next(again, back) == status::packet);
                check(back.to_string() == p && again.empty());
                break;
            }
            case status::malformed:
                check(input.size() == before);
                o.refused = true;
                more = false;
                break;
            }
        }
    }
    o.left = input.size();
    return o;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
    if (size < 1) return 0;
    std::size_t const piece = data[0] % 64 + 1;
    std::string const stream = fuzz::bytes(data + 1, size - 1);
    outcome const want = reference(stream);
    outcome const got = incremental(stream, piece);
    check(got.events == want.events);
    check(got.refused == want.refused);
    // A refusing parser may not have been fed the whole stream.
    if (!got.refused) check(got.left == want.left);
    return 0;
}
