// Text and encoding helpers: character tests, trimming and case, splitting and
// joining, line handling, number conversion, command-line splitting and
// hexadecimal coding.
//
// Every text is a byte string (UTF-8 where it is text at all). Nothing here
// keeps state between calls, so every function may be called from any thread.
#pragma once

#include "rulo/exception.h"

#include <cstddef>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace rulo {

// A text builder for decoders: the first N bytes go into an inline array, so
// short results never touch the free store; the N+1-th append moves the
// content into a heap text that takes every later byte. Belongs to one thread.
template <std::size_t N>
class mini_char {
public:
    mini_char() = default;
    mini_char(mini_char const&) = delete;
    mini_char& operator=(mini_char const&) = delete;

    void append(char c) {
        if (m_heap) {
            m_heap->push_back(c);
        } else if (m_pos < N) {
            m_array[m_pos++] = c;
        } else {
            m_heap = std::make_unique<std::string>(m_array, N);
            m_heap->push_back(c);
        }
    }
    std::size_t size() const { return m_heap ? m_heap->size() : m_pos; }
    // Frees the heap text and rewinds to the inline array.
    void clear() {
        m_heap.reset();
        m_pos = 0;
    }
    operator std::string() const { return m_heap ? *m_heap : std::string(m_array, m_pos); }

private:
    char m_array[N];
    std::size_t m_pos = 0;
    std::unique_ptr<std::string> m_heap;
};

// The C library's isspace / isalnum of the byte (bytes above 0x7f included,
// which the C functions must not be given as negative values).
bool is_space(char c);
bool is_alnum(char c);

// In place: removes space, tab, line feed and carriage return (no others) from both ends.
void trim(std::string* text);

bool starts_with(std::string const& text, std::string const& prefix);
bool ends_with(std::string const& text, std::string const& suffix);

// Replaces every occurrence of what, left to right, never searching inside an
// inserted replacement. An empty what replaces nothing. True when anything was replaced.
bool replace_all(std::string& text, std::string const& what, std::string const& with);

// Appends the non-empty pieces of text between any bytes of delimiters.
void get_tokens(std::vector<std::string>* out, std::string const& text, std::string const& delimiters);
// The elements with the separator between them; "" for no elements.
std::string join_tokens(std::string const& separator, std::vector<std::string> const& tokens);

// Drops every repetition of separator at the start of *text, then returns the
// part up to the next separator and leaves in *text what follows it (or
// returns all of it and leaves *text empty). An empty separator returns the
// whole text. Throws the function exception "strtok" when no text is left.
std::string strtok(std::string* text, std::string const& separator);

// Where the current line's content ends; moves position past its terminator
// ("\r\n", "\r" or "\n"). At the end of the text both are the end.
template <class It>
It find_eol(It& position, It end) {
    for (; position != end; ++position) {
        if (*position == '\n') {
            It eol = position;
            ++position;
            return eol;
        }
        if (*position == '\r') {
            It eol = position;
            if (++position != end && *position == '\n') ++position;
            return eol;
        }
    }
    return end;
}

// Removes one trailing line terminator ("\r\n", "\n" or "\r").
void chomp(std::string* text);

// Appends the lines of text without their terminators, after skipping a
// leading UTF-8 byte-order mark; a final terminator gives no empty last line.
void get_lines(std::string const& text, std::vector<std::string>& lines);

// Formatted stream extraction into a value that starts at 0: text that does
// not start with a number gives 0, one out of range the stream's clamped value.
template <class T>
T destringify(std::string const& text) {
    T value = 0;
    std::istringstream in(text);
    in >> value;
    return value;
}

int atoi(std::string const& text);
// The value in base 8 or 16 (lowercase); any other base gives decimal.
std::string itoa(int value, int base = 10);

// Splits a command line into out and returns out's size; with_program takes
// the first element as the program name (quoted without escapes, else up to
// the first white space); an unclosed quote there gives 0. Later words may be
// quoted, with \" standing for a quote inside; an unclosed quote runs to the end.
int parse_cmdline(std::string const& text, std::vector<std::string>& out, bool with_program);

// Inserts its values into one stream, without separators.
template <class... A>
std::string stringify(A const&... values) {
    std::ostringstream s;
    (s << ... << values);
    return s.str();
}

std::string fnum(int value, int base, char pad, unsigned width);
std::string hex(int value);

} // namespace rulo

namespace xstd {

// Returns text without any bytes of set at either end.
std::string trim(std::string const& set, std::string const& text);
// Byte-wise toupper / tolower.
std::string uc(std::string text);
std::string lc(std::string text);

// The non-empty pieces of text between any bytes of delimiters, in order.
std::vector<std::string> split(std::string const& delimiters, std::string const& text);
std::string join(std::string const& separator, std::vector<std::string> const& tokens);

template <class T>
T from_string(std::string const& text) {
    return rulo::destringify<T>(text);
}

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

// The raw bytes of a value in memory order, hex-coded: names objects in log lines.
template <class T>
std::string pod_hexcode(T const& value) {
    return hexcode(std::string(reinterpret_cast<char const*>(&value), sizeof value));
}

// The value under key, or a default-constructed one when the key is missing.
template <class M, class K>
typename M::mapped_type take(M const& map, K const& key) {
    auto it = map.find(key);
    return it == map.end() ? typename M::mapped_type() : it->second;
}

} // namespace xstd
