// Text format detection and conversion for chat text, and the replace
// helpers of the dialog code. Pure functions.
#pragma once

#include <QString>

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace tovan {

enum text_format { format_plain = 1, format_utf8 = 2, format_utf16be = 3, format_utf16le = 4 };

// The format a byte-order mark announces (FE FF UTF-16BE, FF FE UTF-16LE,
// EF BB BF or BF BB EF UTF-8), plain 8-bit text without one; *mark_length
// gets the mark's length.
int detect_file_format(std::size_t* mark_length, char const* bytes, std::size_t count);

// Plain 8-bit text is Latin-1; any other code gives an empty string.
QString convert_text(int code, char const* bytes, std::size_t count);
QString unknown_to_unicode(char const* bytes, std::size_t count);
std::string unicode_to_utf8(QString const& text, bool with_mark);

// The calling thread's system error number.
int GetLastError();

// Every occurrence, left to right, the scan going on after each inserted
// replacement; an empty search text replaces nothing.
std::string replace_all2(std::string text, std::string const& search, std::string const& replacement);
// One pass; true when anything was replaced.
bool replace_all(std::string& text, std::string const& search, std::string const& replacement);
// The pairs in order, repeated until a pass changes nothing or max_passes.
void replace_all(std::string& text, std::vector<std::pair<std::string, std::string>> const& pairs,
                 int max_passes);

} // namespace tovan
