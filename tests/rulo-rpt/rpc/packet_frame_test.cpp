// The length-line parser: what it takes, what it waits for and what it refuses.
#include "rulo-rpt/rpc/packet_frame.h"
#include "tests/support/framework_env.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using rulo::packet_frame::status;

TEST(PacketFrame, ReadsOnlyOkOrABoundedDecimalLength) {
    struct row {
        std::string input;
        status expect;
        std::string payload; // for packet
        int left;            // bytes left in the input afterwards
    };
    std::string const twenty(20, '1');
    row const rows[] = {
        {"5\nhello", status::packet, "hello", 0},
        {"5\nhelloXY", status::packet, "hello", 2},
        {"0\n", status::packet, "", 0},
        {"007\nabcdefg", status::packet, "abcdefg", 0},
        {"OK\n3\nabc", status::keep_alive, "", 5},
        {"", status::need_more, "", 0},
        {"12", status::need_more, "", 2},
        {"5\nhell", status::need_more, "", 6},
        {"67108864\n", status::need_more, "", 9},  // exactly the limit: waits for it
        {"2147483647", status::need_more, "", 10}, // line not finished yet
        {"1234567890123456789", status::need_more, "", 19},
        {"67108865\n", status::malformed, "", 9},     // above 64 MiB
        {"2147483648\n", status::malformed, "", 11},  // above INT32_MAX
        {"12345678901\n", status::malformed, "", 12}, // eleven digits
        {"-5\nhello", status::malformed, "", 8},
        {"+5\nhello", status::malformed, "", 8},
        {" 5\nhello", status::malformed, "", 8},
        {"5 \nhello", status::malformed, "", 8},
        {"0x5\nhello", status::malformed, "", 9},
        {"\nhello", status::malformed, "", 6},
        {"ok\n", status::malformed, "", 3},
        {"OK \n", status::malformed, "", 4},
        {twenty, status::malformed, "", 20}, // no line feed in the first 20 bytes
        {twenty + "\n", status::malformed, "", 21},
        {std::string(19, '0') + "\n", status::malformed, "", 20},
    };
    for (row const& r : rows) {
        SCOPED_TRACE(r.input);
        netbuf input = netbuf::from_string(r.input);
        netbuf payload = netbuf::from_string("untouched");
        EXPECT_EQ(rulo::packet_frame::next(input, payload), r.expect);
        if (r.expect == status::packet) {
            EXPECT_EQ(payload.to_string(), r.payload);
        }
        EXPECT_EQ(input.size(), r.left);
    }
}

TEST(PacketFrame, FramesWhatItReadsAndRefusesOversizedPayloads) {
    netbuf stream;
    for (std::string p : {std::string(), std::string("a"), std::string(1000, 'x'), std::string("line\nfeed")})
        stream.append(rulo::packet_frame::frame(netbuf::from_string(p)));
    EXPECT_EQ(stream.to_string().substr(0, 5), "0\n1\na");
    std::string seen;
    netbuf payload;
    while (rulo::packet_frame::next(stream, payload) == status::packet) seen += payload.to_string() + "|";
    EXPECT_EQ(seen, "|a|" + std::string(1000, 'x') + "|line\nfeed|");

    netbuf big;
    big.allocate_back(rulo::packet_frame::max_payload + 1);
    EXPECT_NE(test_support::thrown([&] { rulo::packet_frame::frame(big); }).find("Error in 'send'"),
              std::string::npos);
}

} // namespace
