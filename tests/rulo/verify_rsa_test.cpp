// RSA signature checks against keys and signatures made by the openssl tool.
#include "rulo/hash.h"
#include "rulo/text.h"
#include "rulo/verify_rsa.h"
#include "tests/support/shell.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>

namespace {

using test_support::read_file;
using test_support::run_command;
using test_support::scratch_dir;
using test_support::write_file;

std::string with_count(std::string const& number) {
    std::string out;
    out.push_back(char(number.size() >> 8));
    out.push_back(char(number.size() & 0xff));
    return out + number;
}

// Big-endian bytes of a small number, without leading zeros.
std::string be_bytes(unsigned long value) {
    std::string out;
    for (; value; value >>= 8) out.insert(out.begin(), char(value & 0xff));
    return out;
}

int verify(std::string const& key, std::string const& signature, std::string const& data) {
    auto p = [](std::string const& s) { return reinterpret_cast<unsigned char const*>(s.data()); };
    return rulo::verify_rsa(p(key), int(key.size()), p(signature), int(signature.size()), p(data),
                            int(data.size()));
}

// One key pair from openssl genrsa, its compact public blob, and two
// signatures over the SHA-512 digest of a message: the raw type-1 form the
// program checks, and the usual DigestInfo form it must refuse.
struct signed_message {
    std::string modulus, exponent, blob;
    std::string digest, raw_signature, digestinfo_signature;
};

class VerifyRsa : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_dir = std::make_unique<scratch_dir>();
        for (int bits : {1024, 2048}) s_keys[bits] = make(bits);
    }
    static void TearDownTestSuite() {
        s_keys.clear();
        s_dir.reset();
    }

    static signed_message make(int bits) {
        std::string const tag = std::to_string(bits);
        std::string const key = s_dir->file("key" + tag + ".pem");
        signed_message m;
        if (run_command("openssl genrsa -out " + key + " " + tag).status != 0) return m;

        auto modulus = run_command("openssl rsa -in " + key + " -noout -modulus");
        std::string const prefix = "Modulus=";
        if (modulus.status != 0 || modulus.out.compare(0, prefix.size(), prefix) != 0) return m;
        std::string hex = modulus.out.substr(prefix.size());
        hex.erase(hex.find_last_not_of("\r\n") + 1);
        xstd::dehexcode(hex);
        m.modulus = hex;

        // "publicExponent: 65537 (0x10001)"
        auto text = run_command("openssl rsa -in " + key + " -noout -text");
        size_t at = text.out.find("publicExponent:");
        if (at == std::string::npos) return m;
        m.exponent = be_bytes(std::stoul(text.out.substr(at + 15)));
        m.blob = with_count(m.modulus) + with_count(m.exponent);

        std::string const message = "plugin package of " + tag + " bits";
        xstd::sha512 h;
        h.update(message.data(), message.size());
        m.digest = h.finish();
        write_file(s_dir->file("message"), message);
        write_file(s_dir->file("digest"), m.digest);
        std::string const raw = s_dir->file("raw" + tag), info = s_dir->file("info" + tag);
        run_command("openssl pkeyutl -sign -inkey " + key + " -pkeyopt rsa_padding_mode:pkcs1 -in " +
                    s_dir->file("digest") + " -out " + raw);
        run_command("openssl dgst -sha512 -sign " + key + " -out " + info + " " + s_dir->file("message"));
        m.raw_signature = read_file(raw);
        m.digestinfo_signature = read_file(info);
        return m;
    }

    static signed_message const& key(int bits) { return s_keys.at(bits); }

    static inline std::unique_ptr<scratch_dir> s_dir;
    static inline std::map<int, signed_message> s_keys;
};

TEST_F(VerifyRsa, RawPkcs1SignatureOverTheDigest) {
    for (int bits : {1024, 2048}) {
        SCOPED_TRACE(std::to_string(bits) + " bits");
        signed_message const& m = key(bits);
        ASSERT_EQ(m.modulus.size(), size_t(bits / 8));
        ASSERT_EQ(m.raw_signature.size(), m.modulus.size());
        ASSERT_EQ(m.digestinfo_signature.size(), m.modulus.size());
        ASSERT_EQ(m.digest.size(), 64u);

        EXPECT_EQ(verify(m.blob, m.raw_signature, m.digest), 1);
        // Bytes after the exponent are ignored.
        EXPECT_EQ(verify(m.blob + "trailing", m.raw_signature, m.digest), 1);
    }
}

TEST_F(VerifyRsa, WrongSignaturesAndDataGiveZero) {
    for (int bits : {1024, 2048}) {
        SCOPED_TRACE(std::to_string(bits) + " bits");
        signed_message const& m = key(bits);
        auto flip = [](std::string s, size_t at) {
            s[at] = char(s[at] ^ 0x01);
            return s;
        };
        std::string const& sig = m.raw_signature;
        struct row {
            char const* what;
            std::string signature, data;
        };
        row const table[] = {
            {"DigestInfo signature", m.digestinfo_signature, m.digest},
            {"flipped bit, last signature byte", flip(sig, sig.size() - 1), m.digest},
            {"flipped bit, first signature byte", flip(sig, 0), m.digest},
            {"flipped bit in the data", sig, flip(m.digest, 10)},
            {"data one byte short", sig, m.digest.substr(0, 63)},
            {"data one byte long", sig, m.digest + '\0'},
            {"no data", sig, ""},
            {"signature one byte short", sig.substr(1), m.digest},
            {"signature one byte long", std::string(1, '\0') + sig, m.digest},
            {"signature not below the modulus", std::string(sig.size(), '\xff'), m.digest},
            {"empty signature", "", m.digest},
        };
        for (row const& r : table) EXPECT_EQ(verify(m.blob, r.signature, r.data), 0) << r.what;
    }
}

TEST_F(VerifyRsa, MalformedKeysGiveZero) {
    signed_message const& m = key(1024);
    std::string const& sig = m.raw_signature;
    std::string const e = with_count(m.exponent);
    std::string const tiny = be_bytes(0xc34f01); // odd, far too small
    struct row {
        char const* what;
        std::string blob, signature;
    };
    row const table[] = {
        {"empty blob", "", sig},
        {"one-byte blob", std::string(1, '\x00'), sig},
        {"modulus count beyond the blob", m.blob.substr(0, 2 + m.modulus.size() - 1), sig},
        {"count 0xffff over a short blob", "\xff\xff" + m.modulus + e, sig},
        {"exponent missing", with_count(m.modulus), sig},
        {"exponent count beyond the blob", m.blob.substr(0, m.blob.size() - 1), sig},
        {"zero-length modulus", with_count("") + e, ""},
        {"modulus of zero bytes", with_count(std::string(m.modulus.size(), '\0')) + e, sig},
        {"tiny modulus", with_count(tiny) + e, std::string(tiny.size(), '\x01')},
        {"even modulus", with_count(m.modulus.substr(0, m.modulus.size() - 1) + '\x02') + e, sig},
        {"zero-length exponent", with_count(m.modulus) + with_count(""), sig},
        {"exponent one", with_count(m.modulus) + with_count(be_bytes(1)), sig},
        {"exponent larger than the modulus", with_count(m.modulus) + with_count("\xff" + m.modulus), sig},
    };
    for (row const& r : table) EXPECT_EQ(verify(r.blob, r.signature, m.digest), 0) << r.what;
}

TEST_F(VerifyRsa, NegativeLengthsAndNullBuffersGiveZero) {
    signed_message const& m = key(1024);
    auto p = [](std::string const& s) { return reinterpret_cast<unsigned char const*>(s.data()); };
    int const k = int(m.blob.size()), s = int(m.raw_signature.size()), d = int(m.digest.size());
    ASSERT_EQ(rulo::verify_rsa(p(m.blob), k, p(m.raw_signature), s, p(m.digest), d), 1);

    EXPECT_EQ(rulo::verify_rsa(p(m.blob), -1, p(m.raw_signature), s, p(m.digest), d), 0);
    EXPECT_EQ(rulo::verify_rsa(p(m.blob), k, p(m.raw_signature), -s, p(m.digest), d), 0);
    EXPECT_EQ(rulo::verify_rsa(p(m.blob), k, p(m.raw_signature), s, p(m.digest), -1), 0);
    EXPECT_EQ(rulo::verify_rsa(p(m.blob), k, p(m.raw_signature), s, p(m.digest), -d), 0);
    EXPECT_EQ(rulo::verify_rsa(nullptr, k, p(m.raw_signature), s, p(m.digest), d), 0);
    EXPECT_EQ(rulo::verify_rsa(p(m.blob), k, nullptr, s, p(m.digest), d), 0);
    EXPECT_EQ(rulo::verify_rsa(p(m.blob), k, p(m.raw_signature), s, nullptr, d), 0);
}

} // namespace
