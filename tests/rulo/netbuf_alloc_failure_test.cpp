// A buffer operation that runs out of memory leaves the buffer as it was: each
// allocation an operation makes is failed in turn (this binary replaces the global
// allocation functions), then the bytes, views and live counters are checked.
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
    if (t_allocations_left >= 0 && t_allocations_left-- == 0) throw std::bad_alloc(); // and no limit after
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
} // namespace

// Every form this binary uses, so that none comes from the sanitizer runtime with a mismatched free().
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
    // The views of b and of other (none: other shares b's chunks, so growth needs new ones; 128: one more
    // joins).
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
        {full, one, [](netbuf& b, netbuf& other) { b.append(other); }},
        {full, one, [](netbuf& b, netbuf&) { b.prepend_raw(new char[1]{'n'}, 1); }},
        {full, one, attach, true},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        auto const& c = cases[i];
        auto const baseline = live();
        int allowed = 0;
        for (bool done = false; !done; ++allowed) {
            ASSERT_LT(allowed, 200) << "case " << i << " never succeeded";
            probe.runs = 0;
            {
                netbuf b = with_views(c.b_views),
                       other = c.other_views.empty() ? b : with_views(c.other_views);
                std::string const bytes_before = bytes(b), other_before = bytes(other);
                std::vector<int> const views_before = lengths(b);
                t_allocations_left = allowed; // counted from here: adopted arrays are made in the op
                try {
                    c.op(b, other);
                    done = true;
                } catch (std::bad_alloc const&) {
                    EXPECT_EQ(lengths(b), views_before) << "case " << i << ", allowed " << allowed;
                    EXPECT_EQ(bytes(b), bytes_before) << "case " << i;
                    EXPECT_EQ(bytes(other), other_before) << "case " << i;
                    EXPECT_EQ(probe.runs, c.attaches ? 1 : 0) << "released at once when the call fails";
                }
                t_allocations_left = -1;
            }
            EXPECT_EQ(probe.runs, c.attaches ? 1 : 0) << "released exactly once, case " << i;
            EXPECT_EQ(live(), baseline) << "case " << i << ", allowed " << allowed;
        }
        EXPECT_GT(allowed, 1) << "case " << i << " allocates nothing";
    }
}

} // namespace
