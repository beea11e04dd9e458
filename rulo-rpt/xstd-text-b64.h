// Base64 coding with a caller-given alphabet, in the shapes the transport
// uses: a netbuf to send, a text decoded in place. The coder itself is the
// framework's (rulo/base64.h).
//
// Pure functions; nothing is kept between calls, so any thread may call them.
#pragma once

#include "rulo/base64.h"
#include "rulo/netbuf.h"

#include <string>

namespace xstd {

// The standard alphabet: 64 symbols, then the padding character "=".
inline constexpr char const (&base64_encoding)[sizeof rulo::base64_alphabet] = rulo::base64_alphabet;

// 4 * ceil(length / 3) symbols of alphabet (64 symbols and the padding
// character as its 65th), no line breaks; a length below 1 gives an empty
// buffer. A length whose coding would not fit a buffer throws the function
// exception "encode_base64".
netbuf encode_base64(char const* data, int length, char const* alphabet);
netbuf encode_base64(std::string const& text, char const* alphabet);

// In place: decodes the full groups of 4 characters, ignoring what is left
// after the last one. Padding may end only the last group ("xx==" or "xxx=").
// A character outside the alphabet, or padding elsewhere, throws the error
// "/xstd/base64/decode:Decode error" and leaves the text as it was.
void decode_base64(std::string& text, char const* alphabet);

} // namespace xstd
