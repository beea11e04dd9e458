// A buffer operation that runs out of memory leaves the buffer as it was:
// every allocation an operation makes is failed in turn, and after each
// failure the bytes, the views and the live counters are checked.
//
// This binary replaces the global allocation functions so that a test can
// make the n-th allocation from now throw std::bad_alloc.
#include "rulo/netbuf.h"
#include "tests/rulo/netbuf_probe.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
#include <string>
#include <vector>

namespace {

// Allocations this thread may still make before one fails; negative: no limit.
thread_local int t_allocations_left = -1;

void* allocate(size_t n) {
    if (t_allocations_left == 0) {
        t_allocations_left = -1;
        throw std::bad_alloc();
    }
    if (t_allocations_left > 0) --t_allocations_left;
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}

void* allocate_nothrow(size_t n) noexcept {
    try {
        return allocate(n);
    } catch (std::bad_alloc const&) {
        return nullptr;
    }
}

} // namespace

void* operator new(size_t n) {
    return allocate(n);
}
void* operator new[](size_t n) {
    return allocate(n);
}
void* operator new(size_t n, std::nothrow_t const&) noexcept {
    return allocate_nothrow(n);
}
void* operator new[](size_t n, std::nothrow_t const&) noexcept {
    return allocate_nothrow(n);
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
void operator delete(void* p, std::nothrow_t const&) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::nothrow_t const&) noexcept {
    std::free(p);
}

namespace {

using netbuf_probe::bytes;
using netbuf_probe::lengths;
using netbuf_probe::live;
using netbuf_probe::with_views;

struct release_probe {
    int runs = 0;
    static void release(void* p) { ++static_cast<release_probe*>(p)->runs; }
};

// The buffer under test, a second buffer the case may share chunks with or
// read from, and a probe for attached memory.
struct scene {
    netbuf b;
    netbuf other;
    release_probe& probe;
};

struct failure_case {
    char const* name;
    std::function<void(scene&)> setup;
    std::function<void(scene&)> op;
    bool attaches = false;  // the op hands over memory with a release callback
    bool same_views = true; // false: the op may join views before its own failing step
};

TEST(NetbufAllocFailure, FailedOperationsLeaveTheBufferAsItWas) {
    static char attached[16] = "attached bytes!";
    auto nothing = [](scene&) {};
    auto keep_a_copy = [](scene& s) {
        s.b = with_views({5, 7});
        s.other = s.b; // the chunks are shared: growth needs new ones
    };
    auto many_views = [](scene& s) {
        s.b = with_views(std::vector<int>(40, 2));
        s.other = with_views(std::vector<int>(40, 3));
    };
    auto full_of_views = [](scene& s) {
        s.b = with_views(std::vector<int>(128, 1));
        s.other = netbuf::from_string("x");
    };
    failure_case const cases[] = {
        {"append bytes", keep_a_copy, [](scene& s) { s.b.append("0123456789", 10); }},
        {"prepend bytes", keep_a_copy, [](scene& s) { s.b.prepend("0123456789", 10); }},
        {"append string", keep_a_copy, [](scene& s) { s.b.append(std::string(300, 's')); }},
        {"allocate from the free store", nothing, [](scene& s) { s.b.allocate_back(70000); }},
        {"allocate_front", keep_a_copy, [](scene& s) { s.b.allocate_front(3); }},
        {"wish_allocate_back", keep_a_copy,
         [](scene& s) {
             char* d;
             int n;
             s.b.wish_allocate_back(9, d, n);
         }},
        {"wish_allocate_front", keep_a_copy,
         [](scene& s) {
             char* d;
             int n;
             s.b.wish_allocate_front(9, d, n);
         }},
        {"append many views", many_views, [](scene& s) { s.b.append(s.other); }},
        {"prepend many views", many_views, [](scene& s) { s.b.prepend(s.other); }},
        {"append to itself", many_views, [](scene& s) { s.b.append(s.b); }},
        {"prepend to itself", many_views, [](scene& s) { s.b.prepend(s.b); }},
        {"append that joins", full_of_views, [](scene& s) { s.b.append(s.other); }},
        {"adopt", keep_a_copy,
         [](scene& s) {
             char* array = netbuf::allocate_raw(8);
             std::memcpy(array, "adopted!", 8);
             s.b.append_raw(array, 8);
         }},
        {"adopt that joins", full_of_views, [](scene& s) { s.b.prepend_raw(new char[1]{'n'}, 1); }},
        {"attach", keep_a_copy,
         [](scene& s) { s.b.append_raw(attached, 15, false, &release_probe::release, &s.probe); }, true},
        {"attach that joins", full_of_views,
         [](scene& s) { s.b.prepend_raw(attached, 15, true, &release_probe::release, &s.probe); }, true},
        {"front gathering", many_views,
         [](scene& s) {
             char const* d;
             int n;
             s.b.front(d, n, 20);
         }},
        // The join succeeds; making the text may then fail. The bytes stay.
        {"to_string", many_views, [](scene& s) { (void)s.b.to_string(); }, false, false},
        {"sub", many_views, [](scene& s) { netbuf cut(s.other, 5, 50); }},
        {"assign", many_views, [](scene& s) { s.b = s.other; }},
    };

    for (auto const& c : cases) {
        SCOPED_TRACE(c.name);
        live const baseline = live::now();
        int failures = 0;
        for (int allowed = 0;; ++allowed) {
            ASSERT_LT(allowed, 200) << "never succeeded";
            bool done = false;
            release_probe probe;
            {
                scene s{netbuf(), netbuf(), probe};
                c.setup(s);
                std::string const bytes_before = bytes(s.b);
                std::vector<int> const views_before = lengths(s.b);
                std::string const other_before = bytes(s.other);
                // The operation's own allocations (adopted arrays are made in it) count from here.
                t_allocations_left = allowed;
                try {
                    c.op(s);
                    done = true;
                } catch (std::bad_alloc const&) {
                }
                t_allocations_left = -1;
                if (!done) {
                    ++failures;
                    EXPECT_EQ(bytes(s.b), bytes_before) << "allowed " << allowed;
                    if (c.same_views) {
                        EXPECT_EQ(lengths(s.b), views_before) << "allowed " << allowed;
                    }
                    EXPECT_EQ(s.b.size(), int(bytes_before.size()));
                    EXPECT_EQ(bytes(s.other), other_before);
                    // Memory handed over is released at once when the call fails.
                    if (c.attaches) {
                        EXPECT_EQ(probe.runs, 1) << "allowed " << allowed;
                    }
                }
            }
            if (c.attaches) {
                EXPECT_EQ(probe.runs, 1) << "released exactly once, allowed " << allowed;
            }
            EXPECT_EQ(live::now(), baseline) << "allowed " << allowed;
            if (done) break;
        }
        EXPECT_GT(failures, 0) << "the operation allocates nothing";
    }
}

} // namespace
