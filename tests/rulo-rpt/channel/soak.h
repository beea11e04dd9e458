// The soak of two reliable channels: both ends stream numbered random packets
// on three indexes while the link breaks at random moments (with or without
// the bytes in flight) and each host reconnects on "broken". Every packet
// must arrive exactly once and in order per index; the SHA-256 of each
// index's stream is compared end to end. Shared by the test and the bench.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace safe_kit {

struct soak_options {
    uint64_t bytes_each_way = 1 << 20;
    int breaks = 10;
    unsigned seed = 1;
    int pieces_every = 1;      // connections that cut the stream into random pieces
    int64_t limit_ms = 120000; // for the whole run
};

struct soak_result {
    bool completed = false; // every packet arrived before the limit
    std::string failure;    // the first fault seen, empty when none
    int breaks = 0;         // breaks made
    std::size_t connections = 0;
    uint64_t packets = 0; // delivered, both ways
    uint64_t bytes = 0;   // delivered, both ways
    double seconds = 0;
};

soak_result run_soak(soak_options const& o);

} // namespace safe_kit
