// Lock-free counters, counted holders and the single-owner pointer.
#include "rulo/atomic.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

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

rulo::atomic g_live;
struct counted : rulo::object_counter<&g_live> {};

TEST(Refc, PayloadCountedAndDestroyedOnceByTheLastHolder) {
    auto* a = new rulo::refc<counted>;
    auto* b = new rulo::refc<counted>(*a);
    EXPECT_EQ(b->use_count(), 2);
    EXPECT_EQ(&**a, &**b);
    {
        counted copy(**a); // a copy is one more live instance, an assignment none
        copy = **b;
        EXPECT_EQ(g_live.value(), 2);
    }
    delete a;
    EXPECT_EQ(g_live.value(), 1);
    delete b;
    EXPECT_EQ(g_live.value(), 0);
}

struct tracked {
    int* deletes;
    ~tracked() { ++*deletes; }
};

TEST(NullPtr, OwnsOneObjectAtATime) {
    int deletes = 0;
    {
        rulo::null_ptr<tracked> p;
        auto* first = new tracked{&deletes};
        p = first;
        p = first; // its own pointer again: kept, not deleted
        EXPECT_EQ(deletes, 0);
        p = new tracked{&deletes};
        EXPECT_EQ(deletes, 1);
        p = nullptr;
        EXPECT_EQ(deletes, 2);
        p = new tracked{&deletes};
    }
    EXPECT_EQ(deletes, 3);
}

} // namespace
