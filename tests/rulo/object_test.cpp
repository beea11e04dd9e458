// Object handles and the address-keyed registry behind them.
#include "rulo/object.h"

#include <gtest/gtest.h>

#include <algorithm>
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
#include <vector>

namespace {

using rulo::object;

// --- Deleters that record what the registry does with them ---------------

struct deleter_log {
    std::vector<std::string> run; // names, in the order _delete() ran
    std::set<i_deleter*> alive;   // deleters not destroyed yet
    std::vector<i_deleter*> all;  // every deleter made, to free those never installed

    ~deleter_log() {
        // A deleter the registry did not install is still ours.
        for (i_deleter* d : all)
            if (alive.count(d)) delete d;
    }
    std::vector<std::string> sorted_run() const {
        auto v = run;
        std::sort(v.begin(), v.end());
        return v;
    }
};

class recording_deleter : public i_deleter {
public:
    recording_deleter(std::string name, deleter_log& log) : m_name(std::move(name)), m_log(log) {
        m_log.alive.insert(this);
        m_log.all.push_back(this);
    }
    void _delete() override { m_log.run.push_back(m_name); }
    ~recording_deleter() override {
        m_log.alive.erase(this);
        if (on_destroy) on_destroy();
    }

    std::function<void()> on_destroy;

private:
    std::string m_name;
    deleter_log& m_log;
};

// Registered "objects" of a given size inside a byte arena; only their
// addresses and sizes matter, and the recording deleters never touch them.
template <size_t N>
struct blob {
    unsigned char bytes[N];
};

alignas(64) unsigned char g_arena[256];

struct any_handle {
    virtual ~any_handle() = default;
    virtual uint32_t use_count() const = 0;
};

template <size_t N>
struct blob_handle : any_handle {
    blob_handle(unsigned char* p, i_deleter* d) : h(reinterpret_cast<blob<N>*>(p), d) {}
    uint32_t use_count() const override { return h.use_count(); }
    object<blob<N>> h;
};

std::unique_ptr<any_handle> make_blob_handle(int offset, int size, i_deleter* d) {
    unsigned char* p = g_arena + offset;
    switch (size) {
    case 4:
        return std::make_unique<blob_handle<4>>(p, d);
    case 8:
        return std::make_unique<blob_handle<8>>(p, d);
    case 16:
        return std::make_unique<blob_handle<16>>(p, d);
    case 32:
        return std::make_unique<blob_handle<32>>(p, d);
    }
    ADD_FAILURE() << "no blob of size " << size;
    return nullptr;
}

std::string thrown_text(std::function<void()> const& f) {
    try {
        f();
    } catch (rulo::exception const& e) {
        return e.description();
    }
    return "(nothing thrown)";
}

// --- Registry geometry -------------------------------------------------------

struct registration {
    int offset, size;
    char const* name;
};

struct geometry_case {
    char const* what;
    std::vector<registration> made; // in this order, each with its own deleter
    int key, extent, count;         // the entry covering the last one made
    std::vector<std::string> run;   // deleters run once every handle is gone (sorted)
};

TEST(ObjectRegistry, GeometryOfJoiningWideningAndRekeying) {
    geometry_case const cases[] = {
        {"same address twice shares one count", {{0, 16, "a"}, {0, 16, "b"}}, 0, 16, 2, {"a"}},
        {"interior address above the last entry joins it", {{0, 16, "a"}, {8, 4, "b"}}, 0, 16, 2, {"a"}},
        {"interior address joins the entry below when the next is out of reach",
         {{0, 16, "a"}, {32, 8, "b"}, {12, 4, "c"}},
         0,
         16,
         2,
         {"a", "b"}},
        {"one past the end makes a new entry", {{0, 16, "a"}, {16, 4, "b"}}, 16, 4, 1, {"a", "b"}},
        {"larger type at the same address widens", {{0, 8, "a"}, {0, 32, "b"}}, 0, 32, 2, {"b"}},
        {"smaller type at the same address keeps extent and deleter",
         {{0, 32, "a"}, {0, 8, "b"}},
         0,
         32,
         2,
         {"a"}},
        {"container made after a member re-keys it", {{8, 4, "a"}, {0, 16, "b"}}, 0, 16, 2, {"b"}},
        {"range ending at the next key does not reach it",
         {{16, 4, "a"}, {0, 16, "b"}},
         0,
         16,
         1,
         {"a", "b"}},
        {"re-keying is tested before the entry below",
         {{0, 16, "a"}, {20, 8, "b"}, {12, 16, "c"}},
         12,
         16,
         2,
         {"a", "c"}},
        {"only the lowest entry inside the range is re-keyed",
         {{8, 4, "a"}, {16, 4, "b"}, {0, 32, "c"}},
         0,
         32,
         2,
         {"b", "c"}},
    };
    size_t const baseline = rulo::object_entry_count();
    for (auto const& c : cases) {
        SCOPED_TRACE(c.what);
        deleter_log log;
        {
            std::vector<std::unique_ptr<any_handle>> handles;
            for (auto const& r : c.made)
                handles.push_back(make_blob_handle(r.offset, r.size, new recording_deleter(r.name, log)));
            rulo::object_entry_view v;
            ASSERT_TRUE(rulo::find_object_entry(g_arena + c.made.back().offset, &v));
            EXPECT_EQ(v.key, g_arena + c.key);
            EXPECT_EQ(v.extent, uint32_t(c.extent));
            EXPECT_EQ(v.count, uint32_t(c.count));
            EXPECT_EQ(handles.back()->use_count(), uint32_t(c.count));
            while (!handles.empty()) handles.pop_back();
        }
        EXPECT_EQ(log.sorted_run(), c.run);
        EXPECT_EQ(rulo::object_entry_count(), baseline);
    }
}

std::atomic<int> g_outer_destroyed{0}, g_base_destroyed{0}, g_derived_destroyed{0}, g_both_destroyed{0};

struct member {
    int v = 0;
};
// No virtual destructor: only deleting it as an outer would be sound.
struct outer {
    int head = 0;
    member m;
    int tail[3]{};
    ~outer() { ++g_outer_destroyed; }
};
struct base {
    int b = 0;
    ~base() { ++g_base_destroyed; }
};
struct derived : base {
    int extra[8]{};
    ~derived() { ++g_derived_destroyed; }
};
struct left_part {
    virtual ~left_part() = default;
    int l = 0;
};
struct right_part {
    int r[2]{};
};
struct both : left_part, right_part {
    ~both() override { ++g_both_destroyed; }
};

TEST(ObjectRegistry, ObjectsAreDestroyedAsTheirRegisteredType) {
    // Under ASan a delete through the wrong type or an interior pointer is a
    // reported error; the counters show which destructor ran.
    {
        g_outer_destroyed = 0;
        object<outer> o(new outer);
        object<member> m(&o.get()->m);
        EXPECT_EQ(o.use_count(), 2u);
        o.reset();
        EXPECT_EQ(g_outer_destroyed, 0);
        m.reset();
        EXPECT_EQ(g_outer_destroyed, 1) << "interior handle dropped last";
    }
    {
        g_base_destroyed = g_derived_destroyed = 0;
        derived* d = new derived;
        object<base> hb(d);
        object<derived> hd(d);
        rulo::object_entry_view v;
        ASSERT_TRUE(rulo::find_object_entry(d, &v));
        EXPECT_EQ(v.extent, sizeof(derived));
        hd.reset();
        hb.reset();
        EXPECT_EQ(g_derived_destroyed, 1) << "widened entry deletes as the derived type";
        EXPECT_EQ(g_base_destroyed, 1);
    }
    {
        g_outer_destroyed = 0;
        outer* o = new outer;
        object<member> m(&o->m);
        object<outer> ho(o);
        rulo::object_entry_view v;
        ASSERT_TRUE(rulo::find_object_entry(&o->m, &v));
        EXPECT_EQ(v.key, o);
        EXPECT_EQ(v.extent, sizeof(outer));
        EXPECT_EQ(v.count, 2u) << "the count continues across re-keying";
        ho.reset();
        m.reset();
        EXPECT_EQ(g_outer_destroyed, 1) << "re-keyed entry deletes the container";
    }
    {
        g_both_destroyed = 0;
        object<both> hb(new both);
        object<right_part> hr = hb;
        EXPECT_NE(static_cast<void*>(hr.get()), static_cast<void*>(hb.get()));
        EXPECT_EQ(hr.use_count(), 2u);
        hb.reset();
        EXPECT_EQ(g_both_destroyed, 0);
        hr.reset();
        EXPECT_EQ(g_both_destroyed, 1) << "a handle to a base inside the object dropped last";
    }
}

// Overlapping ranges: the release of the last handle made from an interior
// address must end that handle's own entry, whatever lies nearer that address.
TEST(ObjectRegistry, ReleaseEndsTheHandlesOwnEntryWhenRangesOverlap) {
    size_t const baseline = rulo::object_entry_count();
    deleter_log log;
    auto a = make_blob_handle(0, 16, new recording_deleter("A", log));
    auto inside_a = make_blob_handle(12, 4, new recording_deleter("unused", log));
    auto b = make_blob_handle(32, 16, new recording_deleter("B", log));
    auto c = make_blob_handle(8, 32, new recording_deleter("C", log)); // re-keys B's entry to 8
    rulo::object_entry_view v;
    ASSERT_TRUE(rulo::find_object_entry(g_arena + 12, &v));
    ASSERT_EQ(v.key, g_arena + 8) << "the nearest entry below the interior address is not its own";

    a.reset();
    inside_a.reset(); // last reference of A's entry
    EXPECT_EQ(log.run, std::vector<std::string>{"A"});
    ASSERT_TRUE(rulo::find_object_entry(g_arena + 8, &v));
    EXPECT_EQ(v.count, 2u);
    EXPECT_EQ(rulo::object_entry_count(), baseline + 1);

    b.reset();
    c.reset();
    EXPECT_EQ(log.sorted_run(), (std::vector<std::string>{"A", "C"}));
    EXPECT_EQ(rulo::object_entry_count(), baseline);
}

// --- Empty handles and exceptions --------------------------------------------

struct plain {
    int v = 3;
    int value() const { return v; }
};

TEST(ObjectHandle, EmptyHandlesAndTheirExceptions) {
    size_t const baseline = rulo::object_entry_count();
    object<plain> empty;
    object<plain> from_null(nullptr);
    object<plain> copied(empty);
    object<plain> assigned(new plain);
    assigned = from_null;
    copied.reset();
    for (object<plain> const* h : {&empty, &from_null, &copied, &assigned}) {
        EXPECT_FALSE(*h);
        EXPECT_EQ(h->use_count(), 0u);
    }
    EXPECT_EQ(rulo::object_entry_count(), baseline);

    struct {
        char const* what;
        std::function<void()> call;
        char const* text;
    } const cases[] = {
        {"get", [&] { empty.get(); }, ":Error in 'get'"},
        {"->", [&] { empty->value(); }, ":Error in 'get'"},
        {"AddRef", [&] { empty.AddRef(); }, ":Error in 'AddRef'"},
        {"Release",
         [] {
             plain* p = nullptr;
             rulo::object_count* c = nullptr;
             object<plain>::Release(p, c);
         },
         ":Error in 'Release'"},
    };
    for (auto const& c : cases) EXPECT_EQ(thrown_text(c.call), c.text) << c.what;
    EXPECT_FALSE(empty);
}

TEST(ObjectHandle, MakeObjectAndConvertingCopiesShareOneCount) {
    g_both_destroyed = 0;
    object<both> h = rulo::make_object(new both);
    object<left_part> l(h);
    object<right_part> r;
    r = h;
    object<right_part> moved(std::move(r));
    EXPECT_FALSE(r);
    EXPECT_EQ(h.use_count(), 3u);
    EXPECT_EQ(static_cast<right_part*>(h.get()), moved.get());
    h.reset();
    l.reset();
    EXPECT_EQ(g_both_destroyed, 0);
    moved = object<right_part>();
    EXPECT_EQ(g_both_destroyed, 1);
}

// --- Calls through -> and assignment ----------------------------------------

std::atomic<int> g_self_destroyed{0};
int g_destroyed_during_call = -1;

struct self_dropping {
    int after_drop = 0;
    void drop(object<self_dropping>& only) {
        only.reset();
        g_destroyed_during_call = g_self_destroyed;
        after_drop = 42; // writes to the object after its last handle went
    }
    ~self_dropping() { ++g_self_destroyed; }
};

TEST(ObjectHandle, CallThroughArrowOutlivesTheLastOtherHandle) {
    g_self_destroyed = 0;
    object<self_dropping> h(new self_dropping);
    h->drop(h);
    EXPECT_EQ(g_destroyed_during_call, 0);
    EXPECT_FALSE(h);
    EXPECT_EQ(g_self_destroyed, 1) << "the call's guard dropped the last reference";
}

std::atomic<int> g_nodes_destroyed{0};

struct node {
    object<node> next;
    ~node() { ++g_nodes_destroyed; }
};

TEST(ObjectHandle, AssignmentTakesTheNewReferenceFirst) {
    g_nodes_destroyed = 0;
    {
        object<node> only(new node);
        object<node> const& same = only;
        only = same;
        EXPECT_TRUE(only);
        EXPECT_EQ(only.use_count(), 1u);
        object<node>& same_rvalue = only;
        only = std::move(same_rvalue);
        EXPECT_TRUE(only);
        EXPECT_EQ(g_nodes_destroyed, 0) << "self-assignment of the only handle";
    }
    EXPECT_EQ(g_nodes_destroyed, 1);

    g_nodes_destroyed = 0;
    {
        object<node> a(new node);
        a.get()->next = object<node>(new node);
        node* b = a.get()->next.get();
        a = a.get()->next; // the source lives inside the object released
        EXPECT_EQ(a.get(), b);
        EXPECT_EQ(a.use_count(), 1u);
        EXPECT_EQ(g_nodes_destroyed, 1);
    }
    EXPECT_EQ(g_nodes_destroyed, 2);

    g_nodes_destroyed = 0;
    {
        object<node> a(new node), b(new node);
        void const* old = a.get();
        a = b;
        EXPECT_EQ(g_nodes_destroyed, 1);
        EXPECT_EQ(b.use_count(), 2u);
        EXPECT_FALSE(rulo::find_object_entry(old, nullptr)) << "the old object's entry is gone";
    }

    g_nodes_destroyed = 0;
    {
        // A handle inside the object it keeps alive: reset clears it before
        // the object (and so the handle itself) is destroyed.
        object<node> a(new node);
        node* n = a.get();
        n->next = a;
        a.reset();
        EXPECT_EQ(g_nodes_destroyed, 0);
        n->next.reset();
        EXPECT_EQ(g_nodes_destroyed, 1);
    }
}

// --- Deleters run outside the registry lock -----------------------------------

std::atomic<int> g_chain_destroyed{0};

struct chain {
    object<chain> next;
    bool* lock_was_free = nullptr; // set on the one that probes the lock
    ~chain() {
        ++g_chain_destroyed;
        // Make and drop a handle of another object in the destructor.
        object<plain> other(new plain);
        if (lock_was_free) {
            // Another thread can take the registry lock while we destroy. Detached,
            // so that a lock held here fails the test instead of hanging it.
            auto done = std::make_shared<std::promise<void>>();
            std::future<void> counted = done->get_future();
            std::thread([done] {
                rulo::object_entry_count();
                done->set_value();
            }).detach();
            *lock_was_free = counted.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
        }
    }
};

TEST(ObjectHandle, DestructorsRunOutsideTheRegistryLock) {
    g_chain_destroyed = 0;
    size_t const baseline = rulo::object_entry_count();
    bool lock_was_free = false;
    {
        object<chain> a(new chain);
        a.get()->next = object<chain>(new chain);
        a.get()->next.get()->next = object<chain>(new chain);
        a.get()->lock_was_free = &lock_was_free;
    }
    EXPECT_EQ(g_chain_destroyed, 3) << "a destructor dropping the last handle of another object";
    EXPECT_TRUE(lock_was_free);
    EXPECT_EQ(rulo::object_entry_count(), baseline);
}

// A raw pointer made into a handle while the object's last handle is on its
// way out must not revive the dying entry: it gets an entry of its own, and
// each entry runs its deleter once.
TEST(ObjectRegistry, RawPointerDuringTheLastReleaseDoesNotReviveTheEntry) {
    size_t const baseline = rulo::object_entry_count();
    deleter_log log;
    unsigned char* const x = g_arena + 128;
    object<blob<8>> last(reinterpret_cast<blob<8>*>(x), new recording_deleter("X", log));

    std::promise<void> go;
    std::thread releaser([&last, started = go.get_future()]() mutable {
        started.wait();
        last.reset(); // reaches 0 without the lock, then waits for it
    });

    std::unique_ptr<any_handle> again;
    bool saw_dead = false;
    // The replaced deleter is destroyed while the registry lock is held (by
    // this thread): hold it there until the releaser's count reached 0.
    auto* narrow = new recording_deleter("narrow", log);
    narrow->on_destroy = [&] {
        go.set_value();
        auto const limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        rulo::object_entry_view v;
        while (rulo::find_object_entry(x, &v) && v.count != 0 && std::chrono::steady_clock::now() < limit)
            std::this_thread::yield();
        saw_dead = rulo::find_object_entry(x, &v) && v.count == 0;
        again = make_blob_handle(128, 8, new recording_deleter("X again", log));
    };
    auto small = make_blob_handle(0, 4, narrow);
    auto wide = make_blob_handle(0, 16, new recording_deleter("wide", log)); // replaces "narrow"
    releaser.join();
    ASSERT_TRUE(saw_dead);
    EXPECT_EQ(again->use_count(), 1u);
    rulo::object_entry_view v;
    ASSERT_TRUE(rulo::find_object_entry(x, &v));
    EXPECT_EQ(v.count, 1u);
    EXPECT_EQ(log.run, std::vector<std::string>{"X"});
    small.reset();
    wide.reset();
    again.reset();
    EXPECT_EQ(log.sorted_run(), (std::vector<std::string>{"X", "X again", "wide"}));
    EXPECT_EQ(rulo::object_entry_count(), baseline);
}

// --- Stress ------------------------------------------------------------------

std::atomic<int> g_constructed{0}, g_destroyed{0}, g_double_destroyed{0};

struct head_part {
    virtual ~head_part() = default;
    int head = 1;
};
struct side_part {
    int side = 7;
};
struct shared_object : head_part, side_part {
    shared_object() { ++g_constructed; }
    ~shared_object() override {
        if (dead.exchange(true)) ++g_double_destroyed;
        ++g_destroyed;
    }
    int touch() { return hits.fetch_add(1, std::memory_order_relaxed); }
    member inner;
    std::atomic<int> hits{0};
    std::atomic<bool> dead{false};
};

object<shared_object> make_shared_object(bool member_first) {
    auto* s = new shared_object;
    if (!member_first) return object<shared_object>(s);
    object<member> m(&s->inner); // registered alone first, then re-keyed
    return object<shared_object>(s);
}

TEST(ObjectStress, EightThreadsShareCopyAndDropHandles) {
    g_constructed = g_destroyed = g_double_destroyed = 0;
    size_t const baseline = rulo::object_entry_count();
    constexpr int threads = 8, boxes = 16, own = 8, sides = 4, steps = 150000;

    struct mailbox {
        std::mutex m;
        object<shared_object> h;
    };
    std::vector<mailbox> box(boxes);
    for (int i = 0; i < boxes; ++i) box[i].h = make_shared_object(i % 2 == 0);

    std::latch start(threads);
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([&box, &start, t] {
            start.arrive_and_wait(); // all threads at once, not one after another
            std::minstd_rand rng(1234 + t);
            auto pick = [&rng](int n) { return int(rng() % unsigned(n)); };
            object<shared_object> mine[own];
            object<side_part> side[sides];
            for (int step = 0; step < steps; ++step) {
                int i = pick(own), j = pick(own);
                switch (pick(10)) {
                case 0:
                    mine[j] = mine[i];
                    break;
                case 1:
                    mine[j].reset();
                    break;
                case 2: {
                    mailbox& b = box[pick(boxes)];
                    std::lock_guard<std::mutex> lock(b.m);
                    object<shared_object> taken = b.h;
                    b.h = mine[i];
                    mine[i] = taken;
                    break;
                }
                case 3:
                    if (mine[i]) mine[j] = object<shared_object>(mine[i].get());
                    break;
                case 4:
                    if (mine[i]) {
                        object<member> m(&mine[i].get()->inner);
                    }
                    break;
                case 5:
                    side[pick(sides)] = mine[i];
                    break;
                case 6:
                    if (mine[i]) mine[i]->touch();
                    break;
                case 7:
                    mine[j] = make_shared_object(pick(2) == 0);
                    break;
                case 8:
                    mine[j] = std::move(mine[i]);
                    break;
                case 9:
                    side[pick(sides)].reset();
                    break;
                }
            }
        });
    for (auto& t : pool) t.join();
    for (auto& b : box) b.h.reset();

    EXPECT_GT(g_constructed, boxes);
    EXPECT_EQ(g_destroyed.load(), g_constructed.load());
    EXPECT_EQ(g_double_destroyed, 0);
    EXPECT_EQ(rulo::object_entry_count(), baseline);
}

} // namespace
