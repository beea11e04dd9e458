// The text splitters on hostile text: command lines, lines, tokens and hex.
//
// The first input byte gives the separator's length (0-3), the next bytes the
// separator (for strtok) or delimiter set (for split); the rest is the text.
#include "rulo/exception.h"
#include "rulo/text.h"
#include "tests/fuzz/fuzz_support.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

using fuzz::check;
using fuzz::error_of;

namespace {

using lines_t = std::vector<std::string>;

// Quotes a word so that parse_cmdline reads it back: a quote inside becomes \".
std::string quoted(std::string const& word) {
    std::string out = "\"";
    for (char c : word) {
        if (c == '"') out += '\\';
        out += c;
    }
    return out + '"';
}

void check_cmdline(std::string const& text) {
    for (bool with_program : {false, true}) {
        lines_t out;
        int const n = rulo::parse_cmdline(text, out, with_program);
        check(n == static_cast<int>(out.size()));
        std::size_t first = 0;
        if (with_program) {
            if (!text.empty() && text[0] == '"') {
                std::size_t const close = text.find('"', 1);
                if (close == std::string::npos) {
                    check(n == 0); // an unclosed program quote
                    continue;
                }
                check(n >= 1 && out[0] == text.substr(1, close - 1));
            } else {
                std::size_t end = 0;
                while (end < text.size() && !rulo::is_space(text[end])) ++end;
                check(n >= 1 && out[0] == text.substr(0, end));
            }
            first = 1;
        }
        // The words, quoted again, read back as themselves; a word ending in a
        // backslash cannot be quoted (its backslash would escape the closing quote).
        lines_t const words(out.begin() + static_cast<std::ptrdiff_t>(first), out.end());
        std::string line;
        bool quotable = true;
        for (auto const& w : words) {
            quotable = quotable && (w.empty() || w.back() != '\\');
            line += quoted(w) + ' ';
        }
        if (!quotable) continue;
        lines_t again;
        check(rulo::parse_cmdline(line, again, false) == static_cast<int>(words.size()));
        check(again == words);
    }
}

void check_lines(std::string const& text) {
    lines_t lines = {"kept"};
    rulo::get_lines(text, lines);
    std::string const body = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? text.substr(3) : text;
    lines_t expected = {"kept"};
    for (auto const& line : fuzz::split_lines(body)) expected.push_back(line);
    check(lines == expected);
}

bool ends_with(std::string const& text, std::string const& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// text is separator written zero or more times.
bool repeats(std::string const& text, std::string const& separator) {
    if (text.size() % separator.size()) return false;
    for (std::size_t at = 0; at < text.size(); at += separator.size())
        if (text.compare(at, separator.size(), separator) != 0) return false;
    return true;
}

void check_strtok(std::string const& text, std::string const& separator) {
    std::string const strtok_error = fuzz::function_error("strtok");
    std::string rest = text;
    for (;;) {
        std::string const before = rest;
        std::string token;
        std::string const error = error_of([&] { token = rulo::strtok(&rest, separator); });
        if (!error.empty()) {
            // Only separators were left.
            check(error == strtok_error);
            if (separator.empty()) {
                check(before.empty());
            } else {
                check(repeats(before, separator));
            }
            return;
        }
        check(!token.empty() && rest.size() < before.size());
        if (separator.empty()) {
            check(token == before && rest.empty());
            continue;
        }
        check(token.find(separator) == std::string::npos);
        // before = the separator repeated, the token, then nothing or the separator and the rest.
        check(before.compare(before.size() - rest.size(), rest.size(), rest) == 0);
        std::string const taken = before.substr(0, before.size() - rest.size());
        std::string const cut = token + separator;
        bool const at_separator =
            ends_with(taken, cut) && repeats(taken.substr(0, taken.size() - cut.size()), separator);
        bool const at_end = rest.empty() && ends_with(taken, token) &&
                            repeats(taken.substr(0, taken.size() - token.size()), separator);
        check(at_separator || at_end);
    }
}

void check_split(std::string const& text, std::string const& delimiters) {
    lines_t const tokens = xstd::split(delimiters, text);
    lines_t appended = {"kept"};
    rulo::get_tokens(&appended, text, delimiters);
    check(appended.size() == tokens.size() + 1 && lines_t(appended.begin() + 1, appended.end()) == tokens);

    // The tokens are the maximal runs of bytes outside the delimiters.
    lines_t expected;
    std::string run;
    for (char c : text) {
        if (delimiters.find(c) != std::string::npos) {
            if (!run.empty()) expected.push_back(run);
            run.clear();
        } else {
            run += c;
        }
    }
    if (!run.empty()) expected.push_back(run);
    check(tokens == expected);
}

void check_hex(std::string const& text) {
    std::string decoded = text;
    std::string const error = error_of([&] { xstd::dehexcode(decoded); });
    if (text.size() % 2) {
        check(error == fuzz::function_error("dehexcode") && decoded == text);
    } else {
        check(error.empty() && decoded.size() == text.size() / 2);
        for (std::size_t i = 0; i < decoded.size(); ++i)
            check(decoded[i] == xstd::pop_hexchar(text[2 * i], text[2 * i + 1]));
    }
    std::string coded = xstd::hexcode(text);
    check(coded.size() == 2 * text.size());
    xstd::dehexcode(coded);
    check(coded == text);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
    if (size < 1) return 0;
    std::size_t const length = data[0] % 4;
    if (size < 1 + length) return 0;
    std::string const separator = fuzz::bytes(data + 1, length);
    std::string const text = fuzz::bytes(data + 1 + length, size - 1 - length);
    check_cmdline(text);
    check_lines(text);
    check_strtok(text, separator);
    check_split(text, separator);
    check_hex(text);
    return 0;
}
