// The packet format: byte vectors over both buffer kinds, the two argument
// orders, record codecs, hostile input, vints and length frames.
#include "rulo/exception.h"
#include "rulo/netbuf.h"
#include "rulo/packet.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

// "2C 01 02" -> the three bytes.
std::string hex(char const* text) {
    std::string out;
    int digits = 0, value = 0;
    for (char const* p = text; *p; ++p) {
        if (*p == ' ') continue;
        value = value * 16 + (*p <= '9' ? *p - '0' : (*p | 0x20) - 'a' + 10);
        if (++digits == 2) {
            out += static_cast<char>(value);
            digits = value = 0;
        }
    }
    return out;
}

std::string repeat(char const* unit, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += hex(unit);
    return out;
}

template <class Buffer>
struct kind;

template <>
struct kind<std::string> {
    static std::string make(std::string const& bytes) { return bytes; }
    static std::string bytes(std::string const& b) { return b; }
};

template <>
struct kind<netbuf> {
    // Built from separate 3-byte pieces so that values straddle views.
    static netbuf make(std::string const& bytes) {
        netbuf b;
        for (std::size_t at = 0; at < bytes.size(); at += 3) {
            netbuf piece = netbuf::from_string(bytes.substr(at, 3));
            b.append(piece);
        }
        return b;
    }
    static std::string bytes(netbuf const& b) { return b.to_string(); }
};

template <class Buffer, class... T>
std::string encode(T const&... values) {
    Buffer b;
    rulo_packet_push(b, values...);
    return kind<Buffer>::bytes(b);
}

// Pops one T from the bytes and expects nothing left over.
template <class T, class Buffer>
T decode(std::string const& bytes) {
    Buffer b = kind<Buffer>::make(bytes);
    T value{};
    rulo_packet_pop(b, value);
    EXPECT_EQ(kind<Buffer>::bytes(b), "") << "bytes left after the pop";
    return value;
}

// value pushes as exactly these bytes, and they pop back as value.
template <class Buffer, class T>
void expect_codes(T const& value, char const* bytes) {
    EXPECT_EQ(encode<Buffer>(value), hex(bytes)) << bytes;
    EXPECT_EQ((decode<T, Buffer>(hex(bytes))), value) << bytes;
}

// Pops one T and drops it: for tables of pops that are expected to fail.
template <class T, class Buffer>
void pop_as(Buffer& b) {
    T v{};
    rulo_packet_pop(b, v);
}

// The text of the exception f throws, or "" when it throws none.
std::string error_of(std::function<void()> const& f) {
    try {
        f();
    } catch (rulo::exception const& e) {
        return e.what();
    }
    return "";
}

template <class Buffer>
class packet_codec : public ::testing::Test {};
using buffer_kinds = ::testing::Types<std::string, netbuf>;
TYPED_TEST_SUITE(packet_codec, buffer_kinds);

TYPED_TEST(packet_codec, integer_vectors) {
    using B = TypeParam;
    expect_codes<B>(300, "2C 01 02");
    expect_codes<B>(-5, "05 81");
    expect_codes<B>(0, "00");
    expect_codes<B>(static_cast<unsigned short>(65535), "FF FF 02");
    expect_codes<B>(-1, "01 81");
    expect_codes<B>(INT_MAX, "FF FF FF 7F 04");
    // The most negative values keep their true magnitude.
    expect_codes<B>(INT_MIN, "00 00 00 80 84");
    expect_codes<B>(LLONG_MIN, "00 00 00 00 00 00 00 80 88");
    expect_codes<B>(LONG_MIN, "00 00 00 00 00 00 00 80 88");
    expect_codes<B>(static_cast<short>(-32768), "00 80 82");
    expect_codes<B>(LLONG_MAX, "FF FF FF FF FF FF FF 7F 08");
    expect_codes<B>(0x80u, "80 01");
    expect_codes<B>(4294967295u, "FF FF FF FF 04");
    expect_codes<B>(ULLONG_MAX, "FF FF FF FF FF FF FF FF 08");
    expect_codes<B>(ULONG_MAX, "FF FF FF FF FF FF FF FF 08");
    // A lone negative count byte, as older writers made for the most negative value, still reads as 0.
    EXPECT_EQ((decode<int, B>(hex("80"))), 0);
    EXPECT_EQ((decode<long long, B>(hex("80"))), 0);
    // Non-minimal magnitudes are accepted.
    EXPECT_EQ((decode<int, B>(hex("05 00 02"))), 5);
}

TYPED_TEST(packet_codec, text_bool_and_buffer_vectors) {
    using B = TypeParam;
    expect_codes<B>(std::string("abc"), "61 62 63 03 01");
    expect_codes<B>(std::string(), "00");
    expect_codes<B>(std::string("\0\xff", 2), "00 FF 02 01");
    EXPECT_EQ(encode<B>(std::string(300, 'q')), std::string(300, 'q') + hex("2C 01 02"));
    // NUL-terminated texts write what a std::string writes.
    char array[] = "abc";
    char* mutable_pointer = array;
    char const* pointer = "abc";
    EXPECT_EQ(encode<B>("abc"), hex("61 62 63 03 01"));
    EXPECT_EQ(encode<B>(pointer), hex("61 62 63 03 01"));
    EXPECT_EQ(encode<B>(mutable_pointer), hex("61 62 63 03 01"));
    EXPECT_EQ(encode<B>(""), hex("00"));

    expect_codes<B>(true, "54");
    expect_codes<B>(false, "46");

    EXPECT_EQ(encode<B>(netbuf::from_string("hi")), hex("68 69 02 01"));
    EXPECT_EQ(encode<B>(netbuf()), hex("00"));
    EXPECT_EQ((decode<netbuf, B>(hex("68 69 02 01"))).to_string(), "hi");
}

TYPED_TEST(packet_codec, compound_vectors) {
    using B = TypeParam;
    expect_codes<B>(std::vector<std::string>{"a", "b"}, "62 01 01 61 01 01 02 01");
    expect_codes<B>(std::vector<std::string>(), "00");
    expect_codes<B>(std::vector<unsigned short>{1, 65535}, "FF FF 02 01 01 02 01");
    expect_codes<B>(std::set<std::string>{"x", "y", "z"}, "7A 01 01 79 01 01 78 01 01 03 01");
    expect_codes<B>(std::map<std::string, int>{{"b", 2}, {"a", 1}}, "61 01 01 01 01 62 01 01 02 01 02 01");
    expect_codes<B>(std::pair<std::string, std::string>("k", "v"), "6B 01 01 76 01 01");
    EXPECT_EQ(encode<B>(std::pair<std::string const, int>("a", 5)), hex("61 01 01 05 01"));
    std::vector<std::map<std::string, std::string>> const nested = {
        {{"a", "1"}}, {}, {{"b", "2"}, {"c", ""}}};
    EXPECT_EQ((decode<std::vector<std::map<std::string, std::string>>, B>(encode<B>(nested))), nested);
}

TYPED_TEST(packet_codec, container_pops_add_to_what_is_there) {
    using B = TypeParam;
    // A vector pop appends; a map pop keeps a key already present, and within
    // one packet the first pair popped (the one nearest the end) wins.
    B b;
    rulo_packet_push(b, std::vector<std::string>{"y", "z"});
    std::vector<std::string> v = {"x"};
    rulo_packet_pop(b, v);
    EXPECT_EQ(v, (std::vector<std::string>{"x", "y", "z"}));

    B m;
    rulo_packet_push(m, std::map<std::string, std::string>{{"a", "new"}, {"b", "x"}});
    std::map<std::string, std::string> target = {{"a", "old"}};
    rulo_packet_pop(m, target);
    EXPECT_EQ(target, (std::map<std::string, std::string>{{"a", "old"}, {"b", "x"}}));

    B dup;
    std::vector<std::pair<std::string, std::string>> const pairs = {{"k", "first"}, {"k", "second"}};
    rulo_packet_iterator<B, decltype(pairs.cbegin())>::push(dup, pairs.cbegin(), pairs.cend());
    std::map<std::string, std::string> from_dup;
    rulo_packet_pop(dup, from_dup);
    EXPECT_EQ(from_dup, (std::map<std::string, std::string>{{"k", "second"}}));
}

TYPED_TEST(packet_codec, the_two_argument_orders) {
    using B = TypeParam;
    // rulo_packet_push: first argument pushed first, read last.
    B b;
    rulo_packet_push(b, 1, "x");
    EXPECT_EQ(kind<B>::bytes(b), hex("01 01 78 01 01"));
    int i = 0;
    std::string s;
    rulo_packet_pop(b, i, s);
    EXPECT_EQ(i, 1);
    EXPECT_EQ(s, "x");
    EXPECT_EQ(kind<B>::bytes(b), "");

    // xstd::packet_push: first argument ends on top and is read first.
    B x;
    xstd::packet_push(x, "x", 1);
    EXPECT_EQ(kind<B>::bytes(x), hex("01 01 78 01 01"));
    std::string top;
    rulo_packet_pop(x, top);
    EXPECT_EQ(top, "x");

    std::string const forward = encode<B>(std::string("a"), 2L, true);
    EXPECT_EQ(forward, hex("61 01 01 02 01 54"));
    B reversed;
    xstd::packet_push(reversed, "a", 2L, true);
    EXPECT_EQ(kind<B>::bytes(reversed), hex("54 02 01 61 01 01"));
    std::string a;
    long two = 0;
    bool flag = false;
    xstd::packet_pop(reversed, a, two, flag);
    EXPECT_EQ(a, "a");
    EXPECT_EQ(two, 2);
    EXPECT_TRUE(flag);

    B five;
    rulo_packet_push(five, std::string("1"), std::string("2"), std::string("3"), std::string("4"),
                     std::string("5"));
    std::string s1, s2, s3, s4, s5;
    rulo_packet_pop(five, s1, s2, s3, s4, s5);
    EXPECT_EQ(s1 + s2 + s3 + s4 + s5, "12345");
}

// A record gets its codec from one specialisation.
struct endpoint {
    unsigned int address = 0;
    unsigned short port = 0;
    bool operator==(endpoint const&) const = default;
};

} // namespace

template <>
struct rulo_packet<endpoint> {
    template <class Buffer>
    static void push(Buffer& b, endpoint const& v) {
        rulo_packet_push(b, v.address, v.port);
    }
    template <class Buffer>
    static void pop(Buffer& b, endpoint& v) {
        rulo_packet_pop(b, v.address, v.port);
    }
};

namespace {

TYPED_TEST(packet_codec, record_codec_is_one_specialisation) {
    using B = TypeParam;
    endpoint const local{0x7F000001, 80};
    EXPECT_EQ(encode<B>(local), hex("01 00 00 7F 04 50 01"));
    std::vector<endpoint> const list = {local, {0, 0}, {0xFFFFFFFF, 65535}};
    EXPECT_EQ((decode<std::vector<endpoint>, B>(encode<B>(list))), list);
}

TYPED_TEST(packet_codec, malformed_and_too_big) {
    using B = TypeParam;
    std::string const parse = rulo::packet_parse_e;
    std::string const big = rulo::packet_number_too_big_e;
    auto* pop_int = &pop_as<int, B>;
    auto* pop_u16 = &pop_as<unsigned short, B>;
    auto* pop_u64 = &pop_as<unsigned long long, B>;
    auto* pop_bool = &pop_as<bool, B>;
    auto* pop_text = &pop_as<std::string, B>;
    struct row {
        std::string bytes;
        void (*pop)(B&);
        std::string error;
        std::string left_in_netbuf; // over a std::string nothing is consumed
    };
    std::vector<row> const rows = {
        {"", pop_int, parse, ""},
        {hex("00 00 00 80 04"), pop_int, big, ""},                       // magnitude 2^31, positive
        {hex("01 00 00 80 84"), pop_int, big, ""},                       // magnitude 2^31 + 1, negative
        {hex("01 01 01 01 01 05"), pop_int, big, hex("01 01 01 01 01")}, // count 5
        {hex("00 00 00 00 80 85"), pop_int, big, hex("00 00 00 00 80")},
        {hex("01 05"), pop_int, parse, hex("01")}, // fewer bytes than the count
        {hex("01 02"), pop_int, parse, hex("01")},
        {hex("FF FF FF 03"), pop_u16, big, hex("FF FF FF")},
        {hex("01 81"), pop_u16, parse, hex("01")}, // unsigned: 0x81 is a count of 129
        {std::string(129, '\1') + hex("81"), pop_u64, big, std::string(129, '\1')},
        {hex("55"), pop_bool, parse, ""},
        {"", pop_bool, parse, ""},
        {hex("61 62 05 01"), pop_text, parse, hex("61 62")},
        {hex("61 62 09"), pop_text, parse, hex("61 62")},
    };
    for (auto const& r : rows) {
        B b = kind<B>::make(r.bytes);
        EXPECT_EQ(error_of([&] { r.pop(b); }), r.error) << ::testing::PrintToString(r.bytes);
        std::string const left = std::is_same_v<B, netbuf> ? r.left_in_netbuf : r.bytes;
        EXPECT_EQ(kind<B>::bytes(b), left) << ::testing::PrintToString(r.bytes);
    }
}

// Counts the elements every container asks for, to show that no pop
// reserves memory from a count read off the wire.
std::size_t g_largest_request = 0;

template <class T>
struct counting_allocator {
    using value_type = T;
    counting_allocator() = default;
    template <class U>
    counting_allocator(counting_allocator<U> const&) {}
    T* allocate(std::size_t n) {
        g_largest_request = std::max(g_largest_request, n);
        return std::allocator<T>().allocate(n);
    }
    void deallocate(T* p, std::size_t n) { std::allocator<T>().deallocate(p, n); }
    template <class U>
    bool operator==(counting_allocator<U> const&) const {
        return true;
    }
};

TYPED_TEST(packet_codec, hostile_lengths_and_counts) {
    using B = TypeParam;
    using text_vector = std::vector<std::string, counting_allocator<std::string>>;
    using text_set = std::set<std::string, std::less<std::string>, counting_allocator<std::string>>;
    using text_map = std::map<std::string, std::string, std::less<std::string>,
                              counting_allocator<std::pair<std::string const, std::string>>>;
    std::string const junk = "0123456789";
    struct row {
        std::string bytes;
        void (*pop)(B&);
    };
    std::vector<row> const rows = {
        // Counts of 2^32 - 1 and 2^64 - 1 elements over 10 bytes.
        {junk + hex("FF FF FF FF 04"), &pop_as<text_vector, B>},
        {junk + repeat("FF", 8) + hex("08"), &pop_as<text_vector, B>},
        {junk + hex("FF FF FF FF 04"), &pop_as<text_set, B>},
        {junk + hex("FF FF FF FF 04"), &pop_as<text_map, B>},
        {junk + hex("0B 01"), &pop_as<text_vector, B>}, // one more than present
        // Text lengths beyond what is present, up to 2^64 - 1 and 2^63.
        {junk + repeat("FF", 8) + hex("08"), &pop_as<std::string, B>},
        {junk + repeat("00", 7) + hex("80 08"), &pop_as<std::string, B>},
        {junk + hex("FF FF FF 7F 04"), &pop_as<std::string, B>},
        // Buffer values: negative and oversized sizes.
        {junk + hex("01 81"), &pop_as<netbuf, B>},
        {junk + hex("00 00 00 80 84"), &pop_as<netbuf, B>},
        {junk + hex("FF FF FF 7F 04"), &pop_as<netbuf, B>},
    };
    for (auto const& r : rows) {
        g_largest_request = 0;
        B b = kind<B>::make(r.bytes);
        EXPECT_EQ(error_of([&] { r.pop(b); }), rulo::packet_parse_e) << ::testing::PrintToString(r.bytes);
        EXPECT_LE(g_largest_request, r.bytes.size());
        // Refused on the count or length itself, before any element is read.
        EXPECT_EQ(kind<B>::bytes(b), (std::is_same_v<B, netbuf> ? junk : r.bytes));
    }

    // An honest outer count around a lying inner one: the outer count is gone.
    B nested = kind<B>::make(junk + hex("FF FF FF FF 04 01 01"));
    EXPECT_EQ(error_of([&] { pop_as<std::vector<std::vector<std::string>>>(nested); }), rulo::packet_parse_e);
    EXPECT_EQ(kind<B>::bytes(nested), (std::is_same_v<B, netbuf> ? junk : junk + hex("FF FF FF FF 04")));
}

// A message of every kind of value; every suffix of it (cutting bytes off the
// front, which a reader from the end meets last) either pops or fails cleanly.
TYPED_TEST(packet_codec, truncated_messages_fail_cleanly) {
    using B = TypeParam;
    std::map<std::string, std::string> const map = {{"key", "value"}, {"", "empty key"}};
    std::vector<std::string> const texts = {"one", "", "three"};
    std::string const message = encode<B>(-70000, std::string("text"), map, texts, true,
                                          netbuf::from_string("nb"), std::set<std::string>{"s"}, ULLONG_MAX);
    for (std::size_t cut = 1; cut <= message.size(); ++cut) {
        B b = kind<B>::make(message.substr(cut));
        int i;
        std::string t;
        std::map<std::string, std::string> m;
        std::vector<std::string> v;
        bool f;
        netbuf n;
        std::set<std::string> s;
        unsigned long long u;
        try {
            rulo_packet_pop(b, i, t, m, v, f, n, s, u);
            ADD_FAILURE() << "a message without its first " << cut << " bytes popped whole";
        } catch (rulo::exception const& e) {
            std::string const what = e.what();
            EXPECT_TRUE(what == rulo::packet_parse_e || what == rulo::packet_number_too_big_e) << what;
        }
    }
}

// Random values of every type give the same bytes over both buffer kinds, and pop back.
class random_values {
public:
    explicit random_values(std::uint64_t seed) : m_rng(seed) {}

    // Integers of every width, with the extremes now and then.
    template <class T>
    void fill(T& v) {
        constexpr int bits = sizeof(T) * 8;
        int const width = static_cast<int>(m_rng() % (bits + 1));
        std::uint64_t raw = width == 0 ? 0 : m_rng() >> (64 - width);
        if (m_rng() % 16 == 0) raw = m_rng() % 2 ? ~0ULL : 1ULL << (bits - 1);
        v = static_cast<T>(raw);
    }
    void fill(bool& v) { v = m_rng() % 2 != 0; }
    void fill(std::string& v) {
        v.resize(m_rng() % 4 == 0 ? m_rng() % 400 : m_rng() % 8);
        for (char& c : v) c = static_cast<char>(m_rng());
    }
    template <class A, class B>
    void fill(std::pair<A, B>& v) {
        fill(v.first);
        fill(v.second);
    }
    template <class T>
    void fill(std::vector<T>& v) {
        for (auto n = m_rng() % 6; n > 0; --n) v.push_back(make<T>());
    }
    template <class T>
    void fill(std::set<T>& v) {
        for (auto n = m_rng() % 6; n > 0; --n) v.insert(make<T>());
    }
    template <class K, class V>
    void fill(std::map<K, V>& v) {
        for (auto n = m_rng() % 6; n > 0; --n) v.insert(make<std::pair<K, V>>());
    }
    template <class T>
    T make() {
        T v{};
        fill(v);
        return v;
    }

private:
    std::mt19937_64 m_rng;
};

// Pushes `rounds` random values of T onto both buffers (which keep growing
// across types), compares the bytes, and remembers the values to pop later.
struct two_buffers {
    std::string text;
    netbuf net;
    std::vector<std::function<void()>> pops; // run last to first
};

template <class T>
void push_random(two_buffers& both, random_values& r, int rounds) {
    for (int i = 0; i < rounds; ++i) {
        T const value = r.make<T>();
        std::size_t const before = both.text.size();
        rulo_packet_push(both.text, value);
        rulo_packet_push(both.net, value);
        ASSERT_EQ(both.net.size(), static_cast<int>(both.text.size()));
        std::string tail(both.text.size() - before, '\0');
        both.net.copy_back(tail.data(), static_cast<int>(tail.size()));
        ASSERT_EQ(tail, both.text.substr(before)) << ::testing::PrintToString(value);
        both.pops.push_back([&both, value] {
            T from_text{}, from_net{};
            rulo_packet_pop(both.text, from_text);
            rulo_packet_pop(both.net, from_net);
            EXPECT_EQ(from_text, value);
            EXPECT_EQ(from_net, value);
        });
    }
}

TEST(packet_codec_random, both_buffer_kinds_write_the_same_bytes) {
    random_values r(20240611);
    two_buffers both;
    for (int pass = 0; pass < 3; ++pass) {
        push_random<int>(both, r, 200);
        push_random<unsigned int>(both, r, 200);
        push_random<long>(both, r, 200);
        push_random<unsigned long>(both, r, 200);
        push_random<long long>(both, r, 200);
        push_random<unsigned long long>(both, r, 200);
        push_random<short>(both, r, 200);
        push_random<unsigned short>(both, r, 200);
        push_random<bool>(both, r, 50);
        push_random<std::string>(both, r, 200);
        push_random<std::pair<std::string, int>>(both, r, 50);
        push_random<std::pair<std::string, std::string>>(both, r, 50);
        push_random<std::vector<std::string>>(both, r, 50);
        push_random<std::vector<unsigned short>>(both, r, 50);
        push_random<std::set<std::string>>(both, r, 50);
        push_random<std::map<std::string, int>>(both, r, 50);
        push_random<std::map<std::string, std::string>>(both, r, 50);
        push_random<std::vector<std::map<std::string, std::string>>>(both, r, 20);
        // Buffer values: push the same bytes as a netbuf, compare, pop both ways.
        for (int i = 0; i < 50; ++i) {
            std::string const bytes = r.make<std::string>();
            netbuf value = netbuf::from_string(bytes);
            rulo_packet_push(both.text, value);
            rulo_packet_push(both.net, value);
            both.pops.push_back([&both, bytes] {
                netbuf from_text, from_net;
                rulo_packet_pop(both.text, from_text);
                rulo_packet_pop(both.net, from_net);
                EXPECT_EQ(from_text.to_string(), bytes);
                EXPECT_EQ(from_net.to_string(), bytes);
            });
        }
        ASSERT_EQ(both.net.to_string(), both.text);
    }
    for (auto it = both.pops.rbegin(); it != both.pops.rend(); ++it) (*it)();
    EXPECT_EQ(both.text, "");
    EXPECT_EQ(both.net.size(), 0);
}

// The first view's first byte, to tell shared bytes from copied ones.
char const* first_byte(netbuf const& b, int view) {
    netbuf::iterator it(b);
    for (; view > 0 && it.valid(); --view) it.next();
    if (!it.valid()) return nullptr;
    char const* data = nullptr;
    int length = 0;
    it.get(data, length);
    return data;
}

TEST(packet_netbuf, buffer_values_share_their_bytes) {
    netbuf const payload = netbuf::from_string(std::string(1000, 'p'));
    netbuf packet;
    rulo_packet_push(packet, payload);
    EXPECT_EQ(first_byte(packet, 0), first_byte(payload, 0));
    netbuf out;
    rulo_packet_pop(packet, out);
    EXPECT_EQ(first_byte(out, 0), first_byte(payload, 0));
    EXPECT_EQ(packet.size(), 0);

    // Pushing a buffer onto itself doubles its bytes.
    netbuf self = netbuf::from_string("ab");
    rulo_packet_push(self, self);
    EXPECT_EQ(self.to_string(), hex("61 62 61 62 02 01"));
}

// vints are unsigned LEB128; besides the format's own vectors, the examples of
// the DWARF 4 standard (section 7.6, figure 22).
TEST(packet_vint, vectors) {
    struct row {
        unsigned long long value;
        char const* bytes;
    };
    std::vector<row> const rows = {
        {0, "00"},      {300, "AC 02"},   {2, "02"},
        {127, "7F"},    {128, "80 01"},   {129, "81 01"},
        {130, "82 01"}, {12857, "B9 64"}, {ULLONG_MAX, "FF FF FF FF FF FF FF FF FF 01"},
    };
    for (auto const& r : rows) {
        std::string const bytes = hex(r.bytes);
        netbuf back = netbuf::from_string("zz");
        rulo::vint_push(back, r.value, true);
        EXPECT_EQ(back.to_string(), "zz" + bytes) << r.bytes;
        netbuf front = netbuf::from_string("zz");
        rulo::vint_push(front, r.value, false);
        EXPECT_EQ(front.to_string(), bytes + "zz") << r.bytes;

        unsigned long long value = 1;
        int length = 0;
        ASSERT_TRUE(rulo::vint_read_front(front, value, length)) << r.bytes;
        EXPECT_EQ(value, r.value);
        EXPECT_EQ(length, static_cast<int>(bytes.size()));
        EXPECT_EQ(front.to_string(), bytes + "zz") << "read_front removed bytes";
        value = 1;
        ASSERT_TRUE(rulo::vint_pop_front(front, value));
        EXPECT_EQ(value, r.value);
        EXPECT_EQ(front.to_string(), "zz");

        // Every proper prefix is incomplete: false, nothing taken.
        for (std::size_t n = 0; n < bytes.size(); ++n) {
            netbuf part = netbuf::from_string(bytes.substr(0, n));
            EXPECT_FALSE(rulo::vint_read_front(part, value, length));
            EXPECT_FALSE(rulo::vint_pop_front(part, value));
            EXPECT_EQ(part.to_string(), bytes.substr(0, n));
        }
    }
}

TEST(packet_vint, over_long_numbers_throw) {
    // A continuation on the tenth byte, or bits beyond 64, cannot be a number.
    for (char const* tenth : {"80", "81 01", "02", "7F"}) {
        netbuf b = netbuf::from_string(repeat("FF", 9) + hex(tenth));
        unsigned long long value = 0;
        int length = 0;
        EXPECT_EQ(error_of([&] { rulo::vint_read_front(b, value, length); }), ":Error in 'vint_read_front'")
            << tenth;
        EXPECT_EQ(error_of([&] { rulo::vint_pop_front(b, value); }), ":Error in 'vint_read_front'") << tenth;
        EXPECT_EQ(b.size(), 10 + static_cast<int>(hex(tenth).size()) - 1);
    }
}

TEST(packet_frame, packetize_and_depacketize) {
    netbuf const abc = netbuf::from_string("abc");
    EXPECT_EQ(rulo::packetize(abc).to_string(), hex("00 00 00 03 61 62 63"));
    EXPECT_EQ(rulo::packetize(netbuf()).to_string(), hex("00 00 00 00"));
    EXPECT_EQ(rulo::packetize(netbuf::from_string(std::string(70000, 'x'))).to_string().substr(0, 4),
              hex("00 01 11 70"));

    // Incomplete: nothing changes.
    for (std::string const& bytes : {std::string(), hex("00 00 00"), hex("00 00 00 03 61 62")}) {
        netbuf in = netbuf::from_string(bytes);
        netbuf out = netbuf::from_string("old");
        EXPECT_FALSE(rulo::depacketize(&in, out));
        EXPECT_EQ(in.to_string(), bytes);
        EXPECT_EQ(out.to_string(), "old");
    }
    netbuf out;
    EXPECT_FALSE(rulo::depacketize(nullptr, out));

    // Two frames and the start of a third, taken in a loop as a receiver does.
    netbuf in = rulo::packetize(abc);
    in.append(rulo::packetize(netbuf()));
    in.append(hex("00 00 00 05 68"));
    std::vector<std::string> frames;
    while (rulo::depacketize(&in, out)) frames.push_back(out.to_string());
    EXPECT_EQ(frames, (std::vector<std::string>{"abc", ""}));
    EXPECT_EQ(in.to_string(), hex("00 00 00 05 68"));
}

TEST(packet_frame, lengths_with_the_top_bit_never_complete) {
    for (char const* header : {"80 00 00 00", "FF FF FF FF", "80 00 00 01"}) {
        std::string const bytes = hex(header) + std::string(64, 'x');
        netbuf in = netbuf::from_string(bytes);
        netbuf out;
        EXPECT_FALSE(rulo::depacketize(&in, out)) << header;
        EXPECT_EQ(in.to_string(), bytes);
    }
}

TEST(packet_frame, frames_share_their_bytes) {
    netbuf const payload = netbuf::from_string(std::string(1000, 'p'));
    netbuf framed = rulo::packetize(payload);
    EXPECT_EQ(first_byte(framed, 1), first_byte(payload, 0));

    netbuf in = netbuf::from_string(hex("00 00 00 03 61 62 63 00"));
    char const* start = first_byte(in, 0);
    netbuf out;
    ASSERT_TRUE(rulo::depacketize(&in, out));
    EXPECT_EQ(first_byte(out, 0), start + 4);
}

} // namespace
