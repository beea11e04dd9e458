// UTF-8 to UTF-16LE conversion of hostile bytes, against a coder written from
// the formats, with iconv's output rounds cut short to reach the paths that
// continue a conversion.
//
// The first input byte caps the room of every iconv round (4 to 67 bytes);
// the rest is the UTF-8 text, and also the units of a wide text.
#include "rulo/charset.h"
#include "tests/fuzz/fuzz_support.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

using fuzz::check;
using fuzz::error_of;

namespace {

std::size_t room_cap = 4;

// iconv with at most room_cap bytes of room per call, so that long texts take
// many rounds and each round ends inside the text.
std::size_t capped_iconv(iconv_t cd, char** in, std::size_t* in_left, char** out, std::size_t* out_left) {
    if (!in || !out || !out_left) return ::iconv(cd, in, in_left, out, out_left);
    std::size_t const room = std::min(*out_left, room_cap);
    std::size_t left = room;
    std::size_t const r = ::iconv(cd, in, in_left, out, &left);
    int const err = errno;
    *out_left -= room - left;
    errno = err;
    return r;
}

bool scalar(std::uint32_t c) {
    return c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF);
}

// The code points of the UTF-8 text; a byte that does not start a complete,
// shortest, in-range sequence is skipped alone (RFC 3629).
std::u32string reference_decode(std::string const& text) {
    std::u32string out;
    std::size_t i = 0;
    while (i < text.size()) {
        unsigned const lead = static_cast<unsigned char>(text[i]);
        std::size_t const n = lead < 0x80                    ? 1
                              : lead >= 0xC2 && lead <= 0xDF ? 2
                              : lead >= 0xE0 && lead <= 0xEF ? 3
                              : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                             : 0;
        std::uint32_t c = n == 1 ? lead : n == 2 ? lead & 0x1F : n == 3 ? lead & 0x0F : lead & 0x07;
        bool ok = n > 0 && i + n <= text.size();
        for (std::size_t k = 1; ok && k < n; ++k) {
            unsigned const b = static_cast<unsigned char>(text[i + k]);
            ok = (b & 0xC0) == 0x80;
            c = c << 6 | (b & 0x3F);
        }
        std::uint32_t const shortest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (ok && c >= shortest[n] && scalar(c)) {
            out += static_cast<char32_t>(c);
            i += n;
        } else {
            ++i;
        }
    }
    return out;
}

std::string reference_utf16le(std::u32string const& points) {
    std::string out;
    auto unit = [&](std::uint32_t u) {
        out += static_cast<char>(u & 0xFF);
        out += static_cast<char>(u >> 8);
    };
    for (char32_t c : points) {
        if (c < 0x10000) {
            unit(c);
        } else {
            unit(0xD800 + ((c - 0x10000) >> 10));
            unit(0xDC00 + ((c - 0x10000) & 0x3FF));
        }
    }
    return out;
}

std::wstring as_wide(std::u32string const& points) {
    return std::wstring(points.begin(), points.end());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
    if (size < 1) return 0;
    room_cap = 4 + data[0] % 64;
    std::string const text = fuzz::bytes(data + 1, size - 1);
    std::u32string const points = reference_decode(text);

    std::string const utf16 = xstd::to_utf16le(text);
    check(utf16 == reference_utf16le(points));
    // iconv also reads the old long forms (up to 6 bytes, 31 bits) into a wide
    // text, which the UTF-16LE step then drops; everything else is the reference's.
    std::wstring const wide = xstd::wide(text);
    std::wstring characters;
    for (wchar_t c : wide) {
        if (scalar(static_cast<std::uint32_t>(c)))
            characters += c;
        else
            check(c > 0x10FFFF);
    }
    check(characters == as_wide(points));

    // Short rounds give the same results as whole ones.
    std::wstring wide_capped;
    check(error_of([&] { xstd::convert(capped_iconv, wide_capped, text, "wchar_t", "UTF-8"); }).empty());
    check(wide_capped == wide);
    std::string utf16_capped;
    check(error_of([&] { xstd::convert(capped_iconv, utf16_capped, wide, "UTF-16LE", "wchar_t"); }).empty());
    check(utf16_capped == utf16);

    // Wide units that are no characters (surrogates, above U+10FFFF) are skipped one at a time.
    std::wstring units(text.size() / sizeof(wchar_t), L'\0');
    std::memcpy(units.data(), text.data(), units.size() * sizeof(wchar_t));
    std::u32string valid;
    for (wchar_t u : units)
        if (scalar(static_cast<std::uint32_t>(u))) valid += static_cast<char32_t>(u);
    check(xstd::from_wide("UTF-16LE", units) == reference_utf16le(valid));
    return 0;
}
