// Base64 (RFC 4648) with a caller-given alphabet: the framework's one byte
// coder. The transport's text coder and the signed containers both use it.
//
// Pure functions; nothing is kept between calls, so any thread may call them.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace rulo {

// The standard alphabet: 64 symbols, then the padding character "=". Any
// alphabet handed to these functions has the same shape: 65 characters, the
// last one padding.
inline constexpr char base64_alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=";

// How many symbols length bytes code to: 4 * ceil(length / 3). The caller
// keeps length below SIZE_MAX / 4 * 3.
constexpr std::size_t base64_encoded_size(std::size_t length) {
    return (length + 2) / 3 * 4;
}

// Writes the base64_encoded_size(length) symbols of data to out: every 3 bytes
// become 4 symbols, a last 1 or 2 bytes become 2 or 3 symbols and padding. No
// line breaks.
void base64_encode(char* out, void const* data, std::size_t length, char const* alphabet);
std::string base64_encode(std::string_view data, char const* alphabet = base64_alphabet);

// Decodes the full groups of 4 characters of text, ignoring what is left
// after the last one. Padding may end only the last group ("xx==" or "xxx=");
// the unused low bits of its last symbol are not checked. A character outside
// the alphabet, or padding elsewhere, throws "/xstd/base64/decode:Decode error".
std::string base64_decode(std::string_view text, char const* alphabet = base64_alphabet);

} // namespace rulo
