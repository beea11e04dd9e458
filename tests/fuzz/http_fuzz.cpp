// HTTP heads from hostile bytes: fed in pieces they parse exactly as fed
// whole, and what parses is written back to a head that parses the same.
//
// The first input byte picks the piece size and whether a request or a
// response is expected; the rest is the stream.
#include "rulo-rpt/http/xstd-http.h"
#include "tests/fuzz/fuzz_support.h"

#include <cstddef>
#include <cstdint>
#include <string>

using fuzz::check;
using fuzz::error_of;

namespace {

struct outcome {
    std::string error;
    bool complete = false;
    std::string rest;
};

outcome feed(xstd::http& message, std::string const& text, std::size_t step) {
    outcome result;
    result.error = error_of([&] {
        for (std::size_t at = 0; at < text.size() && !result.complete; at += step) {
            netbuf rest;
            result.complete = message.push(netbuf::from_string(text.substr(at, step)), rest);
            if (result.complete)
                result.rest = rest.to_string() + text.substr(std::min(text.size(), at + step));
        }
    });
    return result;
}

bool same_head(xstd::http const& a, xstd::http const& b) {
    return a.version == b.version && a.method == b.method && a.uri == b.uri && a.status == b.status &&
           a.reason == b.reason && a.fields == b.fields;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
    if (size < 1) return 0;
    std::size_t const step = (data[0] >> 1) % 16 + 1;
    bool const request = data[0] & 1;
    std::string const input = fuzz::bytes(data + 1, size - 1);

    xstd::http whole, pieces;
    whole.is_request = pieces.is_request = request;
    outcome const a = feed(whole, input, input.size() + 1);
    outcome const b = feed(pieces, input, step);
    check(a.error == b.error && a.complete == b.complete);
    if (!a.error.empty()) {
        check(a.error == "/xstd/http/parse:HTTP header parse error");
        return 0;
    }
    if (!a.complete) return 0;
    check(a.rest == b.rest && same_head(whole, pieces));

    // A parsed head may hold a bare CR, which the writer refuses; any other
    // head is written and parses back to itself.
    netbuf out;
    std::string const refused = error_of([&] { whole.pop(out); });
    if (!refused.empty()) {
        check(refused == "/xstd/http/set_field:Invalid character in HTTP field" && out.empty());
        return 0;
    }
    xstd::http again;
    again.is_request = request;
    outcome const c = feed(again, out.to_string(), out.size() + 1);
    // An empty reason is written as the status's standard text.
    if (!request && whole.reason.empty()) whole.reason = xstd::get_http_response_text(whole.status);
    check(c.error.empty() && c.complete && c.rest.empty() && same_head(whole, again));
    return 0;
}
