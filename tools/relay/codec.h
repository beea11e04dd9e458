// Packets of the control channel, of named messages and of downloads, over
// std::string with the framework's packet codec. A packet is a stack: the
// value pushed last is read first, so commands are pushed last.
#pragma once

#include "rulo/exception.h"
#include "rulo/packet.h"

#include <string>

namespace relay {

// A byte-string value in the framework's "netbuf value" form: the bytes,
// then their size as a signed 32-bit integer (a text's length is unsigned).
struct blob {
    std::string bytes;
};

} // namespace relay

template <>
struct rulo_packet<relay::blob> {
    static void push(std::string& b, relay::blob const& v) {
        b += v.bytes;
        rulo_packet_push(b, static_cast<int>(v.bytes.size()));
    }
    static void pop(std::string& b, relay::blob& v) {
        int size = 0;
        rulo_packet_pop(b, size);
        if (size < 0 || static_cast<std::size_t>(size) > b.size())
            throw rulo::exception(rulo::packet_parse_e);
        v.bytes.assign(b, b.size() - static_cast<std::size_t>(size), static_cast<std::size_t>(size));
        b.resize(b.size() - static_cast<std::size_t>(size));
    }
};

namespace relay {

// A packet whose values are read in the order given: command first.
template <class... T>
std::string make_packet(T const&... values) {
    std::string b;
    xstd::packet_push(b, values...);
    return b;
}

} // namespace relay
