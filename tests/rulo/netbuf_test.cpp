// The chunked buffer: how it lays bytes out in chunks, the faults it must not
// have, and sharing between threads and with a plugin copy. Byte-level
// behaviour of every operation is checked against a model in netbuf_model_test.
#include "rulo/exception.h"
#include "rulo/init.h"
#include "rulo/netbuf.h"
#include "rulo/netbuf_imp.h"
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
#include <vector>

namespace {

using namespace netbuf_probe;
using test_support::host_api;
using test_support::plugin_copy;
using ints = std::vector<int>;

int64_t chunk_memory() {
    return netbuf::performance_counter(netbuf::chunk_memory);
}

TEST(NetbufGeometry, OneByteAppendsFill128ThenA512Chunk) {
    int64_t const memory = chunk_memory();
    netbuf b;
    std::string model;
    for (int i = 0; i < 128; ++i) {
        model += char(i);
        b.append(&model.back(), 1);
    }
    EXPECT_EQ(lengths(b), ints{128});
    EXPECT_EQ(chunk_memory() - memory, 128);
    b.append("z", 1); // 128 x 1 view + 129 / 4 + 128 = 288 bytes, rounded up to its class
    EXPECT_EQ(lengths(b), (ints{128, 1}));
    EXPECT_EQ(chunk_memory() - memory, 128 + 512);
    EXPECT_EQ(bytes(b), model + 'z');
}

// Growing into a chunk that another buffer shares would change that buffer's bytes.
TEST(NetbufGeometry, GrowthInPlaceOnlyWhileTheChunkIsNotShared) {
    std::function<netbuf(netbuf const&)> const shares[] = {
        [](netbuf const& a) { return netbuf(a); },
        [](netbuf const& a) { return netbuf(a, 1, 1); },
        [](netbuf const& a) { return netbuf(a.get_ptr(), true); },
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

TEST(NetbufGeometry, CallerMemoryIsGrownIntoOnlyWhenWritable) {
    for (bool writable : {true, false}) {
        char memory[10] = {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'};
        release_probe probe;
        {
            netbuf b;
            b.append_raw(memory, 10, writable, &release_probe::release, &probe);
            b.erase_back(5);
            std::memcpy(b.allocate_back(3), "abc", 3);
            EXPECT_EQ(bytes(b), "01234abc");
            EXPECT_EQ(lengths(b), writable ? ints{8} : (ints{5, 3}));
            EXPECT_EQ(std::string(memory, 8), writable ? "01234abc" : "01234567");
        }
        EXPECT_EQ(probe.runs, 1);
    }
}

TEST(NetbufGeometry, MoreThan128ViewsAreJoinedIntoOneChunk) {
    netbuf const one = netbuf::from_string("x");
    static char shared_x = 'x';
    std::function<void(netbuf&)> const adders[] = {
        [&](netbuf& b) { b.append(one); },
        [&](netbuf& b) { b.prepend(one); },
        [](netbuf& b) { b.append_raw(new char[1]{'x'}, 1); },
        [](netbuf& b) { b.prepend_raw(&shared_x, 1, false, nullptr, nullptr); },
    };
    for (auto const& add : adders) {
        netbuf b;
        for (int i = 0; i < 128; ++i) add(b);
        EXPECT_EQ(lengths(b).size(), 128u);
        add(b);
        EXPECT_EQ(lengths(b), ints{129});
        EXPECT_EQ(bytes(b), std::string(129, 'x'));
    }
}

TEST(NetbufGeometry, FrontGathersShortViews) {
    struct row {
        ints views;
        int max, returned;
        ints after;
    } const table[] = {
        {{3, 3, 3, 8}, 10, 9, {9, 8}},      // stops before the view longer than max / 2
        {{40, 40, 40}, 100, 120, {120}},    // the total may pass max
        {{2, 2, 2, 2, 2}, 5, 6, {6, 2, 2}}, // stops after the view that reaches max
        {{6, 6}, 10, 6, {6, 6}},            // a long first view is returned as it is
        {{3, 3}, 6, 6, {6}},
    };
    for (auto const& r : table) {
        netbuf b = with_views(r.views);
        std::string const all = bytes(b);
        char const* data;
        int length;
        b.front(data, length, r.max);
        EXPECT_EQ(length, r.returned) << ::testing::PrintToString(r.views) << " max " << r.max;
        EXPECT_EQ(std::string(data, size_t(length)), all.substr(0, size_t(length)));
        EXPECT_EQ(lengths(b), r.after);
        EXPECT_EQ(bytes(b), all);
    }
}

TEST(NetbufHandle, InstalledOnceAndDetachable) {
    // The host's table is in force, the API table hands it on, and no second install replaces it.
    EXPECT_EQ(static_cast<void*>(host_api().netbuf_impl), static_cast<void*>(netbuf_imp::netbuf_impl));
    void* other[netbuf_imp::slot_count] = {};
    EXPECT_FALSE(netbuf::install(other));
    EXPECT_FALSE(netbuf::install(netbuf_imp::netbuf_impl));
    EXPECT_FALSE(netbuf::install(nullptr));
    netbuf a = netbuf::from_string("right");
    netbuf adopted(a.detach_ptr(), false);
    a = adopted; // an emptied handle may be assigned to
    EXPECT_EQ(a.to_string(), "right");
}

TEST(NetbufAttach, CallbackRunsExactlyOnceWhenTheLastViewGoes) {
    char data[8] = {};
    release_probe probe;
    auto attach = [&](netbuf& b) { b.append_raw(data, 8, false, &release_probe::release, &probe); };
    // The first keeps the memory until the buffer goes; the others let go of it before.
    std::function<void(netbuf&)> const scenarios[] = {
        attach,
        [&](netbuf& b) { b.prepend_raw(data, 0, true, &release_probe::release, &probe); },
        [&](netbuf& b) {
            attach(b);
            b.erase_front(8);
        },
        [&](netbuf& b) { // joined with another view
            b.append("x", 1);
            attach(b);
            b.to_string();
        },
        [&](netbuf& b) { // shared by a copy and a sub-range
            attach(b);
            auto copy = std::make_unique<netbuf>(b);
            netbuf const sub(b, 2, 3);
            b.clear();
            copy.reset();
            EXPECT_EQ(probe.runs, 0);
        },
    };
    for (size_t i = 0; i < std::size(scenarios); ++i) {
        probe.runs = 0;
        {
            netbuf b;
            scenarios[i](b);
            EXPECT_EQ(probe.runs, i == 0 ? 0 : 1) << "scenario " << i;
        }
        EXPECT_EQ(probe.runs, 1) << "scenario " << i;
    }
}

TEST(NetbufFaults, ABufferAssignedOrAppendedToItself) {
    netbuf a = with_views({3, 4});
    live const before = live::now();
    a = static_cast<netbuf const&>(a);
    EXPECT_EQ(bytes(a), "abcdefg");
    EXPECT_EQ(lengths(a), (ints{3, 4}));
    EXPECT_EQ(live::now(), before);

    struct row {
        ints views;
        bool back;
        ints after;
    } const table[] = {
        {{1, 2, 3}, true, {1, 2, 3, 1, 2, 3}},
        {{1, 2, 3}, false, {1, 2, 3, 1, 2, 3}},
        {ints(100, 1), true, {200}}, // past 128 views: joined
        {{}, true, {}},
    };
    for (auto const& r : table) {
        live const before = live::now();
        {
            netbuf a = with_views(r.views);
            std::string const model = bytes(a);
            netbuf const& self = a;
            r.back ? a.append(self) : a.prepend(self);
            EXPECT_EQ(bytes(a), model + model);
            EXPECT_EQ(lengths(a), r.after) << ::testing::PrintToString(r.views) << r.back;
        }
        EXPECT_EQ(live::now(), before);
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
        {"allocate", [](netbuf& b) { b.allocate_front(11); }},
        {"wish_allocate", [&](netbuf& b) { b.wish_allocate_back(11, d, n); }},
        {"wish_allocate", [&](netbuf& b) { b.wish_allocate_front(11, d, n); }},
        {"append", [](netbuf& b) { b.prepend(netbuf::from_string("0123456789a")); }},
        {"append", [](netbuf& b) { b.append(b); }},
        {"adopt", [](netbuf& b) { b.append_raw(netbuf::allocate_raw(11), 11); }}, // freed, or ASan tells
        {"attach", [&](netbuf& b) { b.append_raw(never_read, 11, true, &release_probe::release, &refused); }},
    };
    netbuf b;
    b.append_raw(never_read, INT_MAX - 10, false, &release_probe::release, &big);
    b.prepend("x", 1);
    for (auto const& [error, grow] : ops) {
        try {
            grow(b);
            ADD_FAILURE() << error << " not refused";
        } catch (rulo::exception const& e) {
            EXPECT_EQ(e.description(), std::string(":Error in '") + error + "'");
        }
        EXPECT_EQ(lengths(b), (ints{1, INT_MAX - 10})) << error;
    }
    EXPECT_EQ(refused.runs, 1); // the refused attachment was released at once

    // Up to the limit is fine; wish_allocate grants the room below, but no more than fits.
    std::memset(b.allocate_front(9), 'y', 9);
    EXPECT_EQ(b.size(), INT_MAX);
    EXPECT_THROW(b.allocate_front(1), rulo::exception);
    b.erase_front(9);
    b.wish_allocate_front(1, d, n);
    EXPECT_EQ(n, 9);
    EXPECT_EQ(big.runs, 0);
    b.clear();
    EXPECT_EQ(big.runs, 1);
}

// Eight threads cut, read and drop shares of one buffer, while thread 0 shrinks
// and regrows the end of its share inside a chunk with spare room: it may write
// there in place only once every other share is gone.
TEST(NetbufThreads, EightThreadsDropSharesOfOneBuffer) {
    constexpr int threads = 8, rounds = 40;
    live const before = live::now();
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
    EXPECT_EQ(live::now(), before);
}

TEST(NetbufPlugin, HostAndPluginShareOneImplementation) {
    plugin_copy plugin;
    ASSERT_EQ(plugin.start(&host_api()), "");
    auto make = plugin.get<plugin_netbuf_make_fn>("plugin_netbuf_make");
    auto append = plugin.get<plugin_netbuf_append_fn>("plugin_netbuf_append");
    auto read = plugin.get<plugin_netbuf_read_fn>("plugin_netbuf_read");
    auto counter = plugin.get<plugin_netbuf_counter_fn>("plugin_netbuf_counter");

    // The copy hands on its own table, but uses the host's.
    rulo_api_t const* own = plugin.get<plugin_table_fn>("plugin_table")();
    void* const own_table = own->netbuf_impl; // the table is packed: read, not bound
    EXPECT_NE(own_table, static_cast<void*>(netbuf_imp::netbuf_impl));

    live const before = live::now();
    {
        // Made in the plugin, counted, grown, read and released by the host.
        netbuf made(make("from the plugin", 15), false);
        EXPECT_EQ(live::now().buffers, before.buffers + 1);
        EXPECT_EQ(counter(netbuf::netbuf_count), live::now().buffers);
        EXPECT_EQ(counter(netbuf::chunk_memory), chunk_memory());
        made.append(" and the host", 13);
        EXPECT_EQ(made.to_string(), "from the plugin and the host");

        // Made in the host, grown and read by the plugin.
        netbuf host = netbuf::from_string("host");
        append(host.get_ptr(), " + plugin", 9);
        EXPECT_EQ(host.to_string(), "host + plugin");
        char out[32] = {};
        EXPECT_EQ(read(host.get_ptr(), out, int(sizeof out)), 13);
        EXPECT_STREQ(out, "host + plugin");
    }
    EXPECT_EQ(live::now(), before);
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

    live const host_before = live::now();
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
    EXPECT_EQ(live::now(), host_before);
    EXPECT_EQ(counter(netbuf::chunk_count), 0);
    EXPECT_EQ(counter(netbuf::netbuf_count), 0);
    EXPECT_GT(counter(netbuf::chunk_inc), 0);
}

} // namespace
