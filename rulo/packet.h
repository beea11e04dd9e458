// The packet format: the one binary form of every message and stored record.
//
// A packet is a stack. Pushing a value APPENDS its bytes at the end of the
// buffer; popping TAKES a value from the END. Every encoding therefore ends in
// what is needed to read it backwards (a count or length comes after the bytes
// it describes), so a layer can push its header onto a body built by the layer
// above without moving it, and the receiver peels the header off the end.
//
// The same codec runs over a `netbuf` and over a `std::string` used as a byte
// string, with identical bytes:
//
//   unsigned integer   magnitude bytes, least significant first, as few as
//                      needed (none for 0), then one count byte
//   signed integer     the same for the absolute value; the count byte gets
//                      0x80 for a negative value (INT_MIN = 00 00 00 80 84)
//   bool               "T" or "F"
//   text               the bytes, then the length as an integer
//   netbuf             the bytes (shared, not copied, into a netbuf), then the
//                      size as an integer
//   pair               first, then second
//   vector, set        the elements last to first, then the count
//   map                the pairs in ascending key order, then the count
//
// Failures: malformed input throws rulo::exception with the text
// rulo::packet_parse_e, a well-formed number that does not fit its target
// with rulo::packet_number_too_big_e. A failed pop over a std::string leaves a
// scalar's bytes in place; over a netbuf it has consumed the count, length or
// boolean byte it read first. A failed container pop has consumed the elements
// read before the failure. Callers drop the whole message on any error.
//
// Lengths and counts from a packet are never trusted: a length longer than
// what is left, or a count larger than the bytes left (every element takes at
// least one byte), is a parse error before anything is allocated for it.
//
// A record gets its codec from one specialisation:
//
//   template <> struct rulo_packet<peer> {
//       template <class Buffer>
//       static void push(Buffer& b, peer const& v) { rulo_packet_push(b, v.address, v.port); }
//       template <class Buffer>
//       static void pop(Buffer& b, peer& v) { rulo_packet_pop(b, v.address, v.port); }
//   };
//
// A codec for one buffer kind only may take that buffer type instead of a template.
//
// Codecs keep no state; a buffer belongs to one thread at a time.
#pragma once

#include "rulo/netbuf.h"

#include <cstddef>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

// The codec of one type: static push(Buffer&, T const&) and pop(Buffer&, T&).
// Only specialisations exist; a type without one does not compile.
template <class T>
struct rulo_packet;

// ---------------------------------------------------------------------------
// Primitives, one overload per buffer kind (packet.cpp).
namespace rulo::packet_detail {

void push_integer(std::string& b, unsigned long long magnitude, bool negative);
void push_integer(netbuf& b, unsigned long long magnitude, bool negative);

// max_bytes is the target's width in bytes (2, 4 or 8).
unsigned long long pop_unsigned(std::string& b, int max_bytes);
unsigned long long pop_unsigned(netbuf& b, int max_bytes);
long long pop_signed(std::string& b, int max_bytes);
long long pop_signed(netbuf& b, int max_bytes);

// The element count of a container, refused when larger than the bytes left.
std::size_t pop_count(std::string& b);
std::size_t pop_count(netbuf& b);

void push_bool(std::string& b, bool v);
void push_bool(netbuf& b, bool v);
bool pop_bool(std::string& b);
bool pop_bool(netbuf& b);

// Text bytes followed by their length.
void push_text(std::string& b, char const* data, std::size_t size);
void push_text(netbuf& b, char const* data, std::size_t size);
void pop_text(std::string& b, std::string& out);
void pop_text(netbuf& b, std::string& out);

// A netbuf value: its bytes then its size as a signed 32-bit integer.
void push_netbuf(std::string& b, netbuf const& v);
void push_netbuf(netbuf& b, netbuf const& v);
void pop_netbuf(std::string& b, netbuf& out);
void pop_netbuf(netbuf& b, netbuf& out);

template <class T>
struct integer {
    static_assert(sizeof(T) == 2 || sizeof(T) == 4 || sizeof(T) == 8);

    template <class Buffer>
    static void push(Buffer& b, T v) {
        if constexpr (std::is_signed_v<T>) {
            // Negating in unsigned arithmetic gives the true magnitude, also of
            // the most negative value: INT_MIN goes out as 00 00 00 80 84, not
            // as the lone count byte 80 that reads back as 0. A peer that does
            // not accept a magnitude one above the largest positive value
            // refuses such a message ("number too big") instead of taking a
            // wrong 0 for it, which is the safer of the two failures; a lone
            // 80 from such a peer still pops as 0 here.
            bool negative = v < 0;
            unsigned long long magnitude = static_cast<unsigned long long>(v);
            push_integer(b, negative ? 0ULL - magnitude : magnitude, negative);
        } else {
            push_integer(b, static_cast<unsigned long long>(v), false);
        }
    }
    template <class Buffer>
    static void pop(Buffer& b, T& v) {
        if constexpr (std::is_signed_v<T>)
            v = static_cast<T>(pop_signed(b, sizeof(T)));
        else
            v = static_cast<T>(pop_unsigned(b, sizeof(T)));
    }
};

} // namespace rulo::packet_detail

// ---------------------------------------------------------------------------
// Pushing and popping one or several values. Two conventions exist and both
// are in use; they differ only in which argument ends on top:
//
//   rulo_packet_push(b, x, y, z)  pushes x, then y, then z: z ends on top and
//                                 is read first. rulo_packet_pop(b, x, y, z)
//                                 undoes it (pops z, then y, then x). RPC calls
//                                 put the method identification last so that
//                                 it is read first.
//   xstd::packet_push(b, x, y, z) pushes z, then y, then x: x ends on top and
//                                 is read first. xstd::packet_pop(b, x, y, z)
//                                 undoes it (pops x, then y, then z).
//
// Either pop undoes its own push with the same argument list.

template <class Buffer, class T>
void rulo_packet_push(Buffer& b, T const& v) {
    rulo_packet<std::remove_cv_t<T>>::push(b, v);
}

template <class Buffer, class T, class... Rest>
void rulo_packet_push(Buffer& b, T const& first, Rest const&... rest) {
    rulo_packet_push(b, first);
    rulo_packet_push(b, rest...);
}

template <class Buffer, class T>
void rulo_packet_pop(Buffer& b, T& v) {
    rulo_packet<std::remove_cv_t<T>>::pop(b, v);
}

template <class Buffer, class T, class... Rest>
void rulo_packet_pop(Buffer& b, T& first, Rest&... rest) {
    rulo_packet_pop(b, rest...);
    rulo_packet_pop(b, first);
}

namespace xstd {

// Pushes the last argument first, so the first argument ends on top.
template <class Buffer, class T, class... Rest>
void packet_push(Buffer& b, T const& first, Rest const&... rest) {
    if constexpr (sizeof...(Rest) > 0) packet_push(b, rest...);
    rulo_packet_push(b, first);
}

// Pops into the first argument first.
template <class Buffer, class T, class... Rest>
void packet_pop(Buffer& b, T& first, Rest&... rest) {
    rulo_packet_pop(b, first);
    if constexpr (sizeof...(Rest) > 0) packet_pop(b, rest...);
}

} // namespace xstd

// Pushes every element of [first, last) in iteration order, then their count.
// Containers pass reverse iterators when their first element is to be read first.
template <class Buffer, class Iterator>
struct rulo_packet_iterator {
    static void push(Buffer& b, Iterator first, Iterator last) {
        unsigned long long count = 0;
        for (; first != last; ++first, ++count) rulo_packet_push(b, *first);
        rulo::packet_detail::push_integer(b, count, false);
    }
};

namespace rulo::packet_detail {

// Undoes rulo_packet_iterator::push: pops the count, then that many elements,
// handing each to add as it is read. No reserve: the count is bounded by the
// bytes present, not by what the elements will need.
template <class T, class Buffer, class Add>
void pop_elements(Buffer& b, Add add) {
    for (std::size_t n = pop_count(b); n > 0; --n) {
        T element{};
        rulo_packet_pop(b, element);
        add(std::move(element));
    }
}

} // namespace rulo::packet_detail

// ---------------------------------------------------------------------------
// Scalars.

template <>
struct rulo_packet<short> : rulo::packet_detail::integer<short> {};
template <>
struct rulo_packet<unsigned short> : rulo::packet_detail::integer<unsigned short> {};
template <>
struct rulo_packet<int> : rulo::packet_detail::integer<int> {};
template <>
struct rulo_packet<unsigned int> : rulo::packet_detail::integer<unsigned int> {};
template <>
struct rulo_packet<long> : rulo::packet_detail::integer<long> {};
template <>
struct rulo_packet<unsigned long> : rulo::packet_detail::integer<unsigned long> {};
template <>
struct rulo_packet<long long> : rulo::packet_detail::integer<long long> {};
template <>
struct rulo_packet<unsigned long long> : rulo::packet_detail::integer<unsigned long long> {};

template <>
struct rulo_packet<bool> {
    template <class Buffer>
    static void push(Buffer& b, bool v) {
        rulo::packet_detail::push_bool(b, v);
    }
    template <class Buffer>
    static void pop(Buffer& b, bool& v) {
        v = rulo::packet_detail::pop_bool(b);
    }
};

template <>
struct rulo_packet<std::string> {
    template <class Buffer>
    static void push(Buffer& b, std::string const& v) {
        rulo::packet_detail::push_text(b, v.data(), v.size());
    }
    template <class Buffer>
    static void pop(Buffer& b, std::string& v) {
        rulo::packet_detail::pop_text(b, v);
    }
};

// NUL-terminated texts push the same bytes as a std::string and pop into one.
template <>
struct rulo_packet<char const*> {
    template <class Buffer>
    static void push(Buffer& b, char const* v) {
        rulo::packet_detail::push_text(b, v, v ? std::strlen(v) : 0);
    }
};
template <>
struct rulo_packet<char*> : rulo_packet<char const*> {};

// A text literal: the bytes up to the terminator (or the whole array when it has none).
template <std::size_t N>
struct rulo_packet<char[N]> {
    template <class Buffer>
    static void push(Buffer& b, char const (&v)[N]) {
        std::size_t size = 0;
        while (size < N && v[size] != '\0') ++size;
        rulo::packet_detail::push_text(b, v, size);
    }
};

template <>
struct rulo_packet<netbuf> {
    template <class Buffer>
    static void push(Buffer& b, netbuf const& v) {
        rulo::packet_detail::push_netbuf(b, v);
    }
    template <class Buffer>
    static void pop(Buffer& b, netbuf& v) {
        rulo::packet_detail::pop_netbuf(b, v);
    }
};

// ---------------------------------------------------------------------------
// Containers.

template <class A, class B>
struct rulo_packet<std::pair<A, B>> {
    template <class Buffer>
    static void push(Buffer& b, std::pair<A, B> const& v) {
        rulo_packet_push(b, v.first, v.second);
    }
    template <class Buffer>
    static void pop(Buffer& b, std::pair<A, B>& v) {
        rulo_packet_pop(b, v.first, v.second);
    }
};

// Pop appends to what the vector already holds, in the order first to last.
template <class T, class Alloc>
struct rulo_packet<std::vector<T, Alloc>> {
    using vector = std::vector<T, Alloc>;
    template <class Buffer>
    static void push(Buffer& b, vector const& v) {
        rulo_packet_iterator<Buffer, typename vector::const_reverse_iterator>::push(b, v.rbegin(), v.rend());
    }
    template <class Buffer>
    static void pop(Buffer& b, vector& v) {
        rulo::packet_detail::pop_elements<T>(b, [&v](T&& e) { v.push_back(std::move(e)); });
    }
};

template <class T, class Compare, class Alloc>
struct rulo_packet<std::set<T, Compare, Alloc>> {
    using set = std::set<T, Compare, Alloc>;
    template <class Buffer>
    static void push(Buffer& b, set const& v) {
        rulo_packet_iterator<Buffer, typename set::const_reverse_iterator>::push(b, v.rbegin(), v.rend());
    }
    template <class Buffer>
    static void pop(Buffer& b, set& v) {
        rulo::packet_detail::pop_elements<T>(b, [&v](T&& e) { v.insert(std::move(e)); });
    }
};

// The largest key comes out first; a key already present keeps its value.
template <class K, class V, class Compare, class Alloc>
struct rulo_packet<std::map<K, V, Compare, Alloc>> {
    using map = std::map<K, V, Compare, Alloc>;
    template <class Buffer>
    static void push(Buffer& b, map const& v) {
        rulo_packet_iterator<Buffer, typename map::const_iterator>::push(b, v.begin(), v.end());
    }
    template <class Buffer>
    static void pop(Buffer& b, map& v) {
        rulo::packet_detail::pop_elements<std::pair<K, V>>(
            b, [&v](std::pair<K, V>&& e) { v.insert(std::move(e)); });
    }
};

// ---------------------------------------------------------------------------
// Variable-length integers and length frames over a netbuf.
namespace rulo {

// Unsigned LEB128: seven bits a byte, lowest group first, 0x80 on every byte
// but the last. Appended at the end when back is set, else put in front.
void vint_push(netbuf& b, unsigned long long value, bool back);
// Reads a vint at the start without removing it. True with the value and its
// byte count; false when the buffer ends first. A number longer than ten bytes,
// or one that does not fit 64 bits, throws the function exception "vint_read_front".
bool vint_read_front(netbuf& b, unsigned long long& value, int& bytes);
// vint_read_front, then erases the bytes read; false when incomplete.
bool vint_pop_front(netbuf& b, unsigned long long& value);

// A new buffer: the payload's size as 4 big-endian bytes, then the payload (shared, not copied).
netbuf packetize(netbuf const& payload);
// Cuts one whole frame off the front of *input into output (shared, not
// copied) and returns true. Returns false and changes nothing when the frame
// is incomplete; a length with the top bit set is never complete. Never throws.
bool depacketize(netbuf* input, netbuf& output);

} // namespace rulo
