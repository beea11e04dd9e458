// The chunked buffer: when it may grow in place, the faults it must not have,
// and sharing between threads and with a plugin copy. Byte-level behaviour of
// every operation is checked against a model in netbuf_model_test.
#include "rulo/exception.h"
#include "rulo/init.h"
#include "rulo/netbuf.h"
#include "rulo/netbuf_table.h"
#include "tests/rulo/netbuf_probe.h"
#include "tests/support/framework_env.h"
#include "tests/support/plugin_loader.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <functional>
#include <latch>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using namespace netbuf_probe;
using test_support::host_api;
using test_support::plugin_copy;
using ints = std::vector<int>;

// Growing into a chunk that another buffer shares would change that buffer's bytes.
TEST(NetbufGeometry, GrowthInPlaceOnlyWhileTheChunkIsNotShared) {
    std::function<netbuf(netbuf const&)> const shares[] = {
        [](netbuf const& a) { return netbuf(a); },
        [](netbuf const& a) { return netbuf(a, 1, 1); },
    };
    for (auto const& share : shares) {
        for (bool back : {true, false}) {
            netbuf a; // a prepend leaves room below, an append above
            back ? a.append("abc", 3) : a.prepend("abc", 3);
            netbuf const held = share(a);
            *(back ? a.allocate_back(1) : a.allocate_front(1)) = '+';
            EXPECT_EQ(lengths(a), (ints{back ? 3 : 1, back ? 1 : 3}));
            EXPECT_EQ(bytes(a), back ? "abc+" : "+abc");
        }
    }
}

// A read that joins chunks keeps the copy beside the chain; the next change
// puts the largest copy in place of the views it joined, without copying again.
TEST(NetbufGeometry, JoinedReadsTakeEffectAtTheNextChange) {
    struct row {
        ints views;
        ints maxes; // front() calls in turn
        int length; // what the last one returns
        ints after; // the views once one byte is erased from the end
    } const table[] = {
        {{3, 3, 3, 8}, {10}, 9, {9, 7}},         // stops before the 8-byte view
        {{40, 40, 40}, {100}, 120, {119}},       // the whole buffer
        {{2, 2, 2, 2, 2}, {4, 100, 4}, 10, {9}}, // the larger copy is kept and used
        {{2, 2, 2, 2, 2}, {100, 4}, 10, {9}},    // a smaller read uses the larger copy
        {{9, 2, 2}, {10}, 9, {9, 2, 1}},         // a long first view needs no copy
    };
    for (auto const& r : table) {
        netbuf b = with_views(r.views);
        std::string const want = bytes(b);
        auto const chunks = netbuf::performance_counter(netbuf::chunk_count);
        char const* data = nullptr;
        int length = 0;
        for (int max : r.maxes) std::as_const(b).front(data, length, max);
        EXPECT_EQ(length, r.length);
        EXPECT_EQ(std::string(data, size_t(length)), want.substr(0, size_t(length)));
        EXPECT_EQ(lengths(b), r.views) << "a read leaves the chain as it was";
        b.erase_back(1);
        EXPECT_EQ(lengths(b), r.after);
        EXPECT_EQ(bytes(b), want.substr(0, want.size() - 1));
        EXPECT_LE(netbuf::performance_counter(netbuf::chunk_count), chunks + 1)
            << "copies not used are dropped";
    }
}

// Caller memory is grown into only when writable, and released once, by the last view that goes.
TEST(NetbufAttach, WritableMemoryIsGrownIntoAndReleasedByTheLastView) {
    for (bool writable : {true, false}) {
        char memory[10] = {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'};
        release_probe probe;
        netbuf b;
        b.append_raw(memory, 10, writable, &release_probe::release, &probe);
        b.erase_back(5);
        std::memcpy(b.allocate_back(3), "abc", 3);
        EXPECT_EQ(bytes(b), "01234abc");
        EXPECT_EQ(lengths(b), writable ? ints{8} : (ints{5, 3}));
        EXPECT_EQ(std::string(memory, 8), writable ? "01234abc" : "01234567");
        {
            auto copy = std::make_unique<netbuf>(b);
            netbuf const sub(b, 2, 3);
            b.clear();
            copy.reset();
            EXPECT_EQ(probe.runs, 0);
        }
        EXPECT_EQ(probe.runs, 1);
        b.prepend_raw(memory, 0, true, &release_probe::release, &probe); // nothing kept: released at once
        EXPECT_EQ(probe.runs, 2);
    }
}

TEST(NetbufFaults, ABufferAssignedOrAppendedToItself) {
    netbuf a = with_views({3, 4});
    auto const before = live();
    a = static_cast<netbuf const&>(a);
    EXPECT_EQ(bytes(a), "abcdefg");
    EXPECT_EQ(lengths(a), (ints{3, 4}));
    EXPECT_EQ(live(), before);
    netbuf adopted(a.detach_ptr(), false);
    a = adopted; // an emptied handle may be assigned to
    EXPECT_EQ(a.to_string(), "abcdefg");

    std::pair<ints, bool> const table[] = {
        {{1, 2, 3}, true}, {{1, 2, 3}, false}, {ints(100, 1), true}, {{}, true}};
    for (auto const& [views, back] : table) {
        auto const before = live();
        {
            netbuf a = with_views(views);
            std::string const model = bytes(a);
            back ? a.append(std::as_const(a)) : a.prepend(std::as_const(a));
            EXPECT_EQ(bytes(a), model + model) << views.size() << back;
            EXPECT_LE(lengths(a).size(), 128u); // past 128 views: joined
        }
        EXPECT_EQ(live(), before);
    }
}

// Growth past 2147483647 bytes is refused before anything changes. The big
// buffer is caller memory that is never read, so no memory is needed.
TEST(NetbufFaults, GrowthPastTheSizeLimitIsRefused) {
    static char never_read[1];
    char* d;
    int n;
    release_probe refused, big;
    std::pair<char const*, std::function<void(netbuf&)>> const ops[] = {
        {"allocate", [](netbuf& b) { b.append("0123456789a", 11); }},
        {"wish_allocate", [&](netbuf& b) { b.wish_allocate_back(11, d, n); }},
        {"append", [](netbuf& b) { b.prepend(netbuf::from_string("0123456789a")); }},
        {"append", [](netbuf& b) { b.append(b); }},
        {"adopt", [](netbuf& b) { b.append_raw(netbuf::allocate_raw(11), 11); }}, // freed, or ASan tells
        {"attach", [&](netbuf& b) { b.append_raw(never_read, 11, true, &release_probe::release, &refused); }},
    };
    netbuf b;
    b.append_raw(never_read, INT_MAX - 10, false, &release_probe::release, &big);
    b.prepend("x", 1);
    for (auto const& [error, grow] : ops) {
        EXPECT_EQ(test_support::thrown([&] { grow(b); }), std::string(":Error in '") + error + "'");
        EXPECT_EQ(lengths(b), (ints{1, INT_MAX - 10})) << error;
    }
    EXPECT_EQ(refused.runs, 1); // the refused attachment was released at once

    // Up to the limit is fine; wish_allocate grants the room below, but no more than fits.
    std::memset(b.allocate_front(9), 'y', 9);
    EXPECT_EQ(b.size(), INT_MAX);
    EXPECT_EQ(test_support::thrown([&] { b.allocate_front(1); }), ":Error in 'allocate'");
    b.erase_front(9);
    b.wish_allocate_front(1, d, n);
    EXPECT_EQ(n, 9);
    EXPECT_EQ(big.runs, 0);
}

// Eight threads cut, read and drop shares of one buffer, while thread 0 shrinks
// and regrows the end of its share inside a chunk with spare room: it may write
// there in place only once every other share is gone.
TEST(NetbufThreads, EightThreadsDropSharesOfOneBuffer) {
    constexpr int threads = 8, rounds = 40;
    auto const before = live();
    release_probe released;
    static std::string const attached(500, '#');
    std::string expected;
    for (int i = 0; i < 3000; ++i) expected += char('A' + i % 53);
    expected += attached;

    for (int round = 0; round < rounds; ++round) {
        netbuf source;
        for (int at = 0; at < 3000; at += 700) source.append(expected.data() + at, std::min(700, 3000 - at));
        source.append_raw(const_cast<char*>(attached.data()), 500, false, &release_probe::release, &released);
        std::vector<netbuf> shares;
        for (int t = 0; t < threads; ++t)
            shares.push_back(t % 2 ? netbuf(source) : netbuf(source, t * 100, 2000));
        source = netbuf(); // the threads hold the only shares now

        std::latch start(threads);
        std::vector<std::thread> pool;
        for (int t = 0; t < threads; ++t) {
            pool.emplace_back([&, t] {
                netbuf mine;
                mine.swap(shares[size_t(t)]);
                std::string const want = expected.substr(size_t(t % 2 ? 0 : t * 100), size_t(mine.size()));
                std::mt19937 rng(unsigned(round * threads + t));
                bool ok = true;
                start.arrive_and_wait();
                for (int s = 0; s < 150 && ok; ++s) {
                    int const from = int(rng() % unsigned(mine.size())), len = int(rng() % 300);
                    netbuf copy(mine), cut(mine, from, len);
                    ok = cut.to_string() == want.substr(size_t(from), size_t(len));
                    copy.erase_back(int(rng() % 50));
                    copy.append("tail", 4);
                }
                for (int s = 0; t == 0 && ok && s < 3000; ++s) {
                    int const n = 1 + int(rng() % 40);
                    mine.erase_back(n);
                    std::memset(mine.allocate_back(n), 't', size_t(n));
                    std::string tail(size_t(n), '?');
                    mine.copy_back(tail.data(), n);
                    ok = tail == std::string(size_t(n), 't');
                }
                size_t const kept = want.size() - 40; // thread 0's tail is at most 40 bytes
                EXPECT_TRUE(ok && mine.to_string().compare(0, kept, want, 0, kept) == 0) << "thread " << t;
            });
        }
        for (auto& th : pool) th.join();
        EXPECT_EQ(released.runs, round + 1);
    }
    EXPECT_EQ(live(), before);
}

// The transport hands one buffer to several threads, which read it through a
// const reference at the same time. Reads that need the bytes contiguous must
// leave the chunk chain the others are walking as it is.
TEST(NetbufThreads, EightThreadsReadOneConstBuffer) {
    constexpr int threads = 8;
    for (int round = 0; round < 20; ++round) {
        netbuf const shared = with_views({3, 3, 3, 8, 40, 40, 40, 1, 1, 1});
        std::string const want = bytes(shared);
        std::vector<int> const views = lengths(shared);
        std::latch start(threads);
        std::vector<std::thread> pool;
        for (int t = 0; t < threads; ++t) {
            pool.emplace_back([&, t] {
                start.arrive_and_wait();
                char const* data = nullptr;
                int length = 0;
                bool ok = true;
                for (int max : {10, 100, 1000, 10}) {
                    shared.front(data, length, (max + t) % 7 == 0 ? max : max + t);
                    ok = ok && length > 0 &&
                         std::string(data, size_t(length)) == want.substr(0, size_t(length));
                }
                shared.whole(data, length);
                ok = ok && std::string(data, size_t(length)) == want;
                ok = ok && shared.to_string() == want && bytes(shared) == want &&
                     netbuf(shared, 5, 9).to_string() == want.substr(5, 9);
                EXPECT_TRUE(ok) << "thread " << t;
            });
        }
        for (auto& th : pool) th.join();
        EXPECT_EQ(lengths(shared), views); // the readers left the chain as it was
    }
}

TEST(NetbufPlugin, HostAndPluginShareOneImplementation) {
    // The host's table is in force, the API table hands it on, and no second install replaces it.
    EXPECT_EQ(static_cast<void*>(host_api().netbuf_impl), static_cast<void*>(netbuf_imp::netbuf_impl));
    void* other[netbuf_imp::slot_count] = {};
    EXPECT_FALSE(netbuf::install(other));
    EXPECT_FALSE(netbuf::install(nullptr));

    plugin_copy plugin;
    ASSERT_EQ(plugin.start(&host_api()), "");
    auto make = plugin.get<plugin_netbuf_make_fn>("plugin_netbuf_make");
    auto append = plugin.get<plugin_netbuf_append_fn>("plugin_netbuf_append");
    auto read = plugin.get<plugin_netbuf_read_fn>("plugin_netbuf_read");
    auto counter = plugin.get<plugin_netbuf_counter_fn>("plugin_netbuf_counter");
    // The copy hands on its own table, but uses the host's.
    void* const own_table =
        plugin.get<plugin_table_fn>("plugin_table")()->netbuf_impl; // packed: read, not bound
    EXPECT_NE(own_table, static_cast<void*>(netbuf_imp::netbuf_impl));

    auto const before = live();
    {
        netbuf made(make("from the plugin", 15), false); // counted, grown, read and released by the host
        EXPECT_EQ(live()[2], before[2] + 1);
        EXPECT_EQ(counter(netbuf::netbuf_count), live()[2]);
        made.append(" and the host", 13);
        EXPECT_EQ(made.to_string(), "from the plugin and the host");

        netbuf host = netbuf::from_string("host"); // grown and read by the plugin
        append(host.get_ptr(), " + plugin", 9);
        EXPECT_EQ(host.to_string(), "host + plugin");
        char out[32] = {};
        EXPECT_EQ(read(host.get_ptr(), out, int(sizeof out)), 13);
        EXPECT_STREQ(out, "host + plugin");
    }
    EXPECT_EQ(live(), before);
}

// A copy started without the host's entries runs its own implementation: the
// host's counters do not see its buffers. Its size-class caches are made by
// whichever of eight threads needs a chunk first.
TEST(NetbufPlugin, OwnImplementationMakesItsCachesOnceUnderConcurrentFirstUse) {
    rulo_api_t parent = host_api();
    parent.version = -1;
    plugin_copy plugin;
    ASSERT_EQ(plugin.start(&parent), "");
    auto make = plugin.get<plugin_netbuf_make_fn>("plugin_netbuf_make");
    auto read = plugin.get<plugin_netbuf_read_fn>("plugin_netbuf_read");
    auto drop = plugin.get<plugin_netbuf_drop_fn>("plugin_netbuf_drop");
    auto counter = plugin.get<plugin_netbuf_counter_fn>("plugin_netbuf_counter");

    auto const host_before = live();
    EXPECT_EQ(counter(netbuf::chunk_count), 0);
    constexpr int threads = 8;
    std::latch start(threads);
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            std::string const text(size_t(100 + t * 1000), char('a' + t)); // several size classes
            start.arrive_and_wait();
            void* impl = make(text.data(), int(text.size()));
            std::string back(text.size(), '?');
            read(impl, back.data(), int(back.size()));
            EXPECT_EQ(back, text);
            drop(impl);
        });
    }
    for (auto& th : pool) th.join();
    EXPECT_EQ(live(), host_before);
    EXPECT_EQ(counter(netbuf::chunk_count), 0);
    EXPECT_EQ(counter(netbuf::netbuf_count), 0);
    EXPECT_GT(counter(netbuf::chunk_inc), 0);
}

} // namespace
