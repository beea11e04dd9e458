#include "tovan/config/ini_file.h"

#include "rulo/exception.h"
#include "rulo/kv_text.h"
#include "rulo/text.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sys/stat.h>

namespace tovan {

void parse_ini_text(std::string const& text, ini_sections& out, std::vector<std::string>* skipped) {
    std::vector<std::string> lines;
    rulo::get_lines(text, lines);
    std::map<std::string, std::vector<std::string>> sections;
    rulo::parse_sections(sections, lines);
    for (auto const& [name, body] : sections) {
        auto& section = out[name];
        for (auto const& line : body) {
            std::size_t eq = line.find('=');
            if (eq == std::string::npos) continue;
            std::string key = line.substr(0, eq);
            rulo::trim(&key);
            if (key.empty()) {
                if (skipped) skipped->push_back(line);
                continue;
            }
            rulo::parse_map_line(section, line, eq);
        }
    }
    // A file with no lines before its first header has no nameless section.
    auto nameless = out.find("");
    if (nameless != out.end() && nameless->second.empty()) out.erase(nameless);
}

bool load_ini_file(std::string const& path, ini_sections& out, std::vector<std::string>* skipped,
                   std::string* error) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        if (error) *error = path + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode) || static_cast<std::size_t>(st.st_size) > ini_max_file_size) {
        if (error) *error = path + ": not a regular file of at most 16 MiB";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (error) *error = path + ": " + std::strerror(errno);
        return false;
    }
    std::string text;
    text.resize(static_cast<std::size_t>(st.st_size));
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    ini_sections parsed;
    parse_ini_text(text, parsed, skipped);
    for (auto& [name, section] : parsed)
        for (auto& [key, value] : section) out[name][key] = std::move(value);
    return true;
}

std::string ini_value(ini_sections const& ini, std::string const& section, std::string const& key) {
    auto s = ini.find(section);
    if (s == ini.end()) return {};
    auto k = s->second.find(key);
    return k == s->second.end() ? std::string() : k->second;
}

} // namespace tovan
