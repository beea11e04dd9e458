// URLs, URL decoding and CGI parameter lists on hostile text.
//
// The first two input bytes are the pair and key separators handed to
// cgi_parse_param; the rest is the text given to every parser.
#include "rulo/url.h"
#include "tests/fuzz/fuzz_support.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

using fuzz::check;

namespace {

using params = std::map<std::string, std::string>;

int digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 0; // anything else counts as 0
}

// "%" and two characters spell a byte; a "%" with fewer than two characters
// after it ends the text; "+" is a space in the URL form only.
std::string reference_decode(std::string const& text, bool plus_is_space) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%') {
            if (i + 2 >= text.size()) break;
            out += static_cast<char>(digit(text[i + 1]) * 16 + digit(text[i + 2]));
            i += 2;
        } else {
            out += plus_is_space && text[i] == '+' ? ' ' : text[i];
        }
    }
    return out;
}

// Pairs end at ps; the first ks of a pair ends its key; empty keys are dropped
// (before decoding); later pairs win.
params reference_cgi(std::string const& text, char ps, char ks) {
    params out;
    for (std::size_t pos = 0;;) {
        std::size_t end = text.find(ps, pos);
        if (end == std::string::npos) end = text.size();
        std::string const pair = text.substr(pos, end - pos);
        std::size_t const k = pair.find(ks);
        std::string const key = pair.substr(0, k);
        std::string const value = k == std::string::npos ? "" : pair.substr(k + 1);
        if (!key.empty()) out[reference_decode(key, true)] = reference_decode(value, true);
        if (end == text.size()) return out;
        pos = end + 1;
    }
}

params without_empty_key(params p) {
    p.erase("");
    return p;
}

bool coded_only(std::string const& coded) {
    for (char c : coded) {
        bool const plain =
            (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
        if (!plain && c != '%' && c != '+') return false;
    }
    return true;
}

void check_coding(std::string const& text) {
    check(rulo::urldecode(text) == reference_decode(text, true));
    check(rulo::percentdecode(text) == reference_decode(text, false));
    std::string const url_coded = rulo::urlencode(text);
    std::string const percent_coded = rulo::percentencode(text);
    check(coded_only(url_coded) && coded_only(percent_coded));
    check(percent_coded.find('+') == std::string::npos);
    check(rulo::urldecode(url_coded) == text);
    check(rulo::percentdecode(percent_coded) == text);
}

void check_cgi(std::string const& text, char ps, char ks) {
    params const parsed = rulo::cgi_parse_param(text, ps, ks);
    check(parsed == reference_cgi(text, ps, ks));
    // Written back, the list reads as the same pairs but the empty key, which is left out.
    params const again = rulo::cgi_parse_param(rulo::cgi_get_param(parsed), '&', '=');
    check(again == without_empty_key(parsed));
}

// A parsed URL, written and parsed again, is the same URL, except that a port
// is written only with a host and an empty cgi key is left out; from there on
// writing and parsing are stable.
void check_url(std::string const& text) {
    rulo::url const u(text);
    std::string const written = u.as_string();
    rulo::url const v(written);
    check(v.scheme == u.scheme);
    check(v.host == u.host);
    check(v.port == (u.host.empty() ? 0 : u.port));
    check(v.path == u.path);
    check(v.cgi == without_empty_key(u.cgi));
    check(v.fragment == u.fragment);
    check(v.as_string() == written);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
    if (size < 2) return 0;
    std::string const text = fuzz::bytes(data + 2, size - 2);
    check_coding(text);
    check_cgi(text, static_cast<char>(data[0]), static_cast<char>(data[1]));
    check_cgi(text, '&', '=');
    check_url(text);
    return 0;
}
