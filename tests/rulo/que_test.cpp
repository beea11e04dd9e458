// The blocking queue: order, pops that wait for a push, and many threads at once.
#include "rulo/netbuf.h"
#include "rulo/que.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>
#include <utility>
#include <vector>

namespace {

TEST(que, first_in_first_out) {
    xstd::que<netbuf> q; // as plugin dispatchers use it
    for (char const* s : {"a", "b", "c"}) q.push(netbuf::from_string(s));
    EXPECT_EQ(q.pop().to_string(), "a");
    q.push(netbuf::from_string("d"));
    for (char const* s : {"b", "c", "d"}) EXPECT_EQ(q.pop().to_string(), s);
}

// Readers on an empty queue return one per push; the limit is only reached when a wake-up was lost.
TEST(que, pop_on_empty_waits_for_a_push) {
    xstd::que<int> q;
    std::mutex m;
    std::condition_variable changed;
    std::multiset<int> got;
    std::vector<std::thread> readers;
    for (int i = 0; i < 4; ++i)
        readers.emplace_back([&] {
            int const v = q.pop();
            std::lock_guard lock(m);
            got.insert(v);
            changed.notify_all();
        });
    for (size_t n = 1; n <= 4; ++n) {
        std::unique_lock lock(m);
        ASSERT_EQ(got.size(), n - 1) << "a pop returned without a push";
        q.push(100 + int(n));
        ASSERT_TRUE(changed.wait_for(lock, std::chrono::minutes(2), [&] { return got.size() == n; }));
    }
    for (auto& t : readers) t.join();
    EXPECT_EQ(got, (std::multiset<int>{101, 102, 103, 104}));
}

TEST(que, many_producers_and_consumers_lose_nothing) {
    constexpr int producers = 4, consumers = 4, per_producer = 20000, total = producers * per_producer;
    xstd::que<int> q;
    std::vector<std::vector<int>> received(consumers);
    std::vector<std::thread> threads;
    for (auto& mine : received)
        threads.emplace_back([&q, &mine] {
            for (int i = 0; i < total / consumers; ++i) mine.push_back(q.pop());
        });
    for (int p = 0; p < producers; ++p)
        threads.emplace_back([&q, p] {
            for (int i = 0; i < per_producer; ++i) q.push(p * per_producer + i);
        });
    for (auto& t : threads) t.join();
    std::vector<int> seen(total);
    for (auto const& mine : received) {
        std::vector<int> last(producers, -1); // each producer's order survives, so every consumer sees it
        for (int v : mine) EXPECT_GT(v, std::exchange(last.at(size_t(v / per_producer)), v));
        for (int v : mine) ++seen.at(size_t(v));
    }
    for (int i = 0; i < total; ++i) ASSERT_EQ(seen[size_t(i)], 1) << "value " << i << " lost or popped twice";
}

} // namespace
