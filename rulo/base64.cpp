#include "rulo/base64.h"

#include "rulo/exception.h"

#include <cstdint>

namespace rulo {

namespace {

constexpr int pad = 64; // the padding character's place in an alphabet

// The value of every byte in the alphabet, -1 for bytes outside it. Exactly
// 65 characters are looked at, so a NUL byte in the input never matches the
// alphabet's terminator.
struct reverse_table {
    explicit reverse_table(char const* alphabet) {
        for (auto& v : value) v = -1;
        for (int i = pad; i >= 0; --i)
            value[static_cast<unsigned char>(alphabet[i])] = static_cast<signed char>(i);
    }
    int base64_char(char c) const {
        int v = value[static_cast<unsigned char>(c)];
        if (v < 0) XSTD_EXCEPTION("base64_char").thr("/xstd/base64/decode", "Decode error");
        return v;
    }
    signed char value[256];
};

[[noreturn]] void misplaced_padding() {
    XSTD_EXCEPTION("decode_base64").thr("/xstd/base64/decode", "Decode error");
}

} // namespace

void base64_encode(char* out, void const* data, std::size_t length, char const* alphabet) {
    unsigned char const* in = static_cast<unsigned char const*>(data);
    std::size_t i = 0;
    for (; length - i >= 3; i += 3) {
        std::uint32_t v = (in[i] << 16) | (in[i + 1] << 8) | in[i + 2];
        *out++ = alphabet[v >> 18];
        *out++ = alphabet[(v >> 12) & 63];
        *out++ = alphabet[(v >> 6) & 63];
        *out++ = alphabet[v & 63];
    }
    if (length - i == 2) {
        std::uint32_t v = (in[i] << 16) | (in[i + 1] << 8);
        *out++ = alphabet[v >> 18];
        *out++ = alphabet[(v >> 12) & 63];
        *out++ = alphabet[(v >> 6) & 63];
        *out++ = alphabet[pad];
    } else if (length - i == 1) {
        std::uint32_t v = in[i] << 16;
        *out++ = alphabet[v >> 18];
        *out++ = alphabet[(v >> 12) & 63];
        *out++ = alphabet[pad];
        *out++ = alphabet[pad];
    }
}

std::string base64_encode(std::string_view data, char const* alphabet) {
    std::string out(base64_encoded_size(data.size()), '\0');
    base64_encode(out.data(), data.data(), data.size(), alphabet);
    return out;
}

std::string base64_decode(std::string_view text, char const* alphabet) {
    reverse_table const table(alphabet);
    std::size_t const groups = text.size() / 4;
    std::string out;
    out.reserve(groups * 3);
    for (std::size_t g = 0; g < groups; ++g) {
        char const* c = text.data() + 4 * g;
        int const v0 = table.base64_char(c[0]);
        int const v1 = table.base64_char(c[1]);
        int const v2 = table.base64_char(c[2]);
        int const v3 = table.base64_char(c[3]);
        bool const last = g + 1 == groups;
        if (v0 == pad || v1 == pad) misplaced_padding();
        std::uint32_t bits = (v0 << 18) | (v1 << 12);
        if (v2 == pad) {
            if (v3 != pad || !last) misplaced_padding();
            out += static_cast<char>(bits >> 16);
        } else if (v3 == pad) {
            if (!last) misplaced_padding();
            bits |= v2 << 6;
            out += static_cast<char>(bits >> 16);
            out += static_cast<char>(bits >> 8);
        } else {
            bits |= (v2 << 6) | v3;
            out += static_cast<char>(bits >> 16);
            out += static_cast<char>(bits >> 8);
            out += static_cast<char>(bits);
        }
    }
    return out;
}

} // namespace rulo
