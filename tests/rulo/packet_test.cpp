// The packet format: byte vectors over both buffer kinds, hostile input, vints and length frames.
#include "rulo/exception.h"
#include "rulo/netbuf.h"
#include "rulo/packet.h"
#include "tests/support/framework_env.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstddef>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace {

using test_support::thrown;

// "2C 01 02" -> the three bytes.
std::string hex(char const* text) {
    std::string out;
    for (char const* p = text; p[0] && p[1]; p += p[2] ? 3 : 2)
        out += char(std::stoi(std::string(p, 2), nullptr, 16));
    return out;
}

// A buffer of the kind B holding the bytes; a netbuf is made of separate
// 3-byte buffers so that values straddle views.
template <class B>
B make(std::string const& bytes) {
    B b;
    for (std::size_t at = 0; at < bytes.size(); at += 3) {
        if constexpr (std::is_same_v<B, netbuf>)
            b.append(netbuf::from_string(bytes.substr(at, 3)));
        else
            b += bytes.substr(at, 3);
    }
    return b;
}

template <class B>
std::string bytes_of(B const& b) {
    if constexpr (std::is_same_v<B, netbuf>)
        return b.to_string();
    else
        return b;
}

template <class B, class T>
std::string encode(T const& value) {
    B b;
    rulo_packet_push(b, value);
    return bytes_of(b);
}

// Pops one T from the bytes and expects nothing left over.
template <class T, class B>
T decode(std::string const& bytes) {
    B b = make<B>(bytes);
    T value{};
    rulo_packet_pop(b, value);
    EXPECT_EQ(bytes_of(b), "") << "bytes left after the pop";
    return value;
}

// value pushes as exactly these bytes, and they pop back as value.
template <class B, class T>
void expect_codes(T const& value, char const* bytes) {
    EXPECT_EQ(encode<B>(value), hex(bytes)) << bytes;
    EXPECT_EQ((decode<T, B>(hex(bytes))), value) << bytes;
}

template <class B>
class packet_codec : public ::testing::Test {};
using buffer_kinds = ::testing::Types<std::string, netbuf>;
TYPED_TEST_SUITE(packet_codec, buffer_kinds);

TYPED_TEST(packet_codec, vectors_and_argument_orders) {
    using B = TypeParam;
    expect_codes<B>(300, "2C 01 02");
    expect_codes<B>(-5, "05 81");
    expect_codes<B>(0, "00");
    expect_codes<B>(static_cast<unsigned short>(65535), "FF FF 02");
    // The most negative values keep their true magnitude.
    expect_codes<B>(INT_MIN, "00 00 00 80 84");
    expect_codes<B>(LLONG_MIN, "00 00 00 00 00 00 00 80 88");
    expect_codes<B>(static_cast<short>(SHRT_MIN), "00 80 82");
    expect_codes<B>(LONG_MIN, "00 00 00 00 00 00 00 80 88");
    // A lone negative count byte, as older writers made for the most negative value, still reads as 0.
    EXPECT_EQ((decode<int, B>(hex("80"))), 0);
    EXPECT_EQ((decode<int, B>(hex("05 00 02"))), 5); // non-minimal magnitudes are accepted

    expect_codes<B>(std::string("abc"), "61 62 63 03 01");
    expect_codes<B>(std::string(), "00");
    char const* pointer = "abc"; // NUL-terminated texts write what a std::string writes
    EXPECT_EQ(encode<B>(pointer), hex("61 62 63 03 01"));
    expect_codes<B>(true, "54");
    expect_codes<B>(false, "46");
    EXPECT_EQ(encode<B>(netbuf::from_string("hi")), hex("68 69 02 01"));
    EXPECT_EQ((decode<netbuf, B>(hex("68 69 02 01"))).to_string(), "hi");
    expect_codes<B>(std::vector<std::string>{"a", "b"}, "62 01 01 61 01 01 02 01");
    expect_codes<B>(std::set<std::string>{"x", "y", "z"}, "7A 01 01 79 01 01 78 01 01 03 01");
    expect_codes<B>(std::map<std::string, int>{{"b", 2}, {"a", 1}}, "61 01 01 01 01 62 01 01 02 01 02 01");
    expect_codes<B>(std::pair<std::string, std::string>("k", "v"), "6B 01 01 76 01 01");

    // rulo_packet_push pushes its first argument first (read last); xstd::packet_push ends with it on top.
    B b, x;
    rulo_packet_push(b, 1, "x");
    xstd::packet_push(x, "x", 1);
    EXPECT_EQ(bytes_of(b), hex("01 01 78 01 01"));
    EXPECT_EQ(bytes_of(x), hex("01 01 78 01 01"));
    int i = 0, k = 0;
    std::string s, t;
    rulo_packet_pop(b, i, s);
    xstd::packet_pop(x, t, k);
    EXPECT_EQ(std::tuple(i, s, k, t), std::tuple(1, "x", 1, "x"));
}

// Counts the elements a vector asks for: no pop may reserve memory from a count read off the wire.
std::size_t g_largest_request = 0;

template <class T>
struct counting_allocator {
    using value_type = T;
    T* allocate(std::size_t n) {
        g_largest_request = std::max(g_largest_request, n);
        return std::allocator<T>().allocate(n);
    }
    void deallocate(T* p, std::size_t n) { std::allocator<T>().deallocate(p, n); }
    bool operator==(counting_allocator const&) const = default;
};

template <class T, class B>
void pop_as(B& b) {
    T v{};
    rulo_packet_pop(b, v);
}

// Malformed input, numbers too big for their target, and negative or oversized lengths and counts.
TYPED_TEST(packet_codec, malformed_too_big_and_hostile) {
    using B = TypeParam;
    using text_vector = std::vector<std::string, counting_allocator<std::string>>;
    std::string const parse = rulo::packet_parse_e, big = rulo::packet_number_too_big_e;
    std::string const j = "0123456789";
    struct row {
        std::string bytes;
        void (*pop)(B&);
        std::string error;
        std::string left_in_netbuf; // over a std::string nothing is consumed
    } const rows[] = {
        {"", &pop_as<int, B>, parse, ""},
        {hex("00 00 00 80 04"), &pop_as<int, B>, big, ""}, // magnitude 2^31
        {hex("01 00 00 80 84"), &pop_as<int, B>, big, ""}, // magnitude 2^31 + 1, negative
        {hex("01 01 01 01 01 05"), &pop_as<int, B>, big, hex("01 01 01 01 01")}, // count 5
        {hex("01 05"), &pop_as<int, B>, parse, hex("01")},                       // fewer bytes than the count
        {hex("01 81"), &pop_as<unsigned short, B>, parse, hex("01")}, // unsigned: 0x81 is a count of 129
        {hex("55"), &pop_as<bool, B>, parse, ""},
        {hex("61 62 05 01"), &pop_as<std::string, B>, parse, hex("61 62")},
        {j + std::string(8, '\xFF') + hex("08"), &pop_as<text_vector, B>, parse, j}, // 2^64 - 1 elements
        {j + hex("0B 01"), &pop_as<text_vector, B>, parse, j}, // one more than the bytes could hold
        {j + hex("FF FF FF FF 04"), &pop_as<std::map<std::string, std::string>, B>, parse, j},
        {j + std::string(7, '\0') + hex("80 08"), &pop_as<std::string, B>, parse, j}, // 2^63
        {j + hex("00 00 00 80 84"), &pop_as<netbuf, B>, parse, j},                    // INT_MIN
        {j + hex("FF FF FF 7F 04"), &pop_as<netbuf, B>, parse, j},
    };
    // A netbuf is tried in 3-byte pieces and in one piece: values read in
    // place and values read byte by byte fail alike and consume alike.
    for (bool one_piece : {false, true}) {
        for (auto const& r : rows) {
            g_largest_request = 0;
            B b = make<B>(r.bytes);
            if constexpr (std::is_same_v<B, netbuf>)
                if (one_piece) b = netbuf::from_string(r.bytes);
            EXPECT_EQ(thrown([&] { r.pop(b); }), r.error) << ::testing::PrintToString(r.bytes) << one_piece;
            EXPECT_EQ(bytes_of(b), (std::is_same_v<B, netbuf> ? r.left_in_netbuf : r.bytes)) << one_piece;
            EXPECT_LE(g_largest_request, r.bytes.size());
        }
    }
}

// Random values, each pushed twice and popped once onto a growing buffer of each kind, leave the same bytes.
TEST(packet_codec_random, both_buffer_kinds_write_the_same_bytes) {
    std::mt19937_64 rng{20240611};
    std::string text;
    netbuf net;
    auto number = [&](int bits) { // now and then the extremes
        return rng() % 8 ? rng() >> (rng() % 64) : rng() % 2 ? ~0ULL : 1ULL << (bits - 1);
    };
    auto word = [&] {
        std::string v(rng() % 4 == 0 ? rng() % 400 : rng() % 8, '\0');
        for (char& c : v) c = char(rng());
        return v;
    };
    auto round_trip = [&](auto const&... values) {
        auto one = [&](auto const& value) {
            std::remove_cvref_t<decltype(value)> from_text{}, from_net{};
            rulo_packet_push(text, value, value);
            rulo_packet_push(net, value, value);
            rulo_packet_pop(text, from_text);
            rulo_packet_pop(net, from_net);
            EXPECT_EQ(from_text, value);
            EXPECT_EQ(from_net, value);
        };
        (one(values), ...);
    };
    for (int i = 0; i < 300; ++i) {
        round_trip(int(number(32)), unsigned(number(32)), long(number(64)), (unsigned long)(number(64)),
                   (long long)(number(64)), (unsigned long long)(number(64)), (unsigned short)(number(16)),
                   rng() % 2 != 0, word());
        std::vector<unsigned short> shorts;
        std::vector<std::map<std::string, std::string>> maps;
        for (auto n = rng() % 6; n > 0; --n) {
            shorts.push_back((unsigned short)(number(16)));
            maps.push_back({{word(), word()}, {word(), word()}});
        }
        round_trip(shorts, maps);
    }
    EXPECT_EQ(net.to_string(), text);
}

// vints are unsigned LEB128; besides the format's own vectors, the examples of
// the DWARF 4 standard (section 7.6, figure 22).
TEST(packet_vint, vectors) {
    struct row {
        unsigned long long value;
        char const* bytes;
    } const rows[] = {
        {0, "00"},      {300, "AC 02"},   {2, "02"},
        {127, "7F"},    {128, "80 01"},   {129, "81 01"},
        {130, "82 01"}, {12857, "B9 64"}, {ULLONG_MAX, "FF FF FF FF FF FF FF FF FF 01"},
    };
    unsigned long long value = 0;
    int length = 0;
    for (auto const& r : rows) {
        std::string const bytes = hex(r.bytes);
        netbuf back = netbuf::from_string("zz"), front = back;
        rulo::vint_push(back, r.value, true);
        rulo::vint_push(front, r.value, false);
        EXPECT_EQ(back.to_string() + front.to_string(), "zz" + bytes + bytes + "zz") << r.bytes;

        ASSERT_TRUE(rulo::vint_read_front(front, value, length)) << r.bytes;
        EXPECT_EQ(std::tuple(value, length, front.to_string()),
                  std::tuple(r.value, int(bytes.size()), bytes + "zz"));
        ASSERT_TRUE(rulo::vint_pop_front(front, value = 0));
        EXPECT_EQ(std::pair(value, front.to_string()), std::pair(r.value, std::string("zz")));
        for (std::size_t n = 0; n < bytes.size(); ++n) { // every proper prefix is incomplete: nothing taken
            netbuf prefix = netbuf::from_string(bytes.substr(0, n));
            EXPECT_FALSE(rulo::vint_read_front(prefix, value, length) || rulo::vint_pop_front(prefix, value));
            EXPECT_EQ(prefix.size(), static_cast<int>(n));
        }
    }
    netbuf over_long = netbuf::from_string(std::string(9, '\xFF') + hex("80 01")); // 0x80 on the tenth byte
    std::string const refused = ":Error in 'vint_read_front'";
    EXPECT_EQ(thrown([&] { rulo::vint_read_front(over_long, value, length); }), refused);
    EXPECT_EQ(thrown([&] { rulo::vint_pop_front(over_long, value); }), refused);
}

TEST(packet_frame, packetize_and_depacketize) {
    netbuf const abc = netbuf::from_string("abc");
    EXPECT_EQ(rulo::packetize(abc).to_string(), hex("00 00 00 03 61 62 63"));
    EXPECT_EQ(rulo::packetize(netbuf::from_string(std::string(70000, 'x'))).to_string().substr(0, 4),
              hex("00 01 11 70"));

    // Incomplete, or a length with the top bit set (never complete): nothing changes.
    std::string const incomplete[] = {"", hex("00 00 00"), hex("00 00 00 03 61 62"),
                                      hex("80 00 00 00") + std::string(64, 'x')};
    for (std::string const& bytes : incomplete) {
        netbuf in = netbuf::from_string(bytes), out = netbuf::from_string("old");
        EXPECT_FALSE(rulo::depacketize(&in, out)) << ::testing::PrintToString(bytes);
        EXPECT_EQ(in.to_string(), bytes);
        EXPECT_EQ(out.to_string(), "old");
    }

    // Two frames and the start of a third, taken in a loop as a receiver does.
    netbuf in = rulo::packetize(abc), out;
    in.append(rulo::packetize(netbuf()));
    in.append(hex("00 00 00 05 68"));
    std::vector<std::string> frames;
    while (rulo::depacketize(&in, out)) frames.push_back(out.to_string());
    EXPECT_EQ(frames, (std::vector<std::string>{"abc", ""}));
    EXPECT_EQ(in.to_string(), hex("00 00 00 05 68"));
}

} // namespace
