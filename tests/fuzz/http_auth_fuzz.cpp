// Hostile proxy challenges: the input is a challenge field's value for the
// challenge parser (and a Digest answer to what it accepts), and the bytes of
// an NTLM challenge message for the authenticate answer.
#include "rulo-rpt/xnet-http-auth.h"
#include "rulo-rpt/xnet-http-ntlm.h"
#include "rulo-rpt/xstd-text-b64.h"
#include "rulo/text.h"
#include "tests/fuzz/fuzz_support.h"

#include <cstddef>
#include <cstdint>
#include <string>

using fuzz::check;
using fuzz::error_of;

namespace {

unsigned short_at(std::string const& m, std::size_t at) {
    return static_cast<unsigned char>(m[at]) | static_cast<unsigned char>(m[at + 1]) << 8;
}

void challenge_field(std::string const& value) {
    xstd::http reply;
    reply.fields["Proxy-Authenticate"] = {value};
    xnet::http_auth_challenges challenges;
    std::string const error = error_of([&] { challenges = xnet::get_http_auth(reply, true); });
    if (!error.empty()) {
        check(error == "/xnet/http_auth/parse:Parse error");
        return;
    }
    check(challenges.size() == 1);
    for (auto const& [scheme, params] : challenges) {
        check(scheme == xstd::lc(scheme));
        for (auto const& [name, v] : params) check(name == xstd::lc(name));
    }
    auto const digest = challenges.find("digest");
    if (digest == challenges.end() || !xnet::can_digest_auth(digest->second, true)) return;
    xstd::http request = xstd::get_http_request("CONNECT", "relay.test:443", 1, 1);
    // Only the field writer may refuse, for a line-breaking byte in a value.
    std::string const answer_error =
        error_of([&] { xnet::set_digest_auth(request, true, digest->second, "u", "p", true, "b"); });
    check(answer_error.empty() || answer_error == "/xstd/http/set_field:Invalid character in HTTP field");
}

void ntlm_challenge(std::string const& message) {
    xstd::http reply;
    reply.fields["Proxy-Authenticate"] = {"NTLM " +
                                          xstd::encode_base64(message, xstd::base64_encoding).to_string()};
    xstd::http request;
    std::string const error =
        error_of([&] { xnet::set_ntlm_auth3(request, true, reply, "ws", "dom", "user", "password"); });
    bool const valid = message.size() >= 32 && message[8] == 2;
    check(error.empty() == valid);
    if (!valid) {
        check(request.fields.empty());
        return;
    }
    std::string answer = request.get_field("Proxy-Authorization");
    check(rulo::starts_with(answer, "NTLM "));
    answer.erase(0, 5);
    xstd::decode_base64(answer, xstd::base64_encoding);
    bool const unicode = message[20] & 1;
    std::size_t const names = unicode ? 2 * (3 + 4 + 2) : 3 + 4 + 2;
    check(answer.size() == 64 + names + 48);
    check(short_at(answer, 52) == 0 && short_at(answer, 56) == answer.size()); // the empty session key
    check(answer.compare(answer.size() - 48, 24, answer, answer.size() - 24, 24) == 0); // NT in both slots
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
    std::string const input = fuzz::bytes(data, size);
    challenge_field(input);
    ntlm_challenge(input);
    return 0;
}
