// What every fuzz target shares: the check that stops the run on a broken
// invariant and the text of a thrown exception. fuzz_support.cpp also starts
// the framework once, in LLVMFuzzerInitialize.
#pragma once

#include "rulo/exception.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fuzz {

// The fuzzer reports the trap as a crash and keeps the input that caused it.
inline void check(bool invariant) {
    if (!invariant) __builtin_trap();
}

// The text of the rulo::exception f throws, or "" when it throws none. Any
// other exception escapes and ends the run: the parsers promise only rulo::exception.
template <class F>
std::string error_of(F&& f) {
    try {
        f();
    } catch (rulo::exception const& e) {
        std::string text = e.what();
        check(!text.empty()); // an empty text would read as success here
        return text;
    }
    return "";
}

// The text of rulo::exception::function(name).
std::string function_error(char const* name);

// The lines of text, written from the format rather than with find_eol: they
// end at "\r\n", "\r" or "\n", and a last line without a terminator counts.
std::vector<std::string> split_lines(std::string const& text);

// The input as a byte string.
inline std::string bytes(std::uint8_t const* data, std::size_t size) {
    return std::string(reinterpret_cast<char const*>(data), size);
}

} // namespace fuzz
