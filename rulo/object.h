// Object handles: shared ownership of objects that carry no counter of their own.
//
// rulo::object<T> is a {T*, count cell*} pair. The count cell is the record of
// the object's entry in one process-wide registry, an ordered map from address
// to record. Because the registry is keyed by address, any code may turn a raw
// pointer (a pointer it was handed, `this`, a member, a base part) back into a
// handle that shares the count of every other handle to the same object:
// - a pointer inside a registered range [key, key + extent) joins that entry;
// - a larger type at a registered key widens the entry: the object will be
//   deleted as the larger type;
// - a type whose range reaches past the next registered key (a container made
//   after one of its parts) re-keys that one entry to the new address, keeping
//   its count; ranges may then overlap;
// - anything else makes a new entry with count 1 and the type's t_deleter.
// The boundaries are strict: key + extent is outside, and p + size equal to the
// next key does not reach it. The object is always destroyed by the entry's
// deleter, never as the type of whichever handle dropped the last reference.
//
// Counting and locking. The record is an atomic 32-bit counter plus the
// entry's key, extent and deleter (a default deleter is built inside the
// record); it is allocated once and keeps its address when re-keyed. The
// registry is split by address: 64 KiB regions, each belonging to one of 256
// stripes, each stripe with a plain (not recursive) mutex guarding the
// records filed under keys in its regions. A search near an address locks
// the stripes of the regions its window touches, in stripe order: the window
// reaches down by the largest extent registered (of objects up to one region)
// and up by the size of the handle's type, so an ordinary object locks one
// stripe, two near a region boundary, and threads working on their own
// objects rarely meet. While an object larger than a region is registered,
// every registration holds the whole registry instead (still one lock at a
// time: it shuts the stripes to others, then waits for each to be free).
// - Copies, converting copies, assignments and the per-call guard add 1 with a
//   plain atomic increment and no lock: the source already holds a reference,
//   so the count is at least 1 and cannot reach 0 underneath it.
// - Dropping a reference is one atomic decrement, no lock. Exactly one holder
//   sees the count go from 1 to 0, and from then on no handle refers to the
//   record: the entry is dead. That holder alone then locks the entry's stripe,
//   takes its own record out (found by identity under its key, never by an
//   address search, so overlapping ranges cannot make it end another entry),
//   unlocks, runs the deleter and frees the record.
// - Making a handle from a raw pointer is the only way to reach a record
//   without holding a reference, and it happens under the stripe locks.
//   Searches skip dead entries as if their release had already finished, and
//   the reference is added with "increment unless 0" (under the lock, so the
//   entry cannot be taken out meanwhile); if the entry died since it was looked
//   at, the search starts again. So a dead entry is never revived, widened or
//   re-keyed, and a raw pointer to a dying object gets an entry of its own (a
//   dead and a live entry may share a key). Widening and re-keying change an
//   entry only after that increment succeeded, so it stays alive meanwhile.
// - A count read outside the lock is only a snapshot (use_count()).
// Decrements release and the final one acquires, so the deleter sees every
// write any holder made to the object. Compared with decrementing under the
// lock whenever the count may reach 0, this keeps copy and release to one
// atomic instruction each, which matters when many threads share one object.
//
// What callers may rely on: deleters, and so object destructors, run with the
// registry locks released; they may make, copy and drop handles. A deleter
// that is replaced by widening or re-keying is destroyed (not run) under the
// locks; a caller's deleter is replaced holding the whole registry, so its
// destructor may make and drop handles too.
// One handle variable must not be assigned or destroyed in one thread while
// another thread uses that same variable; different handles to one object may
// be used from any threads. Making a handle from a raw pointer to an object
// whose last handle is being dropped concurrently registers a dying object, as
// with any raw pointer to a dying object.
#pragma once

#include "rulo/exception.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>

// Destroys one registered object. The registry entry that installs it owns it:
// _delete() runs once when the last handle goes, then the deleter is deleted.
// Destroying a deleter never destroys the object.
class i_deleter {
public:
    virtual void _delete() = 0;
    virtual ~i_deleter() = default;
};

namespace rulo {

template <class T>
class object;

// The count cell every handle and guard of one registration points at. The
// registry extends it with the entry's key, extent and deleter.
struct object_count {
    std::atomic<uint32_t> value{1};
};

namespace detail {

// Room inside each registry record for a default deleter, which saves an
// allocation per registration.
inline constexpr std::size_t deleter_room = 2 * sizeof(void*);

// Registers p (size bytes of the handle's static type) or joins the entry that
// covers it, and returns the entry's cell with one reference added for the
// caller. Takes the stripe locks it needs. When d is null and the entry takes
// a new deleter, make_deleter(p, room) builds the default one in the record's
// room.
// On an exception nothing changed and a non-null d is not taken.
object_count* register_object(void const* p, uint32_t size, i_deleter* d,
                              i_deleter* (*make_deleter)(void const* p, void* room) noexcept);

// Ends the entry whose count has just reached 0: takes its stripe lock to take
// it out of the registry, then runs and deletes its deleter and frees the cell
// outside it.
void destroy_entry(object_count* cell);

} // namespace detail

// The guard that operator-> returns: one more reference for the length of one
// call, so the object outlives a member function that drops the last other
// handle to it. Lives until the end of the full expression.
template <class T>
class access_object {
public:
    // The caller must hold a reference in count (a handle does), which makes
    // the lock-free increment safe.
    access_object(T* p, object_count* count) : m_p(p), m_count(count) {
        if (m_count) m_count->value.fetch_add(1, std::memory_order_relaxed);
    }
    ~access_object() {
        if (m_count) object<T>::Release(m_p, m_count);
    }
    access_object(access_object const&) = delete;
    access_object& operator=(access_object const&) = delete;

    T* operator->() const { return m_p; }

private:
    T* m_p;
    object_count* m_count;
};

// A shared-ownership handle; see the top of this file. Empty when its pointer
// is null. Copying and dropping take no lock; making one from a raw pointer
// takes the stripe locks near it; dropping the last reference takes one
// briefly and then destroys the object outside it.
template <class T>
class object {
public:
    // The default deleter: deletes the registered object as a T.
    class t_deleter : public i_deleter {
    public:
        explicit t_deleter(T* p) : m_p(p) {}
        void _delete() override {
            if (m_p) {
                delete m_p;
                m_p = nullptr;
            }
        }

    private:
        T* m_p;
    };

    object() noexcept = default;

    // Registers p, or joins the registration that covers it. A null d selects
    // t_deleter; a d that the registry does not install is neither installed nor
    // destroyed. A null p gives an empty handle without locking.
    object(T* p, i_deleter* d = nullptr) {
        static_assert(sizeof(T) <= UINT32_MAX, "registered objects are at most 4 GiB");
        if (!p) return;
        m_count = detail::register_object(static_cast<void const*>(p), uint32_t(sizeof(T)), d, &make_deleter);
        m_p = p;
    }

    object(object const& o) noexcept : m_p(o.m_p), m_count(o.m_count) { add_ref(m_count); }

    template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
    object(object<U> const& o) noexcept : m_p(o.m_p), m_count(o.m_count) {
        add_ref(m_count);
    }

    object(object&& o) noexcept : m_p(o.m_p), m_count(o.m_count) {
        o.m_p = nullptr;
        o.m_count = nullptr;
    }

    template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
    object(object<U>&& o) noexcept : m_p(o.m_p), m_count(o.m_count) {
        o.m_p = nullptr;
        o.m_count = nullptr;
    }

    // Takes the new reference before giving up the old one, so assigning a
    // handle to itself, or from a handle stored inside the object released,
    // is safe. The old object may be destroyed here (outside the lock).
    object& operator=(object const& o) {
        add_ref(o.m_count);
        return replace(o.m_p, o.m_count);
    }

    template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
    object& operator=(object<U> const& o) {
        add_ref(o.m_count);
        return replace(o.m_p, o.m_count);
    }

    object& operator=(object&& o) {
        if (&o == this) return *this;
        return take(o);
    }

    template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
    object& operator=(object<U>&& o) {
        return take(o);
    }

    virtual ~object() {
        if (m_count) Release(m_p, m_count);
    }

    // Gives up the reference, leaving the handle empty.
    void reset() { replace(nullptr, nullptr); }

    // Throws the "get" exception on an empty handle.
    T* get() const {
        if (!m_p) throw exception::function("get");
        return m_p;
    }

    // The object, guarded for one call. Throws the "get" exception when empty.
    access_object<T> operator->() const {
        object_count* count = m_count;
        return access_object<T>(get(), count);
    }

    explicit operator bool() const noexcept { return m_p != nullptr; }

    // A snapshot of the number of handles and guards; 0 for an empty handle.
    uint32_t use_count() const noexcept {
        return m_count ? m_count->value.load(std::memory_order_relaxed) : 0;
    }

    // Adds one reference that some later Release must give back. Throws the
    // "AddRef" exception on an empty handle.
    void AddRef() {
        if (!m_p) throw exception::function("AddRef");
        add_ref(m_count);
    }

    // Gives back the reference held by a holder's two fields. When it was the
    // last, clears both fields, then destroys the object by the entry's deleter
    // outside the registry lock. Throws the "Release" exception when the holder
    // is empty.
    static void Release(T*& p, object_count*& count) {
        if (!p || !count) throw exception::function("Release");
        if (count->value.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
        object_count* last = count;
        p = nullptr;
        count = nullptr;
        detail::destroy_entry(last);
    }

    static i_deleter* get_deleter(T* p, i_deleter* d) { return d ? d : new t_deleter(p); }

private:
    template <class U>
    friend class object;

    static void add_ref(object_count* count) noexcept {
        if (count) count->value.fetch_add(1, std::memory_order_relaxed);
    }

    static i_deleter* make_deleter(void const* p, void* room) noexcept {
        static_assert(sizeof(t_deleter) <= detail::deleter_room && alignof(t_deleter) <= alignof(void*));
        return ::new (room) t_deleter(static_cast<T*>(const_cast<void*>(p)));
    }

    // Installs a reference already taken, then gives back the old one. Nothing
    // of *this is touched after the release: it may live inside the old object.
    object& replace(T* p, object_count* count) {
        T* old_p = m_p;
        object_count* old_count = m_count;
        m_p = p;
        m_count = count;
        if (old_count) Release(old_p, old_count);
        return *this;
    }

    template <class U>
    object& take(object<U>& o) {
        T* p = o.m_p;
        object_count* count = o.m_count;
        o.m_p = nullptr;
        o.m_count = nullptr;
        return replace(p, count);
    }

    T* m_p = nullptr;
    object_count* m_count = nullptr;
};

// The same as object<T>(p) with the default deleter.
template <class T>
object<T> make_object(T* p) {
    return object<T>(p, nullptr);
}

// Makes the registry (first use makes it too, so a handle made before start-up
// works). Called by framework start-up.
void init_object();

// What the registry holds for one entry; for diagnostics and tests. A count of 0
// is an entry whose last holder is still on its way to remove it.
struct object_entry_view {
    void const* key = nullptr;
    uint32_t extent = 0;
    uint32_t count = 0;
};

// The live entry with the highest key at or below p, when its range holds p;
// failing that, a dead entry above it that holds p. Holds the whole registry.
bool find_object_entry(void const* p, object_entry_view* out);

// The number of entries in the registry. Holds the whole registry.
std::size_t object_entry_count();

} // namespace rulo
