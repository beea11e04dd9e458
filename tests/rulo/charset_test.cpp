// Character-set conversion through iconv.
#include "rulo/charset.h"
#include "rulo/exception.h"

#include "tests/support/shell.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// What the iconv command makes of the bytes, dropping what it cannot convert (-c).
std::string iconv_command(std::string const& from, std::string const& to, std::string const& input) {
    return test_support::filter_command("iconv -c -f " + from + " -t " + to, input);
}

std::string repeat(std::string const& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

TEST(charset, utf16le_against_iconv_command) {
    struct row {
        char const* what;
        std::string utf8;
    };
    std::vector<row> const rows = {
        {"ascii", "Hello, world 0123"},
        {"latin", "caf\xc3\xa9 \xc3\xbc\xc3\x9f \xc3\x85"},
        {"cjk", "\xe4\xb8\xad\xe6\x96\x87\xe3\x83\x86\xe3\x82\xb9\xe3\x83\x88"},
        {"surrogate pair", "a\xf0\x9f\x98\x80z"}, // U+1F600
        {"invalid byte", "a\xff"
                         "b"},
        {"overlong form", "a\xc0\xaf"
                          "b"},
        {"encoded surrogate", "a\xed\xa0\x80"
                              "b"},
        {"cut off tail", "ab\xe4\xb8"},
        {"bare continuation", "\x80\x80x"},
        {"empty", ""},
        // More than one 64 KiB output round, in both steps of the conversion.
        {"long cjk", repeat("\xe4\xb8\xad", 40000) + "\xf0\x9f\x98\x80"},
    };
    for (auto const& r : rows) {
        std::string expected = iconv_command("UTF-8", "UTF-16LE", r.utf8);
        EXPECT_EQ(xstd::to_utf16le(r.utf8), expected) << r.what;
    }
    EXPECT_EQ(xstd::to_utf16le("a\xf0\x9f\x98\x80"), std::string("a\0\x3d\xd8\x00\xde", 6));
}

TEST(charset, wide_round_trips) {
    EXPECT_EQ(xstd::wide("a\xc3\xa9\xf0\x9f\x98\x80"), std::wstring(L"a\u00e9\U0001F600"));
    EXPECT_EQ(xstd::to_wide("ISO-8859-1", "\xe9\xff"), std::wstring(L"\u00e9\u00ff"));
    EXPECT_EQ(xstd::from_wide("UTF-8", L"\u4e2d\U0001F600"), "\xe4\xb8\xad\xf0\x9f\x98\x80");
    // Unconvertible or invalid wide characters are skipped one unit at a time.
    EXPECT_EQ(xstd::from_wide("ASCII", L"a\u00e9\u4e2db"), "ab");
    std::wstring bad = L"a";
    bad += wchar_t(0xD800); // a lone surrogate is no character
    bad += wchar_t(0xDFFF);
    bad += L"b";
    EXPECT_EQ(xstd::from_wide("UTF-8", bad), "ab");
    EXPECT_EQ(xstd::utf8("\xff\x00"), "\xff\x00");

    std::string long_text = repeat("x\xc3\xa9", 70000);
    EXPECT_EQ(xstd::from_wide("UTF-8", xstd::wide(long_text)), long_text);
}

TEST(charset, unknown_code_set_throws) {
    try {
        xstd::to_wide("NO-SUCH-CODE-SET", "x");
        FAIL() << "no exception";
    } catch (rulo::exception const& e) {
        EXPECT_STREQ(e.what(), ":Error in 'convert'");
    }
    EXPECT_THROW(xstd::from_wide("NO-SUCH-CODE-SET", L"x"), rulo::exception);
}

// Stand-ins for iconv that reach what the real one rarely does.
size_t trickle(iconv_t, char** in, size_t* in_left, char** out, size_t* out_left) {
    // Copies at most 3 bytes per call and reports a full output area.
    if (!in) return 0;
    size_t n = std::min({*in_left, *out_left, size_t(3)});
    std::memcpy(*out, *in, n);
    *in += n;
    *in_left -= n;
    *out += n;
    *out_left -= n;
    if (*in_left == 0) return 0;
    errno = E2BIG;
    return size_t(-1);
}

size_t stuck(iconv_t, char** in, size_t*, char**, size_t*) {
    if (!in) return 0;
    errno = E2BIG; // claims a full area but never moves
    return size_t(-1);
}

size_t failing(iconv_t, char** in, size_t*, char**, size_t*) {
    if (!in) return 0;
    errno = EBADF;
    return size_t(-1);
}

size_t failing_flush(iconv_t cd, char** in, size_t* in_left, char** out, size_t* out_left) {
    if (!in) {
        errno = EBADF;
        return size_t(-1);
    }
    return trickle(cd, in, in_left, out, out_left);
}

TEST(charset, conversion_rounds_and_errors) {
    std::string out = "kept:";
    xstd::convert(trickle, out, "abcdefgh", "UTF-8", "UTF-8");
    EXPECT_EQ(out, "kept:abcdefgh");

    for (auto fn : {stuck, failing, failing_flush}) {
        std::string o;
        try {
            xstd::convert(fn, o, "abc", "UTF-8", "UTF-8");
            FAIL() << "no exception";
        } catch (rulo::exception const& e) {
            EXPECT_STREQ(e.what(), ":Error in 'convert'");
        }
    }
}

} // namespace
