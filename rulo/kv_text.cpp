#include "rulo/kv_text.h"

#include "rulo/exception.h"
#include "rulo/text.h"

namespace rulo {

void parse_map_line(std::map<std::string, std::string>& map, std::string const& line, std::size_t position) {
    if (line.empty()) return;
    if (position == std::string::npos) position = line.find('=');
    if (position >= line.size() || line[position] != '=') throw exception::function("parse_map_line");
    std::string key = line.substr(0, position);
    std::string value = line.substr(position + 1);
    trim(&key);
    trim(&value);
    if (key.empty()) throw exception::function("parse_map_line");
    map[key] = value;
}

void parse_map(std::map<std::string, std::string>& map, std::string const& text) {
    std::size_t nul = text.find('\0');
    auto end = nul == std::string::npos ? text.end() : text.begin() + nul;
    auto pos = text.begin();
    while (pos != end) {
        auto begin = pos;
        auto eol = find_eol(pos, end);
        parse_map_line(map, std::string(begin, eol));
    }
}

void parse_sections(std::map<std::string, std::vector<std::string>>& sections,
                    std::vector<std::string> const& lines) {
    std::vector<std::string>* current = nullptr;
    for (auto const& line : lines) {
        std::size_t first = line.find_first_not_of(" \t");
        if (first != std::string::npos && line[first] == '[') {
            std::size_t close = line.find(']', first + 1);
            if (close != std::string::npos) {
                current = &sections[line.substr(first + 1, close - first - 1)];
                continue;
            }
        }
        // The unnamed section exists only once a line lands in it.
        if (!current) current = &sections[std::string()];
        current->push_back(line);
    }
}

bool parse_map_2(std::map<std::string, std::map<std::string, std::string>>& maps,
                 std::vector<std::string> const& lines) {
    std::map<std::string, std::vector<std::string>> sections;
    parse_sections(sections, lines);
    for (auto const& [name, section_lines] : sections) {
        auto& map = maps[name];
        for (auto const& line : section_lines) {
            if (line.find('=') != std::string::npos) parse_map_line(map, line);
        }
    }
    return true;
}

std::string join_map(std::map<std::string, std::string> const& map) {
    std::string out;
    for (auto const& [key, value] : map) {
        out += key;
        out += '=';
        out += value;
        out += '\n';
    }
    return out;
}

} // namespace rulo
