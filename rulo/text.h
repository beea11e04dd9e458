// Text and encoding helpers.
#pragma once

#include <string>

namespace xstd {

// Appends the byte as two lowercase hex digits, high nibble first.
void push_hexchar(std::string& out, char c);
// Every byte as two lowercase hex digits.
std::string hexcode(std::string const& text);
// The value of one hex digit, either case; any other byte gives 0.
int dehex(char c);
// The byte 16 * dehex(high) + dehex(low).
char pop_hexchar(char high, char low);
// In place: every pair of digits becomes one byte (invalid digits count as 0).
// An odd length throws the function exception "dehexcode" and leaves the text as it was.
void dehexcode(std::string& text);

} // namespace xstd
