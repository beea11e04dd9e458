// The implementation behind netbuf: views onto reference-counted chunks.
//
// A buf (one per netbuf handle) is a double-ended queue of views and the total
// size. A view is a range [offset, offset + length) of one chunk; every view
// stored in a buf holds one reference on its chunk, and the chunk is deleted
// when its last reference goes. Copying, cutting and concatenating buffers
// copy views and take references; bytes are copied only into freshly
// allocated room, when front() joins views, and by copy().
//
// Memory: chunks made for a byte count come from five size-class caches (128,
// 512, 2048, 8192 and 65536 bytes), larger ones from the free store. Cached
// memory goes back to its cache, never to the system.
//
// Threads: a buf belongs to one thread at a time and is not locked. Chunks are
// shared between bufs on different threads; their reference count changes only
// by atomic read-modify-write. Bytes outside every view are written in place
// only while write_access() says the chunk is not shared. Each size-class cache
// takes its own mutex for one pop or push. The counters are atomic.
//
// Not part of the framework's interface: only the handle (netbuf.cpp), the
// table and tests that look at the chunk chain include it. Everything else
// reaches a buffer through netbuf.h, and plugins through the table
// (netbuf_table.h), whose slot order and signatures are fixed.
#pragma once

#include "rulo/atomic.h"
#include "rulo/detail/item_cache.h"
#include "rulo/lock.h"
#include "rulo/netbuf_table.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <vector>

namespace netbuf_imp {

// Process-wide statistics, zero at start (performance_counter 0 to 5).
extern rulo::atomic g_chunk_n;     // chunks alive
extern rulo::atomic g_chunk_mem;   // bytes of capacity held by live chunks
extern rulo::atomic g_view_n;      // views alive, also temporaries
extern rulo::atomic g_netbuf_n;    // bufs alive
extern rulo::atomic g_chunk_inc_n; // chunk references ever taken (a new chunk counts as one)
extern rulo::atomic g_chunk_dec_n; // chunk references ever dropped

// memcpy for the small pieces that messages and frames are made of: up to 64
// bytes as two fixed-size copies of the first and the last bytes (which
// overlap when the count lies between two sizes) and no call; longer ones by
// memcpy. The source and the destination never overlap.
inline void copy_bytes(char* to, char const* from, size_t n) {
    auto ends = [&](size_t width) { // covers n when width <= n <= 2 * width
        std::memcpy(to, from, width);
        std::memcpy(to + n - width, from + n - width, width);
    };
    if (n > 64)
        std::memcpy(to, from, n);
    else if (n >= 32)
        ends(32);
    else if (n >= 16)
        ends(16);
    else if (n >= 8)
        ends(8);
    else if (n >= 4)
        ends(4);
    else if (n > 0) {
        to[0] = from[0];
        to[n / 2] = from[n / 2];
        to[n - 1] = from[n - 1];
    }
}

// Capacities of the size classes; larger chunks get exactly what they were made for.
inline constexpr int size_classes[] = {128, 512, 2048, 8192, 65536};
inline constexpr int size_class_count = 5;
// A cache item is this much longer than its class: 8 bytes of free-list link
// ahead of the chunk's bytes, and 4 spare.
inline constexpr int item_overhead = 12;
inline constexpr int item_link = 8;

// Where the size-class caches get their memory: blocks of 500 items from the
// free store, never returned. The cache touches an item only when it hands it
// out, so the rest of a large block stays as the allocator left it.
struct cache_mem {
    static constexpr int block_items = 500;
    static char* alloc(size_t bytes) { return new char[bytes]; }
};

using item_cache = rulo::simple_item_cache<cache_mem>;

// A block of memory shared by views. Counted; deleted through the virtual
// destructor by whichever thread drops the last reference.
class chunk : rulo::object_counter<&g_chunk_n> {
public:
    // writable: whether the owner lets the buffer write outside the views at
    // all (true for framework memory); write_access() adds "and unshared".
    chunk(char* data, int capacity, bool writable = true);
    virtual ~chunk();
    chunk(chunk const&) = delete;
    chunk& operator=(chunk const&) = delete;

    // May bytes outside the views be written in place?
    virtual bool write_access() const = 0;
    // The same answer without the virtual call, for the buffer's own fast paths.
    bool may_write() const { return m_writable && unshared(); }

    void inc() { m_refs.fetch_add(1, std::memory_order_relaxed); }
    // True for the one caller whose release brought the count to 0.
    bool dec() { return m_refs.fetch_sub(1, std::memory_order_acq_rel) == 1; }

    char* data() const { return m_data; }
    int capacity() const { return m_capacity; }

protected:
    // True when the caller's view holds the only reference. Acquire: every
    // holder that let go did so before this thread writes the free room.
    bool unshared() const { return m_refs.load(std::memory_order_acquire) < 2; }

private:
    std::atomic<int64_t> m_refs{1};
    char* m_data;
    int32_t m_capacity;
    bool m_writable;
};

// Memory owned by the framework: a size-class item, a free-store array made
// for a byte count, or an adopted caller array (released with array delete).
class nchunk : public chunk {
public:
    // A chunk for at least n bytes (n >= 1): the first size class that holds
    // n, or exactly n bytes above the largest. Throws std::bad_alloc. The
    // memory of a chunk above the largest class comes from the free store, or
    // from the few recently released ones kept for reuse (large_reserve in
    // the .cpp): a buffer that holds a lot at once makes such chunks again
    // and again, and the free store would hand fresh pages to each of them.
    static nchunk* make(int n);
    // Takes over array (count >= 1); the caller still owns it if this throws.
    nchunk(char* array, int count);
    ~nchunk() override;

    bool write_access() const override { return may_write(); }

private:
    nchunk(char* data, int capacity, item_cache* cache, char* item);

    item_cache* m_cache = nullptr; // null when not from a cache
    char* m_item = nullptr;
    size_t m_block = 0; // made above the classes: the size of the memory, which may exceed the capacity
};

// Memory owned by a caller; release(arg) runs once, when the chunk goes.
class cchunk : public chunk {
public:
    cchunk(char* data, int capacity, bool writable, void (*release)(void*), void* arg);
    ~cchunk() override;

    bool write_access() const override { return may_write(); }

private:
    void (*m_release)(void*);
    void* m_arg;
};

// A range of one chunk. A view stored in a buf holds one chunk reference;
// copies in temporaries hold none unless inc() is called for them.
// The chunk's data pointer is kept beside it (it never changes), so reading
// through a view does not have to load the chunk first.
struct view : rulo::object_counter<&g_view_n> {
    view(chunk* c, int offset, int length)
        : m_chunk(c), m_data(c->data()), m_offset(offset), m_length(length) {}

    void inc() const;
    void dec() const;

    char* begin() const { return m_data + m_offset; }
    int end_offset() const { return m_offset + m_length; }

    chunk* m_chunk;
    char* m_data;
    int32_t m_offset;
    int32_t m_length;
};

// One buffer: the implementation object behind a netbuf handle. Owned by its
// handle; changed by one thread at a time, and while nobody reads it. The
// const operations (size, sub, append as the source, front, copy without
// take, find, compare, iterators) may run on several threads at once. Every
// change is all or nothing: a failing operation (std::bad_alloc, or growth
// past the size limit refused with a function exception) leaves the bytes and
// the size as they were.
class buf : rulo::object_counter<&g_netbuf_n> {
public:
    static constexpr int max_size = 2147483647;
    // More views than this and the buffer is joined into one chunk.
    static constexpr size_t max_views = 128;

    buf() = default;
    ~buf();
    buf(buf const&) = delete;
    buf& operator=(buf const&) = delete;

    int size() const { return m_size; }
    std::deque<view> const& views() const { return m_views; }

    buf* sub(int offset, int length) const;
    void append(buf const& src, bool back);
    void adopt(char* array, int count, bool back);
    void attach(char* data, int count, bool back, bool writable, void (*release)(void*), void* arg);
    // allocate, copy and erase handle the common small case inline (growth
    // inside the end chunk, reads and cuts inside the end view) and leave the
    // rest to their out-of-line part; both give the same result.
    char* allocate(int count, bool back) {
        if (count > 0 && !m_joined.load(std::memory_order_relaxed) && !m_views.empty() &&
            count <= max_size - m_size) {
            view& v = back ? m_views.back() : m_views.front();
            chunk const& c = *v.m_chunk;
            if (back ? c.capacity() - v.end_offset() >= count : v.m_offset >= count) {
                if (c.may_write()) {
                    if (!back) v.m_offset -= count;
                    v.m_length += count;
                    m_size += count;
                    return back ? v.begin() + v.m_length - count : v.begin();
                }
            }
        }
        return allocate_slow(count, back);
    }
    void wish_allocate(int count, bool back, char*& data, int& length);
    // Reads only: safe on one buf from several threads at once, beside the
    // other const operations. When the first bytes span views, the joined
    // copy is kept beside the views (see joined) rather than in their place.
    void front(char const*& data, int& length, int max) const;
    void erase(int count, bool back) {
        if (count > 0 && !m_joined.load(std::memory_order_relaxed) && !m_views.empty()) {
            view& v = back ? m_views.back() : m_views.front();
            if (count < v.m_length) {
                if (!back) v.m_offset += count;
                v.m_length -= count;
                m_size -= count;
                return;
            }
        }
        erase_slow(count, back);
    }
    void copy(char* dest, int count, bool take, bool back) {
        if (count > 0 && !m_views.empty()) {
            view& v = back ? m_views.back() : m_views.front();
            if (count < v.m_length ? !take || !m_joined.load(std::memory_order_relaxed)
                                   : !take && count == v.m_length) {
                copy_bytes(dest, back ? v.begin() + v.m_length - count : v.begin(), size_t(count));
                if (take) {
                    if (!back) v.m_offset += count;
                    v.m_length -= count;
                    m_size -= count;
                }
                return;
            }
        }
        copy_slow(dest, count, take, back);
    }
    int find(char c, int max) const;
    int compare(char const* text, int length) const;

private:
    char* allocate_slow(int count, bool back);
    void erase_slow(int count, bool back);
    void copy_slow(char* dest, int count, bool take, bool back);
    // Throws the function exception named op unless count more bytes fit.
    void check_growth(int64_t count, char const* op) const;
    // Stores a view over a new chunk, handing it the chunk's first reference;
    // drops that reference if storing fails.
    void push_new(view const& v, bool back);
    // Stores a copy of a view of another (or this) buffer and takes a reference.
    void push_shared(view const& v, bool back);
    // Takes count views off one end and drops their references.
    void drop_end(size_t count, bool back);
    void drop_all();
    // Stores the view over a new chunk of count bytes, then compacts; undoes
    // both when compaction fails.
    void add_chunk(chunk* c, int count, bool back);
    // Joins all views into one chunk when there are more than max_views.
    void compact();
    // Copies the first count views (total bytes) into one new chunk that
    // replaces them. Throws only before anything changed.
    void join(size_t count, int total);
    // Puts the largest joined copy that front() made in place of the views it
    // joined and drops the others. Every change starts with it: a change has
    // the buf to itself, so no reader can still be walking the old views.
    // Cannot fail.
    void settle() {
        if (m_joined.load(std::memory_order_acquire)) settle_joined();
    }
    void settle_joined();
    // Drops every joined copy without using it.
    void drop_joined();

    // A contiguous copy of the first count views, made by a const front().
    // Several threads may read one buf at once, so front() never changes the
    // views: it publishes its copy here (first come, first kept; a copy
    // covering more views is pushed in front), and a reader that finds one
    // covering what it needs returns that. The copies live until the next
    // change, which puts the largest in place of its views, so a buffer read
    // with whole() and then cut ends up joined as if front() had done it.
    struct joined {
        chunk* c;
        size_t count;
        int total;
        joined* next;
    };

    std::deque<view> m_views;
    int32_t m_size = 0;
    mutable std::atomic<joined*> m_joined{nullptr};
};

// An iterator over the views of a buf; holds no references.
struct bufi {
    buf const* m_buf;
    size_t m_pos;
};

} // namespace netbuf_imp
