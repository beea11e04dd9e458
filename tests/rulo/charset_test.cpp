// Character-set conversion through iconv.
#include "rulo/charset.h"
#include "rulo/exception.h"

#include "tests/support/framework_env.h"
#include "tests/support/shell.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string repeat(std::string const& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

TEST(charset, utf16le_against_iconv_command) {
    std::vector<std::string> const texts = {
        "Hello, world 0123",
        "caf\xc3\xa9 \xc3\xbc\xc3\x9f \xc3\x85",                        // Latin
        "\xe4\xb8\xad\xe6\x96\x87\xe3\x83\x86\xe3\x82\xb9\xe3\x83\x88", // CJK
        "a\xf0\x9f\x98\x80z",                                           // U+1F600: a surrogate pair
        "a\xff\x80z",                                                   // invalid bytes
        "a\xed\xa0\x80z",                                               // an encoded surrogate
        "ab\xe4\xb8",                                                   // a cut-off tail
        repeat("\xe4\xb8\xad", 40000) + "\xf0\x9f\x98\x80",             // several 64 KiB rounds in both steps
    };
    // The iconv command drops what it cannot convert (-c), as the conversion does.
    for (auto const& text : texts)
        EXPECT_EQ(xstd::to_utf16le(text), test_support::filter_command("iconv -c -f UTF-8 -t UTF-16LE", text))
            << text.substr(0, 40);
}

TEST(charset, wide_conversions_skip_what_they_cannot_convert) {
    EXPECT_EQ(xstd::to_wide("ISO-8859-1", "\xe9\xff"), std::wstring(L"\u00e9\u00ff"));
    EXPECT_EQ(xstd::from_wide("ASCII", L"a\u00e9\u4e2db"), "ab");
    std::wstring lone_surrogates = L"a";
    lone_surrogates += {wchar_t(0xD800), wchar_t(0xDFFF), L'b'};
    EXPECT_EQ(xstd::from_wide("UTF-8", lone_surrogates), "ab");
    std::string const long_text = repeat("x\xc3\xa9\xf0\x9f\x98\x80", 30000);
    EXPECT_EQ(xstd::from_wide("UTF-8", xstd::wide(long_text)), long_text);

    EXPECT_EQ(test_support::thrown([] { xstd::to_wide("NO-SUCH-CODE-SET", "x"); }), ":Error in 'convert'");
}

// Stand-ins for iconv that reach what the real one rarely does. This one
// copies at most 3 bytes a call and reports a full output area.
size_t trickle(iconv_t, char** in, size_t* in_left, char** out, size_t* out_left) {
    if (!in) return 0;
    size_t n = std::min({*in_left, *out_left, size_t(3)});
    std::memcpy(*out, *in, n);
    *in += n, *in_left -= n, *out += n, *out_left -= n;
    errno = E2BIG;
    return *in_left == 0 ? 0 : size_t(-1);
}
size_t stuck(iconv_t, char** in, size_t*, char**, size_t*) { // a full area that never moves
    errno = E2BIG;
    return in ? size_t(-1) : 0;
}
size_t failing(iconv_t, char**, size_t*, char**, size_t*) {
    errno = EBADF;
    return size_t(-1);
}
size_t failing_flush(iconv_t cd, char** in, size_t* in_left, char** out, size_t* out_left) {
    return in ? trickle(cd, in, in_left, out, out_left) : failing(cd, in, in_left, out, out_left);
}

TEST(charset, conversion_rounds_and_errors) {
    std::string out = "kept:";
    xstd::convert(trickle, out, "abcdefgh", "UTF-8", "UTF-8");
    EXPECT_EQ(out, "kept:abcdefgh");
    for (auto fn : {stuck, failing, failing_flush}) {
        std::string o;
        EXPECT_THROW(xstd::convert(fn, o, "abc", "UTF-8", "UTF-8"), rulo::exception);
    }
}

} // namespace
