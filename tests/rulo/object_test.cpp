// Object handles and the address-keyed registry behind them.
#include "rulo/object.h"

#include "tests/support/framework_env.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <latch>
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

// Deleters that record their runs by name; the log deletes those never installed.
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
struct blob {
    unsigned char bytes[N];
};

template <size_t N>
std::shared_ptr<void> hold(int offset, i_deleter* d) {
    return std::make_shared<object<blob<N>>>(reinterpret_cast<blob<N>*>(g_arena + offset), d);
}
std::shared_ptr<void> hold(int offset, int size, i_deleter* d) {
    if (size == 4) return hold<4>(offset, d);
    if (size == 8) return hold<8>(offset, d);
    if (size == 16) return hold<16>(offset, d);
    return hold<32>(offset, d);
}

TEST(ObjectRegistry, GeometryOfJoiningWideningAndRekeying) {
    struct {
        char const* what;
        std::vector<std::tuple<int, int, char const*>> made; // offset, size, deleter; in this order
        int key, extent, count;                              // the entry covering the last one made
        names run;                                           // deleters run once every handle is gone
    } const cases[] = {
        {"interior joins the one below", {{0, 16, "a"}, {32, 8, "b"}, {12, 4, "c"}}, 0, 16, 2, {"a", "b"}},
        {"one past the end: new entry", {{0, 16, "a"}, {16, 4, "b"}}, 16, 4, 1, {"a", "b"}},
        {"larger type widens", {{0, 8, "a"}, {0, 32, "b"}}, 0, 32, 2, {"b"}},
        {"smaller type keeps the entry", {{0, 32, "a"}, {0, 8, "b"}}, 0, 32, 2, {"a"}},
        {"container re-keys a member", {{8, 4, "a"}, {0, 16, "b"}}, 0, 16, 2, {"b"}},
        {"end at next key: no reach", {{16, 4, "a"}, {0, 16, "b"}}, 0, 16, 1, {"a", "b"}},
        {"re-key before joining below", {{0, 16, "a"}, {20, 8, "b"}, {12, 16, "c"}}, 12, 16, 2, {"a", "c"}},
        {"only the lowest is re-keyed", {{8, 4, "a"}, {16, 4, "b"}, {0, 32, "c"}}, 0, 32, 2, {"b", "c"}},
    };
    size_t const baseline = rulo::object_entry_count();
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
        EXPECT_EQ(rulo::object_entry_count(), baseline);
    }
}

// Overlapping ranges: the last release of a handle made from an interior
// address must end that handle's own entry, whatever lies nearer that address.
TEST(ObjectRegistry, ReleaseEndsTheHandlesOwnEntryWhenRangesOverlap) {
    deleter_log log;
    auto a = hold(0, 16, log.make("A"));
    auto inside_a = hold(12, 4, log.make("unused"));
    auto b = hold(32, 16, log.make("B"));
    auto c = hold(8, 32, log.make("C")); // re-keys B's entry to 8, the nearest below 12
    a.reset();
    inside_a.reset(); // the last reference of A's entry
    EXPECT_EQ(log.run, names{"A"});
    b.reset();
    c.reset();
    EXPECT_EQ(log.run, (names{"A", "C"}));
}

// A raw pointer made into a handle while the object's last handle is on its
// way out must not revive the dying entry: it gets an entry of its own, and
// each entry runs its deleter once.
TEST(ObjectRegistry, RawPointerDuringTheLastReleaseDoesNotReviveTheEntry) {
    size_t const baseline = rulo::object_entry_count();
    deleter_log log;
    unsigned char* const x = g_arena + 128;
    object<blob<8>> last(reinterpret_cast<blob<8>*>(x), log.make("X"));
    // A replaced deleter is destroyed under the registry lock: from there, let
    // another thread take the count to 0, then make a handle from the raw pointer.
    std::thread releaser;
    std::shared_ptr<void> again;
    bool saw_dead = false;
    auto* narrow = log.make("narrow");
    narrow->on_destroy = [&] {
        releaser = std::thread([&last] { last.reset(); }); // reaches 0, then waits for the lock
        auto const limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        rulo::object_entry_view v;
        while (rulo::find_object_entry(x, &v) && v.count != 0 && std::chrono::steady_clock::now() < limit)
            std::this_thread::yield();
        saw_dead = rulo::find_object_entry(x, &v) && v.count == 0;
        again = hold(128, 8, log.make("X again"));
    };
    auto small = hold(0, 4, narrow);
    auto wide = hold(0, 16, log.make("wide")); // replaces "narrow"
    releaser.join();
    ASSERT_TRUE(saw_dead);
    EXPECT_EQ(log.run, names{"X"});
    small.reset();
    wide.reset();
    again.reset();
    EXPECT_EQ(log.run, (names{"X", "X again", "wide"}));
    EXPECT_EQ(rulo::object_entry_count(), baseline);
}

struct member {
    int v = 0;
};

TEST(ObjectHandle, EmptyHandlesThrowInsteadOfDereferencingNull) {
    object<member> empty;
    EXPECT_EQ(test_support::thrown([&] { empty.get(); }), ":Error in 'get'");
    EXPECT_EQ(test_support::thrown([&] { (void)empty->v; }), ":Error in 'get'");
    EXPECT_EQ(test_support::thrown([&] { empty.AddRef(); }), ":Error in 'AddRef'");
    object<member> copy(empty);
    copy = empty;
    EXPECT_FALSE(copy);
}

std::atomic<int> g_constructed{0}, g_shared_destroyed{0}, g_double_destroyed{0};

struct left_part {
    virtual ~left_part() = default;
    int l = 0;
};
struct right_part { // no virtual destructor: deleting through it is an ASan error
    int r = 7;
};
struct shared_object : left_part, right_part {
    shared_object() { ++g_constructed; }
    ~shared_object() override {
        if (dead.exchange(true)) ++g_double_destroyed;
        ++g_shared_destroyed;
    }
    member inner;
    std::atomic<bool> dead{false};
};

// The object is deleted as what was registered, even when the last handle is a
// converted one to a base part at another address.
TEST(ObjectHandle, ConvertedHandlesShareTheCount) {
    int const destroyed = g_shared_destroyed;
    object<shared_object> h = rulo::make_object(new shared_object);
    object<right_part> r;
    r = h;
    object<right_part> moved(std::move(r));
    EXPECT_EQ(h.use_count(), 2u);
    h.reset();
    EXPECT_EQ(g_shared_destroyed, destroyed);
    moved = object<right_part>();
    EXPECT_EQ(g_shared_destroyed, destroyed + 1);
}

int g_destroyed = 0, g_destroyed_during_call = -1;

struct node {
    object<node> next;
    bool* lock_was_free = nullptr; // when set, the destructor probes the registry lock

    void drop(object<node>& only) {
        only.reset();
        g_destroyed_during_call = g_destroyed;
        lock_was_free = nullptr; // a write to the object after its last handle went
    }
    ~node();
};

// True when another thread can take the registry lock. Detached, so that a
// lock held by the caller fails the test instead of hanging it.
bool registry_lock_is_free() {
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> counted = done->get_future();
    std::thread([done] {
        rulo::object_entry_count();
        done->set_value();
    }).detach();
    return counted.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
}

node::~node() {
    ++g_destroyed;
    if (lock_was_free) *lock_was_free = registry_lock_is_free();
}

TEST(ObjectHandle, AssignmentTakesTheNewReferenceFirst) {
    g_destroyed = 0;
    object<node> only(new node);
    object<node>& same = only;
    only = same;
    only = std::move(same);
    EXPECT_EQ(only.use_count(), 1u);
    EXPECT_EQ(g_destroyed, 0) << "self-assignment of the only handle";

    only.get()->next = object<node>(new node);
    node* second = only.get()->next.get();
    only = only.get()->next; // the source lives inside the object released
    EXPECT_EQ(only.get(), second);
    EXPECT_EQ(only.use_count(), 1u);
    EXPECT_EQ(g_destroyed, 1);

    second->next = only; // a handle inside the object it keeps alive
    only.reset();
    second->next.reset();
    EXPECT_EQ(g_destroyed, 2);
}

// A member function may drop the last other handle: the call's guard keeps the
// object until the call returns. Destructors, nested ones too, run with the
// registry lock free.
TEST(ObjectHandle, ObjectsDieAfterTheCallAndOutsideTheRegistryLock) {
    g_destroyed = 0;
    bool lock_was_free = false;
    object<node> h(new node);
    h.get()->next = object<node>(new node);
    h.get()->next.get()->lock_was_free = &lock_was_free;
    h->drop(h);
    EXPECT_EQ(g_destroyed_during_call, 0);
    EXPECT_EQ(g_destroyed, 2);
    EXPECT_TRUE(lock_was_free);
}

object<shared_object> make_shared_object(bool member_first) {
    auto* s = new shared_object;
    object<member> m(member_first ? &s->inner : nullptr); // registered alone first, then re-keyed
    return object<shared_object>(s);
}

TEST(ObjectStress, EightThreadsShareCopyAndDropHandles) {
    size_t const baseline = rulo::object_entry_count();
    constexpr int threads = 8, boxes = 16, own = 8, sides = 4, steps = 100000;
    std::mutex box_lock;
    std::vector<object<shared_object>> box(boxes);
    for (int i = 0; i < boxes; ++i) box[i] = make_shared_object(i % 2 == 0);

    std::latch start(threads);
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([&box, &box_lock, &start, t] {
            start.arrive_and_wait();
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
                if (op == 4 && mine[i]) object<member> m(&mine[i].get()->inner);
                if (op == 5) side[pick(sides)] = mine[i];
                if (op == 6 && mine[i] && mine[i]->r != 7) ADD_FAILURE(); // a call through the guard
                if (op == 7) mine[j] = make_shared_object(pick(2) == 0);
                if (op == 8) mine[j] = std::move(mine[i]);
                if (op == 9) side[pick(sides)].reset();
            }
        });
    for (auto& t : pool) t.join();
    box.clear();

    EXPECT_GT(g_constructed, boxes);
    EXPECT_EQ(g_shared_destroyed.load(), g_constructed.load());
    EXPECT_EQ(g_double_destroyed, 0);
    EXPECT_EQ(rulo::object_entry_count(), baseline);
}

} // namespace
