#include "rulo/detail/netbuf_imp.h"

#include "rulo/exception.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace netbuf_imp {

rulo::atomic g_chunk_n;
rulo::atomic g_chunk_mem;
rulo::atomic g_view_n;
rulo::atomic g_netbuf_n;
rulo::atomic g_chunk_inc_n;
rulo::atomic g_chunk_dec_n;

namespace {

static_assert(item_link == sizeof(char*), "the free-list link fills the head of an item");

struct size_class_caches {
    static_assert(size_class_count == 5);
    item_cache by_class[size_class_count] = {
        item_cache(size_classes[0] + item_overhead), item_cache(size_classes[1] + item_overhead),
        item_cache(size_classes[2] + item_overhead), item_cache(size_classes[3] + item_overhead),
        item_cache(size_classes[4] + item_overhead),
    };
};

// The five caches, made together by the first thread that needs a chunk (a
// local static's initialisation is thread-safe, and is tried again by the
// next caller if it throws). Never destroyed: buffers may still be dropped
// while the process exits.
item_cache& size_class_cache(int index) {
    static size_class_caches* const all = new size_class_caches;
    return all->by_class[index];
}

// The memory of the last few large chunks to go, kept for the next ones: a
// buffer that holds megabytes at a time (a transfer's backlog) makes and drops
// chunks of a few hundred kilobytes in a cycle, and each made fresh costs a
// page fault per page once the free store has handed the memory back to the
// system. Bounded in count and bytes; a block is reused only for a chunk of
// at least three quarters of its size, and a chunk's capacity stays what it
// was made for.
class large_reserve {
public:
    char* take(size_t n, size_t& size) {
        {
            rulo::rec_lock hold(m_mutex);
            size_t best = m_count;
            for (size_t i = 0; i < m_count; ++i)
                if (m_blocks[i].size >= n && m_blocks[i].size - n <= n / 3 &&
                    (best == m_count || m_blocks[i].size < m_blocks[best].size))
                    best = i;
            if (best < m_count) {
                block const b = m_blocks[best];
                m_blocks[best] = m_blocks[--m_count];
                m_bytes -= b.size;
                size = b.size;
                mark(b, false);
                return b.memory;
            }
        }
        size = n;
        return new char[n];
    }
    void give(char* memory, size_t size) {
        {
            rulo::rec_lock hold(m_mutex);
            if (m_count < max_blocks && m_bytes + size <= max_bytes) {
                m_blocks[m_count++] = block{memory, size};
                m_bytes += size;
                mark(m_blocks[m_count - 1], true);
                return;
            }
        }
        delete[] memory;
    }

private:
    static constexpr size_t max_blocks = 16;
    static constexpr size_t max_bytes = size_t(4) << 20;
    struct block {
        char* memory;
        size_t size;
    };
    // Under AddressSanitizer kept memory is poisoned, so that a read of a dropped chunk is reported.
    static void mark(block const& b, bool kept) {
#if defined(__SANITIZE_ADDRESS__)
        if (kept)
            ASAN_POISON_MEMORY_REGION(b.memory, b.size);
        else
            ASAN_UNPOISON_MEMORY_REGION(b.memory, b.size);
#else
        (void)b, (void)kept;
#endif
    }

    rulo::rec_mutex m_mutex;
    block m_blocks[max_blocks] = {};
    size_t m_count = 0;
    size_t m_bytes = 0;
};

// Made on first use and never destroyed, like the caches.
large_reserve& the_large_reserve() {
    static large_reserve* const reserve = new large_reserve;
    return *reserve;
}

int size_class_of(int n) {
    for (int i = 0; i < size_class_count; ++i)
        if (n <= size_classes[i]) return i;
    return -1;
}

} // namespace

// ---- chunks ----

chunk::chunk(char* data, int capacity, bool writable)
    : m_data(data), m_capacity(capacity), m_writable(writable) {
    g_chunk_mem.add(capacity);
    g_chunk_inc_n.inc();
}

chunk::~chunk() {
    g_chunk_mem.add(-static_cast<long>(m_capacity));
}

nchunk* nchunk::make(int n) {
    int index = size_class_of(n);
    if (index < 0) {
        size_t block = 0;
        char* memory = the_large_reserve().take(size_t(n), block);
        try {
            nchunk* c = new nchunk(memory, n, nullptr, nullptr);
            c->m_block = block;
            return c;
        } catch (...) {
            the_large_reserve().give(memory, block);
            throw;
        }
    }
    item_cache& cache = size_class_cache(index);
    char* item = cache.pop();
    try {
        return new nchunk(item + item_link, size_classes[index], &cache, item);
    } catch (...) {
        cache.push(item);
        throw;
    }
}

nchunk::nchunk(char* array, int count) : chunk(array, count) {}

nchunk::nchunk(char* data, int capacity, item_cache* cache, char* item)
    : chunk(data, capacity), m_cache(cache), m_item(item) {}

nchunk::~nchunk() {
    if (m_cache)
        m_cache->push(m_item);
    else if (m_block)
        the_large_reserve().give(data(), m_block);
    else
        delete[] data();
}

cchunk::cchunk(char* data, int capacity, bool writable, void (*release)(void*), void* arg)
    : chunk(data, capacity, writable), m_release(release), m_arg(arg) {}

cchunk::~cchunk() {
    if (m_release) m_release(m_arg);
}

// ---- views ----

void view::inc() const {
    m_chunk->inc();
    g_chunk_inc_n.inc();
}

void view::dec() const {
    g_chunk_dec_n.inc();
    if (m_chunk->dec()) delete m_chunk;
}

// ---- buf ----

buf::~buf() {
    drop_joined();
    drop_all();
}

void buf::check_growth(int64_t count, char const* op) const {
    if (count > int64_t(max_size) - m_size) throw rulo::exception::function(op);
}

void buf::push_new(view const& v, bool back) {
    try {
        if (back)
            m_views.push_back(v);
        else
            m_views.push_front(v);
    } catch (...) {
        v.dec();
        throw;
    }
}

void buf::push_shared(view const& v, bool back) {
    if (back) {
        m_views.push_back(v);
        m_views.back().inc();
    } else {
        m_views.push_front(v);
        m_views.front().inc();
    }
}

void buf::drop_end(size_t count, bool back) {
    for (; count > 0; --count) {
        if (back) {
            m_views.back().dec();
            m_views.pop_back();
        } else {
            m_views.front().dec();
            m_views.pop_front();
        }
    }
}

void buf::drop_all() {
    for (view const& v : m_views) v.dec();
    m_views.clear();
    m_size = 0;
}

void buf::compact() {
    if (m_views.size() > max_views) join(m_views.size(), m_size);
}

void buf::join(size_t count, int total) {
    nchunk* c = nchunk::make(total);
    char* out = c->data();
    for (size_t i = 0; i < count; ++i) {
        std::memcpy(out, m_views[i].begin(), m_views[i].m_length);
        out += m_views[i].m_length;
    }
    // From here nothing can fail: the joined view takes the place of the
    // last view it replaces, and the others leave from the front.
    for (size_t i = 0; i < count; ++i) m_views[i].dec();
    m_views[count - 1] = view(c, 0, total);
    for (size_t i = 1; i < count; ++i) m_views.pop_front();
}

void buf::add_chunk(chunk* c, int count, bool back) {
    int old_size = m_size;
    push_new(view(c, 0, count), back);
    m_size += count;
    try {
        compact();
    } catch (...) {
        drop_end(1, back);
        m_size = old_size;
        throw;
    }
}

buf* buf::sub(int offset, int length) const {
    std::unique_ptr<buf> out(new buf);
    if (length < 1 || m_size < 1) return out.release();
    int64_t const begin = std::max(offset, 0);
    int64_t const end = std::min(int64_t(offset) + length, int64_t(m_size));
    if (begin >= end) return out.release();
    int64_t pos = 0;
    for (view const& v : m_views) {
        int64_t const first = pos;
        pos += v.m_length;
        if (pos <= begin) continue;
        if (first >= end) break;
        int64_t const from = std::max(first, begin);
        int64_t const to = std::min(pos, end);
        out->push_shared(view(v.m_chunk, v.m_offset + int(from - first), int(to - from)), true);
    }
    out->m_size = int(end - begin);
    out->compact();
    return out.release();
}

void buf::append(buf const& src, bool back) {
    settle();
    int const count = src.m_size;
    if (count < 1) return;
    check_growth(count, "append");
    // Indices, not iterators: src may be this buffer, growing while it is read.
    // Its original views stay at [0, n) when adding at the end, and move up by
    // one with every view added at the start.
    size_t const n = src.m_views.size();
    bool const self = &src == this;
    int const old_size = m_size;
    size_t added = 0;
    try {
        for (; added < n; ++added) {
            size_t index = back ? added : n - 1 - added;
            if (self && !back) index += added;
            view const v = src.m_views[index];
            push_shared(v, back);
        }
        m_size += count;
        compact();
    } catch (...) {
        drop_end(added, back);
        m_size = old_size;
        throw;
    }
}

void buf::adopt(char* array, int count, bool back) {
    settle();
    if (count < 1 || count > max_size - m_size) {
        delete[] array;
        if (count > 0) check_growth(count, "adopt");
        return;
    }
    nchunk* c;
    try {
        c = new nchunk(array, count);
    } catch (...) {
        delete[] array;
        throw;
    }
    add_chunk(c, count, back);
}

void buf::attach(char* data, int count, bool back, bool writable, void (*release)(void*), void* arg) {
    settle();
    if (count < 1 || count > max_size - m_size) {
        if (release) release(arg);
        if (count > 0) check_growth(count, "attach");
        return;
    }
    cchunk* c;
    try {
        c = new cchunk(data, count, writable, release, arg);
    } catch (...) {
        if (release) release(arg);
        throw;
    }
    add_chunk(c, count, back);
}

char* buf::allocate_slow(int count, bool back) {
    settle();
    if (count < 1) return nullptr;
    check_growth(count, "allocate");
    if (!m_views.empty()) {
        view& v = back ? m_views.back() : m_views.front();
        chunk const& c = *v.m_chunk;
        if (back && c.capacity() - v.end_offset() >= count && c.write_access()) {
            v.m_length += count;
            m_size += count;
            return v.begin() + v.m_length - count;
        }
        if (!back && v.m_offset >= count && c.write_access()) {
            v.m_offset -= count;
            v.m_length += count;
            m_size += count;
            return v.begin();
        }
    }
    // The new chunk grows with the number of views and a quarter of the size,
    // so that many small appends end up in few chunks.
    int64_t want = 128 * int64_t(m_views.size()) + (int64_t(m_size) + count) / 4 + 128;
    want = std::min<int64_t>(std::max<int64_t>(want, count), max_size);
    nchunk* c = nchunk::make(int(want));
    // At the start the view sits at the top of the chunk, leaving the room
    // below it for later prepends.
    int const offset = back ? 0 : c->capacity() - count;
    push_new(view(c, offset, count), back);
    m_size += count;
    return c->data() + offset;
}

void buf::wish_allocate(int count, bool back, char*& data, int& length) {
    settle();
    data = nullptr;
    length = 0;
    if (count < 1) return;
    check_growth(count, "wish_allocate");
    int const limit = max_size - m_size;
    if (!m_views.empty()) {
        view& v = back ? m_views.back() : m_views.front();
        chunk const& c = *v.m_chunk;
        int const room = back ? c.capacity() - v.end_offset() : v.m_offset;
        if (room > 0 && c.write_access()) {
            int const grant = std::min(room, limit);
            if (!back) v.m_offset -= grant;
            v.m_length += grant;
            m_size += grant;
            data = back ? v.begin() + v.m_length - grant : v.begin();
            length = grant;
            return;
        }
    }
    nchunk* c = nchunk::make(count);
    push_new(view(c, 0, count), back);
    m_size += count;
    data = c->data();
    length = count;
}

void buf::front(char const*& data, int& length, int max) const {
    data = nullptr;
    length = 0;
    if (m_size < 1) return;
    view const& first = m_views.front();
    size_t count = 1;
    int64_t total = first.m_length;
    if (m_views.size() > 1) {
        if (max >= m_size) {
            count = m_views.size();
            total = m_size;
        } else if (first.m_length <= max / 2) {
            // Gather short views until the total reaches max; a long view is
            // better returned on its own later than copied now.
            int const half = max / 2;
            count = 0;
            total = 0;
            for (view const& v : m_views) {
                if (count > 0 && v.m_length > half) break;
                total += v.m_length;
                ++count;
                if (total >= max) break;
            }
        }
    }
    if (count == 1) {
        data = first.begin();
        length = first.m_length;
        return;
    }
    auto covering = [count](joined* j) {
        for (; j; j = j->next)
            if (j->count >= count) return j;
        return static_cast<joined*>(nullptr);
    };
    joined* head = m_joined.load(std::memory_order_acquire);
    joined* found = covering(head);
    if (!found) {
        nchunk* c = nchunk::make(int(total));
        char* out = c->data();
        for (size_t i = 0; i < count; ++i) {
            std::memcpy(out, m_views[i].begin(), m_views[i].m_length);
            out += m_views[i].m_length;
        }
        joined* mine;
        try {
            mine = new joined{c, count, int(total), head};
        } catch (...) {
            g_chunk_dec_n.inc();
            delete c;
            throw;
        }
        // Another reader may have published meanwhile: keep its copy when it
        // covers these views, else put this one in front.
        found = mine;
        while (!m_joined.compare_exchange_weak(mine->next, mine, std::memory_order_acq_rel,
                                               std::memory_order_acquire)) {
            if (joined* other = covering(mine->next)) {
                g_chunk_dec_n.inc();
                delete mine->c;
                delete mine;
                found = other;
                break;
            }
        }
    }
    data = found->c->data();
    length = found->total;
}

void buf::settle_joined() {
    joined* list = m_joined.exchange(nullptr, std::memory_order_acquire);
    joined* best = list;
    for (joined* j = list; j; j = j->next)
        if (j->count > best->count) best = j;
    // As join() does: the copy takes the place of the last view it replaces.
    for (size_t i = 0; i < best->count; ++i) m_views[i].dec();
    m_views[best->count - 1] = view(best->c, 0, best->total);
    for (size_t i = 1; i < best->count; ++i) m_views.pop_front();
    while (list) {
        joined* next = list->next;
        if (list != best) {
            g_chunk_dec_n.inc();
            delete list->c;
        }
        delete list;
        list = next;
    }
}

void buf::drop_joined() {
    joined* list = m_joined.exchange(nullptr, std::memory_order_acquire);
    while (list) {
        joined* next = list->next;
        g_chunk_dec_n.inc();
        delete list->c;
        delete list;
        list = next;
    }
}

void buf::erase_slow(int count, bool back) {
    settle();
    if (count < 1 || m_size < 1) return;
    if (count >= m_size) {
        drop_all();
        return;
    }
    m_size -= count;
    if (back) {
        while (count >= m_views.back().m_length) {
            count -= m_views.back().m_length;
            drop_end(1, true);
        }
        m_views.back().m_length -= count;
    } else {
        while (count >= m_views.front().m_length) {
            count -= m_views.front().m_length;
            drop_end(1, false);
        }
        m_views.front().m_offset += count;
        m_views.front().m_length -= count;
    }
}

void buf::copy_slow(char* dest, int count, bool take, bool back) {
    if (take) settle();
    if (count < 1 || m_size < 1) return;
    int const k = std::min(count, m_size);
    int left = k;
    if (back) {
        // The last k bytes, in order: fill dest from its end.
        for (auto it = m_views.rbegin(); left > 0; ++it) {
            int const n = std::min(left, it->m_length);
            std::memcpy(dest + left - n, it->begin() + it->m_length - n, n);
            left -= n;
        }
    } else {
        for (auto it = m_views.begin(); left > 0; ++it) {
            int const n = std::min(left, it->m_length);
            std::memcpy(dest + (k - left), it->begin(), n);
            left -= n;
        }
    }
    if (take) erase(k, back);
}

int buf::find(char c, int max) const {
    if (m_size < 1 || max < 1) return -1;
    int searched = 0;
    for (view const& v : m_views) {
        int const n = std::min(v.m_length, max - searched);
        if (void const* hit = std::memchr(v.begin(), static_cast<unsigned char>(c), n))
            return searched + int(static_cast<char const*>(hit) - v.begin());
        searched += n;
        if (searched >= max) break;
    }
    return -1;
}

int buf::compare(char const* text, int length) const {
    int left = std::max(length, 0);
    for (view const& v : m_views) {
        if (left == 0) return 1; // bytes of the buffer left over
        int const n = std::min(left, v.m_length);
        if (int r = std::memcmp(v.begin(), text, n)) return r;
        text += n;
        left -= n;
        if (n < v.m_length) return 1;
    }
    return left > 0 ? -1 : 0;
}

// ---- the function table ----

namespace {

buf* as_buf(void* impl) {
    return static_cast<buf*>(impl);
}

bufi* as_it(void* it) {
    return static_cast<bufi*>(it);
}

// Nothing to prepare: the caches are made on first use.
void t_init() {}

void t_destroy(void* impl) {
    delete as_buf(impl);
}

void* t_create() {
    return new buf;
}

void* t_sub(void* impl, int offset, int length) {
    return as_buf(impl)->sub(offset, length);
}

int t_size(void* impl) {
    return as_buf(impl)->size();
}

void t_append(void* dest, void* src, int back) {
    as_buf(dest)->append(*as_buf(src), back != 0);
}

void t_adopt(void* impl, char* array, int count, int back) {
    as_buf(impl)->adopt(array, count, back != 0);
}

char* t_allocate(void* impl, int count, int back) {
    return as_buf(impl)->allocate(count, back != 0);
}

void t_wish_allocate(void* impl, int count, int back, char** data, int* length) {
    as_buf(impl)->wish_allocate(count, back != 0, *data, *length);
}

void t_front(void* impl, char const** data, int* length, int max) {
    as_buf(impl)->front(*data, *length, max);
}

void t_erase(void* impl, int count, int back) {
    as_buf(impl)->erase(count, back != 0);
}

void t_copy(void* impl, char* dest, int count, int take, int back) {
    as_buf(impl)->copy(dest, count, take != 0, back != 0);
}

void* t_null_block() {
    return nullptr;
}

void t_free_block(void* block) {
    std::free(block);
}

void t_iterator_destroy(void* it) {
    delete as_it(it);
}

void* t_iterator_create(void* impl) {
    return new bufi{as_buf(impl), 0};
}

void* t_iterator_copy(void* it) {
    return new bufi(*as_it(it));
}

int t_iterator_valid(void* it) {
    return as_it(it)->m_pos < as_it(it)->m_buf->views().size();
}

int t_iterator_get(void* it, char const** data, int* length) {
    bufi const& i = *as_it(it);
    if (i.m_pos >= i.m_buf->views().size()) {
        *data = nullptr;
        *length = 0;
        return 0;
    }
    view const& v = i.m_buf->views()[i.m_pos];
    *data = v.begin();
    *length = v.m_length;
    return v.m_length;
}

void t_iterator_next(void* it) {
    ++as_it(it)->m_pos;
}

char* t_allocate_raw(int count) {
    return count < 1 ? nullptr : new char[count];
}

int64_t t_performance_counter(int which) {
    rulo::atomic const* const counters[] = {&g_chunk_n,  &g_chunk_mem,   &g_view_n,
                                            &g_netbuf_n, &g_chunk_inc_n, &g_chunk_dec_n};
    return which >= 0 && which < 6 ? counters[which]->value() : 0;
}

void t_attach(void* impl, char* data, int count, int back, int writable, release_fn release, void* arg) {
    as_buf(impl)->attach(data, count, back != 0, writable != 0, release, arg);
}

int t_find(void* impl, char c, int max) {
    return as_buf(impl)->find(c, max);
}

int t_compare(void* impl, char const* text, int length) {
    return as_buf(impl)->compare(text, length);
}

} // namespace

// Each entry passes through its slot's function type first, so a function
// whose signature drifts from its slot does not compile. Address constants:
// the table is filled before any code runs.
#define NETBUF_ENTRY(type, fn) reinterpret_cast<void*>(static_cast<type>(&fn))
void* netbuf_impl[slot_count] = {
    NETBUF_ENTRY(init_fn, t_init),
    NETBUF_ENTRY(destroy_fn, t_destroy),
    NETBUF_ENTRY(create_fn, t_create),
    NETBUF_ENTRY(sub_fn, t_sub),
    NETBUF_ENTRY(size_fn, t_size),
    NETBUF_ENTRY(append_fn, t_append),
    NETBUF_ENTRY(adopt_fn, t_adopt),
    NETBUF_ENTRY(allocate_fn, t_allocate),
    NETBUF_ENTRY(wish_allocate_fn, t_wish_allocate),
    NETBUF_ENTRY(front_fn, t_front),
    NETBUF_ENTRY(erase_fn, t_erase),
    NETBUF_ENTRY(copy_fn, t_copy),
    NETBUF_ENTRY(null_block_fn, t_null_block),
    NETBUF_ENTRY(free_block_fn, t_free_block),
    NETBUF_ENTRY(iterator_destroy_fn, t_iterator_destroy),
    NETBUF_ENTRY(iterator_create_fn, t_iterator_create),
    NETBUF_ENTRY(iterator_copy_fn, t_iterator_copy),
    NETBUF_ENTRY(iterator_valid_fn, t_iterator_valid),
    NETBUF_ENTRY(iterator_get_fn, t_iterator_get),
    NETBUF_ENTRY(iterator_next_fn, t_iterator_next),
    NETBUF_ENTRY(allocate_raw_fn, t_allocate_raw),
    NETBUF_ENTRY(performance_counter_fn, t_performance_counter),
    NETBUF_ENTRY(attach_fn, t_attach),
    NETBUF_ENTRY(find_fn, t_find),
    NETBUF_ENTRY(compare_fn, t_compare),
};
#undef NETBUF_ENTRY

} // namespace netbuf_imp
