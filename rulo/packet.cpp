// The packet primitives over both buffer kinds, the vint and the length frame.
//
// Over a std::string a value is decoded in place from the end and the bytes
// are cut off only once it is stored, so a failed scalar pop leaves the text
// as it was. Over a netbuf the leading field (count, length or boolean byte)
// is taken before it is checked, which is what a failed pop has consumed.
#include "rulo/packet.h"

#include "rulo/exception.h"

#include <algorithm>
#include <climits>

namespace rulo::packet_detail {
namespace {

[[noreturn]] void parse_error() {
    throw rulo::exception(rulo::packet_parse_e);
}
[[noreturn]] void too_big() {
    throw rulo::exception(rulo::packet_number_too_big_e);
}

// Magnitude bytes least significant first, then the count byte; at most 9 bytes.
int encode_integer(unsigned char* out, unsigned long long magnitude, bool negative) {
    int n = 0;
    for (; magnitude != 0; magnitude >>= 8) out[n++] = static_cast<unsigned char>(magnitude);
    out[n] = static_cast<unsigned char>(n | (negative ? 0x80 : 0));
    return n + 1;
}

// Splits a count byte into the number of magnitude bytes and the sign. For an
// unsigned target the byte is the count whole, so 0x80 and up fail later.
int count_of(unsigned char byte, bool is_signed, bool& negative) {
    negative = is_signed && (byte & 0x80) != 0;
    return is_signed ? byte & 0x7f : byte;
}

// The most negative value of a signed width has a magnitude one above the largest positive one.
bool in_range(unsigned long long magnitude, bool negative, int max_bytes, bool is_signed) {
    if (!is_signed) return true; // count <= width already bounds an unsigned value
    unsigned long long const limit = 1ULL << (8 * max_bytes - 1);
    return negative ? magnitude <= limit : magnitude < limit;
}

void check_range(unsigned long long magnitude, bool negative, int max_bytes, bool is_signed) {
    if (!in_range(magnitude, negative, max_bytes, is_signed)) too_big();
}

long long signed_value(unsigned long long magnitude, bool negative) {
    if (!negative || magnitude == 0) return static_cast<long long>(magnitude);
    // magnitude <= 2^63 here; -(m - 1) - 1 reaches LLONG_MIN without overflow.
    return -static_cast<long long>(magnitude - 1) - 1;
}

struct decoded {
    unsigned long long magnitude;
    bool negative;
    std::size_t start; // offset of the first byte of the encoding
};

// Decodes the integer that ends at b[end) without changing the text.
decoded decode_tail(std::string const& b, std::size_t end, int max_bytes, bool is_signed) {
    if (end == 0) parse_error();
    decoded d{0, false, 0};
    std::size_t const count = count_of(static_cast<unsigned char>(b[end - 1]), is_signed, d.negative);
    if (count > end - 1) parse_error();
    if (count > static_cast<std::size_t>(max_bytes)) too_big();
    d.start = end - 1 - count;
    for (std::size_t i = end - 1; i > d.start; --i)
        d.magnitude = d.magnitude << 8 | static_cast<unsigned char>(b[i - 1]);
    check_range(d.magnitude, d.negative, max_bytes, is_signed);
    return d;
}

// Takes the count byte, then the magnitude bytes, checking as it goes.
decoded take_tail(netbuf& b, int max_bytes, bool is_signed) {
    if (b.size() < 1) parse_error();
    unsigned char byte = 0;
    b.take_back(reinterpret_cast<char*>(&byte), 1);
    decoded d{0, false, 0};
    int const count = count_of(byte, is_signed, d.negative);
    if (count > b.size()) parse_error();
    if (count > max_bytes) too_big();
    unsigned char bytes[8];
    b.take_back(reinterpret_cast<char*>(bytes), count); // bytes[count - 1] is the most significant
    for (int i = count; i > 0; --i) d.magnitude = d.magnitude << 8 | bytes[i - 1];
    check_range(d.magnitude, d.negative, max_bytes, is_signed);
    return d;
}

// The integer that ends b when it lies whole in the last piece and pops
// without error: its value and the bytes it takes (count byte included).
// False in every other case, which the caller leaves to the byte-wise path
// above, so that errors consume exactly what they always did.
bool peek_tail(netbuf const& b, int max_bytes, bool is_signed, decoded& d, int& used, char const*& piece,
               int& length) {
    b.last_piece(piece, length);
    if (length < 1) return false;
    unsigned char const* end = reinterpret_cast<unsigned char const*>(piece) + length - 1;
    int const count = count_of(*end, is_signed, d.negative);
    if (count >= length || count > max_bytes) return false;
    d.magnitude = 0;
    for (int i = count; i > 0; --i) d.magnitude = d.magnitude << 8 | end[i - count - 1];
    if (!in_range(d.magnitude, d.negative, max_bytes, is_signed)) return false;
    used = count + 1;
    return true;
}

bool peek_tail(netbuf const& b, int max_bytes, bool is_signed, decoded& d, int& used) {
    char const* piece;
    int length;
    return peek_tail(b, max_bytes, is_signed, d, used, piece, length);
}

} // namespace

void push_integer(std::string& b, unsigned long long magnitude, bool negative) {
    unsigned char bytes[9];
    int n = encode_integer(bytes, magnitude, negative);
    b.append(reinterpret_cast<char const*>(bytes), n);
}

void push_integer(netbuf& b, unsigned long long magnitude, bool negative) {
    unsigned char bytes[9];
    int n = encode_integer(bytes, magnitude, negative);
    std::memcpy(b.allocate_back(n), bytes, n);
}

unsigned long long pop_unsigned(std::string& b, int max_bytes) {
    decoded d = decode_tail(b, b.size(), max_bytes, false);
    b.resize(d.start);
    return d.magnitude;
}

unsigned long long pop_unsigned(netbuf& b, int max_bytes) {
    decoded d;
    int used;
    if (!peek_tail(b, max_bytes, false, d, used)) return take_tail(b, max_bytes, false).magnitude;
    b.erase_back(used);
    return d.magnitude;
}

long long pop_signed(std::string& b, int max_bytes) {
    decoded d = decode_tail(b, b.size(), max_bytes, true);
    b.resize(d.start);
    return signed_value(d.magnitude, d.negative);
}

long long pop_signed(netbuf& b, int max_bytes) {
    decoded d;
    int used;
    if (peek_tail(b, max_bytes, true, d, used))
        b.erase_back(used);
    else
        d = take_tail(b, max_bytes, true);
    return signed_value(d.magnitude, d.negative);
}

std::size_t pop_count(std::string& b) {
    decoded d = decode_tail(b, b.size(), 8, false);
    if (d.magnitude > d.start) parse_error();
    b.resize(d.start);
    return static_cast<std::size_t>(d.magnitude);
}

std::size_t pop_count(netbuf& b) {
    unsigned long long count = pop_unsigned(b, 8);
    if (count > static_cast<unsigned long long>(b.size())) parse_error();
    return static_cast<std::size_t>(count);
}

void push_bool(std::string& b, bool v) {
    b.push_back(v ? 'T' : 'F');
}

void push_bool(netbuf& b, bool v) {
    *b.allocate_back(1) = v ? 'T' : 'F';
}

bool pop_bool(std::string& b) {
    if (b.empty() || (b.back() != 'T' && b.back() != 'F')) parse_error();
    bool v = b.back() == 'T';
    b.pop_back();
    return v;
}

bool pop_bool(netbuf& b) {
    char const* piece;
    int length;
    b.last_piece(piece, length);
    if (length > 0 && (piece[length - 1] == 'T' || piece[length - 1] == 'F')) {
        bool const v = piece[length - 1] == 'T';
        b.erase_back(1);
        return v;
    }
    if (b.size() < 1) parse_error();
    char c = 0;
    b.take_back(&c, 1);
    if (c != 'T' && c != 'F') parse_error();
    return c == 'T';
}

void push_text(std::string& b, char const* data, std::size_t size) {
    b.append(data, size);
    push_integer(b, size, false);
}

void push_text(netbuf& b, char const* data, std::size_t size) {
    unsigned char length[9];
    int n = encode_integer(length, size, false);
    // A netbuf counts its bytes in a signed 32-bit size.
    if (size > static_cast<std::size_t>(INT_MAX - n)) throw rulo::exception::function("rulo_packet_push");
    // Text and length go into one allocation.
    char* p = b.allocate_back(static_cast<int>(size) + n);
    std::memcpy(p, data, size);
    std::memcpy(p + size, length, n);
}

void pop_text(std::string& b, std::string& out) {
    decoded d = decode_tail(b, b.size(), 8, false);
    if (d.magnitude > d.start) parse_error();
    std::size_t const begin = d.start - static_cast<std::size_t>(d.magnitude);
    out.assign(b, begin, static_cast<std::size_t>(d.magnitude));
    b.resize(begin);
}

void pop_text(netbuf& b, std::string& out) {
    decoded d;
    int used, length_in_piece;
    char const* piece;
    if (peek_tail(b, 8, false, d, used, piece, length_in_piece) &&
        d.magnitude <= static_cast<unsigned long long>(length_in_piece - used)) {
        int const n = static_cast<int>(d.magnitude);
        out.assign(piece + length_in_piece - used - n, static_cast<std::size_t>(n));
        b.erase_back(used + n);
        return;
    }
    unsigned long long length = pop_unsigned(b, 8);
    if (length > static_cast<unsigned long long>(b.size())) parse_error();
    std::string text(static_cast<std::size_t>(length), '\0');
    b.take_back(text.data(), static_cast<int>(length));
    out.swap(text);
}

void push_netbuf(std::string& b, netbuf const& v) {
    std::size_t const before = b.size();
    for (netbuf::iterator it(v); it.valid(); it.next()) {
        char const* p = nullptr;
        int n = 0;
        it.get(p, n);
        if (n > 0) b.append(p, n);
    }
    push_integer(b, b.size() - before, false);
}

void push_netbuf(netbuf& b, netbuf const& v) {
    int const size = v.size(); // before the append: v may be b itself
    b.append(v);
    push_integer(b, static_cast<unsigned long long>(size), false);
}

void pop_netbuf(std::string& b, netbuf& out) {
    decoded d = decode_tail(b, b.size(), 4, true);
    if (d.negative || d.magnitude > d.start) parse_error();
    std::size_t const begin = d.start - static_cast<std::size_t>(d.magnitude);
    netbuf value = netbuf::from_buffer(b.data() + begin, static_cast<int>(d.magnitude));
    out.swap(value);
    b.resize(begin);
}

void pop_netbuf(netbuf& b, netbuf& out) {
    decoded d = take_tail(b, 4, true);
    if (d.negative || d.magnitude > static_cast<unsigned long long>(b.size())) parse_error();
    int const length = static_cast<int>(d.magnitude);
    netbuf value(b, b.size() - length, length);
    b.erase_back(length);
    out.swap(value);
}

} // namespace rulo::packet_detail

namespace rulo {

void vint_push(netbuf& b, unsigned long long value, bool back) {
    char bytes[10];
    int n = 0;
    do {
        unsigned char low = value & 0x7f;
        value >>= 7;
        bytes[n++] = static_cast<char>(value != 0 ? low | 0x80 : low);
    } while (value != 0);
    if (back)
        b.append(bytes, n);
    else
        b.prepend(bytes, n);
}

bool vint_read_front(netbuf& b, unsigned long long& value, int& bytes) {
    unsigned char head[10];
    int const present = std::min(b.size(), 10);
    b.copy_front(reinterpret_cast<char*>(head), present);
    unsigned long long v = 0;
    for (int i = 0; i < present; ++i) {
        // The tenth byte carries bit 63 alone: more bits, or a continuation, cannot be stored.
        if (i == 9 && head[i] > 1) throw rulo::exception::function("vint_read_front");
        v |= static_cast<unsigned long long>(head[i] & 0x7f) << (7 * i);
        if ((head[i] & 0x80) == 0) {
            value = v;
            bytes = i + 1;
            return true;
        }
    }
    return false;
}

bool vint_pop_front(netbuf& b, unsigned long long& value) {
    int bytes = 0;
    if (!vint_read_front(b, value, bytes)) return false;
    b.erase_front(bytes);
    return true;
}

netbuf packetize(netbuf const& payload) {
    unsigned long const size = static_cast<unsigned long>(payload.size());
    netbuf frame;
    char* header = frame.allocate_back(4);
    header[0] = static_cast<char>(size >> 24);
    header[1] = static_cast<char>(size >> 16);
    header[2] = static_cast<char>(size >> 8);
    header[3] = static_cast<char>(size);
    frame.append(payload);
    return frame;
}

bool depacketize(netbuf* input, netbuf& output) {
    if (!input || input->size() < 4) return false;
    unsigned char header[4];
    input->copy_front(reinterpret_cast<char*>(header), 4);
    unsigned long const length =
        static_cast<unsigned long>(header[0]) << 24 | header[1] << 16 | header[2] << 8 | header[3];
    // A length with the top bit set cannot be held by a netbuf: such a frame never completes.
    if (length > static_cast<unsigned long>(INT_MAX) ||
        length > static_cast<unsigned long>(input->size() - 4))
        return false;
    netbuf frame(*input, 4, static_cast<int>(length));
    input->erase_front(4 + static_cast<int>(length));
    output.swap(frame);
    return true;
}

} // namespace rulo
