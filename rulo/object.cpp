#include "rulo/object.h"

#include "rulo/lock.h"

#include <iterator>
#include <map>
#include <memory>
#include <tuple>
#include <utility>

namespace rulo {

namespace {

// One registration, stored in its map node so that a registration costs one
// allocation. Map nodes keep their address when re-keyed (extract, insert),
// so handles may point at the record. The counter is the handles' own; the
// other fields are guarded by the registry lock.
struct entry final : object_count {
    uintptr_t key = 0;
    uint32_t extent = 0;
    bool deleter_in_room = false; // else a caller's deleter on the heap
    i_deleter* deleter = nullptr;
    alignas(void*) unsigned char room[detail::deleter_room];

    bool dead() const { return value.load(std::memory_order_relaxed) == 0; }
    bool covers(uintptr_t a) const { return key + extent > a; }
};

// A multimap because a dead entry (count 0, its last holder not yet through
// the lock) may share its key with the entry that replaced it.
using entry_map = std::multimap<uintptr_t, entry>;

// The process-wide registry: every registered address range and its record.
// Lives until the process ends. The mutex is taken by raw-pointer handles, by
// the release of a last reference and by the diagnostics; never while a
// deleter runs.
struct registry {
    rec_mutex mutex;
    entry_map entries;
};

registry& the_registry() {
    static registry* r = new registry;
    return *r;
}

using make_fn = i_deleter* (*)(void const*, void*) noexcept;

// Installs the caller's deleter or builds the default one in the room. A
// default deleter it replaces is only destructed; a caller's deleter it
// replaces goes to `replaced`, to be deleted once the registry is consistent
// again (its destructor may make handles). Caller holds the lock.
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
// Caller holds the lock.
bool try_join(entry& e) {
    uint32_t v = e.value.load(std::memory_order_relaxed);
    while (v != 0) {
        if (e.value.compare_exchange_weak(v, v + 1, std::memory_order_relaxed)) return true;
    }
    return false;
}

// Searches see only live entries: a dead one is as good as erased.
entry_map::iterator live_from(entry_map& m, entry_map::iterator it) {
    while (it != m.end() && it->second.dead()) ++it;
    return it;
}

entry_map::iterator live_before(entry_map& m, entry_map::iterator it) {
    while (it != m.begin()) {
        --it;
        if (!it->second.dead()) return it;
    }
    return m.end();
}

} // namespace

namespace detail {

object_count* register_object(void const* p, uint32_t size, i_deleter* d, make_fn make) {
    registry& r = the_registry();
    entry_map& entries = r.entries;
    uintptr_t const a = reinterpret_cast<uintptr_t>(p);
    rec_lock lock(r.mutex);
    // Deleted before the lock is released, after every change below.
    std::unique_ptr<i_deleter> replaced;

    enum class action { join, widen, rekey };
    for (;;) {
        auto next = live_from(entries, entries.lower_bound(a));
        auto target = entries.end();
        action what = action::join;
        if (next != entries.end() && next->first == a) {
            target = next;
            if (next->second.extent < size) what = action::widen;
        } else if (next != entries.end() && a + size > next->first) {
            // Tested before the entry below: a container made after one of its parts.
            target = next;
            what = action::rekey;
        } else {
            auto below = live_before(entries, next);
            if (below != entries.end() && below->second.covers(a)) target = below;
        }

        if (target == entries.end()) {
            // The one allocation comes before anything changes.
            auto fresh =
                entries.emplace(std::piecewise_construct, std::forward_as_tuple(a), std::forward_as_tuple());
            entry& e = fresh->second;
            e.key = a;
            e.extent = size;
            set_deleter(e, d, make, p, replaced);
            return &e;
        }

        entry& e = target->second;
        // Fails only when the entry died since it was looked at; search again.
        if (!try_join(e)) continue;
        if (what == action::rekey) {
            auto node = entries.extract(target);
            node.key() = a;
            entries.insert(std::move(node));
            e.key = a;
        }
        if (what != action::join) {
            e.extent = size;
            set_deleter(e, d, make, p, replaced);
        }
        return &e;
    }
}

void destroy_entry(object_count* cell) {
    entry* e = static_cast<entry*>(cell);
    entry_map::node_type node;
    {
        registry& r = the_registry();
        rec_lock lock(r.mutex);
        // Found by identity, not by address: ranges may overlap and a new
        // entry may already sit at the same key.
        auto [it, end] = r.entries.equal_range(e->key);
        while (&it->second != e) ++it;
        node = r.entries.extract(it);
    }
    // Nobody else can reach the record now; the node frees it on the way out.
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
    rec_lock lock(r.mutex);
    // The nearest live entry at or below p; failing that, a dead one that
    // covers p and lies above the nearest live one.
    entry const* found = nullptr;
    for (auto it = r.entries.upper_bound(a); it != r.entries.begin();) {
        entry const& e = (--it)->second;
        if (!e.dead()) {
            if (e.covers(a)) found = &e;
            break;
        }
        if (!found && e.covers(a)) found = &e;
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
    registry& r = the_registry();
    rec_lock lock(r.mutex);
    return r.entries.size();
}

} // namespace rulo
