// Base64 coding.
#include "rulo-rpt/xstd-text-b64.h"
#include "rulo/exception.h"

#include "tests/support/framework_env.h"
#include "tests/support/shell.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

using namespace std::string_literals;

// Both encoder forms, which must agree.
std::string encode(std::string const& data, char const* alphabet = xstd::base64_encoding) {
    std::string a = xstd::encode_base64(data, alphabet).to_string();
    EXPECT_EQ(a, xstd::encode_base64(data.data(), static_cast<int>(data.size()), alphabet).to_string());
    return a;
}

std::string decode(std::string text, char const* alphabet = xstd::base64_encoding) {
    xstd::decode_base64(text, alphabet);
    return text;
}

TEST(base64, rfc4648_vectors_and_other_alphabets) {
    // RFC 4648, section 10, and the last two of the alphabet.
    std::vector<std::pair<std::string, std::string>> const rows = {
        {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},          {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}, {"\xfb\xff\xfe", "+//+"}, {"", ""},
    };
    for (auto const& [data, coded] : rows) {
        EXPECT_EQ(encode(data), coded) << data;
        EXPECT_EQ(decode(coded), data) << coded;
    }
    EXPECT_TRUE(xstd::encode_base64("abc", -3, xstd::base64_encoding).empty());

    char const url_safe[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_.";
    EXPECT_EQ(encode("\xfb\xff", url_safe), "-_8.");
    EXPECT_EQ(decode("-_8.", url_safe), "\xfb\xff");
    EXPECT_THROW(decode("+/8=", url_safe), rulo::exception);
}

TEST(base64, decode_leftovers_and_errors) {
    // Characters after the last full group are ignored, whatever they are; unused low bits are not checked.
    for (auto [coded, data] : {std::pair{"YWJjY", "abc"}, {"YWJj!!!", "abc"}, {"YQ==Y", "a"}, {"YR==", "a"}})
        EXPECT_EQ(decode(coded), data) << coded;

    std::vector<std::string> const bad = {
        "YQ==YQ==", "YWI=YWJj", "YQ=a",       "Y===",       "=YWJ", // misplaced padding
        "YW!j",     "YW\0j"s,   "YW\xc3\xa9", "YWJj\nYWJj",         // outside the alphabet, its NUL included
    };
    for (auto const& b : bad) {
        std::string text = b;
        EXPECT_EQ(test_support::thrown([&] { xstd::decode_base64(text, xstd::base64_encoding); }),
                  "/xstd/base64/decode:Decode error")
            << b;
        EXPECT_EQ(text, b) << "the text changed on failure";
    }
}

TEST(base64, random_blobs_against_coreutils) {
    std::mt19937 rng(20240611);
    std::vector<int> sizes = {1, 2, 3, 57, 58, 59, 4095, 65537};
    for (int i = 0; i < 6; ++i) sizes.push_back(static_cast<int>(rng() % 5000));
    for (int size : sizes) {
        std::string blob(static_cast<size_t>(size), '\0');
        for (auto& c : blob) c = static_cast<char>(rng());
        std::string const expected = test_support::filter_command("base64 -w0", blob);
        EXPECT_EQ(encode(blob), expected) << size;
        EXPECT_EQ(decode(expected), blob) << size;
    }
}

} // namespace
