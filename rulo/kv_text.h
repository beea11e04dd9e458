// The key=value line and [section] header text formats of configuration and
// package files.
//
// Pure functions from text to maps and back; nothing is kept between calls.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace rulo {

// Stores one "key=value" line: the key is the text before the "=" at
// position (npos: the first "="), the value what follows; both are trimmed of
// blanks and line ends and the value replaces any earlier one. An empty line
// is ignored; a missing "=" or an empty key throws the function exception
// "parse_map_line".
void parse_map_line(std::map<std::string, std::string>& map, std::string const& line,
                    std::size_t position = std::string::npos);

// Every line of text through parse_map_line. The text ends at its first NUL
// byte: what follows is a payload that belongs to the caller.
void parse_map(std::map<std::string, std::string>& map, std::string const& text);

// Groups lines into sections: a line whose first byte other than space and tab
// is "[" with a "]" after it starts the section named between them; every
// other line is appended unchanged to the current section. Lines before the
// first header belong to the section with the empty name.
void parse_sections(std::map<std::string, std::vector<std::string>>& sections,
                    std::vector<std::string> const& lines);

// parse_sections, then every line holding "=" through parse_map_line into its
// section's map; other lines are ignored. Returns true.
bool parse_map_2(std::map<std::string, std::map<std::string, std::string>>& maps,
                 std::vector<std::string> const& lines);

// "key=value\n" for each entry in ascending key order, nothing escaped:
// parse_map reads it back while no key or value holds "=", a line end or
// surrounding white space.
std::string join_map(std::map<std::string, std::string> const& map);

} // namespace rulo
