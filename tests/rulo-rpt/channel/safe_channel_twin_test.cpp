// Two reliable channels, client and desk, over connections that a twin
// factory builds per connect and the test breaks.
#include "rulo-rpt/channel/rptSafeChannel.h"
#include "tests/rulo-rpt/channel/safe_channel_kit.h"
#include "tests/support/framework_env.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>

namespace {

using namespace safe_kit;

std::string random_text(std::size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string out(n, '\0');
    for (char& c : out) c = char(gen());
    return out;
}

TEST(ReliableChannelPair, SmallPacketsOnAHigherPriorityOvertakeLargeOnes) {
    std::shared_ptr<twin_link> link = twin_link::make(3);
    end client, desk;
    link_closer closer{link};
    client.channel->set_priority(3, -10);
    client.channel->start(link->factory(0), true, initial_index, netbuf::from_string("hello desk"));
    desk.channel->start(link->factory(1), false, initial_index, netbuf());
    ASSERT_TRUE(client.host->wait_status("session_connect"));
    ASSERT_TRUE(desk.host->wait_status("session_connect"));
    ASSERT_TRUE(desk.host->wait_packets(1));

    // The transport takes one packet and then holds on while everything is queued.
    link->current_tap(0)->hold_drain();
    std::string const big[3] = {random_text(1 << 20, 10), random_text(1 << 20, 11), random_text(1 << 20, 12)};
    for (int i = 0; i < 3; ++i) client.channel->send(10 + i, netbuf::from_string(big[i]));
    for (int i = 0; i < 20; ++i) client.channel->send(3, netbuf::from_string("urgent " + std::to_string(i)));
    link->current_tap(0)->release_drain();

    ASSERT_TRUE(desk.host->wait_packets(1 + 20 + 3));
    auto got = desk.host->packets();
    EXPECT_EQ(got[0], (std::pair<int, std::string>{initial_index, "hello desk"}));
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(got[1 + i], (std::pair<int, std::string>{3, "urgent " + std::to_string(i)}));
    // Indexes without a priority share the link round-robin: they finish in turn.
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(got[21 + i].first, 10 + i);
        EXPECT_TRUE(got[21 + i].second == big[i]) << "index " << 10 + i;
    }
}

TEST(ReliableChannelPair, BreaksWithAndWithoutLossLoseAndRepeatNothing) {
    std::shared_ptr<twin_link> link = twin_link::make(5);
    end client, desk;
    link_closer closer{link};
    client.host->auto_reconnect = true;
    desk.host->auto_reconnect = true;
    client.channel->start(link->factory(0), true, initial_index, netbuf());
    desk.channel->start(link->factory(1), false, initial_index, netbuf());
    std::vector<std::pair<int, std::string>> expected;
    for (int round = 0; round < 6; ++round) {
        SCOPED_TRACE(round);
        ASSERT_TRUE(client.host->wait_status("session_connect", round + 1));
        for (int i = 0; i < 40; ++i) {
            std::string data =
                std::to_string(round) + ":" + std::to_string(i) + random_text(i * 97 % 3000, i);
            client.channel->send(1 + i % 2, netbuf::from_string(data));
            expected.emplace_back(1 + i % 2, data);
        }
        link->break_link(round % 2 == 1);
        ASSERT_TRUE(client.host->wait_status("session_connect", round + 2));
    }
    ASSERT_TRUE(desk.host->wait_packets(expected.size()));
    EXPECT_FALSE(desk.host->wait_packets(expected.size() + 1, 200));
    // Order holds per index; between indexes the sender's rotation decides.
    auto per_index = [](std::vector<std::pair<int, std::string>> const& packets) {
        std::map<int, std::vector<std::string>> out;
        for (auto const& p : packets) out[p.first].push_back(p.second);
        return out;
    };
    EXPECT_TRUE(per_index(desk.host->packets()) == per_index(expected));
    EXPECT_EQ(client.host->status_count("invalid_reconnect") + desk.host->status_count("invalid_reconnect"),
              0);
}

} // namespace
