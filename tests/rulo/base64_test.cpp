// The framework's Base64 coder through its own interface: what the transport's
// text coder does not show (byte views with NUL bytes, the default alphabet)
// and the strictness signed containers rely on.
#include "rulo/base64.h"

#include "tests/support/framework_env.h"
#include "tests/support/shell.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace std::string_literals;

TEST(rulo_base64, bytes_against_coreutils) {
    // Every byte value, and every length of a tail.
    std::string all;
    for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
    for (std::string const& data : {all, all.substr(0, 254), all.substr(0, 255), "\0"s, ""s}) {
        std::string const coded = test_support::filter_command("base64 -w0", data);
        EXPECT_EQ(rulo::base64_encode(data), coded) << data.size();
        EXPECT_EQ(rulo::base64_encoded_size(data.size()), coded.size());
        EXPECT_EQ(rulo::base64_decode(coded), data) << data.size();
    }
}

TEST(rulo_base64, only_well_placed_padding) {
    // A group with padding inside or before its end, which a lenient decoder
    // would read as zero bits, is refused: one signature has one text.
    for (std::string const bad : {"++=A", "++=/=++g", "YQ==YQ==", "=QQQ", "Y=Q="}) {
        EXPECT_EQ(test_support::thrown([&] { rulo::base64_decode(bad); }), "/xstd/base64/decode:Decode error")
            << bad;
    }
    EXPECT_EQ(rulo::base64_decode("++8="), "\xfb\xef");
}

} // namespace
