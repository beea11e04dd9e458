// Lock-free counters, counted holders and the single-owner pointer.
#include "rulo/atomic.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

TEST(Atomic, DecZeroReportsTheDecrementThatReachedZero) {
    rulo::atomic a(1);
    EXPECT_TRUE(a.dec_zero());
    EXPECT_EQ(a.value(), 0);
    rulo::atomic b(2);
    EXPECT_FALSE(b.dec_zero());
    EXPECT_EQ(b.value(), 1);
    b.add(-5);
    EXPECT_EQ(b.value(), -4);
}

TEST(Atomic, ExactlyOneOfManyThreadsSeesZero) {
    constexpr int threads = 8, per_thread = 10000;
    rulo::atomic count(threads * per_thread);
    std::atomic<int> zeros{0};
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([&] {
            for (int i = 0; i < per_thread; ++i)
                if (count.dec_zero()) ++zeros;
        });
    for (auto& t : pool) t.join();
    EXPECT_EQ(zeros.load(), 1);
    EXPECT_EQ(count.value(), 0);
}

struct payload {
    static inline int destroyed = 0;
    ~payload() { ++destroyed; }
};

TEST(Refc, PayloadDestroyedOnceByTheLastHolder) {
    payload::destroyed = 0;
    auto* a = new rulo::refc<payload>;
    auto* b = new rulo::refc<payload>(*a);
    auto* c = new rulo::refc<payload>(*b);
    EXPECT_EQ(a->use_count(), 3);
    EXPECT_EQ(&**a, &**c);
    delete b;
    delete a;
    EXPECT_EQ(payload::destroyed, 0);
    delete c;
    EXPECT_EQ(payload::destroyed, 1);
}

rulo::atomic g_live;
struct counted : rulo::object_counter<&g_live> {};

TEST(ObjectCounter, CountsLiveInstancesIncludingCopies) {
    int64_t base = g_live.value();
    {
        counted a;
        counted b(a);
        EXPECT_EQ(g_live.value(), base + 2);
        b = a;
        EXPECT_EQ(g_live.value(), base + 2);
    }
    EXPECT_EQ(g_live.value(), base);
}

struct tracked {
    int* deletes;
    explicit tracked(int* d) : deletes(d) {}
    virtual ~tracked() { ++*deletes; }
};

TEST(NullPtr, OwnsOneObjectAtATime) {
    int deletes = 0;
    {
        rulo::null_ptr<tracked> p;
        auto* first = new tracked(&deletes);
        EXPECT_EQ(p = first, first);
        p = first; // its own pointer again: kept, not deleted
        EXPECT_EQ(deletes, 0);
        EXPECT_EQ(p.get(), first);
        p = new tracked(&deletes);
        EXPECT_EQ(deletes, 1);
        p = nullptr;
        EXPECT_EQ(deletes, 2);
        EXPECT_FALSE(p);
        p = new tracked(&deletes);
    }
    EXPECT_EQ(deletes, 3);
}

} // namespace
