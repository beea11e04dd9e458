// A buffer operation that runs out of memory leaves the buffer as it was: every
// allocation an operation makes is failed in turn, and after each failure the
// bytes, the views and the live counters are checked. This binary replaces the
// global allocation functions to make the n-th allocation from now throw.
#include "rulo/netbuf.h"
#include "tests/rulo/netbuf_probe.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <string>
#include <vector>

namespace {
thread_local int t_allocations_left = -1; // allocations this thread may make before one fails; <0: no limit

void* allocate(size_t n) {
    if (t_allocations_left == 0) {
        t_allocations_left = -1;
        throw std::bad_alloc();
    }
    if (t_allocations_left > 0) --t_allocations_left;
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
} // namespace

// Every form this binary uses, so that none comes from the sanitizer runtime with a free() that does not
// match.
void* operator new(size_t n) {
    return allocate(n);
}
void* operator new[](size_t n) {
    return allocate(n);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, size_t) noexcept {
    std::free(p);
}

namespace {

using namespace netbuf_probe;

TEST(NetbufAllocFailure, FailedOperationsLeaveTheBufferAsItWas) {
    static char attached[16] = "attached bytes!", *data;
    static char const* front;
    static int length;
    static release_probe probe;
    auto attach = [](netbuf& b, netbuf&) {
        b.append_raw(attached, 15, false, &release_probe::release, &probe);
    };
    // The views of the buffer under test and of a second one; none: the second shares the
    // first's chunks, so that growth needs new ones. 128 views: one more joins them.
    std::vector<int> const few = {5, 7}, shared, many(40, 2), many_more(40, 3), full(128, 1), one = {1};
    struct failure_case {
        std::vector<int> b_views, other_views;
        void (*op)(netbuf& b, netbuf& other);
        bool attaches = false; // the op hands over memory with a release callback
    } const cases[] = {
        {few, shared, [](netbuf& b, netbuf&) { b.append("0123456789", 10); }},
        {few, shared, [](netbuf& b, netbuf&) { b.allocate_front(3); }},
        {few, shared, [](netbuf& b, netbuf&) { b.allocate_back(70000); }}, // not from a size-class cache
        {few, shared, [](netbuf& b, netbuf&) { b.wish_allocate_back(9, data, length); }},
        {few, shared, attach, true},
        {many, many_more, [](netbuf& b, netbuf& other) { b.prepend(other); }},
        {many, many_more, [](netbuf& b, netbuf&) { b.append(b); }},
        {many, many_more, [](netbuf& b, netbuf&) { b.front(front, length, 20); }},
        {many, many_more, [](netbuf& b, netbuf& other) { b = other; }},
        {full, one, [](netbuf& b, netbuf& other) { b.append(other); }},
        {full, one, [](netbuf& b, netbuf&) { b.prepend_raw(new char[1]{'n'}, 1); }},
        {full, one, attach, true},
    };

    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE("case " + std::to_string(i));
        auto const& c = cases[i];
        live const baseline = live::now();
        int failures = 0;
        for (int allowed = 0, done = 0; !done; ++allowed) {
            ASSERT_LT(allowed, 200) << "never succeeded";
            probe.runs = 0;
            {
                netbuf b = with_views(c.b_views),
                       other = c.other_views.empty() ? b : with_views(c.other_views);
                std::string const bytes_before = bytes(b), other_before = bytes(other);
                std::vector<int> const views_before = lengths(b);
                t_allocations_left = allowed; // counted from here: adopted arrays are made in the op
                try {
                    c.op(b, other);
                    done = 1;
                } catch (std::bad_alloc const&) {
                    ++failures;
                    t_allocations_left = -1;
                    EXPECT_EQ(lengths(b), views_before) << "allowed " << allowed;
                    EXPECT_EQ(bytes(b), bytes_before) << "allowed " << allowed;
                    EXPECT_EQ(bytes(other), other_before);
                    EXPECT_EQ(probe.runs, c.attaches ? 1 : 0) << "released at once when the call fails";
                }
                t_allocations_left = -1;
            }
            EXPECT_EQ(probe.runs, c.attaches ? 1 : 0) << "released exactly once, allowed " << allowed;
            EXPECT_EQ(live::now(), baseline) << "allowed " << allowed;
        }
        EXPECT_GT(failures, 0) << "the operation allocates nothing";
    }
}

} // namespace
