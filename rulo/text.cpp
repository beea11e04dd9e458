#include "rulo/text.h"

#include "rulo/exception.h"

namespace xstd {

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
