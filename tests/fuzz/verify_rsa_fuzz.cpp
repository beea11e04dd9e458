// The RSA check on a hostile key blob and signature. It must answer 0 or 1,
// never read past the buffers, and answer 0 whenever the blob's counts run
// past its end, a number is empty, or the signature's length is not the
// modulus's (leading zero bytes of the modulus do not count).
//
// Input: a 2-byte big-endian length, that many bytes of key blob, then the
// signature; the data signed is the first 64 bytes of the signature (or all).
#include "rulo/verify_rsa.h"
#include "tests/fuzz/fuzz_support.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

using fuzz::check;

namespace {

// The blob's modulus length without leading zeros, or -1 when the blob is
// not well formed, read from the format.
long modulus_size(std::string const& blob) {
    std::size_t pos = 0;
    long result = -1;
    for (int number = 0; number < 2; ++number) {
        if (blob.size() - pos < 2) return -1;
        std::size_t const count = std::size_t(std::uint8_t(blob[pos])) << 8 | std::uint8_t(blob[pos + 1]);
        pos += 2;
        if (count == 0 || blob.size() - pos < count) return -1;
        if (number == 0) {
            std::size_t zeros = 0;
            while (zeros < count && blob[pos + zeros] == '\0') ++zeros;
            result = long(count - zeros);
        }
        pos += count;
    }
    return result;
}

unsigned char const* bytes(std::string const& s) {
    return reinterpret_cast<unsigned char const*>(s.data());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
    if (size < 2) return 0;
    std::size_t const key_size = std::size_t(data[0]) << 8 | data[1];
    if (size - 2 < key_size) return 0;
    // Copies of exactly the right size, so that a read past them is caught.
    std::string const key = fuzz::bytes(data + 2, key_size);
    std::string const signature = fuzz::bytes(data + 2 + key_size, size - 2 - key_size);
    std::string const signed_data = signature.substr(0, std::min<std::size_t>(64, signature.size()));

    int const result = rulo::verify_rsa(bytes(key), int(key.size()), bytes(signature), int(signature.size()),
                                        bytes(signed_data), int(signed_data.size()));
    check(result == 0 || result == 1);
    long const modulus = modulus_size(key);
    if (modulus < 0 || std::size_t(modulus) != signature.size()) check(result == 0);

    // Refused arguments.
    check(rulo::verify_rsa(bytes(key), -1, bytes(signature), int(signature.size()), nullptr, 0) == 0);
    check(rulo::verify_rsa(nullptr, int(key.size()), bytes(signature), int(signature.size()), nullptr, 0) ==
          0);
    check(rulo::verify_rsa(bytes(key), int(key.size()), bytes(signature), int(signature.size()), nullptr,
                           1) == 0);
    return 0;
}
