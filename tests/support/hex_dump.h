// Bytes as upper-case hex pairs joined by blanks ("61 01"): how the tests
// write golden bytes, so a mismatch reads like the table it broke.
#pragma once

#include <cstdio>
#include <string>

namespace test_support {

inline std::string hex(std::string const& bytes) {
    std::string out;
    char b[4];
    for (unsigned char c : bytes) {
        std::snprintf(b, sizeof b, "%02X ", c);
        out += b;
    }
    if (!out.empty()) out.pop_back();
    return out;
}

} // namespace test_support
