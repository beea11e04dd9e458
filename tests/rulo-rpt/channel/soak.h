// The soak of two reliable channels: both ends stream numbered random packets
// on three indexes while the link breaks at random moments (with or without
// the bytes in flight) and each host reconnects on "broken". Every packet
// must arrive exactly once and in order per index; the SHA-256 of each
// index's stream is compared end to end. Shared by the test and the bench.
#pragma once

#include "rulo-rpt/channel/rptSafeChannel.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace safe_kit {

// Where the two ends meet: a factory per end (0 the client, 1 the desk), and
// a way to break the current connection between them.
class soak_link {
public:
    virtual ~soak_link() = default;
    virtual rulo::object<rulo::rptChannelFactory> factory(int side) = 0;
    // Breaks the current connection; pick chooses among the ways the link can break.
    virtual void break_link(unsigned pick) = 0;
    virtual std::size_t connections() = 0;
    // From now on every connect is cancelled. For the end of a run.
    virtual void shutdown() = 0;
};

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

// Over two in-memory twin factories.
soak_result run_soak(soak_options const& o);
// Over the given link; reconnect_pause_ms, when not negative, replaces the ends' pause.
soak_result run_soak(soak_options const& o, soak_link& link, int64_t reconnect_pause_ms = -1);

} // namespace safe_kit
