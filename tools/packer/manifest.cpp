#include "tools/packer/manifest.h"

#include "tools/packer/pack_error.h"

#include <fstream>
#include <iterator>
#include <utility>

namespace packer {

namespace {

struct keyword {
    std::string_view word;
    std::uint8_t type;
    int args; // -1: an archive (directory, then pairs); 0 or 1 fixed; 2: optional one
};

constexpr keyword keywords[] = {
    {"end", 0, 2}, {"archive", 1, -1},    {"start", 2, 1}, {"start-library", 3, 1}, {"seal", 4, 0},
    {"run", 5, 1}, {"run-library", 6, 1}, {"lzma", 7, -1}, {"copy-self", 8, 1},     {"delete-self", 9, 0},
};

[[noreturn]] void fail(unsigned line, std::string const& what) {
    throw pack_error("manifest line " + std::to_string(line) + ": " + what);
}

std::vector<std::string> split_words(std::string_view s, unsigned line) {
    std::vector<std::string> words;
    std::size_t i = 0;
    while (i < s.size()) {
        if (s[i] == ' ' || s[i] == '\t' || s[i] == '\r') {
            ++i;
            continue;
        }
        std::string w;
        if (s[i] == '"') {
            ++i;
            for (;;) {
                if (i == s.size()) fail(line, "unterminated quote");
                char c = s[i++];
                if (c == '"') break;
                if (c == '\\') {
                    if (i == s.size()) fail(line, "unterminated quote");
                    c = s[i++];
                    if (c != '"' && c != '\\') fail(line, "only \\\" and \\\\ may be escaped");
                }
                w += c;
            }
            if (i < s.size() && s[i] != ' ' && s[i] != '\t' && s[i] != '\r')
                fail(line, "text right after a quote");
        } else {
            while (i < s.size() && s[i] != ' ' && s[i] != '\t' && s[i] != '\r') {
                if (s[i] == '"') fail(line, "quote inside a word");
                w += s[i++];
            }
        }
        words.push_back(std::move(w));
    }
    return words;
}

manifest_record parse_line(std::vector<std::string> const& words, unsigned line,
                           std::string const& base_dir) {
    keyword const* kw = nullptr;
    for (auto const& k : keywords)
        if (k.word == words[0]) kw = &k;
    if (!kw) fail(line, "unknown record \"" + words[0] + "\"");

    manifest_record rec;
    rec.type = kw->type;
    rec.line = line;
    std::size_t const n = words.size() - 1;
    if (kw->args == -1) {
        if (n < 1 || n % 2 != 1)
            fail(line, words[0] + " needs a directory and pairs of entry name and source");
        rec.name = words[1];
        for (std::size_t i = 2; i < words.size(); i += 2) {
            std::string src = words[i + 1];
            if (!base_dir.empty() && !src.empty() && src[0] != '/') src = base_dir + "/" + src;
            rec.entries.push_back({words[i], std::move(src), {}});
        }
    } else if (kw->args == 2) {
        if (n > 1) fail(line, words[0] + " takes at most one word");
        if (n == 1) rec.name = words[1];
    } else {
        if (n != static_cast<std::size_t>(kw->args))
            fail(line, words[0] + (kw->args ? " takes one name" : " takes nothing"));
        if (n == 1) rec.name = words[1];
    }
    return rec;
}

} // namespace

std::vector<manifest_record> parse_manifest(std::string_view text, std::string const& base_dir) {
    std::vector<manifest_record> records;
    unsigned line = 0;
    while (!text.empty()) {
        ++line;
        std::size_t const eol = text.find('\n');
        std::string_view const l = text.substr(0, eol);
        text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);
        auto words = split_words(l, line);
        if (words.empty() || words[0][0] == '#') continue;
        if (!records.empty() && records.back().type == 0) fail(line, "record after \"end\"");
        records.push_back(parse_line(words, line, base_dir));
    }
    return records;
}

std::string read_source(std::string const& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw pack_error("cannot read \"" + path + "\"");
    std::string s{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad()) throw pack_error("failed reading \"" + path + "\"");
    return s;
}

void load_sources(std::vector<manifest_record>& records) {
    for (auto& rec : records)
        for (auto& e : rec.entries) {
            std::ifstream in(e.source, std::ios::binary);
            if (!in) throw pack_error("cannot read \"" + e.source + "\" for entry \"" + e.name + "\"");
            e.data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
            if (in.bad()) throw pack_error("failed reading \"" + e.source + "\"");
        }
}

} // namespace packer
