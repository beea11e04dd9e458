#include "rulo/text.h"

#include "rulo/exception.h"

#include <cctype>
#include <iomanip>

namespace rulo {

namespace {

bool is_line_blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// The end of the word that starts at i: the next white space or the end.
std::size_t word_end(std::string const& text, std::size_t i) {
    while (i < text.size() && !is_space(text[i])) ++i;
    return i;
}

} // namespace

bool is_space(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}
bool is_alnum(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0;
}

void trim(std::string* text) {
    std::size_t end = text->size();
    while (end > 0 && is_line_blank((*text)[end - 1])) --end;
    std::size_t begin = 0;
    while (begin < end && is_line_blank((*text)[begin])) ++begin;
    text->erase(end);
    text->erase(0, begin);
}

bool starts_with(std::string const& text, std::string const& prefix) {
    return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

bool ends_with(std::string const& text, std::string const& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool replace_all(std::string& text, std::string const& what, std::string const& with) {
    // An empty pattern matches everywhere and would never let the scan advance.
    if (what.empty()) return false;
    bool replaced = false;
    std::size_t pos = 0;
    while ((pos = text.find(what, pos)) != std::string::npos) {
        text.replace(pos, what.size(), with);
        pos += with.size();
        replaced = true;
    }
    return replaced;
}

void get_tokens(std::vector<std::string>* out, std::string const& text, std::string const& delimiters) {
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t begin = text.find_first_not_of(delimiters, pos);
        if (begin == std::string::npos) break;
        std::size_t end = text.find_first_of(delimiters, begin);
        if (end == std::string::npos) end = text.size();
        out->push_back(text.substr(begin, end - begin));
        pos = end;
    }
}

std::string join_tokens(std::string const& separator, std::vector<std::string> const& tokens) {
    std::string out;
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        if (i) out += separator;
        out += tokens[i];
    }
    return out;
}

std::string strtok(std::string* text, std::string const& separator) {
    if (!separator.empty()) {
        std::size_t skip = 0;
        while (text->compare(skip, separator.size(), separator) == 0) skip += separator.size();
        text->erase(0, skip);
    }
    if (text->empty()) throw exception::function("strtok");
    // An empty separator never occurs in the text: the whole text is the one token.
    std::size_t pos = separator.empty() ? std::string::npos : text->find(separator);
    std::string token;
    if (pos == std::string::npos) {
        token.swap(*text);
    } else {
        token = text->substr(0, pos);
        text->erase(0, pos + separator.size());
    }
    return token;
}

void chomp(std::string* text) {
    if (ends_with(*text, "\r\n")) {
        text->resize(text->size() - 2);
    } else if (!text->empty() && (text->back() == '\n' || text->back() == '\r')) {
        text->pop_back();
    }
}

void get_lines(std::string const& text, std::vector<std::string>& lines) {
    auto pos = text.begin();
    if (starts_with(text, "\xEF\xBB\xBF")) pos += 3;
    while (pos != text.end()) {
        auto begin = pos;
        auto eol = find_eol(pos, text.end());
        lines.emplace_back(begin, eol);
    }
}

int atoi(std::string const& text) {
    return destringify<int>(text);
}

std::string itoa(int value, int base) {
    std::ostringstream s;
    s << std::setbase(base) << value;
    return s.str();
}

int parse_cmdline(std::string const& text, std::vector<std::string>& out, bool with_program) {
    std::size_t i = 0;
    if (with_program) {
        // The program path is taken as it is: it may hold backslashes, never quotes.
        if (!text.empty() && text[0] == '"') {
            std::size_t close = text.find('"', 1);
            if (close == std::string::npos) return 0;
            out.push_back(text.substr(1, close - 1));
            i = close + 1;
        } else {
            i = word_end(text, 0);
            out.push_back(text.substr(0, i));
        }
    }
    mini_char<128> word;
    for (;;) {
        while (i < text.size() && is_space(text[i])) ++i;
        if (i >= text.size()) return static_cast<int>(out.size());
        if (text[i] == '"') {
            word.clear();
            for (++i; i < text.size() && text[i] != '"'; ++i) {
                if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == '"') ++i;
                word.append(text[i]);
            }
            if (i < text.size()) ++i; // the closing quote
            out.push_back(word);
        } else {
            std::size_t end = word_end(text, i);
            out.push_back(text.substr(i, end - i));
            i = end;
        }
    }
}

std::string fnum(int value, int base, char pad, unsigned width) {
    std::ostringstream s;
    s << std::setbase(base) << value;
    std::string text = s.str();
    if (text.size() < width) text.insert(0, width - text.size(), pad);
    return text;
}

std::string hex(int value) {
    return fnum(value, 16, 0, 0);
}

} // namespace rulo

namespace xstd {

std::string trim(std::string const& set, std::string const& text) {
    std::size_t begin = text.find_first_not_of(set);
    if (begin == std::string::npos) return std::string();
    std::size_t end = text.find_last_not_of(set);
    return text.substr(begin, end - begin + 1);
}

std::string uc(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::string lc(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::vector<std::string> split(std::string const& delimiters, std::string const& text) {
    std::vector<std::string> out;
    rulo::get_tokens(&out, text, delimiters);
    return out;
}

std::string join(std::string const& separator, std::vector<std::string> const& tokens) {
    return rulo::join_tokens(separator, tokens);
}

void push_hexchar(std::string& out, char c) {
    static char const digits[] = "0123456789abcdef";
    unsigned char b = static_cast<unsigned char>(c);
    out += digits[b >> 4];
    out += digits[b & 15];
}

std::string hexcode(std::string const& text) {
    std::string out;
    out.reserve(text.size() * 2);
    for (char c : text) push_hexchar(out, c);
    return out;
}

int dehex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 0;
}

char pop_hexchar(char high, char low) {
    return static_cast<char>(dehex(high) * 16 + dehex(low));
}

void dehexcode(std::string& text) {
    if (text.size() % 2) throw rulo::exception::function("dehexcode");
    size_t half = text.size() / 2;
    // Each byte lands at or before the pair it came from, so one pass in place is safe.
    for (size_t i = 0; i < half; ++i) text[i] = pop_hexchar(text[2 * i], text[2 * i + 1]);
    text.resize(half);
}

} // namespace xstd
