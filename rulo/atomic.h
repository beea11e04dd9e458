// Lock-free counters and the small owners built on them.
//
// These serve buffers, tasks, futures, pools and sockets; object handles keep
// their counts in the object registry instead (object.h).
#pragma once

#include <atomic>
#include <cstdint>

namespace rulo {

// A 64-bit counter changed only by atomic read-modify-write operations.
class atomic {
public:
    atomic() = default;
    explicit atomic(int64_t v) : m_value(v) {}
    void inc() { m_value.fetch_add(1); }
    void dec() { m_value.fetch_sub(1); }
    void add(long n) { m_value.fetch_add(n); }
    // True exactly for the caller whose decrement produced 0.
    bool dec_zero() { return m_value.fetch_sub(1) == 1; }
    int64_t value() const { return m_value.load(std::memory_order_relaxed); }

private:
    std::atomic<int64_t> m_value{0};
};

class reference_counted {
public:
    reference_counted() { m_count.inc(); }
    void increment_reference_count() { m_count.inc(); }
    bool decrement_reference_count() { return m_count.dec_zero(); }
    int64_t reference_count() const { return m_count.value(); }

private:
    atomic m_count;
};

// A value-like holder of shared data; never empty. Copies share the block;
// the holder whose release brings the count to 0 destroys the payload.
template <class T>
class refc {
public:
    struct data : reference_counted {
        T payload;
    };

    refc() : m_data(new data) {}
    refc(refc const& o) : m_data(o.m_data) { m_data->increment_reference_count(); }
    refc& operator=(refc const&) = delete;
    ~refc() {
        if (m_data->decrement_reference_count()) delete m_data;
    }

    T& operator*() const { return m_data->payload; }
    T* operator->() const { return &m_data->payload; }
    int64_t use_count() const { return m_data->reference_count(); }

private:
    data* m_data;
};

// Keeps the number of live instances of the carrying class in *Counter.
template <atomic* Counter>
class object_counter {
public:
    object_counter() { Counter->inc(); }
    object_counter(object_counter const&) { Counter->inc(); }
    object_counter& operator=(object_counter const&) { return *this; }
    ~object_counter() { Counter->dec(); }
};

// A single-owner pointer; assigning a new pointer deletes the old object.
template <class T>
class null_ptr {
public:
    null_ptr() = default;
    explicit null_ptr(T* p) : m_p(p) {}
    null_ptr(null_ptr const&) = delete;
    null_ptr& operator=(null_ptr const&) = delete;
    ~null_ptr() { delete m_p; }

    // Assigning the pointer already held keeps the object.
    T* operator=(T* p) {
        if (p != m_p) {
            delete m_p;
            m_p = p;
        }
        return m_p;
    }
    T* get() const { return m_p; }
    T* operator->() const { return m_p; }
    T& operator*() const { return *m_p; }
    explicit operator bool() const { return m_p != nullptr; }

private:
    T* m_p = nullptr;
};

} // namespace rulo
