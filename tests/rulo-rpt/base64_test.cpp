// Base64 coding.
#include "rulo-rpt/xstd-text-b64.h"
#include "rulo/exception.h"

#include "tests/support/shell.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::string_literals;

std::string encode(std::string const& data, char const* alphabet = xstd::base64_encoding) {
    std::string a = xstd::encode_base64(data, alphabet).to_string();
    std::string b = xstd::encode_base64(data.data(), static_cast<int>(data.size()), alphabet).to_string();
    EXPECT_EQ(a, b);
    return a;
}

std::string decode(std::string text, char const* alphabet = xstd::base64_encoding) {
    xstd::decode_base64(text, alphabet);
    return text;
}

// What coreutils' base64 makes of the bytes, in one line.
std::string coreutils_base64(std::string const& data) {
    return test_support::filter_command("base64 -w0", data);
}

TEST(base64, published_vectors) {
    struct row {
        std::string data, coded;
    };
    std::vector<row> const rows = {
        // RFC 4648, section 10.
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
        {"abc", "YWJj"},
        {"ab", "YWI="},
        {"a", "YQ=="},
        {"\0\0\0"s, "AAAA"},
        {"\xfb\xff\xfe", "+//+"},
    };
    for (auto const& r : rows) {
        EXPECT_EQ(encode(r.data), r.coded) << r.data;
        EXPECT_EQ(decode(r.coded), r.data) << r.coded;
    }
    EXPECT_TRUE(xstd::encode_base64("abc", -3, xstd::base64_encoding).empty());
}

TEST(base64, other_alphabet) {
    char const url_safe[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_.";
    EXPECT_EQ(encode("\xfb\xff", url_safe), "-_8.");
    EXPECT_EQ(decode("-_8.", url_safe), "\xfb\xff");
    EXPECT_THROW(decode("+/8=", url_safe), rulo::exception);
}

TEST(base64, decode_leftovers_and_errors) {
    struct row {
        std::string coded, data;
    };
    std::vector<row> const rows = {
        {"YWJjY", "abc"},   // characters after the last full group are ignored
        {"YWJj!!!", "abc"}, // ... whatever they are
        {"YQ==Y", "a"},     // so padding may end the last full group before them
        {"YR==", "a"},      // unused low bits are not checked
        {"abc", ""},
    };
    for (auto const& r : rows) EXPECT_EQ(decode(r.coded), r.data) << r.coded;

    std::vector<std::string> const bad = {
        "YQ==YQ==", // padding before the last group
        "YWI=YWJj",
        "YQ=a", // a third padding character needs a fourth
        "Y===", // padding in the second place
        "=YWJ",       "====",
        "YW!j",       // outside the alphabet
        "YW\0j"s,     // a NUL byte is not the alphabet's terminator
        "YW\xc3\xa9", // nor is a byte above 0x7f
        "YW J",
        "YWJj\nYWJj", // no line breaks inside the groups
    };
    for (auto const& b : bad) {
        std::string text = b;
        try {
            xstd::decode_base64(text, xstd::base64_encoding);
            FAIL() << "no exception for " << b;
        } catch (rulo::exception const& e) {
            EXPECT_STREQ(e.what(), "/xstd/base64/decode:Decode error") << b;
        }
        EXPECT_EQ(text, b) << "the text changed on failure";
    }
}

TEST(base64, against_coreutils) {
    std::mt19937 rng(20240611);
    std::vector<int> sizes = {1, 2, 3, 4, 5, 57, 58, 59, 60, 255, 256, 1000, 4095, 65537};
    for (int i = 0; i < 10; ++i) sizes.push_back(static_cast<int>(rng() % 5000));
    for (int size : sizes) {
        std::string blob(static_cast<size_t>(size), '\0');
        for (auto& c : blob) c = static_cast<char>(rng());
        std::string const expected = coreutils_base64(blob);
        EXPECT_EQ(encode(blob), expected) << size;
        EXPECT_EQ(decode(expected), blob) << size;
    }
}

} // namespace
