// What the buffer tests look at: the views of a buffer (without rearranging
// them) and the live counters of the installed implementation.
#pragma once

#include "rulo/netbuf.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace netbuf_probe {

// The view lengths and all bytes, read through the iterator (to_string would join chunks).
inline std::vector<int> lengths(netbuf const& b, std::string* bytes = nullptr) {
    std::vector<int> out;
    for (netbuf::iterator it(b); it.valid(); it.next()) {
        char const* data;
        int length;
        out.push_back(it.get(data, length));
        if (bytes) bytes->append(data, size_t(length));
    }
    return out;
}

inline std::string bytes(netbuf const& b) {
    std::string out;
    lengths(b, &out);
    return out;
}

// Live chunks, views and buffers: back where they were once every buffer is gone.
inline std::array<int64_t, 3> live() {
    return {netbuf::performance_counter(netbuf::chunk_count), netbuf::performance_counter(netbuf::view_count),
            netbuf::performance_counter(netbuf::netbuf_count)};
}

// Counts the runs of an attach callback.
struct release_probe {
    int runs = 0;
    static void release(void* p) { ++static_cast<release_probe*>(p)->runs; }
};

// One view per length, each over a chunk of its own, holding consecutive letters from 'a' on.
inline netbuf with_views(std::vector<int> const& sizes) {
    netbuf b;
    int k = 0;
    for (int n : sizes) {
        char* array = netbuf::allocate_raw(n);
        for (int i = 0; i < n; ++i) array[i] = char('a' + k++ % 26);
        b.append_raw(array, n);
    }
    return b;
}

} // namespace netbuf_probe
