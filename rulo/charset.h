// Character-set conversion through the C library's iconv.
//
// Code sets are named as iconv knows them; the framework uses "UTF-8",
// "wchar_t" (32-bit units) and "UTF-16LE". Every call opens and closes its own
// conversion, so any thread may convert at any time.
#pragma once

#include <cstddef>
#include <iconv.h>
#include <string>

namespace xstd {

// The shape of iconv(3); tests hand in their own to reach the error paths.
using iconv_function = std::size_t (*)(iconv_t, char**, std::size_t*, char**, std::size_t*);

// Converts input from from_code to to_code and appends the result to output.
// An incomplete sequence at the end of the input is dropped; an invalid or
// unconvertible one is skipped one input character (one byte of a narrow
// input, one unit of a wide one) at a time. A code set iconv does not know,
// or any other iconv failure, throws the function exception "convert".
void convert(iconv_function fn, std::string& output, std::string const& input, char const* to_code,
             char const* from_code);
void convert(iconv_function fn, std::wstring& output, std::string const& input, char const* to_code,
             char const* from_code);
void convert(iconv_function fn, std::string& output, std::wstring const& input, char const* to_code,
             char const* from_code);

// text in the named code set as a wide text.
std::wstring to_wide(char const* from_code, std::string const& text);
// UTF-8 text as a wide text.
std::wstring wide(std::string const& text);
// A wide text in the named code set.
std::string from_wide(char const* to_code, std::wstring const& text);
// UTF-8 text as "UTF-16LE" bytes (surrogate pairs above U+FFFF), without a byte-order mark.
std::string to_utf16le(std::string const& text);
// Texts are UTF-8 throughout: the text unchanged.
std::string utf8(std::string const& text);

} // namespace xstd
