// Two reliable channels through tovan_relay with the end-to-end TLS between
// them, while the relay breaks the session at even steps: every packet
// arrives once and in order, the SHA-256 of each stream matches end to end.
//
// TOVAN_RELAY_SOAK_MIB sets the size each way. The default, 64 MiB, keeps the
// run near half a minute under the sanitizers; TOVAN_RELAY_SOAK_MIB=100 is the
// full run (about a minute there).
#include "tests/rulo-rpt/channel/relay_link.h"
#include "tests/rulo-rpt/channel/soak.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

uint64_t soak_bytes() {
    char const* mib = std::getenv("TOVAN_RELAY_SOAK_MIB");
    return (mib && *mib ? std::strtoull(mib, nullptr, 10) : 64) << 20;
}

std::size_t count_of(std::string const& text, std::string const& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

TEST(relay_soak, EveryByteOnceAcrossRelaySideBreaks) {
    test_support::relay_process relay({"--pair-unbound"});
    safe_kit::relay_link link(relay);
    safe_kit::soak_options o;
    o.bytes_each_way = soak_bytes();
    o.breaks = 20;
    o.seed = 14;
    o.limit_ms = 280000;
    // The pause is the host's business; a short one keeps the run short.
    safe_kit::soak_result const r = safe_kit::run_soak(o, link, 20);
    EXPECT_TRUE(r.completed);
    EXPECT_EQ(r.failure, "");
    EXPECT_EQ(r.breaks, 20);
    EXPECT_GE(r.connections, 21u);
    EXPECT_GE(r.bytes, 2 * o.bytes_each_way);
    // Each connection's legs were joined by the relay, none refused.
    std::string const log = relay.log_text();
    EXPECT_GE(count_of(log, "\"event\":\"pair\""), 21u);
    EXPECT_EQ(count_of(log, "\"violation\""), 0u);
    EXPECT_EQ(count_of(log, "no session to join"), 0u);
    std::printf("%.1f MiB each way, %d breaks, %zu connections, %.1f s\n",
                double(o.bytes_each_way) / (1 << 20), r.breaks, r.connections, r.seconds);
}

} // namespace
