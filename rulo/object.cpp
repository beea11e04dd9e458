#include "rulo/object.h"

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace rulo {

namespace {

// The registry's layout (see also the top of object.h):
//
//   address space   | region 64 KiB                           | region ...
//                   | page 1 KiB | page | ... (64 pages)     |
//   stripe          = hash(region) % 256: one lock, and a map from page number
//                     to the sorted slots {key, entry*} of the entries keyed in it
//
// An entry is filed under its key only. Whoever searches for the entries near an
// address locks the stripes of every region its search window touches, in
// stripe order. The window reaches down by `reach` (the largest extent of an
// entry that fits in a region, ever) and up by the size being registered, so a
// handle of an ordinary object locks one stripe, two near a region boundary.
// An entry larger than a region would make windows unbounded: while one exists
// (`big_entries`), every registration locks every stripe and searches all.
constexpr unsigned page_shift = 10;
constexpr unsigned region_shift = 16;
constexpr uint32_t region_size = uint32_t(1) << region_shift;
constexpr std::size_t stripe_count = 256;

// One registration. Handles point at it; the counter is theirs, the other
// fields are guarded by the lock of the stripe that files it (its key's region).
struct entry final : object_count {
    uintptr_t key = 0;
    uint32_t extent = 0;
    bool deleter_in_room = false; // else a caller's deleter on the heap
    i_deleter* deleter = nullptr;
    alignas(void*) unsigned char room[detail::deleter_room];

    bool dead() const { return value.load(std::memory_order_relaxed) == 0; }
    bool covers(uintptr_t a) const { return key + extent > a; }
    bool big() const { return extent > region_size; }
};

// Slots of one page, sorted by key. A dead entry (count 0, its last holder
// not yet through the lock) may share its key with the live one that replaced it;
// the live one comes after it.
struct slot {
    uintptr_t key;
    entry* e;
};
using page = std::vector<slot>;

uintptr_t page_of(uintptr_t a) {
    return a >> page_shift;
}

std::size_t stripe_of(uintptr_t a) {
    uint64_t const region = uint64_t(a >> region_shift);
    return std::size_t((region * 0x9E3779B97F4A7C15ull) >> 56) % stripe_count;
}

struct alignas(64) stripe {
    std::mutex mutex;
    std::map<uintptr_t, page> pages; // by page number; no empty pages
    std::size_t entries = 0;         // dead ones included
};

// The process-wide registry. Lives until the process ends. Stripe locks are
// taken by raw-pointer handles, by the release of a last reference and by the
// diagnostics; never while a deleter runs.
struct registry {
    stripe stripes[stripe_count];
    std::atomic<uint32_t> reach{1};       // grows only; changed under the locks of the entry's range
    std::atomic<uint32_t> big_entries{0}; // changed with every stripe locked

    stripe& filing(uintptr_t key) { return stripes[stripe_of(key)]; }
};

registry& the_registry() {
    static registry* r = new registry;
    return *r;
}

// Set while this thread holds every stripe: a caller's deleter destroyed
// under the locks may make and drop handles, which then take no lock again.
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
            for (stripe& s : r.stripes) s.mutex.lock();
            t_holds_every_stripe = true;
            m_locked_every = true;
            return;
        }
        for (uintptr_t region = lo >> region_shift;; ++region) {
            std::size_t const i = stripe_of(region << region_shift);
            if (std::find(m_index, m_index + m_n, i) == m_index + m_n) m_index[m_n++] = i;
            if (region == hi >> region_shift) break;
        }
        std::sort(m_index, m_index + m_n);
        for (std::size_t k = 0; k < m_n; ++k) r.stripes[m_index[k]].mutex.lock();
    }
    ~stripe_locks() {
        if (m_locked_every) {
            t_holds_every_stripe = false;
            for (std::size_t i = stripe_count; i-- > 0;) m_registry.stripes[i].mutex.unlock();
        } else {
            for (std::size_t k = m_n; k-- > 0;) m_registry.stripes[m_index[k]].mutex.unlock();
        }
    }
    stripe_locks(stripe_locks const&) = delete;
    stripe_locks& operator=(stripe_locks const&) = delete;

    bool every() const { return m_every; }

    template <class F>
    void for_each(F f) {
        if (m_every)
            for (stripe& s : m_registry.stripes) f(s);
        else
            for (std::size_t k = 0; k < m_n; ++k) f(m_registry.stripes[m_index[k]]);
    }

private:
    registry& m_registry;
    bool m_every = false;
    bool m_locked_every = false;
    std::size_t m_index[3] = {};
    std::size_t m_n = 0;
};

// The live entry with the lowest key in [lo, hi), or null. Only pages of the
// locked stripes are looked at; the caller locked every stripe the range needs.
entry* first_live(stripe_locks& locks, uintptr_t lo, uintptr_t hi) {
    entry* best = nullptr;
    locks.for_each([&](stripe& s) {
        for (auto it = s.pages.lower_bound(page_of(lo)); it != s.pages.end() && it->first <= page_of(hi - 1);
             ++it) {
            page const& slots = it->second;
            auto at = std::lower_bound(slots.begin(), slots.end(), lo,
                                       [](slot const& x, uintptr_t k) { return x.key < k; });
            for (; at != slots.end() && at->key < hi; ++at)
                if (!at->e->dead()) break;
            if (at != slots.end() && at->key < hi) {
                if (!best || at->key < best->key) best = at->e;
                return; // later pages of this stripe hold higher keys
            }
        }
    });
    return best;
}

// The live entry with the highest key in [lo, hi), or null; as first_live.
entry* last_live(stripe_locks& locks, uintptr_t lo, uintptr_t hi) {
    entry* best = nullptr;
    locks.for_each([&](stripe& s) {
        for (auto it = s.pages.upper_bound(page_of(hi - 1)); it != s.pages.begin();) {
            --it;
            if (it->first < page_of(lo)) return;
            page const& slots = it->second;
            auto at = std::lower_bound(slots.begin(), slots.end(), hi,
                                       [](slot const& x, uintptr_t k) { return x.key < k; });
            while (at != slots.begin()) {
                --at;
                if (at->key < lo) break;
                if (!at->e->dead()) {
                    if (!best || at->key > best->key) best = at->e;
                    return;
                }
            }
        }
    });
    return best;
}

// Makes room for one more slot at key: the only step of a change that can
// fail, taken before anything changes. Caller holds the key's stripe.
page& room_for(registry& r, uintptr_t key) {
    stripe& s = r.filing(key);
    auto [it, fresh] = s.pages.try_emplace(page_of(key));
    try {
        it->second.reserve(it->second.size() + 1);
    } catch (...) {
        if (fresh) s.pages.erase(it);
        throw;
    }
    return it->second;
}

// Gives back a page room_for made and nothing filled.
void drop_if_empty(registry& r, uintptr_t key) {
    stripe& s = r.filing(key);
    auto it = s.pages.find(page_of(key));
    if (it != s.pages.end() && it->second.empty()) s.pages.erase(it);
}

// Files e under e->key, after any entry (a dead one) with the same key. The
// page has room (room_for), so nothing here allocates.
void file(registry& r, page& slots, entry* e) {
    auto at = std::upper_bound(slots.begin(), slots.end(), e->key,
                               [](uintptr_t k, slot const& x) { return k < x.key; });
    slots.insert(at, slot{e->key, e});
    ++r.filing(e->key).entries;
}

// Takes e's slot at key out of its page, found by identity: a dead and a live
// entry may share a key.
void unfile(registry& r, entry* e, uintptr_t key) {
    stripe& s = r.filing(key);
    auto it = s.pages.find(page_of(key));
    page& slots = it->second;
    auto at = std::lower_bound(slots.begin(), slots.end(), key,
                               [](slot const& x, uintptr_t k) { return x.key < k; });
    while (at->e != e) ++at;
    slots.erase(at);
    if (slots.empty()) s.pages.erase(it);
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
    if (e.big())
        r.big_entries.fetch_add(1, std::memory_order_relaxed);
    else {
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
        uintptr_t const lo = every ? 0 : window;
        // Deleted before the locks are released, after every change below.
        std::unique_ptr<i_deleter> replaced;

        for (;;) {
            entry* target = first_live(locks, a, a + size);
            action what = action::join;
            if (target && target->key == a) {
                if (target->extent < size) what = action::widen;
            } else if (target) {
                // Tested before the entry below: a container made after one of its parts.
                what = action::rekey;
            } else {
                target = last_live(locks, lo, a);
                if (target && !target->covers(a)) target = nullptr;
            }

            if (!target) {
                // Every allocation comes before anything changes.
                auto fresh = std::make_unique<entry>();
                page& slots = room_for(r, a);
                entry& e = *fresh.release();
                e.key = a;
                set_extent(r, e, size, false);
                set_deleter(e, d, make, p, replaced);
                file(r, slots, &e);
                return &e;
            }

            entry& e = *target;
            // A caller's deleter that goes runs its destructor under the locks,
            // and that may register other addresses: take every stripe first.
            if (what != action::join && !e.deleter_in_room && !every) break;
            page* slots = nullptr;
            if (what == action::rekey) slots = &room_for(r, a);
            // Fails only when the entry died since it was looked at; search again.
            if (!try_join(e)) {
                if (slots) drop_if_empty(r, a);
                continue;
            }
            if (what == action::rekey) {
                // Filed under the new key first: both may share one page.
                uintptr_t const old_key = e.key;
                e.key = a;
                file(r, *slots, &e);
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
    std::unique_ptr<entry> gone(e);
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
    // Every entry with a key at or below p down to each stripe's nearest live
    // one, then the nearest live entry overall when it covers p; failing that,
    // a dead one that covers p above it, as the nearest live entry leaves them.
    std::vector<entry const*> near;
    locks.for_each([&](stripe& s) {
        for (auto it = s.pages.upper_bound(page_of(a)); it != s.pages.begin();) {
            page const& slots = (--it)->second;
            for (auto at = slots.rbegin(); at != slots.rend(); ++at) {
                if (at->key > a) continue;
                near.push_back(at->e);
                if (!at->e->dead()) return;
            }
        }
    });
    // Highest key first; at one key, the later filed (the live one) first.
    std::stable_sort(near.begin(), near.end(),
                     [](entry const* x, entry const* y) { return x->key > y->key; });
    entry const* found = nullptr;
    for (entry const* e : near) {
        if (!e->dead()) {
            if (e->covers(a)) found = e;
            break;
        }
        if (!found && e->covers(a)) found = e;
    }
    if (!found) return false;
    if (out) {
        out->key = reinterpret_cast<void const*>(found->key);
        out->extent = found->extent;
        out->count = found->value.load(std::memory_order_relaxed);
    }
    return true;
}

std::size_t object_entry_count() {
    stripe_locks locks(the_registry(), 0, 0, true);
    std::size_t n = 0;
    locks.for_each([&](stripe& s) { n += s.entries; });
    return n;
}

} // namespace rulo
