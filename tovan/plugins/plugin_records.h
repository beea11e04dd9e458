// The records the two ends exchange while they negotiate their plugins, and
// their packet codecs.
//
//   plugin_req_struct     name (text), then protocol (signed 32-bit)
//   plugin_accept_struct  name, protocol, then accepted ("T"/"F")
//
// Both are kept in sets ordered by name, greatest name first. A set goes out
// as every set does: its elements from the last to the first, then the
// count; so the smallest name is written first. For example the request set
// {("tp_echo", 5)} is 74 70 5F 65 63 68 6F 07 01 | 05 01 | 01 01.
#pragma once

#include "rulo/packet.h"

#include <map>
#include <set>
#include <string>

namespace tovan {

struct plugin_req_struct {
    std::string name;
    int protocol = 0;
};

struct plugin_accept_struct {
    std::string name;
    int protocol = 0;
    bool accepted = false;
};

struct greater_name {
    template <class R>
    bool operator()(R const& a, R const& b) const {
        return a.name > b.name;
    }
};

using plugin_req_set = std::set<plugin_req_struct, greater_name>;
using plugin_accept_set = std::set<plugin_accept_struct, greater_name>;
using plugin_channel_map = std::map<std::string, int>;

// Reads a whole set, replacing what it held. On a malformed payload the set
// keeps the records read before the failure and the exception goes on.
template <class Set>
void pop_record_set(std::string& payload, Set& out) {
    out.clear();
    rulo_packet_pop(payload, out);
}

} // namespace tovan

template <>
struct rulo_packet<tovan::plugin_req_struct> {
    template <class Buffer>
    static void push(Buffer& b, tovan::plugin_req_struct const& v) {
        rulo_packet_push(b, v.name, v.protocol);
    }
    template <class Buffer>
    static void pop(Buffer& b, tovan::plugin_req_struct& v) {
        rulo_packet_pop(b, v.name, v.protocol);
    }
};

template <>
struct rulo_packet<tovan::plugin_accept_struct> {
    template <class Buffer>
    static void push(Buffer& b, tovan::plugin_accept_struct const& v) {
        rulo_packet_push(b, v.name, v.protocol, v.accepted);
    }
    template <class Buffer>
    static void pop(Buffer& b, tovan::plugin_accept_struct& v) {
        rulo_packet_pop(b, v.name, v.protocol, v.accepted);
    }
};
