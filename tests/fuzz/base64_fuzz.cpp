// Base64 decoding of hostile text, checked against a decoder written from the
// format, and the round trips both ways.
//
// The first input byte picks the alphabet (standard or URL-safe); the rest is
// the text to decode, and also the bytes to encode.
#include "rulo-rpt/xstd-text-b64.h"
#include "tests/fuzz/fuzz_support.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

using fuzz::check;
using fuzz::error_of;

namespace {

char const url_safe[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_=";

// Full groups of four only; padding ends the last group alone, as "xx==" or
// "xxx="; nothing outside the 65 symbols. Empty on a decode error.
std::optional<std::string> reference_decode(std::string const& text, char const* alphabet) {
    auto value = [&](char c) {
        for (int i = 0; i < 65; ++i)
            if (alphabet[i] == c) return i;
        return -1;
    };
    std::string out;
    std::size_t const groups = text.size() / 4;
    for (std::size_t g = 0; g < groups; ++g) {
        int v[4];
        for (int i = 0; i < 4; ++i) {
            v[i] = value(text[4 * g + i]);
            if (v[i] < 0) return std::nullopt;
        }
        int const pads = (v[2] == 64) + (v[3] == 64);
        bool const well_placed = v[0] != 64 && v[1] != 64 && !(v[2] == 64 && v[3] != 64);
        if (!well_placed || (pads > 0 && g + 1 != groups)) return std::nullopt;
        unsigned const bits = v[0] << 18 | v[1] << 12 | (v[2] & 63) << 6 | (v[3] & 63);
        out += static_cast<char>(bits >> 16);
        if (pads < 2) out += static_cast<char>(bits >> 8);
        if (pads < 1) out += static_cast<char>(bits);
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
    if (size < 1) return 0;
    char const* const alphabet = data[0] & 1 ? url_safe : xstd::base64_encoding;
    std::string const input = fuzz::bytes(data + 1, size - 1);

    std::string decoded = input;
    std::string const error = error_of([&] { xstd::decode_base64(decoded, alphabet); });
    std::optional<std::string> const expected = reference_decode(input, alphabet);
    if (!error.empty()) {
        check(error == "/xstd/base64/decode:Decode error");
        check(!expected);
        check(decoded == input); // a failure leaves the text as it was
    } else {
        check(expected && decoded == *expected);
        // What decodes encodes to text that decodes back to the same bytes.
        std::string again = xstd::encode_base64(decoded, alphabet).to_string();
        check(error_of([&] { xstd::decode_base64(again, alphabet); }).empty());
        check(again == decoded);
    }

    // Any bytes encode to 4 * ceil(n / 3) symbols that decode back to them.
    std::string coded = xstd::encode_base64(input, alphabet).to_string();
    check(coded.size() == (input.size() + 2) / 3 * 4);
    check(coded == xstd::encode_base64(input.data(), static_cast<int>(input.size()), alphabet).to_string());
    check(error_of([&] { xstd::decode_base64(coded, alphabet); }).empty());
    check(coded == input);
    return 0;
}
