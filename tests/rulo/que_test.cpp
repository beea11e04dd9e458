// The blocking queue: order, pops that wait for a push, and many threads at once.
#include "rulo/netbuf.h"
#include "rulo/que.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

// Generous: only reached when a wake-up was lost.
constexpr auto event_limit = std::chrono::seconds(120);

TEST(que, first_in_first_out) {
    xstd::que<std::string> q;
    for (char const* s : {"a", "b", "c"}) q.push(s);
    EXPECT_EQ(q.pop(), "a");
    q.push("d");
    EXPECT_EQ(q.pop(), "b");
    EXPECT_EQ(q.pop(), "c");
    EXPECT_EQ(q.pop(), "d");
}

// Readers started on an empty queue return one per push, each with a pushed
// value: a pop never comes back empty-handed, whether or not it had to wait.
TEST(que, pop_on_empty_waits_for_a_push) {
    xstd::que<int> q;
    std::mutex m;
    std::condition_variable changed;
    std::vector<int> got;
    constexpr int readers = 4;
    std::vector<std::thread> threads;
    for (int i = 0; i < readers; ++i)
        threads.emplace_back([&] {
            int v = q.pop();
            std::lock_guard<std::mutex> lock(m);
            got.push_back(v);
            changed.notify_all();
        });
    for (int pushed = 1; pushed <= readers; ++pushed) {
        {
            std::lock_guard<std::mutex> lock(m);
            ASSERT_EQ(got.size(), static_cast<std::size_t>(pushed - 1)) << "a pop returned without a push";
        }
        q.push(100 + pushed);
        std::unique_lock<std::mutex> lock(m);
        ASSERT_TRUE(changed.wait_for(lock, event_limit, [&] { return got.size() >= std::size_t(pushed); }))
            << "no reader woke for push " << pushed;
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(std::set<int>(got.begin(), got.end()), (std::set<int>{101, 102, 103, 104}));
}

TEST(que, many_producers_and_consumers_lose_nothing) {
    constexpr int producers = 4, consumers = 4, per_producer = 20000;
    constexpr int total = producers * per_producer;
    xstd::que<int> q;
    std::vector<std::vector<int>> received(consumers);
    std::vector<std::thread> threads;
    for (int c = 0; c < consumers; ++c)
        threads.emplace_back([&q, &mine = received[c]] {
            for (int i = 0; i < total / consumers; ++i) mine.push_back(q.pop());
        });
    for (int p = 0; p < producers; ++p)
        threads.emplace_back([&q, p] {
            for (int i = 0; i < per_producer; ++i) q.push(p * per_producer + i);
        });
    for (auto& t : threads) t.join();

    std::vector<bool> seen(total, false);
    for (auto const& mine : received) {
        // The queue keeps each producer's order, so every consumer sees it too.
        std::vector<int> last(producers, -1);
        for (int v : mine) {
            ASSERT_GE(v, 0);
            ASSERT_LT(v, total);
            EXPECT_FALSE(seen[v]) << v << " popped twice";
            seen[v] = true;
            EXPECT_GT(v, last[v / per_producer]) << "order of producer " << v / per_producer;
            last[v / per_producer] = v;
        }
    }
    EXPECT_EQ(std::count(seen.begin(), seen.end(), true), total);
}

// Buffers handed from one thread to another, ended by an empty buffer as a
// plugin dispatcher ends its queue.
TEST(que, carries_buffers_between_threads) {
    xstd::que<netbuf> q;
    std::vector<std::string> got;
    std::thread reader([&] {
        for (netbuf b = q.pop(); !b.empty(); b = q.pop()) got.push_back(b.to_string());
    });
    std::vector<std::string> sent;
    for (int i = 0; i < 200; ++i) {
        sent.push_back(std::string(i * 7 % 300 + 1, static_cast<char>('a' + i % 26)));
        q.push(netbuf::from_string(sent.back()));
    }
    q.push(netbuf());
    reader.join();
    EXPECT_EQ(got, sent);
}

} // namespace
