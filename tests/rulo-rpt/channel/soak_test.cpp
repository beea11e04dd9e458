// Both reliable channels stream numbered random packets on three indexes
// while the link breaks at random moments, with and without the bytes in
// flight, a quarter of the connections cutting frames anywhere: every packet
// arrives exactly once and in order per index, with equal SHA-256 per index.
#include "tests/rulo-rpt/channel/soak.h"
#include "tests/support/framework_env.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace {

using namespace safe_kit;

TEST(ReliableChannelPair, SoakAcrossRandomBreaks) {
    soak_options o;
    o.bytes_each_way = 32ull << 20; // 64 MiB both ways together
    o.breaks = 200;
    o.seed = 7;
    o.pieces_every = 4; // a quarter of the connections cut frames anywhere
    o.limit_ms = 240000;
    soak_result r = run_soak(o);
    EXPECT_TRUE(r.completed);
    EXPECT_EQ(r.failure, "");
    EXPECT_EQ(r.breaks, o.breaks);
    EXPECT_GE(r.connections, std::size_t(o.breaks / 2));
    std::printf("soak: %.1f MiB, %llu packets, %d breaks, %zu connections, %.1f s\n",
                double(r.bytes) / 1048576.0, static_cast<unsigned long long>(r.packets), r.breaks,
                r.connections, r.seconds);
}

} // namespace
