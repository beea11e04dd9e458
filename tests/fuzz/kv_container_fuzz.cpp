// Signed key/value containers on hostile bytes: kv_load_content against the
// line parser and the format's payload rule, then kv_verify of what was read
// against a key blob taken from the input and against a fixed 1024-bit one,
// so that a signature of the right length reaches the RSA check. kv_verify
// must answer, never throw; no made-up signature may verify.
//
// Input: a 2-byte big-endian length, that many bytes of key blob, then the
// container.
#include "rulo/kv_container.h"
#include "rulo/kv_text.h"
#include "tests/fuzz/fuzz_support.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

using fuzz::check;
using fuzz::error_of;

namespace {

using keys_t = std::map<std::string, std::string>;

// An odd 1024-bit number and the exponent 65537 in the blob form of
// verify_rsa.h: enough for the library to run the check.
std::string const fixed_key = [] {
    std::string modulus(128, '\0');
    for (std::size_t i = 0; i < modulus.size(); ++i) modulus[i] = char(0xc5 ^ (i * 37));
    modulus[0] = char(0xc1);
    modulus.back() = char(modulus.back() | 1);
    return std::string("\x00\x80", 2) + modulus + std::string("\x00\x03\x01\x00\x01", 5);
}();

void check_load(std::string const& content, std::string const& key) {
    keys_t keys, expected;
    std::string payload = "old";
    std::string const error = error_of([&] { rulo::kv_load_content(content, keys, &payload); });
    std::size_t const nul = content.find('\0');
    std::string const parse_error = error_of([&] { rulo::parse_map(expected, content); });
    if (nul == std::string::npos) {
        check(error == fuzz::function_error("kv_load_content"));
        return;
    }
    check(error == parse_error);
    check(payload == content.substr(nul + 1));
    if (!error.empty()) return;
    check(keys == expected);

    // Without a payload pointer no NUL is needed and the keys are the same.
    keys_t plain;
    check(error_of([&] { rulo::kv_load_content(content, plain, nullptr); }).empty() && plain == keys);

    bool verified = true;
    check(error_of([&] { verified = rulo::kv_verify(key, keys, &payload); }).empty());
    check(error_of([&] { verified = verified || rulo::kv_verify(fixed_key, keys, &payload); }).empty());
    check(error_of([&] { verified = verified || rulo::kv_verify(fixed_key, keys, nullptr); }).empty());
    check(!verified);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
    if (size < 2) return 0;
    std::size_t const key_size = std::size_t(data[0]) << 8 | data[1];
    if (size - 2 < key_size) return 0;
    std::string const key = fuzz::bytes(data + 2, key_size);
    check_load(fuzz::bytes(data + 2 + key_size, size - 2 - key_size), key);
    return 0;
}
