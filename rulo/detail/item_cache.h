// A cache of equal-sized items carved from large blocks, for the buffer's
// size classes (netbuf_imp.h).
//
// Memory: a block of Mem::block_items items comes from Mem::alloc when the
// cache runs dry and is never returned to the system. Its items are handed
// out in address order, and the rest of the block is not written until they
// are, so pages nobody has asked for stay untouched (and, for a block the
// allocator mapped fresh, not resident):
//
//   block: | handed out or free-listed ... | untouched ...................... |
//                                          ^ m_fresh                         ^ m_fresh_end
//
// An item given back goes on a first-in first-out free list; its first 8
// bytes link it to the next one. pop() takes from the free list before it
// touches a new item.
//
// Threads: shared by every thread that makes or drops items of its size; pop
// and push each hold m_mutex for their duration.
#pragma once

#include "rulo/lock.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace rulo {

template <class Mem>
class simple_item_cache {
public:
    explicit simple_item_cache(size_t item_size) : m_item_size(item_size) {}
    simple_item_cache(simple_item_cache const&) = delete;
    simple_item_cache& operator=(simple_item_cache const&) = delete;

    // Takes the cache mutex. Throws std::bad_alloc when a new block cannot be had.
    char* pop();
    // Takes the cache mutex. Links a free item at the tail.
    void push(char* item);

    size_t item_size() const { return m_item_size; }
    // Items in all blocks obtained.
    int64_t obtained() const;
    // Items not handed out: on the free list or not yet touched.
    int64_t free_items() const;

private:
    static char* next_of(char* item);
    static void set_next(char* item, char* next);
    // Under AddressSanitizer a free item's bytes are poisoned, so that use of
    // a chunk after its release is reported. Only whole 8-byte granules are
    // marked: items are not granule-aligned, and a shared edge granule holds
    // the next item's link, which the cache itself reads and writes. Touches
    // the sanitizer's shadow only, never the item.
    static void mark_item(char* item, size_t size, bool free);

    mutable rec_mutex m_mutex;
    char* m_head = nullptr;
    char* m_tail = nullptr;
    char* m_fresh = nullptr; // the untouched rest of the newest block
    char* m_fresh_end = nullptr;
    int64_t m_obtained = 0;
    int64_t m_free = 0;
    size_t m_item_size;
    // Every block obtained, so the memory stays reachable while its items are free.
    std::vector<char*> m_blocks;
};

template <class Mem>
void simple_item_cache<Mem>::mark_item(char* item, size_t size, bool free) {
#if defined(__SANITIZE_ADDRESS__)
    auto first = (reinterpret_cast<uintptr_t>(item) + sizeof(char*) + 7) & ~uintptr_t(7);
    auto last = (reinterpret_cast<uintptr_t>(item) + size) & ~uintptr_t(7);
    if (first >= last) return;
    if (free)
        ASAN_POISON_MEMORY_REGION(reinterpret_cast<void*>(first), last - first);
    else
        ASAN_UNPOISON_MEMORY_REGION(reinterpret_cast<void*>(first), last - first);
#else
    (void)item, (void)size, (void)free;
#endif
}

// Links are kept with memcpy: items follow each other at the item size, which
// is not a multiple of the pointer alignment.
template <class Mem>
char* simple_item_cache<Mem>::next_of(char* item) {
    char* next;
    std::memcpy(&next, item, sizeof next);
    return next;
}

template <class Mem>
void simple_item_cache<Mem>::set_next(char* item, char* next) {
    std::memcpy(item, &next, sizeof next);
}

template <class Mem>
char* simple_item_cache<Mem>::pop() {
    rec_lock hold(m_mutex);
    char* item = m_head;
    if (item) {
        m_head = next_of(item);
        if (!m_head) m_tail = nullptr;
    } else {
        if (m_fresh == m_fresh_end) {
            size_t const n = Mem::block_items;
            m_blocks.reserve(m_blocks.size() +
                             1); // so that recording the block cannot fail after obtaining it
            char* block = Mem::alloc(m_item_size * n);
            m_blocks.push_back(block);
            for (size_t i = 0; i < n; ++i) mark_item(block + i * m_item_size, m_item_size, true);
            m_fresh = block;
            m_fresh_end = block + n * m_item_size;
            m_obtained += n;
            m_free += n;
        }
        item = m_fresh;
        m_fresh += m_item_size;
    }
    --m_free;
    mark_item(item, m_item_size, false);
    return item;
}

template <class Mem>
void simple_item_cache<Mem>::push(char* item) {
    rec_lock hold(m_mutex);
    mark_item(item, m_item_size, true);
    set_next(item, nullptr);
    if (m_tail)
        set_next(m_tail, item);
    else
        m_head = item;
    m_tail = item;
    ++m_free;
}

template <class Mem>
int64_t simple_item_cache<Mem>::obtained() const {
    rec_lock hold(m_mutex);
    return m_obtained;
}

template <class Mem>
int64_t simple_item_cache<Mem>::free_items() const {
    rec_lock hold(m_mutex);
    return m_free;
}

} // namespace rulo
