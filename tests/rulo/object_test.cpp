// Object handles and the address-keyed registry behind them.
#include "rulo/object.h"
#include "rulo/semaphore.h"
#include "tests/support/framework_env.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace {

using rulo::object;
using names = std::multiset<std::string>;

// Deleters that record their runs by name; the log deletes those never installed
// (a handle that joins an entry leaves its deleter with the caller).
struct deleter_log {
    struct named : i_deleter {
        named(deleter_log& l, std::string n) : log(l), name(std::move(n)) { log.alive.insert(this); }
        ~named() override {
            log.alive.erase(this);
            if (on_destroy) on_destroy();
        }
        void _delete() override { log.run.insert(name); }
        deleter_log& log;
        std::string name;
        std::function<void()> on_destroy;
    };
    names run;
    std::set<named*> alive;
    ~deleter_log() {
        while (!alive.empty()) delete *alive.begin();
    }
    named* make(std::string name) { return new named(*this, std::move(name)); }
};

// "Objects" in a byte arena: only address and size matter to the registry.
alignas(64) unsigned char g_arena[256];
template <size_t N>
using blob = std::array<unsigned char, N>;
template <size_t N>
std::shared_ptr<void> hold(int offset, i_deleter* d) {
    return std::make_shared<object<blob<N>>>(reinterpret_cast<blob<N>*>(g_arena + offset), d);
}
std::shared_ptr<void> hold(int offset, int size, i_deleter* d) {
    static std::shared_ptr<void> (*const by_size[])(int, i_deleter*) = {hold<4>, hold<8>, hold<16>, hold<32>};
    return by_size[std::countr_zero(unsigned(size)) - 2](offset, d);
}

TEST(ObjectRegistry, JoiningWideningRekeyingAndReleasingOverlaps) {
    struct {
        char const* what;
        std::vector<std::tuple<int, int, char const*>> made; // offset, size, deleter; in this order
        int key, extent, count;                              // the entry covering the last one made
        names run;                                           // deleters run once every handle is gone
    } const cases[] = {
        {"interior joins the one below", {{0, 16, "a"}, {32, 8, "b"}, {12, 4, "c"}}, 0, 16, 2, {"a", "b"}},
        {"one past the end: new entry", {{0, 16, "a"}, {16, 4, "b"}}, 16, 4, 1, {"a", "b"}},
        {"larger type widens", {{0, 8, "a"}, {0, 32, "b"}}, 0, 32, 2, {"b"}},
        {"container re-keys a member", {{8, 4, "a"}, {0, 16, "b"}}, 0, 16, 2, {"b"}},
        {"end at next key: no reach", {{16, 4, "a"}, {0, 16, "b"}}, 0, 16, 1, {"a", "b"}},
        {"re-key before joining below", {{0, 16, "a"}, {20, 8, "b"}, {12, 16, "c"}}, 12, 16, 2, {"a", "c"}},
        {"only the lowest is re-keyed", {{8, 4, "a"}, {16, 4, "b"}, {0, 32, "c"}}, 0, 32, 2, {"b", "c"}},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.what);
        deleter_log log;
        {
            std::vector<std::shared_ptr<void>> handles;
            for (auto [offset, size, name] : c.made) handles.push_back(hold(offset, size, log.make(name)));
            rulo::object_entry_view v;
            ASSERT_TRUE(rulo::find_object_entry(g_arena + std::get<0>(c.made.back()), &v));
            EXPECT_EQ(v.key, g_arena + c.key);
            EXPECT_EQ(v.extent, uint32_t(c.extent));
            EXPECT_EQ(v.count, uint32_t(c.count));
        }
        EXPECT_EQ(log.run, c.run);
    }
    // Overlapping ranges: the last release of a handle made from an interior
    // address ends that handle's own entry, whatever lies nearer that address.
    deleter_log log;
    auto a = hold(0, 16, log.make("A"));
    auto inside_a = hold(12, 4, log.make("unused"));
    auto b = hold(32, 16, log.make("B"));
    auto c = hold(8, 32, log.make("C")); // re-keys B's entry to 8, the nearest below 12
    a.reset();
    inside_a.reset(); // the last reference of A's entry
    EXPECT_EQ(log.run, names{"A"});
}

// A raw pointer made into a handle while the last handle is on its way out gets
// an entry of its own, never reviving the dying one. A replaced deleter is
// destroyed under the registry lock: from there another thread drops the last
// handle (and waits for the lock), then we make one.
TEST(ObjectRegistry, RawPointerDuringTheLastReleaseDoesNotReviveTheEntry) {
    deleter_log log;
    unsigned char* const x = g_arena + 128;
    auto last = hold(128, 8, log.make("X"));
    std::thread releaser;
    std::shared_ptr<void> again;
    auto* narrow = log.make("narrow");
    narrow->on_destroy = [&] {
        releaser = std::thread([&last] { last.reset(); });
        auto const limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        rulo::object_entry_view v;
        while (rulo::find_object_entry(x, &v) && v.count != 0 && std::chrono::steady_clock::now() < limit)
            std::this_thread::yield();
        EXPECT_TRUE(rulo::find_object_entry(x, &v) && v.count == 0);
        again = hold(128, 8, log.make("X again"));
    };
    auto small = hold(0, 4, narrow), wide = hold(0, 16, log.make("wide")); // "wide" replaces "narrow"
    releaser.join();
    EXPECT_EQ(log.run, names{"X"});
    again.reset();
    EXPECT_EQ(log.run, (names{"X", "X again"}));
}

std::atomic<int> g_constructed{0}, g_shared_destroyed{0};

struct left_part {
    virtual ~left_part() = default;
    int l = 0;
};
struct right_part { // no virtual destructor: deleting through it is an ASan error
    int r = 7;
};
struct shared_object : left_part, right_part {
    shared_object() { ++g_constructed; }
    ~shared_object() override { ++g_shared_destroyed; }
    right_part inner;
};

int g_destroyed = 0, g_destroyed_during_call = -1;

// Whether another thread can take the registry lock (detached: a held lock fails, not hangs).
bool registry_lock_is_free() {
    auto done = std::make_shared<rulo::semaphore>(1, 0);
    std::thread([done] {
        rulo::object_entry_count();
        done->post();
    }).detach();
    return done->wait_ms(30000);
}

struct node {
    object<node> next;
    bool* lock_was_free = nullptr; // when set, ~node probes the registry lock
    void drop(object<node>& only) {
        only.reset();
        g_destroyed_during_call = g_destroyed;
        lock_was_free = nullptr; // a write to the object after its last handle went
    }
    ~node() {
        ++g_destroyed;
        if (lock_was_free) *lock_was_free = registry_lock_is_free();
    }
};

// Assignment takes the new reference first; a call's guard keeps the object
// until the call returns; destructors, nested ones too, run without the lock.
TEST(ObjectHandle, AssignmentCallsAndDestructorsKeepTheObjectSound) {
    g_destroyed = 0;
    object<node> only(new node);
    object<node>& same = only;
    only = same;
    only = std::move(same);
    EXPECT_EQ(only.use_count(), 1u);
    EXPECT_EQ(g_destroyed, 0) << "self-assignment of the only handle";
    only.get()->next = object<node>(new node);
    only = only.get()->next; // the source lives inside the object released
    EXPECT_EQ(only.use_count(), 1u);
    EXPECT_EQ(g_destroyed, 1);
    bool lock_was_free = false;
    only.get()->next = object<node>(new node);
    only.get()->next.get()->lock_was_free = &lock_was_free;
    only->drop(only);
    EXPECT_EQ(g_destroyed_during_call, 1);
    EXPECT_EQ(g_destroyed, 3);
    EXPECT_TRUE(lock_was_free);

    object<right_part> empty; // and empty handles throw instead of dereferencing null
    EXPECT_EQ(test_support::thrown([&] { (void)empty->r; }), ":Error in 'get'");
    EXPECT_EQ(test_support::thrown([&] { empty.AddRef(); }), ":Error in 'AddRef'");
}

object<shared_object> make_shared_object(bool member_first) {
    auto* s = new shared_object;
    object<right_part> m(member_first ? &s->inner : nullptr); // registered alone first, then re-keyed
    return object<shared_object>(s);
}

TEST(ObjectStress, EightThreadsShareCopyAndDropHandles) {
    size_t const baseline = rulo::object_entry_count();
    constexpr int threads = 8, boxes = 16, own = 8, sides = 4, steps = 100000;
    std::mutex box_lock;
    std::vector<object<shared_object>> box(boxes);
    for (int i = 0; i < boxes; ++i) box[i] = make_shared_object(i % 2 == 0);
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([&box, &box_lock, t] {
            std::minstd_rand rng(1234 + t);
            auto pick = [&rng](int n) { return int(rng() % unsigned(n)); };
            object<shared_object> mine[own];
            object<right_part> side[sides];
            for (int step = 0; step < steps; ++step) {
                int i = pick(own), j = pick(own), op = pick(10);
                if (op == 0) mine[j] = mine[i];
                if (op == 1) mine[j].reset();
                if (op == 2) { // trade with other threads through the boxes
                    std::lock_guard<std::mutex> lock(box_lock);
                    std::swap(box[pick(boxes)], mine[i]);
                }
                if (op == 3 && mine[i]) mine[j] = object<shared_object>(mine[i].get());
                if (op == 4 && mine[i]) object<right_part> m(&mine[i].get()->inner);
                if (op == 5) side[pick(sides)] = mine[i];
                if (op == 6 && mine[i] && mine[i]->r != 7) ADD_FAILURE(); // a call through the guard
                if (op == 7) mine[j] = make_shared_object(pick(2) == 0);
                if (op == 8) mine[j] = std::move(mine[i]);
                if (op == 9) side[pick(sides)].reset();
            }
        });
    for (auto& t : pool) t.join();
    box.clear();
    EXPECT_EQ(g_shared_destroyed.load(), g_constructed.load());
    EXPECT_EQ(rulo::object_entry_count(), baseline);
}

// The registry locks and files entries by 64 KiB regions of the address space
// and has a slower, global path for objects larger than a region. The same
// rules hold across region boundaries and for large objects.
constexpr size_t region = 65536;
alignas(region) unsigned char g_regions[4 * region];
template <size_t N>
std::shared_ptr<void> hold_wide(size_t offset, i_deleter* d) {
    return std::make_shared<object<blob<N>>>(reinterpret_cast<blob<N>*>(g_regions + offset), d);
}
std::shared_ptr<void> hold_wide(size_t offset, size_t size, i_deleter* d) {
    static std::shared_ptr<void> (*const by_size[])(size_t, i_deleter*) = {
        hold_wide<4>, hold_wide<16>, hold_wide<4096>, hold_wide<2 * region>, hold_wide<3 * region>};
    size_t const sizes[] = {4, 16, 4096, 2 * region, 3 * region};
    return by_size[std::find(std::begin(sizes), std::end(sizes), size) - std::begin(sizes)](offset, d);
}

TEST(ObjectRegistry, RulesHoldAcrossRegionsAndForLargeObjects) {
    size_t const b = region, big = 2 * region;
    struct {
        char const* what;
        std::vector<std::tuple<size_t, size_t, char const*>> made; // offset, size, deleter; in this order
        size_t key, extent, count;                                 // the entry covering the last one made
        names run;
    } const cases[] = {
        {"interior in the next region joins", {{b - 8, 16, "a"}, {b + 4, 4, "b"}}, b - 8, 16, 2, {"a"}},
        {"one past the end at a boundary", {{b - 16, 16, "a"}, {b, 4, "b"}}, b, 4, 1, {"a", "b"}},
        {"container re-keys a member in the next region",
         {{b + 4, 4, "a"}, {b - 8, 16, "b"}},
         b - 8,
         16,
         2,
         {"b"}},
        {"mid-size object reaches into the next region",
         {{b + 100, 16, "a"}, {b - 4000, 4096, "b"}, {b + 50, 4, "c"}},
         b - 4000,
         4096,
         2,
         {"a", "b"}},
        {"larger than a region: widening", {{0, 16, "a"}, {0, big, "b"}}, 0, big, 2, {"b"}},
        {"interior far inside a large object", {{0, big, "a"}, {b + b / 2, 4, "b"}}, 0, big, 2, {"a"}},
        {"large object re-keys a part two regions on",
         {{2 * b + 16, 4, "a"}, {b, big, "b"}},
         b,
         big,
         2,
         {"b"}},
        {"larger still: re-keys a part far on", {{3 * b + 100, 4, "a"}, {b, 3 * b, "b"}}, b, 3 * b, 2, {"b"}},
        {"larger still: interior near its end", {{0, 3 * b, "a"}, {3 * b - 8, 4, "b"}}, 0, 3 * b, 2, {"a"}},
        {"a nearer entry below hides a large one",
         {{b + 1000, 16, "a"}, {b + 5000, 16, "b"}, {b, big, "c"}, {b + 6000, 4, "d"}},
         b + 6000,
         4,
         1,
         {"b", "c", "d"}},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.what);
        deleter_log log;
        {
            std::vector<std::shared_ptr<void>> handles;
            for (auto [offset, size, name] : c.made)
                handles.push_back(hold_wide(offset, size, log.make(name)));
            rulo::object_entry_view v;
            ASSERT_TRUE(rulo::find_object_entry(g_regions + std::get<0>(c.made.back()), &v));
            EXPECT_EQ(v.key, g_regions + c.key);
            EXPECT_EQ(v.extent, uint32_t(c.extent));
            EXPECT_EQ(v.count, uint32_t(c.count));
        }
        EXPECT_EQ(log.run, c.run);
    }
}

// Objects whose destructor counts its runs by id: a first base registered
// first and then widened, a part inside registered first and then re-keyed.
std::unique_ptr<std::atomic<int>[]> g_deletions;
std::atomic<int> g_next_id{0};

struct counted_base { // no virtual destructor: only the whole may delete it
    int id = g_next_id++;
    right_part* inside = nullptr;
};
template <size_t Pad>
struct counted : counted_base {
    counted() { inside = &part; }
    ~counted() { g_deletions[id]++; }
    std::array<char, Pad> pad{};
    right_part part;
};

// A new object of Pad bytes and more, registered as the whole directly, after
// its base (widening) or after its inner part (re-keying).
template <size_t Pad>
object<counted_base> make_counted(int order) {
    auto* c = new counted<Pad>;
    object<counted_base> base(order == 1 ? c : nullptr);
    object<right_part> part(order == 2 ? &c->part : nullptr);
    return object<counted<Pad>>(c);
}

TEST(ObjectStress, EightThreadsMakeWidenLookUpAndDropObjects) {
    constexpr int threads = 8, steps = 20000, boxes = 16, own = 8;
    g_deletions.reset(new std::atomic<int>[threads * steps + boxes]());
    g_next_id = 0;
    size_t const baseline = rulo::object_entry_count();
    std::mutex box_lock;
    std::vector<object<counted_base>> box;
    for (int i = 0; i < boxes; ++i) box.push_back(make_counted<16>(i % 3));
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([&box, &box_lock, t] {
            std::minstd_rand rng(99 + t);
            auto pick = [&rng](int n) { return int(rng() % unsigned(n)); };
            object<counted_base> mine[own];
            object<right_part> parts[own];
            for (int step = 0; step < steps; ++step) {
                int i = pick(own), j = pick(own), op = pick(9);
                if (op == 0) mine[j] = pick(4) ? make_counted<16>(pick(3)) : make_counted<5000>(pick(3));
                if (op == 1 && pick(8) == 0) { // larger than a region, briefly: it locks every stripe
                    object<counted_base> large = make_counted<70000>(pick(3));
                    object<right_part> part(large.get()->inside);
                    if (large.use_count() != 2) ADD_FAILURE();
                }
                if (op == 2) mine[j] = mine[i];
                if (op == 3) {
                    std::lock_guard<std::mutex> lock(box_lock);
                    std::swap(box[pick(boxes)], mine[i]);
                }
                if (op == 4 && mine[i]) parts[j] = object<right_part>(mine[i].get()->inside); // interior
                if (op == 5 && mine[i]) object<counted_base> again(mine[i].get());            // no widening
                if (op == 6) mine[j].reset();
                if (op == 7) parts[j].reset();
                if (op == 8 && mine[i] && mine[i]->inside->r != 7) ADD_FAILURE();
            }
        });
    for (auto& t : pool) t.join();
    box.clear();
    for (int id = 0; id < g_next_id; ++id)
        if (g_deletions[id] != 1)
            ADD_FAILURE() << "object " << id << " deleted " << g_deletions[id] << " times";
    EXPECT_EQ(rulo::object_entry_count(), baseline);
}

} // namespace
