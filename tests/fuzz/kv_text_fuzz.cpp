// The key=value and [section] text parsers on hostile text, against parsers
// written from the format.
//
// The first input byte is the "=" position handed to parse_map_line (255: none);
// the rest is the text.
#include "rulo/kv_text.h"
#include "rulo/text.h"
#include "tests/fuzz/fuzz_support.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

using fuzz::check;
using fuzz::error_of;

namespace {

using map_t = std::map<std::string, std::string>;
using sections_t = std::map<std::string, std::vector<std::string>>;

std::string const blanks = " \t\r\n";

std::string trimmed(std::string const& text) {
    std::size_t const begin = text.find_first_not_of(blanks);
    if (begin == std::string::npos) return "";
    return text.substr(begin, text.find_last_not_of(blanks) - begin + 1);
}

// False for a malformed line: one with no "=" at position, or an empty key.
bool reference_line(map_t& map, std::string const& line, std::size_t position = std::string::npos) {
    if (line.empty()) return true;
    if (position == std::string::npos) position = line.find('=');
    if (position >= line.size() || line[position] != '=') return false;
    std::string const key = trimmed(line.substr(0, position));
    if (key.empty()) return false;
    map[key] = trimmed(line.substr(position + 1));
    return true;
}

std::optional<map_t> reference_map(std::string const& text) {
    map_t map;
    for (auto const& line : fuzz::split_lines(text.substr(0, text.find('\0'))))
        if (!reference_line(map, line)) return std::nullopt;
    return map;
}

sections_t reference_sections(std::vector<std::string> const& lines) {
    sections_t sections;
    std::string current;
    for (auto const& line : lines) {
        std::size_t const first = line.find_first_not_of(" \t");
        std::size_t const close = first == std::string::npos ? first : line.find(']', first);
        if (first != std::string::npos && line[first] == '[' && close != std::string::npos) {
            current = line.substr(first + 1, close - first - 1);
            sections[current]; // a header alone makes its section
            continue;
        }
        // Lines before any header make the unnamed section.
        sections[current].push_back(line);
    }
    return sections;
}

void check_map(std::string const& text) {
    std::string const error_text = fuzz::function_error("parse_map_line");
    map_t map;
    std::string const error = error_of([&] { rulo::parse_map(map, text); });
    std::optional<map_t> const expected = reference_map(text);
    check(error.empty() == expected.has_value());
    if (!error.empty()) {
        check(error == error_text);
        return;
    }
    check(map == *expected);

    // join_map reads back while no key or value holds "=" (a key never does here).
    bool plain = true;
    for (auto const& [key, value] : map) plain = plain && value.find('=') == std::string::npos;
    if (plain) {
        map_t again;
        check(error_of([&] { rulo::parse_map(again, rulo::join_map(map)); }).empty());
        check(again == map);
    }
}

void check_line(std::string const& text, std::size_t position) {
    std::string const line = text.substr(0, text.find_first_of("\r\n"));
    map_t map = {{"k", "old"}}, expected = map;
    std::string const error = error_of([&] { rulo::parse_map_line(map, line, position); });
    bool const ok = reference_line(expected, line, position);
    check(error.empty() == ok);
    if (ok) check(map == expected);
}

void check_sections(std::string const& text) {
    std::vector<std::string> lines;
    rulo::get_lines(text, lines);
    sections_t sections;
    rulo::parse_sections(sections, lines);
    sections_t const expected = reference_sections(lines);
    check(sections == expected);

    // parse_map_2: every line holding "=" of every section, into that section's map.
    std::map<std::string, map_t> maps;
    std::string const error = error_of([&] { rulo::parse_map_2(maps, lines); });
    bool ok = true;
    std::map<std::string, map_t> expected_maps;
    for (auto const& [name, section_lines] : expected) {
        auto& map = expected_maps[name];
        for (auto const& line : section_lines)
            if (ok && line.find('=') != std::string::npos) ok = reference_line(map, line);
    }
    check(error.empty() == ok);
    if (ok) check(maps == expected_maps);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
    if (size < 1) return 0;
    std::size_t const position = data[0] == 255 ? std::string::npos : data[0];
    std::string const text = fuzz::bytes(data + 1, size - 1);
    check_map(text);
    check_line(text, position);
    check_sections(text);
    return 0;
}
