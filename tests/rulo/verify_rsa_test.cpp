// RSA signature checks against keys and signatures made by the openssl tool.
#include "rulo/hash.h"
#include "rulo/text.h"
#include "rulo/verify_rsa.h"
#include "tests/support/shell.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace {

using test_support::run_command;

// A big number as the key blob holds it: a 2-byte big-endian count, then the bytes.
std::string with_count(std::string const& number) {
    return std::string{char(number.size() >> 8), char(number.size() & 0xff)} + number;
}

unsigned char const* bytes(std::string const& s) {
    return reinterpret_cast<unsigned char const*>(s.data());
}

int verify(std::string const& key, std::string const& signature, std::string const& data) {
    return rulo::verify_rsa(bytes(key), int(key.size()), bytes(signature), int(signature.size()), bytes(data),
                            int(data.size()));
}

std::string const f4("\x01\x00\x01", 3); // the public exponent 65537

// A key pair from openssl genrsa, its public blob, and two signatures over the
// SHA-512 digest of a message: the raw type-1 form the program checks, and the
// usual DigestInfo form it must refuse.
struct signed_message {
    std::string modulus, blob, digest, raw_signature, digestinfo_signature;
};

signed_message make(int bits) {
    test_support::scratch_dir dir;
    std::string const key = dir.file("key.pem");
    signed_message m;
    if (run_command("openssl genrsa -F4 -out " + key + " " + std::to_string(bits)).status != 0) return m;
    std::string hex = run_command("openssl rsa -in " + key + " -noout -modulus").out; // "Modulus=HEX\n"
    hex = hex.substr(hex.find('=') + 1, hex.find('\n') - hex.find('=') - 1);
    xstd::dehexcode(hex);
    m.modulus = hex;
    m.blob = with_count(m.modulus) + with_count(f4);

    std::string const text = "plugin package of " + std::to_string(bits) + " bits";
    xstd::sha512 h;
    h.update(text.data(), text.size());
    m.digest = h.finish();
    m.raw_signature = test_support::filter_command(
        "openssl pkeyutl -sign -pkeyopt rsa_padding_mode:pkcs1 -inkey " + key, m.digest);
    m.digestinfo_signature = test_support::filter_command("openssl dgst -sha512 -sign " + key, text);
    return m;
}

signed_message const& key(int bits) {
    static std::map<int, signed_message> const keys = {{1024, make(1024)}, {2048, make(2048)}};
    return keys.at(bits);
}

TEST(verify_rsa, accepts_the_raw_signature_and_refuses_others) {
    for (int bits : {1024, 2048}) {
        SCOPED_TRACE(std::to_string(bits) + " bits");
        signed_message const& m = key(bits);
        ASSERT_EQ(m.modulus.size(), size_t(bits / 8));
        ASSERT_EQ(m.raw_signature.size(), m.modulus.size());
        ASSERT_EQ(m.digestinfo_signature.size(), m.modulus.size());

        EXPECT_EQ(verify(m.blob, m.raw_signature, m.digest), 1);
        EXPECT_EQ(verify(m.blob + "trailing", m.raw_signature, m.digest), 1); // bytes after the exponent

        std::string const& sig = m.raw_signature;
        auto flip = [](std::string s, size_t at) {
            s[at] = char(s[at] ^ 0x01);
            return s;
        };
        std::pair<char const*, std::pair<std::string, std::string>> const refused[] = {
            {"DigestInfo signature", {m.digestinfo_signature, m.digest}},
            {"flipped bit in the signature", {flip(sig, sig.size() - 1), m.digest}},
            {"flipped bit in the data", {sig, flip(m.digest, 10)}},
            {"data one byte short", {sig, m.digest.substr(0, 63)}},
            {"signature one byte short", {sig.substr(1), m.digest}},
            {"signature one byte long", {std::string(1, '\0') + sig, m.digest}},
            {"signature not below the modulus", {std::string(sig.size(), '\xff'), m.digest}},
        };
        for (auto const& [what, r] : refused) EXPECT_EQ(verify(m.blob, r.first, r.second), 0) << what;
    }
}

TEST(verify_rsa, malformed_keys_and_negative_lengths_give_zero) {
    signed_message const& m = key(1024);
    std::string const &sig = m.raw_signature, &n = m.modulus, e = with_count(f4);
    ASSERT_EQ(verify(m.blob, sig, m.digest), 1); // each row below spoils this one check
    std::pair<char const*, std::string> const blobs[] = {
        {"empty blob", ""},
        {"one-byte blob", std::string(1, '\0')},
        {"modulus count beyond the blob", m.blob.substr(0, 2 + n.size() - 1)},
        {"count 0xffff over a short blob", "\xff\xff" + n + e},
        {"exponent count beyond the blob", m.blob.substr(0, m.blob.size() - 1)},
        {"zero-length modulus", with_count("") + e},
        {"modulus of zero bytes", with_count(std::string(n.size(), '\0')) + e},
        {"even modulus", with_count(n.substr(0, n.size() - 1) + '\x02') + e},
        {"zero-length exponent", with_count(n) + with_count("")},
        {"exponent one", with_count(n) + with_count("\x01")},
        {"exponent larger than the modulus", with_count(n) + with_count("\xff" + n)},
    };
    for (auto const& [what, blob] : blobs) EXPECT_EQ(verify(blob, sig, m.digest), 0) << what;

    int const k = int(m.blob.size()), s = int(sig.size()), d = int(m.digest.size());
    EXPECT_EQ(rulo::verify_rsa(bytes(m.blob), -1, bytes(sig), s, bytes(m.digest), d), 0);
    EXPECT_EQ(rulo::verify_rsa(bytes(m.blob), k, bytes(sig), -s, bytes(m.digest), d), 0);
    EXPECT_EQ(rulo::verify_rsa(bytes(m.blob), k, bytes(sig), s, bytes(m.digest), -d), 0);
    EXPECT_EQ(rulo::verify_rsa(nullptr, k, bytes(sig), s, bytes(m.digest), d), 0);
    EXPECT_EQ(rulo::verify_rsa(bytes(m.blob), k, nullptr, s, bytes(m.digest), d), 0);
    EXPECT_EQ(rulo::verify_rsa(bytes(m.blob), k, bytes(sig), s, nullptr, d), 0);
}

} // namespace
