#include "rulo/object.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace rulo {

namespace {

// The registry's layout (see also the top of object.h):
//
//   address space  | region (64 KiB)                               | region ...
//                  | page (1 KiB) | page | ...          (64 pages) |
//   stripe         = hash(region number) % 256: one lock and a hash table of
//                    its regions that hold entries; a region holds, for each of
//                    its pages, the sorted slots {key, entry*} keyed in it
//
// An entry is filed under its key only. Whoever searches the entries near an
// address locks the stripes of every region its search window touches, in
// stripe order. The window reaches down by `reach` (the largest extent of an
// entry that fits in a region, ever) and up by the size being registered, so a
// handle of an ordinary object locks one stripe, two near a region boundary,
// and finds its neighbours by looking at one or two pages.
// An entry larger than a region would make windows span many stripes: while
// one exists (`big_entries`), every registration holds every stripe, its
// window reaching down by the largest extent ever registered (`big_reach`),
// and a window of more than a few regions is searched region by region.
constexpr unsigned page_shift = 10;
constexpr unsigned region_shift = 16;
constexpr uint32_t region_size = uint32_t(1) << region_shift;
constexpr std::size_t pages_per_region = std::size_t(1) << (region_shift - page_shift);
constexpr std::size_t stripe_count = 256;
// Page by page up to this many pages; beyond, region by region.
constexpr uintptr_t direct_pages = 2 * pages_per_region;

// One registration. Handles point at it; the counter is theirs, the other
// fields are guarded by the lock of the stripe that files it (its key's region).
struct entry final : object_count {
    uintptr_t key = 0;
    uint32_t extent = 0;
    bool deleter_in_room = false; // else a caller's deleter on the heap
    i_deleter* deleter = nullptr;
    alignas(void*) unsigned char room[detail::deleter_room];

    entry* next_free = nullptr; // in a thread's cache of unused records

    bool dead() const { return value.load(std::memory_order_relaxed) == 0; }
    bool covers(uintptr_t a) const { return key + extent > a; }
    bool big() const { return extent > region_size; }
};

// Records a thread has released, for its next registrations: most objects are
// made and dropped by one thread, which then skips the heap for the record.
// Only its own thread uses it.
class entry_cache {
public:
    entry_cache() = default;
    entry_cache(entry_cache const&) = delete;
    entry_cache& operator=(entry_cache const&) = delete;
    // Handles dropped later in the thread's (or the process's) end go
    // straight to the heap.
    ~entry_cache() {
        m_closed = true;
        while (m_top) delete std::exchange(m_top, m_top->next_free);
    }

    // A record as new (count 1, no key, no deleter).
    std::unique_ptr<entry> take() {
        if (!m_top) return std::make_unique<entry>();
        entry* e = std::exchange(m_top, m_top->next_free);
        --m_size;
        e->value.store(1, std::memory_order_relaxed);
        e->next_free = nullptr;
        return std::unique_ptr<entry>(e);
    }

    // e is out of the registry and its deleter is gone.
    void give(entry* e) {
        if (m_size == limit || m_closed) {
            delete e;
            return;
        }
        e->deleter = nullptr;
        e->next_free = m_top;
        m_top = e;
        ++m_size;
    }

private:
    static constexpr std::size_t limit = 64;
    entry* m_top = nullptr;
    std::size_t m_size = 0;
    bool m_closed = false;
};

thread_local entry_cache t_entries;

// Slots of one page, sorted by key. A dead entry (count 0, its last holder
// not yet through the lock) may share its key with the live one that replaced
// it; the live one comes after it.
struct slot {
    uintptr_t key;
    entry* e;
};
using page = std::vector<slot>;

struct region {
    explicit region(uintptr_t n) : number(n) {}
    uintptr_t number;
    std::size_t filed = 0; // slots in all its pages
    page pages[pages_per_region];
};

uintptr_t page_of(uintptr_t a) {
    return a >> page_shift;
}

uint64_t mix(uint64_t region_number) {
    return region_number * 0x9E3779B97F4A7C15ull;
}

std::size_t stripe_of_region(uintptr_t number) {
    return std::size_t(mix(number) >> 56) % stripe_count;
}

std::size_t stripe_of(uintptr_t a) {
    return stripe_of_region(a >> region_shift);
}

// The regions of one stripe that hold slots: open addressing with linear
// probing, at most half full.
class region_table {
public:
    region_table() = default;
    region_table(region_table const&) = delete;
    region_table& operator=(region_table const&) = delete;
    ~region_table() {
        for (std::size_t i = 0; i < m_capacity; ++i) delete m_cells[i];
    }

    region* find(uintptr_t number) const {
        if (!m_size) return nullptr;
        for (std::size_t i = home(number);; i = (i + 1) & (m_capacity - 1)) {
            region* r = m_cells[i];
            if (!r || r->number == number) return r;
        }
    }

    // The region, made when missing. On an exception nothing changed.
    std::pair<region*, bool> make(uintptr_t number) {
        if (region* r = find(number)) return {r, false};
        if (2 * (m_size + 1) > m_capacity) grow();
        auto fresh = std::make_unique<region>(number);
        std::size_t i = home(number);
        while (m_cells[i]) i = (i + 1) & (m_capacity - 1);
        m_cells[i] = fresh.release();
        ++m_size;
        return {m_cells[i], true};
    }

    // Deletes r, which the table holds; closes the gap behind it.
    void erase(region* r) {
        std::size_t i = home(r->number);
        while (m_cells[i] != r) i = (i + 1) & (m_capacity - 1);
        delete r;
        for (std::size_t j = (i + 1) & (m_capacity - 1); m_cells[j]; j = (j + 1) & (m_capacity - 1)) {
            std::size_t const h = home(m_cells[j]->number);
            // m_cells[j] may move to the gap at i when its home is not in (i, j].
            if (((j - h) & (m_capacity - 1)) >= ((j - i) & (m_capacity - 1))) {
                m_cells[i] = m_cells[j];
                i = j;
            }
        }
        m_cells[i] = nullptr;
        --m_size;
    }

    template <class F>
    void for_each(F f) const {
        for (std::size_t i = 0; i < m_capacity; ++i)
            if (m_cells[i]) f(*m_cells[i]);
    }

private:
    std::size_t home(uintptr_t number) const { return std::size_t(mix(number) >> 24) & (m_capacity - 1); }

    void grow() {
        std::size_t const capacity = m_capacity ? 2 * m_capacity : 8;
        std::unique_ptr<region*[]> cells(new region*[capacity]());
        std::swap(cells, m_cells);
        std::size_t const old = m_capacity;
        m_capacity = capacity;
        for (std::size_t i = 0; i < old; ++i) {
            if (!cells[i]) continue;
            std::size_t j = home(cells[i]->number);
            while (m_cells[j]) j = (j + 1) & (m_capacity - 1);
            m_cells[j] = cells[i];
        }
    }

    std::unique_ptr<region*[]> m_cells;
    std::size_t m_capacity = 0;
    std::size_t m_size = 0;
};

struct alignas(64) stripe {
    std::mutex mutex;
    region_table regions;
    std::size_t entries = 0; // dead ones included
};

// The process-wide registry. Lives until the process ends. Stripe locks are
// taken by raw-pointer handles, by the release of a last reference and by the
// diagnostics; never while a deleter runs.
struct registry {
    stripe stripes[stripe_count];
    std::atomic<uint32_t> reach{1};       // grows only; changed under the locks of the entry's range
    std::atomic<uint32_t> big_entries{0}; // changed while holding every stripe
    std::atomic<uint32_t> big_reach{0};   // the largest extent, ever; as big_entries
    // Holding every stripe: the holder of `every` sets `exclusive`, then takes
    // and drops each stripe lock once, so that whoever held one has finished;
    // whoever takes a stripe lock and finds `exclusive` set drops it again and
    // waits for `every`. One lock at a time keeps each thread's locks few.
    std::mutex every;
    alignas(64) std::atomic<bool> exclusive{false};

    stripe& filing(uintptr_t key) { return stripes[stripe_of(key)]; }
};

registry& the_registry() {
    static registry* r = new registry;
    return *r;
}

// Set while this thread holds every stripe: a caller's deleter destroyed
// under them may make and drop handles, which then take no lock again.
thread_local bool t_holds_every_stripe = false;

// The stripes a search of the keys in [lo, hi] needs, locked in stripe order
// for the scope; or every stripe.
class stripe_locks {
public:
    stripe_locks(registry& r, uintptr_t lo, uintptr_t hi, bool every) : m_registry(r) {
        if (t_holds_every_stripe) {
            m_every = true;
            return; // this thread holds them already, further up its stack
        }
        m_every = every || (hi >> region_shift) - (lo >> region_shift) >= 3;
        if (m_every) {
            r.every.lock();
            r.exclusive.store(true, std::memory_order_relaxed);
            for (stripe& s : r.stripes) {
                s.mutex.lock();
                s.mutex.unlock();
            }
            t_holds_every_stripe = true;
            m_locked_every = true;
            return;
        }
        for (uintptr_t number = lo >> region_shift;; ++number) {
            std::size_t i = stripe_of_region(number);
            std::size_t k = m_n;
            for (; k > 0 && m_index[k - 1] >= i; --k) {
            }
            if (k == m_n || m_index[k] != i) {
                for (std::size_t j = m_n; j > k; --j) m_index[j] = m_index[j - 1];
                m_index[k] = i;
                ++m_n;
            }
            if (number == hi >> region_shift) break;
        }
        for (;;) {
            for (std::size_t k = 0; k < m_n; ++k) r.stripes[m_index[k]].mutex.lock();
            if (!r.exclusive.load(std::memory_order_acquire)) return;
            unlock();
            std::lock_guard<std::mutex> wait(r.every);
        }
    }
    ~stripe_locks() {
        if (m_locked_every) {
            t_holds_every_stripe = false;
            m_registry.exclusive.store(false, std::memory_order_release);
            m_registry.every.unlock();
        } else {
            unlock();
        }
    }
    stripe_locks(stripe_locks const&) = delete;
    stripe_locks& operator=(stripe_locks const&) = delete;

    bool every() const { return m_every; }

private:
    void unlock() {
        for (std::size_t k = m_n; k-- > 0;) m_registry.stripes[m_index[k]].mutex.unlock();
    }

    registry& m_registry;
    bool m_every = false;
    bool m_locked_every = false;
    std::size_t m_index[3] = {};
    std::size_t m_n = 0;
};

// Finds the slots of a page, or null when its region holds none. Remembers
// the last region: a search looks at neighbouring pages, mostly of one region.
// Good while nothing is filed or taken out.
class page_finder {
public:
    explicit page_finder(registry& r) : whole(r) {}
    page* find(uintptr_t pn) {
        uintptr_t const number = pn >> (region_shift - page_shift);
        if (number != m_number) {
            m_number = number;
            m_region = whole.stripes[stripe_of_region(number)].regions.find(number);
        }
        return m_region ? &m_region->pages[pn & (pages_per_region - 1)] : nullptr;
    }

    registry& whole;

private:
    uintptr_t m_number = ~uintptr_t(0);
    region* m_region = nullptr;
};

page::const_iterator first_at_or_above(page const& slots, uintptr_t key) {
    return std::lower_bound(slots.begin(), slots.end(), key,
                            [](slot const& x, uintptr_t k) { return x.key < k; });
}

// The live slot of one page with the lowest key in [lo, hi), or null.
entry* first_live_in(page const& slots, uintptr_t lo, uintptr_t hi) {
    for (auto at = first_at_or_above(slots, lo); at != slots.end() && at->key < hi; ++at)
        if (!at->e->dead()) return at->e;
    return nullptr;
}

// The live slot of one page with the highest key in [lo, hi), or null.
entry* last_live_in(page const& slots, uintptr_t lo, uintptr_t hi) {
    for (auto at = first_at_or_above(slots, hi); at != slots.begin();) {
        --at;
        if (at->key < lo) break;
        if (!at->e->dead()) return at->e;
    }
    return nullptr;
}

// The live entry with the lowest key in [lo, hi), or null. The caller holds
// the stripes of the range (every stripe for a range longer than a region).
entry* first_live(page_finder& pages, uintptr_t lo, uintptr_t hi) {
    if (lo >= hi) return nullptr;
    uintptr_t const first = page_of(lo), last = page_of(hi - 1);
    if (last - first < direct_pages) {
        for (uintptr_t pn = first;; ++pn) {
            if (page* slots = pages.find(pn))
                if (entry* e = first_live_in(*slots, lo, hi)) return e;
            if (pn == last) return nullptr;
        }
    }
    entry* best = nullptr;
    for (stripe& s : pages.whole.stripes)
        s.regions.for_each([&](region& g) {
            for (std::size_t i = 0; i < pages_per_region; ++i) {
                uintptr_t const pn = (g.number << (region_shift - page_shift)) + i;
                if (pn < first || pn > last) continue;
                entry* e = first_live_in(g.pages[i], lo, hi);
                if (e && (!best || e->key < best->key)) best = e;
                if (e) return;
            }
        });
    return best;
}

// The live entry with the highest key in [lo, hi), or null; as first_live.
entry* last_live(page_finder& pages, uintptr_t lo, uintptr_t hi) {
    if (lo >= hi) return nullptr;
    uintptr_t const first = page_of(lo), last = page_of(hi - 1);
    for (uintptr_t pn = last, n = 0; n < direct_pages; --pn, ++n) {
        if (page* slots = pages.find(pn))
            if (entry* e = last_live_in(*slots, lo, hi)) return e;
        if (pn == first) return nullptr;
    }
    entry* best = nullptr;
    for (stripe& s : pages.whole.stripes)
        s.regions.for_each([&](region& g) {
            for (std::size_t i = pages_per_region; i-- > 0;) {
                uintptr_t const pn = (g.number << (region_shift - page_shift)) + i;
                if (pn < first || pn > last) continue;
                entry* e = last_live_in(g.pages[i], lo, hi);
                if (e && (!best || e->key > best->key)) best = e;
                if (e) return;
            }
        });
    return best;
}

// Where a key is filed: its region and page.
struct place {
    region* g;
    page* slots;
};

// Makes room for one more slot at key: the only step of a change that can
// fail, taken before anything changes. Caller holds the key's stripe.
place room_for(registry& r, uintptr_t key) {
    region_table& table = r.filing(key).regions;
    auto [g, fresh] = table.make(key >> region_shift);
    page& slots = g->pages[page_of(key) & (pages_per_region - 1)];
    try {
        slots.reserve(slots.size() + 1);
    } catch (...) {
        if (fresh) table.erase(g);
        throw;
    }
    return {g, &slots};
}

// Gives back a region room_for made and nothing filled.
void drop_if_empty(registry& r, place at) {
    if (at.g->filed == 0) r.filing(at.g->number << region_shift).regions.erase(at.g);
}

// Files e under e->key, after any entry (a dead one) with the same key. The
// page has room (room_for), so nothing here allocates.
void file(registry& r, place to, entry* e) {
    page& slots = *to.slots;
    auto at = std::upper_bound(slots.begin(), slots.end(), e->key,
                               [](uintptr_t k, slot const& x) { return k < x.key; });
    slots.insert(at, slot{e->key, e});
    ++to.g->filed;
    ++r.filing(e->key).entries;
}

// Takes e's slot at key out of its page, found by identity: a dead and a live
// entry may share a key.
void unfile(registry& r, entry* e, uintptr_t key) {
    stripe& s = r.filing(key);
    region* g = s.regions.find(key >> region_shift);
    page& slots = g->pages[page_of(key) & (pages_per_region - 1)];
    auto at = slots.begin() + (first_at_or_above(slots, key) - slots.cbegin());
    while (at->e != e) ++at;
    slots.erase(at);
    if (--g->filed == 0) s.regions.erase(g);
    --s.entries;
}

using make_fn = i_deleter* (*)(void const*, void*) noexcept;

// Installs the caller's deleter or builds the default one in the room. A
// default deleter it replaces is only destructed; a caller's deleter it
// replaces goes to `replaced`, to be deleted once the registry is consistent
// again (its destructor may make handles). Caller holds the locks.
void set_deleter(entry& e, i_deleter* d, make_fn make, void const* p,
                 std::unique_ptr<i_deleter>& replaced) noexcept {
    if (e.deleter) {
        if (e.deleter_in_room)
            e.deleter->~i_deleter();
        else
            replaced.reset(e.deleter);
    }
    e.deleter_in_room = d == nullptr;
    e.deleter = d ? d : make(p, e.room);
}

// Adds a reference unless the entry is dead. A dead entry never comes back.
// Caller holds the entry's stripe.
bool try_join(entry& e) {
    uint32_t v = e.value.load(std::memory_order_relaxed);
    while (v != 0) {
        if (e.value.compare_exchange_weak(v, v + 1, std::memory_order_relaxed)) return true;
    }
    return false;
}

// The entry's new extent; keeps `reach` and `big_entries` in step. Caller
// holds the stripes of the new range, and every stripe when the entry is or
// becomes larger than a region.
void set_extent(registry& r, entry& e, uint32_t extent, bool counted_before) {
    if (counted_before && e.big()) r.big_entries.fetch_sub(1, std::memory_order_relaxed);
    e.extent = extent;
    if (e.big()) {
        r.big_entries.fetch_add(1, std::memory_order_relaxed);
        if (extent > r.big_reach.load(std::memory_order_relaxed))
            r.big_reach.store(extent, std::memory_order_relaxed);
    } else {
        uint32_t seen = r.reach.load(std::memory_order_relaxed);
        while (extent > seen && !r.reach.compare_exchange_weak(seen, extent, std::memory_order_relaxed)) {
        }
    }
}

} // namespace

namespace detail {

object_count* register_object(void const* p, uint32_t size, i_deleter* d, make_fn make) {
    registry& r = the_registry();
    uintptr_t const a = reinterpret_cast<uintptr_t>(p);
    enum class action { join, widen, rekey };

    for (bool every = size > region_size;;) {
        uint32_t const reach = r.reach.load(std::memory_order_relaxed);
        every = every || r.big_entries.load(std::memory_order_relaxed) != 0;
        // Any entry covering a has its key in [a - reach + 1, a], any entry to
        // join, widen or re-key has its key in [a, a + size).
        uintptr_t const window = a - std::min<uintptr_t>(a, reach - 1);
        stripe_locks locks(r, window, a + size - 1, every);
        // A wider entry may have come since reach was read; its registration
        // held one of these stripes, so its mark is visible now.
        if (!locks.every() && (r.reach.load(std::memory_order_relaxed) > reach ||
                               r.big_entries.load(std::memory_order_relaxed) != 0))
            continue;
        every = locks.every();
        uintptr_t lo = window;
        if (every) {
            uint32_t const far = std::max(r.reach.load(std::memory_order_relaxed),
                                          r.big_reach.load(std::memory_order_relaxed));
            lo = a - std::min<uintptr_t>(a, far - 1);
        }
        // Deleted before the locks are released, after every change below.
        std::unique_ptr<i_deleter> replaced;

        for (;;) {
            page_finder pages(r);
            entry* target = first_live(pages, a, a + size);
            action what = action::join;
            if (target && target->key == a) {
                if (target->extent < size) what = action::widen;
            } else if (target) {
                // Tested before the entry below: a container made after one of its parts.
                what = action::rekey;
            } else {
                target = last_live(pages, lo, a);
                if (target && !target->covers(a)) target = nullptr;
            }

            if (!target) {
                // Every allocation comes before anything changes.
                std::unique_ptr<entry> fresh = t_entries.take();
                place const to = room_for(r, a);
                entry& e = *fresh.release();
                e.key = a;
                set_extent(r, e, size, false);
                set_deleter(e, d, make, p, replaced);
                file(r, to, &e);
                return &e;
            }

            entry& e = *target;
            // A caller's deleter that goes runs its destructor under the locks,
            // and that may register other addresses: take every stripe first.
            if (what != action::join && !e.deleter_in_room && !every) break;
            place to{};
            if (what == action::rekey) to = room_for(r, a);
            // Fails only when the entry died since it was looked at; search again.
            if (!try_join(e)) {
                if (to.g) drop_if_empty(r, to);
                continue;
            }
            if (what == action::rekey) {
                // Filed under the new key first: both may share one page.
                uintptr_t const old_key = e.key;
                e.key = a;
                file(r, to, &e);
                unfile(r, &e, old_key);
            }
            if (what != action::join) {
                set_extent(r, e, size, true);
                set_deleter(e, d, make, p, replaced);
            }
            return &e;
        }
        every = true;
    }
}

void destroy_entry(object_count* cell) {
    entry* e = static_cast<entry*>(cell);
    registry& r = the_registry();
    {
        // The entry is dead: its key and extent no longer change.
        stripe_locks locks(r, e->key, e->key, e->big());
        unfile(r, e, e->key);
        if (e->big()) r.big_entries.fetch_sub(1, std::memory_order_relaxed);
    }
    // Nobody else can reach the entry now.
    struct recycle {
        entry* e;
        ~recycle() { t_entries.give(e); }
    } const gone{e};
    i_deleter* d = e->deleter;
    if (!d) return;
    if (e->deleter_in_room) {
        d->_delete();
        d->~i_deleter();
    } else {
        std::unique_ptr<i_deleter> owned(d);
        owned->_delete();
    }
}

} // namespace detail

void init_object() {
    the_registry();
}

bool find_object_entry(void const* p, object_entry_view* out) {
    registry& r = the_registry();
    uintptr_t const a = reinterpret_cast<uintptr_t>(p);
    stripe_locks locks(r, 0, 0, true);
    // The nearest live entry at or below p when it covers p; failing that, the
    // dead one with the highest key above it that covers p.
    page_finder pages(r);
    entry const* live = last_live(pages, 0, a + 1);
    entry const* found = live && live->covers(a) ? live : nullptr;
    if (!found)
        for (stripe& s : r.stripes)
            s.regions.for_each([&](region const& g) {
                for (page const& slots : g.pages)
                    for (slot const& x : slots)
                        if (x.key <= a && (!live || x.key > live->key) && x.e->covers(a) &&
                            (!found || x.key > found->key))
                            found = x.e;
            });
    if (!found) return false;
    if (out) {
        out->key = reinterpret_cast<void const*>(found->key);
        out->extent = found->extent;
        out->count = found->value.load(std::memory_order_relaxed);
    }
    return true;
}

std::size_t object_entry_count() {
    registry& r = the_registry();
    stripe_locks locks(r, 0, 0, true);
    std::size_t n = 0;
    for (stripe const& s : r.stripes) n += s.entries;
    return n;
}

} // namespace rulo
