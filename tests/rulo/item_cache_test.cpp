// The size-class item cache touches only the items it hands out: the rest of
// a block stays untouched, so a block mapped fresh is not resident beyond
// them. Residency is read from the kernel (mincore) over blocks this test maps
// itself, so no allocator's reuse of old pages can blur the answer.
#include "rulo/detail/item_cache.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <set>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace {

struct mapped_block {
    char* at;
    size_t bytes;
};

std::vector<mapped_block>& blocks() {
    static std::vector<mapped_block> all;
    return all;
}

// Fresh anonymous memory for each block: no page is resident until written.
struct mapped_mem {
    static constexpr int block_items = 40;
    static char* alloc(size_t bytes) {
        void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) throw std::bad_alloc();
        blocks().push_back({static_cast<char*>(p), bytes});
        return static_cast<char*>(p);
    }
};

using cache = rulo::simple_item_cache<mapped_mem>;

// Three pages and the size classes' 12 bytes of overhead: items straddle pages.
size_t const item_size = 3 * 4096 + 12;

TEST(ItemCache, OnlyItemsHandedOutAreResident) {
    struct {
        char const* name;
        int pops, pushes, pops_again;
        int obtained; // items in blocks obtained
    } const cases[] = {
        {"one item of a fresh block", 1, 0, 0, 40},
        {"returned items are reused before fresh ones", 5, 5, 5, 40},
        {"a second block only as far as it is used", 41, 0, 0, 80},
        {"the free list first, then the second block", 40, 10, 12, 80},
    };
    long const page = ::sysconf(_SC_PAGESIZE);
    for (auto const& c : cases) {
        blocks().clear();
        {
            cache items(item_size);
            std::vector<char*> held;
            std::set<char*> handed_out; // ever, by start address
            auto pop = [&](int n) {
                for (int i = 0; i < n; ++i) {
                    char* item = items.pop();
                    std::memset(item, 0x5a, item_size); // as a chunk's owner would
                    held.push_back(item);
                    handed_out.insert(item);
                }
            };
            pop(c.pops);
            for (int i = 0; i < c.pushes; ++i) {
                items.push(held.back());
                held.pop_back();
            }
            pop(c.pops_again);
            EXPECT_EQ(items.obtained(), c.obtained) << c.name;
            EXPECT_EQ(items.free_items(), c.obtained - int64_t(held.size())) << c.name;
            EXPECT_EQ(handed_out.size(), size_t(std::max(c.pops, c.pops - c.pushes + c.pops_again)))
                << c.name << ": reuse";

            // A page that no item handed out overlaps must not be resident.
            for (mapped_block const& b : blocks()) {
                size_t const pages = (b.bytes + page - 1) / page;
                std::vector<unsigned char> resident(pages);
                ASSERT_EQ(::mincore(b.at, b.bytes, resident.data()), 0);
                for (size_t p = 0; p < pages; ++p) {
                    char const* from = b.at + p * page;
                    char const* to = from + page;
                    bool used = false;
                    for (char* item : handed_out) used = used || (item < to && item + item_size > from);
                    if (!used) {
                        EXPECT_FALSE(resident[p] & 1) << c.name << ": page " << p << " of a block";
                    }
                }
            }
            for (char* item : held) items.push(item);
        }
        for (mapped_block const& b : blocks()) {
#if defined(__SANITIZE_ADDRESS__)
            // The free items' poison would outlive the mapping and mark whatever is mapped there next.
            ASAN_UNPOISON_MEMORY_REGION(b.at, b.bytes);
#endif
            ::munmap(b.at, b.bytes);
        }
    }
}

} // namespace
