// The ini text of the configuration, translation and dialog files.
//
// Pure functions from text to section maps. A line whose key is empty
// ("=x") is left out and reported instead of failing the whole file, so one
// bad line never costs the rest of the settings.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace tovan {

using ini_section = std::map<std::string, std::string>;
using ini_sections = std::map<std::string, ini_section>;

// The largest ini file read; a larger one is refused like an unreadable one.
inline constexpr std::size_t ini_max_file_size = 16u << 20;

// Sections in "[name]" lines, "key=value" lines below them (both sides
// trimmed, the later duplicate wins), lines without "=" ignored, a leading
// UTF-8 byte-order mark skipped, CR LF and LF both ending a line. Lines with
// an empty key go to *skipped (when given) and nowhere else.
void parse_ini_text(std::string const& text, ini_sections& out, std::vector<std::string>* skipped);

// Reads the file and parses it into out (merging into what is there). False,
// with out unchanged and *error set, when the file cannot be read or is
// larger than ini_max_file_size.
bool load_ini_file(std::string const& path, ini_sections& out, std::vector<std::string>* skipped,
                   std::string* error);

// The text under section and key, empty when either is missing.
std::string ini_value(ini_sections const& ini, std::string const& section, std::string const& key);

} // namespace tovan
