// The chunked buffer: how it lays bytes out in chunks, its edge cases, the
// faults it must not have, and sharing between threads and with a plugin copy.
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
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using netbuf_probe::bytes;
using netbuf_probe::lengths;
using netbuf_probe::live;
using netbuf_probe::with_views;
using test_support::host_api;
using test_support::plugin_copy;
using ints = std::vector<int>;

int64_t chunk_memory() {
    return netbuf::performance_counter(netbuf::chunk_memory);
}
int64_t chunk_count() {
    return netbuf::performance_counter(netbuf::chunk_count);
}

char const* first_byte(netbuf const& b) {
    char const* data;
    int length;
    netbuf::iterator(b).get(data, length);
    return data;
}

// Counts the runs of an attach callback.
struct release_probe {
    int runs = 0;
    static void release(void* p) { ++static_cast<release_probe*>(p)->runs; }
};

// ---- where the bytes go ----

TEST(NetbufGeometry, OneByteAppendsFill128ThenA512Chunk) {
    live const before = live::now();
    int64_t const memory = chunk_memory();
    {
        netbuf b;
        std::string model;
        for (int i = 0; i < 128; ++i) {
            char c = char(i);
            b.append(&c, 1);
            model += c;
        }
        EXPECT_EQ(lengths(b), ints{128});
        EXPECT_EQ(chunk_memory() - memory, 128);
        // 128 x 1 view + 129 / 4 + 128 = 288 bytes, rounded up to its class.
        b.append("z", 1);
        model += 'z';
        EXPECT_EQ(lengths(b), (ints{128, 1}));
        EXPECT_EQ(chunk_memory() - memory, 128 + 512);
        EXPECT_EQ(bytes(b), model);
    }
    EXPECT_EQ(live::now(), before);
    EXPECT_EQ(chunk_memory(), memory);
}

TEST(NetbufGeometry, PrependsFillOneChunkDownwards) {
    int64_t const chunks = chunk_count(), memory = chunk_memory();
    netbuf b;
    b.prepend("0", 1);
    char const* top = first_byte(b);
    EXPECT_EQ(chunk_memory() - memory, 128);
    std::string model = "0";
    for (int i = 1; i <= 100; ++i) {
        char c = char('0' + i % 10);
        b.prepend(&c, 1);
        model.insert(0, 1, c);
    }
    EXPECT_EQ(lengths(b), ints{101});
    EXPECT_EQ(chunk_count() - chunks, 1);
    EXPECT_EQ(first_byte(b), top - 100);
    EXPECT_EQ(bytes(b), model);
}

TEST(NetbufGeometry, GrowthInPlaceOnlyWhileTheChunkIsNotShared) {
    // Ways of holding a share of a buffer's chunk.
    struct holder {
        char const* name;
        std::function<netbuf(netbuf const&)> share;
    };
    holder const holders[] = {
        {"copy", [](netbuf const& a) { return netbuf(a); }},
        {"sub", [](netbuf const& a) { return netbuf(a, 1, 1); }},
        {"assigned",
         [](netbuf const& a) {
             netbuf b;
             b = a;
             return b;
         }},
        {"copied impl", [](netbuf const& a) { return netbuf(a.get_ptr(), true); }},
    };
    for (auto const& h : holders) {
        for (bool back : {true, false}) {
            SCOPED_TRACE(std::string(h.name) + (back ? " back" : " front"));
            auto grow = [&](netbuf& a) { *(back ? a.allocate_back(1) : a.allocate_front(1)) = '+'; };
            netbuf a; // a prepend leaves room below, an append above
            back ? a.append("abc", 3) : a.prepend("abc", 3);
            {
                netbuf share = h.share(a);
                grow(a);
                EXPECT_EQ(lengths(a), (ints{back ? 3 : 1, back ? 1 : 3}));
                EXPECT_EQ(bytes(a), back ? "abc+" : "+abc");
            }
            netbuf c;
            back ? c.append("abc", 3) : c.prepend("abc", 3);
            h.share(c); // made and dropped at once
            grow(c);
            EXPECT_EQ(lengths(c), ints{4});
        }
    }
}

TEST(NetbufGeometry, CallerMemoryIsGrownIntoOnlyWhenWritable) {
    for (bool writable : {true, false}) {
        SCOPED_TRACE(writable ? "writable" : "read-only");
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
    struct adder {
        char const* name;
        std::function<void(netbuf&)> add_one_view;
    };
    netbuf const one = netbuf::from_string("x");
    static char shared_x = 'x';
    adder const adders[] = {
        {"append", [&](netbuf& b) { b.append(one); }},
        {"prepend", [&](netbuf& b) { b.prepend(one); }},
        {"adopt",
         [](netbuf& b) {
             char* a = netbuf::allocate_raw(1);
             *a = 'x';
             b.append_raw(a, 1);
         }},
        {"attach", [](netbuf& b) { b.prepend_raw(&shared_x, 1, false, nullptr, nullptr); }},
    };
    for (auto const& a : adders) {
        SCOPED_TRACE(a.name);
        netbuf b;
        for (int i = 0; i < 128; ++i) a.add_one_view(b);
        EXPECT_EQ(lengths(b).size(), 128u);
        a.add_one_view(b);
        EXPECT_EQ(lengths(b), ints{129});
        EXPECT_EQ(bytes(b), std::string(129, 'x'));
    }
}

TEST(NetbufGeometry, FrontGathersShortViews) {
    struct row {
        ints views;
        int max;
        int returned;
        ints after;
    };
    row const table[] = {
        {{3, 3, 3, 8}, 10, 9, {9, 8}},      // stops before the view longer than max / 2
        {{40, 40, 40}, 100, 120, {120}},    // the total may pass max
        {{2, 2, 2, 2, 2}, 5, 6, {6, 2, 2}}, // stops after the view that reaches max
        {{2, 2, 2, 2, 2}, 4, 4, {4, 2, 2, 2}},
        {{6, 6}, 10, 6, {6, 6}}, // a long first view is returned as it is
        {{3, 3}, 6, 6, {6}},     // max covers everything: one chunk
        {{5}, 2, 5, {5}},        // one view
        {{}, 10, 0, {}},
    };
    for (auto const& r : table) {
        SCOPED_TRACE(::testing::PrintToString(r.views) + " max " + std::to_string(r.max));
        netbuf b = with_views(r.views);
        std::string const all = bytes(b);
        char const* data;
        int length;
        b.front(data, length, r.max);
        EXPECT_EQ(length, r.returned);
        EXPECT_EQ(std::string(data ? data : "", size_t(length)), all.substr(0, size_t(length)));
        EXPECT_EQ(lengths(b), r.after);
        EXPECT_EQ(bytes(b), all);
    }
}

TEST(NetbufGeometry, ChunksTakeTheirSizeClass) {
    struct row {
        int asked, capacity;
    };
    row const table[] = {
        {1, 128},     {128, 128},   {129, 512},    {512, 512},     {513, 2048},    {2048, 2048},
        {2049, 8192}, {8192, 8192}, {8193, 65536}, {65536, 65536}, {65537, 65537}, {300000, 300000},
    };
    for (auto const& r : table) {
        int64_t const memory = chunk_memory();
        netbuf b;
        char* data;
        int length;
        b.wish_allocate_back(r.asked, data, length); // a chunk made for exactly the count
        EXPECT_EQ(length, r.asked);
        EXPECT_EQ(chunk_memory() - memory, r.capacity) << r.asked;
    }
}

// The size-class free list: items in blocks of 500, handed out in address
// order, and given back at the tail.
TEST(NetbufCache, FirstInFirstOutInBlocksOf500) {
    constexpr size_t item = 128 + 12;
    // Like the real ones, never destroyed: the memory it obtains is never returned.
    static auto* cache = new netbuf_imp::item_cache(item);
    char* first = cache->pop();
    EXPECT_EQ(cache->obtained(), 500);
    EXPECT_EQ(cache->free_items(), 499);
    char* second = cache->pop();
    EXPECT_EQ(second, first + item);
    std::memset(second + 8, 'x', 128); // the bytes after the link are the chunk's
    cache->push(first);
    cache->push(second);
    char* last = nullptr;
    for (int i = 0; i < 498; ++i) last = cache->pop();
    EXPECT_EQ(last, first + 499 * item);
    EXPECT_EQ(cache->pop(), first);
    EXPECT_EQ(cache->pop(), second);
    EXPECT_EQ(cache->free_items(), 0);
    EXPECT_EQ(cache->obtained(), 500);
    cache->pop();
    EXPECT_EQ(cache->obtained(), 1000);
    EXPECT_EQ(cache->free_items(), 499);
}

// ---- reading ----

TEST(NetbufRead, FindLooksOnlyWithinMax) {
    netbuf const b = with_views({3, 3, 3}); // "abc" "def" "ghi"
    struct row {
        char c;
        int max, found;
    };
    row const table[] = {
        {'h', 7, -1}, {'h', 8, 7},    {'h', netbuf::whole_length, 7},
        {'a', 1, 0},  {'a', 0, -1},   {'a', -1, -1},
        {'d', 4, 3},  {'z', 100, -1},
    };
    for (auto const& r : table) EXPECT_EQ(b.find(r.c, r.max), r.found) << r.c << " within " << r.max;
    EXPECT_EQ(netbuf().find('a', 10), -1);
}

TEST(NetbufRead, CompareIsThreeWay) {
    struct row {
        ints views;
        std::string text;
        int sign;
    };
    row const table[] = {
        {{3}, "ab", 1},        {{3}, "abcd", -1}, {{3}, "abc", 0}, {{1, 2}, "abd", -1}, {{1, 2}, "abb", 1},
        {{1, 1, 1}, "abc", 0}, {{}, "", 0},       {{}, "a", -1},   {{2}, "", 1},
    };
    auto sign = [](int v) { return (v > 0) - (v < 0); };
    for (auto const& r : table) {
        netbuf const b = with_views(r.views);
        EXPECT_EQ(sign(b.compare(r.text.data(), int(r.text.size()))), r.sign) << bytes(b) << " vs " << r.text;
    }
    // Bytes compare unsigned, as memcmp does.
    netbuf const high = netbuf::from_string("\xff");
    EXPECT_GT(high.compare("\x01", 1), 0);
}

TEST(NetbufRead, CopyAndTakeAtBothEnds) {
    struct row {
        char const* op;
        int count;
        std::string got, left;
    };
    row const table[] = {
        {"take_back", 4, "cdef", "ab"},        {"take_front", 4, "abcd", "ef"},
        {"copy_back", 4, "cdef", "abcdef"},    {"copy_front", 3, "abc", "abcdef"},
        {"copy_back", 10, "abcdef", "abcdef"}, // clipped to the size
        {"take_front", 10, "abcdef", ""},      {"take_back", 0, "", "abcdef"},
        {"take_front", -1, "", "abcdef"},
    };
    for (ints views : {ints{6}, ints{2, 2, 2}, ints{1, 4, 1}}) {
        for (auto const& r : table) {
            SCOPED_TRACE(std::string(r.op) + " " + std::to_string(r.count) + " of " +
                         ::testing::PrintToString(views));
            netbuf b = with_views(views);
            std::string out(16, '.');
            std::string op = r.op;
            if (op == "take_back") b.take_back(out.data(), r.count);
            if (op == "take_front") b.take_front(out.data(), r.count);
            if (op == "copy_back") b.copy_back(out.data(), r.count);
            if (op == "copy_front") b.copy_front(out.data(), r.count);
            EXPECT_EQ(out, r.got + std::string(16 - r.got.size(), '.'));
            EXPECT_EQ(bytes(b), r.left);
            EXPECT_EQ(b.size(), int(r.left.size()));
        }
    }
}

TEST(NetbufRead, EraseAndSubCutViews) {
    netbuf const source = with_views({2, 2, 2}); // "ab" "cd" "ef"
    struct erase_row {
        bool back;
        int count;
        std::string left;
        ints views;
    };
    erase_row const erases[] = {
        {false, 3, "def", {1, 2}},
        {true, 3, "abc", {2, 1}},
        {false, 2, "cdef", {2, 2}},
        {true, 6, "", {}},
        {false, 100, "", {}},
        {true, 0, "abcdef", {2, 2, 2}},
        {false, -1, "abcdef", {2, 2, 2}},
    };
    for (auto const& r : erases) {
        netbuf b = source;
        r.back ? b.erase_back(r.count) : b.erase_front(r.count);
        EXPECT_EQ(bytes(b), r.left) << (r.back ? "back " : "front ") << r.count;
        EXPECT_EQ(lengths(b), r.views);
        EXPECT_EQ(b.size(), int(r.left.size()));
    }
    netbuf cleared = source;
    cleared.clear();
    EXPECT_TRUE(cleared.empty());

    struct sub_row {
        int offset, length;
        std::string bytes;
        ints views;
    };
    sub_row const subs[] = {
        {0, netbuf::whole_length, "abcdef", {2, 2, 2}},
        {2, 3, "cde", {2, 1}},
        {3, 2, "de", {1, 1}},
        {5, netbuf::whole_length, "f", {1}}, // offset + length passes INT_MAX
        {-2, 4, "ab", {2}},
        {6, 1, "", {}},
        {1, 0, "", {}},
        {3, -1, "", {}},
    };
    for (auto const& r : subs) {
        netbuf b(source, r.offset, r.length);
        EXPECT_EQ(bytes(b), r.bytes) << r.offset << "," << r.length;
        EXPECT_EQ(lengths(b), r.views);
        EXPECT_EQ(b.size(), int(r.bytes.size()));
    }
}

TEST(NetbufGrow, AllocateAndWishAllocate) {
    char* data = reinterpret_cast<char*>(1);
    int length = -1;
    netbuf b;
    EXPECT_EQ(b.allocate_back(0), nullptr);
    EXPECT_EQ(b.allocate_front(-3), nullptr);
    b.wish_allocate_back(0, data, length);
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(length, 0);
    EXPECT_TRUE(b.empty());

    // An empty buffer gets exactly what was asked for.
    b.wish_allocate_back(10, data, length);
    EXPECT_EQ(length, 10);
    std::memcpy(data, "0123456789", 10);
    b.erase_back(7);
    // Then all the chunk's room behind the view, whatever the count.
    b.wish_allocate_back(1, data, length);
    EXPECT_EQ(length, 128 - 3);
    EXPECT_EQ(data, first_byte(b) + 3);
    b.erase_back(length);

    netbuf f;
    f.prepend("xyz", 3);
    f.wish_allocate_front(1, data, length);
    EXPECT_EQ(length, 125); // all the room below the view
    EXPECT_EQ(data, first_byte(f));
    std::memset(data, '-', size_t(length));
    f.erase_front(length - 1);
    EXPECT_EQ(f.to_string(), "-xyz");

    // A shared chunk is not written into: a new chunk for exactly the count.
    netbuf share = b;
    b.wish_allocate_back(4, data, length);
    EXPECT_EQ(length, 4);
    EXPECT_EQ(lengths(b), (ints{3, 4}));
    EXPECT_EQ(bytes(share), "012");
}

TEST(NetbufHandle, TableInstallAndCounters) {
    // The host's table is the one in force, and the API table hands it on.
    EXPECT_EQ(static_cast<void*>(host_api().netbuf_impl), static_cast<void*>(netbuf_imp::netbuf_impl));
    void* other[netbuf_imp::slot_count] = {};
    other[netbuf_imp::slot_init] = reinterpret_cast<void*>(+[] {});
    EXPECT_FALSE(netbuf::install(other));
    EXPECT_FALSE(netbuf::install(netbuf_imp::netbuf_impl));
    EXPECT_FALSE(netbuf::install(nullptr));
    netbuf b = netbuf::from_string("still works");
    EXPECT_EQ(b.to_string(), "still works");

    EXPECT_EQ(netbuf::performance_counter(netbuf::performance_counter_type(6)), 0);
    EXPECT_EQ(netbuf::performance_counter(netbuf::performance_counter_type(-1)), 0);
    int64_t const in = netbuf::performance_counter(netbuf::chunk_inc);
    int64_t const out = netbuf::performance_counter(netbuf::chunk_dec);
    {
        netbuf c = b; // one more reference
    }
    EXPECT_EQ(netbuf::performance_counter(netbuf::chunk_inc) - in, 1);
    EXPECT_EQ(netbuf::performance_counter(netbuf::chunk_dec) - out, 1);

    EXPECT_EQ(netbuf::allocate_raw(0), nullptr);
    EXPECT_EQ(
        reinterpret_cast<netbuf_imp::null_block_fn>(netbuf_imp::netbuf_impl[netbuf_imp::slot_null_block])(),
        nullptr);
}

TEST(NetbufHandle, DetachSwapAndIterators) {
    live const before = live::now();
    {
        netbuf a = netbuf::from_string("left");
        netbuf b = netbuf::from_string("right");
        a.swap(b);
        EXPECT_EQ(a.to_string(), "right");
        void* impl = a.detach_ptr();
        EXPECT_EQ(a.get_ptr(), nullptr);
        a = b; // an emptied handle may be assigned to
        EXPECT_EQ(a.to_string(), "left");
        netbuf adopted(impl, false);
        EXPECT_EQ(adopted.get_ptr(), impl);
        EXPECT_EQ(adopted.to_string(), "right");

        netbuf v = with_views({1, 2, 3});
        netbuf::iterator it(v);
        it.next();
        netbuf::iterator copy(it);
        netbuf::iterator assigned(netbuf::iterator{b});
        assigned = copy;
        assigned = assigned;
        char const* data;
        int length;
        EXPECT_EQ(assigned.get(data, length), 2);
        EXPECT_EQ(std::string(data, 2), "bc");
        it.next();
        it.next();
        EXPECT_FALSE(it.valid());
        EXPECT_EQ(it.get(data, length), 0);
        EXPECT_TRUE(copy.valid());
    }
    EXPECT_EQ(live::now(), before);
}

// ---- attached memory ----

TEST(NetbufAttach, CallbackRunsExactlyOnceWhenTheLastViewGoes) {
    struct scenario {
        char const* name;
        bool runs_at_once; // before the buffer goes
        std::function<void(netbuf&, char*, release_probe&)> act;
    };
    auto attach = [](netbuf& b, char* d, release_probe& p) {
        b.append_raw(d, 8, false, &release_probe::release, &p);
    };
    scenario const scenarios[] = {
        {"dropped with the buffer", false, [&](netbuf& b, char* d, release_probe& p) { attach(b, d, p); }},
        {"empty", true,
         [](netbuf& b, char* d, release_probe& p) {
             b.prepend_raw(d, 0, true, &release_probe::release, &p);
         }},
        {"erased", true,
         [&](netbuf& b, char* d, release_probe& p) {
             attach(b, d, p);
             b.erase_front(8);
         }},
        {"taken", true,
         [&](netbuf& b, char* d, release_probe& p) {
             attach(b, d, p);
             char out[8];
             b.take_back(out, 8);
         }},
        {"joined by front", true,
         [&](netbuf& b, char* d, release_probe& p) {
             b.append("x", 1);
             attach(b, d, p);
             b.to_string();
         }},
        {"shared by copies and subs", true,
         [&](netbuf& b, char* d, release_probe& p) {
             attach(b, d, p);
             auto* copy = new netbuf(b);
             auto* sub = new netbuf(b, 2, 3);
             b.clear();
             delete copy;
             EXPECT_EQ(p.runs, 0);
             delete sub;
         }},
    };
    for (auto const& s : scenarios) {
        SCOPED_TRACE(s.name);
        char data[8] = {};
        release_probe probe;
        {
            netbuf b;
            s.act(b, data, probe);
            EXPECT_EQ(probe.runs, s.runs_at_once ? 1 : 0);
        }
        EXPECT_EQ(probe.runs, 1);
    }
}

// ---- faults that must stay mended ----

TEST(NetbufFaults, SelfAssignmentKeepsTheBuffer) {
    netbuf a = with_views({3, 4});
    live const before = live::now();
    netbuf const& alias = a;
    a = alias;
    EXPECT_EQ(bytes(a), "abcdefg");
    EXPECT_EQ(lengths(a), (ints{3, 4}));
    EXPECT_EQ(live::now(), before);
}

TEST(NetbufFaults, AppendingABufferToItself) {
    struct row {
        ints views;
        bool back;
        ints after;
    };
    row const table[] = {
        {{5}, true, {5, 5}},
        {{1, 2, 3}, true, {1, 2, 3, 1, 2, 3}},
        {{1, 2, 3}, false, {1, 2, 3, 1, 2, 3}},
        {ints(100, 1), true, {200}}, // past 128 views: joined
        {ints(100, 1), false, {200}},
        {{}, true, {}},
    };
    for (auto const& r : table) {
        SCOPED_TRACE(::testing::PrintToString(r.views) + (r.back ? " append" : " prepend"));
        live const before = live::now();
        {
            netbuf a = with_views(r.views);
            std::string const model = bytes(a);
            netbuf const& self = a;
            r.back ? a.append(self) : a.prepend(self);
            EXPECT_EQ(bytes(a), model + model);
            EXPECT_EQ(a.size(), int(2 * model.size()));
            EXPECT_EQ(lengths(a), r.after);
        }
        EXPECT_EQ(live::now(), before);
    }
}

// Growth past 2147483647 bytes is refused before anything changes. The big
// buffer is caller memory that is never read, so no memory is needed.
TEST(NetbufFaults, GrowthPastTheSizeLimitIsRefused) {
    static char never_read[1];
    struct grow_op {
        char const* name;
        char const* error;
        std::function<void(netbuf&)> grow;
    };
    release_probe refused;
    grow_op const ops[] = {
        {"append bytes", "allocate", [](netbuf& b) { b.append("0123456789a", 11); }},
        {"prepend bytes", "allocate", [](netbuf& b) { b.prepend("0123456789a", 11); }},
        {"append string", "allocate", [](netbuf& b) { b.append(std::string(11, 's')); }},
        {"allocate_back", "allocate", [](netbuf& b) { b.allocate_back(11); }},
        {"allocate_front", "allocate", [](netbuf& b) { b.allocate_front(11); }},
        {"wish_allocate_back", "wish_allocate",
         [](netbuf& b) {
             char* d;
             int n;
             b.wish_allocate_back(11, d, n);
         }},
        {"wish_allocate_front", "wish_allocate",
         [](netbuf& b) {
             char* d;
             int n;
             b.wish_allocate_front(11, d, n);
         }},
        {"append buffer", "append", [](netbuf& b) { b.append(netbuf::from_string("0123456789a")); }},
        {"prepend buffer", "append", [](netbuf& b) { b.prepend(netbuf::from_string("0123456789a")); }},
        {"append itself", "append", [](netbuf& b) { b.append(b); }},
        {"adopt", "adopt",
         [](netbuf& b) { b.append_raw(netbuf::allocate_raw(11), 11); }}, // freed, or ASan tells
        {"adopt front", "adopt", [](netbuf& b) { b.prepend_raw(new char[11], 11); }},
        {"attach", "attach",
         [&](netbuf& b) { b.append_raw(never_read, 11, true, &release_probe::release, &refused); }},
    };
    release_probe big;
    netbuf b;
    b.append_raw(never_read, INT_MAX - 10, false, &release_probe::release, &big);
    b.prepend("x", 1);
    for (auto const& op : ops) {
        SCOPED_TRACE(op.name);
        try {
            op.grow(b);
            ADD_FAILURE() << "not refused";
        } catch (rulo::exception const& e) {
            EXPECT_EQ(e.description(), std::string(":Error in '") + op.error + "'");
        }
        EXPECT_EQ(b.size(), INT_MAX - 9);
        EXPECT_EQ(lengths(b), (ints{1, INT_MAX - 10}));
    }
    EXPECT_EQ(refused.runs, 1); // the refused attachment was released at once

    // Up to the limit is fine: the first view has room below it.
    std::memset(b.allocate_front(9), 'y', 9);
    EXPECT_EQ(b.size(), INT_MAX);
    EXPECT_THROW(b.allocate_front(1), rulo::exception);
    b.erase_front(9);
    // wish_allocate grants the room below the view, but no more than fits.
    char* data;
    int length;
    b.wish_allocate_front(1, data, length);
    EXPECT_EQ(length, 9);
    EXPECT_EQ(b.size(), INT_MAX);
    EXPECT_EQ(big.runs, 0);
    b.clear();
    EXPECT_EQ(big.runs, 1);
}

// ---- threads ----

// Eight threads each get a share of one buffer, cut it further, read the
// cuts and drop them, and then drop their share. Thread 0 meanwhile shrinks
// and regrows the end of its share, which lies inside a chunk with spare room:
// it may write there in place only once every other share is gone, and then
// over bytes the others have read. Run under ThreadSanitizer as well.
TEST(NetbufThreads, EightThreadsDropSharesOfOneBuffer) {
    constexpr int threads = 8, rounds = 40, read_steps = 150, grow_steps = 3000;
    live const before = live::now();
    release_probe released;
    std::string model;
    for (int i = 0; i < 3000; ++i) model += char('A' + i % 53);
    static std::string const attached = std::string(500, '#');

    for (int round = 0; round < rounds; ++round) {
        netbuf source;
        for (size_t at = 0; at < model.size(); at += 700)
            source.append(model.data() + at, int(std::min<size_t>(700, model.size() - at)));
        source.append_raw(const_cast<char*>(attached.data()), int(attached.size()), false,
                          &release_probe::release, &released);
        std::string const expected = model + attached;

        std::vector<netbuf> shares;
        std::vector<int> offsets;
        for (int t = 0; t < threads; ++t) {
            offsets.push_back(t % 2 ? 0 : t * 100);
            shares.push_back(t % 2 ? netbuf(source) : netbuf(source, offsets.back(), 2000));
        }
        source = netbuf(); // the threads hold the only shares now

        std::latch start(threads);
        std::vector<std::thread> pool;
        for (int t = 0; t < threads; ++t) {
            pool.emplace_back([&, t] {
                netbuf mine;
                mine.swap(shares[size_t(t)]);
                std::string const want = expected.substr(size_t(offsets[size_t(t)]), size_t(mine.size()));
                std::mt19937 rng(unsigned(round * threads + t));
                start.arrive_and_wait();
                for (int s = 0; s < read_steps; ++s) {
                    int const from = int(rng() % unsigned(mine.size()));
                    int const len = int(rng() % 300);
                    netbuf copy(mine);
                    netbuf cut(mine, from, len);
                    if (cut.to_string() != want.substr(size_t(from), size_t(len))) {
                        ADD_FAILURE() << "thread " << t << " read wrong bytes";
                        return;
                    }
                    copy.erase_back(int(rng() % 50));
                    copy.append("tail", 4);
                }
                if (t != 0) return; // dropping the share
                for (int s = 0; s < grow_steps; ++s) {
                    int const n = 1 + int(rng() % 40);
                    mine.erase_back(n);
                    std::memset(mine.allocate_back(n), 't', size_t(n));
                    std::string tail(size_t(n), '?');
                    mine.copy_back(tail.data(), n);
                    if (tail != std::string(size_t(n), 't')) {
                        ADD_FAILURE() << "the tail was lost";
                        return;
                    }
                }
                size_t const kept = want.size() - 40; // the tail is at most 40 bytes
                if (mine.to_string().compare(0, kept, want, 0, kept) != 0) ADD_FAILURE() << "bytes were lost";
            });
        }
        for (auto& th : pool) th.join();
        EXPECT_EQ(released.runs, round + 1);
    }
    EXPECT_EQ(live::now(), before);
}

// ---- the plugin boundary ----

TEST(NetbufPlugin, HostAndPluginShareOneImplementation) {
    plugin_copy plugin;
    ASSERT_EQ(plugin.start(&host_api()), "");
    auto make = plugin.get<plugin_netbuf_make_fn>("plugin_netbuf_make");
    auto append = plugin.get<plugin_netbuf_append_fn>("plugin_netbuf_append");
    auto read = plugin.get<plugin_netbuf_read_fn>("plugin_netbuf_read");
    auto counter = plugin.get<plugin_netbuf_counter_fn>("plugin_netbuf_counter");

    // The copy hands on its own table, but uses the host's.
    rulo_api_t const* own = plugin.get<plugin_table_fn>("plugin_table")();
    void* own_table = own->netbuf_impl;
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
    std::vector<std::string> got(threads);
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            std::string const text(size_t(100 + t * 1000), char('a' + t)); // several size classes
            start.arrive_and_wait();
            void* impl = make(text.data(), int(text.size()));
            std::string back(text.size(), '?');
            read(impl, back.data(), int(back.size()));
            got[size_t(t)] = back == text ? "ok" : "wrong bytes";
            drop(impl);
        });
    }
    for (auto& th : pool) th.join();
    for (auto const& g : got) EXPECT_EQ(g, "ok");
    EXPECT_EQ(live::now(), host_before);
    EXPECT_EQ(counter(netbuf::chunk_count), 0);
    EXPECT_EQ(counter(netbuf::netbuf_count), 0);
    EXPECT_GT(counter(netbuf::chunk_inc), 0);
}

} // namespace
