// The packet codec on hostile bytes.
//
// The first input byte picks what is fuzzed:
//   0  typed pops: the next byte gives the number of pops (1-16), that many
//      bytes pick the types, one byte the piece size of the netbuf; the rest
//      is the packet. Every pop runs over a std::string and over a netbuf made
//      of separate pieces; both must agree on the value or on the error,
//      integers, booleans and texts must match a decoder written from the
//      format, and every value popped must push and pop back unchanged.
//   1  vint_pop_front in a loop, against a decoder written from the format.
//   2  depacketize in a loop, against the frame layout.
#include "rulo/exception.h"
#include "rulo/netbuf.h"
#include "rulo/packet.h"
#include "tests/fuzz/fuzz_support.h"

#include <climits>
#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

using fuzz::check;
using fuzz::error_of;

namespace {

// The bytes as a netbuf of separate pieces, so that values straddle views.
netbuf pieces(std::string const& bytes, std::size_t piece) {
    netbuf b;
    for (std::size_t at = 0; at < bytes.size(); at += piece) {
        netbuf p = netbuf::from_string(bytes.substr(at, piece));
        b.append(p);
    }
    return b;
}

template <class T>
bool same(T const& a, T const& b) {
    return a == b;
}
bool same(netbuf const& a, netbuf const& b) {
    return a.to_string() == b.to_string();
}

// A popped value pushes as the same bytes over both kinds and pops back
// whole, leaving nothing behind.
template <class T>
void check_round_trip(T const& value) {
    std::string s;
    netbuf n;
    rulo_packet_push(s, value);
    rulo_packet_push(n, value);
    check(n.to_string() == s);
    T from_s{}, from_n{};
    check(error_of([&] { rulo_packet_pop(s, from_s); }).empty());
    check(error_of([&] { rulo_packet_pop(n, from_n); }).empty());
    check(s.empty() && n.empty());
    check(same(from_s, value) && same(from_n, value));
}

// What popping a T from the end of bytes gives, written from the format
// rather than the codec: the value, or the error text, and the bytes left.
struct expected_pop {
    std::string error;
    long long value = 0; // integers and bool
    std::string text;
    std::size_t left = 0;
};

expected_pop failure(char const* error) {
    expected_pop e;
    e.error = error;
    return e;
}

// An integer: magnitude bytes (least significant first), then the count byte,
// whose top bit marks a negative value of a signed type.
template <class T>
expected_pop reference_integer(std::string const& b) {
    expected_pop e;
    if (b.empty()) return failure(rulo::packet_parse_e);
    unsigned count = static_cast<unsigned char>(b.back());
    bool const negative = std::is_signed_v<T> && (count & 0x80);
    if (std::is_signed_v<T>) count &= 0x7f;
    if (count > b.size() - 1) return failure(rulo::packet_parse_e);
    if (count > sizeof(T)) return failure(rulo::packet_number_too_big_e);
    std::size_t const start = b.size() - 1 - count;
    unsigned long long magnitude = 0;
    for (unsigned i = 0; i < count; ++i)
        magnitude |= static_cast<unsigned long long>(static_cast<unsigned char>(b[start + i])) << (8 * i);
    if (std::is_signed_v<T>) {
        unsigned long long const limit = 1ULL << (8 * sizeof(T) - 1);
        if (negative ? magnitude > limit : magnitude >= limit) return failure(rulo::packet_number_too_big_e);
        e.value = negative ? static_cast<long long>(0ULL - magnitude) : static_cast<long long>(magnitude);
    } else {
        e.value = static_cast<long long>(magnitude);
    }
    e.left = start;
    return e;
}

// A text: the bytes, then their length as an unsigned 64-bit integer.
expected_pop reference_text(std::string const& b) {
    expected_pop e = reference_integer<unsigned long long>(b);
    if (!e.error.empty()) return e;
    unsigned long long const length = static_cast<unsigned long long>(e.value);
    if (length > e.left) return failure(rulo::packet_parse_e);
    e.text = b.substr(e.left - length, length);
    e.left -= length;
    return e;
}

// Integers, booleans and texts against the reference; other types are
// checked by the agreement of both buffer kinds and by their round trip.
template <class T>
void check_reference(std::string const& before, std::string const& error, T const& value,
                     std::string const& after) {
    if constexpr (std::is_same_v<T, bool>) {
        bool const ok = !before.empty() && (before.back() == 'T' || before.back() == 'F');
        check(error == (ok ? "" : rulo::packet_parse_e));
        if (ok) check(value == (before.back() == 'T') && after.size() == before.size() - 1);
    } else if constexpr (std::is_integral_v<T>) {
        expected_pop const e = reference_integer<T>(before);
        check(error == e.error);
        if (error.empty()) check(static_cast<long long>(value) == e.value && after.size() == e.left);
    } else if constexpr (std::is_same_v<T, std::string>) {
        expected_pop const e = reference_text(before);
        check(error == e.error);
        if (error.empty()) check(value == e.text && after.size() == e.left);
    }
}

// Pops one T from both buffers. False once they failed (alike); the buffers
// then differ by design, so the caller stops.
template <class T>
bool pop_both(std::string& s, netbuf& n) {
    std::string const before = s;
    T from_s{}, from_n{};
    std::string const error_s = error_of([&] { rulo_packet_pop(s, from_s); });
    std::string const error_n = error_of([&] { rulo_packet_pop(n, from_n); });
    check(error_s == error_n);
    check_reference(before, error_s, from_s, s);
    // Pops only ever take from the end.
    std::string const left = n.to_string();
    check(left.size() <= before.size() && before.compare(0, left.size(), left) == 0);
    if (!error_s.empty()) {
        check(error_s == rulo::packet_parse_e || error_s == rulo::packet_number_too_big_e);
        // A failed scalar pop over a std::string leaves its bytes in place.
        if constexpr (std::is_integral_v<T>) check(s == before);
        return false;
    }
    check(same(from_s, from_n));
    check(s == left);
    check(s.size() < before.size()); // every value takes at least one byte
    check_round_trip(from_s);
    return true;
}

using string_map = std::map<std::string, std::string>;

bool pop_one(unsigned kind, std::string& s, netbuf& n) {
    switch (kind % 20) {
    case 0:
        return pop_both<int>(s, n);
    case 1:
        return pop_both<unsigned int>(s, n);
    case 2:
        return pop_both<long>(s, n);
    case 3:
        return pop_both<unsigned long>(s, n);
    case 4:
        return pop_both<long long>(s, n);
    case 5:
        return pop_both<unsigned long long>(s, n);
    case 6:
        return pop_both<short>(s, n);
    case 7:
        return pop_both<unsigned short>(s, n);
    case 8:
        return pop_both<bool>(s, n);
    case 9:
        return pop_both<std::string>(s, n);
    case 10:
        return pop_both<netbuf>(s, n);
    case 11:
        return pop_both<std::pair<std::string, int>>(s, n);
    case 12:
        return pop_both<std::pair<std::string, std::string>>(s, n);
    case 13:
        return pop_both<std::vector<std::string>>(s, n);
    case 14:
        return pop_both<std::set<std::string>>(s, n);
    case 15:
        return pop_both<string_map>(s, n);
    case 16:
        return pop_both<std::map<std::string, int>>(s, n);
    case 17:
        return pop_both<std::vector<unsigned short>>(s, n);
    case 18:
        return pop_both<std::vector<string_map>>(s, n);
    default:
        return pop_both<std::vector<std::pair<std::string, long long>>>(s, n);
    }
}

void fuzz_pops(std::string const& input) {
    if (input.empty()) return;
    std::size_t const count = 1 + static_cast<unsigned char>(input[0]) % 16;
    if (input.size() < 2 + count) return;
    std::string const kinds = input.substr(1, count);
    std::size_t const piece = 1 + static_cast<unsigned char>(input[1 + count]) % 16;
    std::string s = input.substr(2 + count);
    netbuf n = pieces(s, piece);
    for (char kind : kinds) {
        if (!pop_one(static_cast<unsigned char>(kind), s, n)) break;
    }
}

// The reference: unsigned LEB128, at most ten bytes, the tenth holding bit 63 alone.
enum class vint_result { complete, incomplete, too_long };
vint_result reference_vint(std::string const& b, std::size_t at, unsigned long long& value, int& bytes) {
    value = 0;
    for (int i = 0; i < 10; ++i) {
        if (at + i >= b.size()) return vint_result::incomplete;
        unsigned const byte = static_cast<unsigned char>(b[at + i]);
        if (i == 9 && byte > 1) return vint_result::too_long;
        value |= static_cast<unsigned long long>(byte & 0x7f) << (7 * i);
        if ((byte & 0x80) == 0) {
            bytes = i + 1;
            return vint_result::complete;
        }
    }
    return vint_result::too_long; // not reached: the tenth byte decides
}

void fuzz_vints(std::string const& input) {
    if (input.empty()) return;
    std::size_t const piece = 1 + static_cast<unsigned char>(input[0]) % 16;
    std::string const bytes = input.substr(1);
    netbuf b = pieces(bytes, piece);
    std::string const too_long = fuzz::function_error("vint_read_front");
    for (std::size_t at = 0;;) {
        unsigned long long expected = 0;
        int expected_bytes = 0;
        vint_result const r = reference_vint(bytes, at, expected, expected_bytes);

        unsigned long long peeked = 0;
        int peeked_bytes = 0;
        bool peek = false;
        std::string error = error_of([&] { peek = rulo::vint_read_front(b, peeked, peeked_bytes); });
        if (r == vint_result::too_long) {
            check(error == too_long);
            check(b.to_string() == bytes.substr(at));
            return;
        }
        check(error.empty());
        check(peek == (r == vint_result::complete));
        check(b.to_string() == bytes.substr(at)); // reading removes nothing

        unsigned long long popped = 0;
        bool pop = false;
        error = error_of([&] { pop = rulo::vint_pop_front(b, popped); });
        check(error.empty() && pop == peek);
        if (!pop) {
            check(b.to_string() == bytes.substr(at));
            return;
        }
        check(peeked == expected && peeked_bytes == expected_bytes && popped == expected);
        at += static_cast<std::size_t>(expected_bytes);
        check(b.to_string() == bytes.substr(at));

        // The shortest form reads back, pushed at either end.
        netbuf back, front = netbuf::from_string("tail");
        rulo::vint_push(back, expected, true);
        rulo::vint_push(front, expected, false);
        check(back.size() <= expected_bytes);
        unsigned long long again = 0;
        int again_bytes = 0;
        check(rulo::vint_read_front(back, again, again_bytes) && again == expected &&
              again_bytes == back.size());
        check(rulo::vint_pop_front(front, again) && again == expected && front.to_string() == "tail");
    }
}

void fuzz_frames(std::string const& input) {
    if (input.empty()) return;
    std::size_t const piece = 1 + static_cast<unsigned char>(input[0]) % 16;
    std::string const bytes = input.substr(1);
    netbuf b = pieces(bytes, piece);
    netbuf frame;
    check(!rulo::depacketize(nullptr, frame));
    for (std::size_t at = 0;;) {
        std::size_t const left = bytes.size() - at;
        bool complete = false;
        std::size_t length = 0;
        if (left >= 4) {
            for (int i = 0; i < 4; ++i) length = length << 8 | static_cast<unsigned char>(bytes[at + i]);
            complete = length <= static_cast<std::size_t>(INT_MAX) && length <= left - 4;
        }
        netbuf out = netbuf::from_string("untouched");
        bool got = false;
        check(error_of([&] { got = rulo::depacketize(&b, out); }).empty());
        check(got == complete);
        if (!got) {
            check(out.to_string() == "untouched" && b.to_string() == bytes.substr(at));
            return;
        }
        check(out.to_string() == bytes.substr(at + 4, length));
        check(rulo::packetize(out).to_string() == bytes.substr(at, 4 + length));
        at += 4 + length;
        check(b.to_string() == bytes.substr(at));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
    if (size < 1) return 0;
    std::string const rest = fuzz::bytes(data + 1, size - 1);
    switch (data[0] % 3) {
    case 0:
        fuzz_pops(rest);
        break;
    case 1:
        fuzz_vints(rest);
        break;
    default:
        fuzz_frames(rest);
        break;
    }
    return 0;
}
