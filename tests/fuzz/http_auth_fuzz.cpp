// Hostile proxy challenges: the input is a challenge field's value for the
// challenge parser (and a Digest answer to what it accepts), and the bytes of
// an NTLM challenge message for the authenticate answer.
#include "rulo-rpt/http/xnet-http-auth.h"
#include "rulo-rpt/http/xnet-http-ntlm.h"
#include "rulo-rpt/xstd-text-b64.h"
#include "rulo/text.h"
#include "tests/fuzz/fuzz_support.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

using fuzz::check;
using fuzz::error_of;

namespace {

unsigned short_at(std::string const& m, std::size_t at) {
    return static_cast<unsigned char>(m[at]) | static_cast<unsigned char>(m[at + 1]) << 8;
}

// name=value items joined by ", ", a value being an RFC 7230 quoted-string
// (with quoted-pairs) or a token; nothing for text that does not read so.
std::optional<std::map<std::string, std::string>> answer_items(std::string const& text) {
    std::map<std::string, std::string> items;
    std::size_t at = 0;
    for (;;) {
        std::size_t const eq = text.find('=', at);
        if (eq == std::string::npos) return std::nullopt;
        std::string const name = text.substr(at, eq - at);
        std::string value;
        at = eq + 1;
        if (at < text.size() && text[at] == '"') {
            for (++at;; ++at) {
                if (at >= text.size()) return std::nullopt;
                if (text[at] == '"') break;
                if (text[at] == '\\' && ++at >= text.size()) return std::nullopt;
                value += text[at];
            }
            ++at;
        } else {
            while (at < text.size() && text[at] != ',' && text[at] != '"' && text[at] != ' ')
                value += text[at++];
        }
        if (!items.emplace(name, value).second) return std::nullopt; // a parameter given twice
        if (at == text.size()) return items;
        if (text.compare(at, 2, ", ") != 0) return std::nullopt;
        at += 2;
    }
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
    xnet::http_auth_params const& params = digest->second;
    xstd::http request = xstd::get_http_request("CONNECT", "relay.test:443", 1, 1);
    // Refused: a challenge without a nonce, a charset that is not a token,
    // and (by the field writer) a line-breaking byte in a value.
    std::string const answer_error =
        error_of([&] { xnet::set_digest_auth(request, true, params, "u", "p", true, "b"); });
    if (!answer_error.empty()) {
        check(answer_error == "/xstd/http/set_field:Invalid character in HTTP field" ||
              answer_error == "/xnet/set_digest_auth:Digest challenge without nonce" ||
              answer_error == "/xnet/set_digest_auth:Digest challenge charset is not a token");
        check(request.get_field("Proxy-Authorization").empty());
        return;
    }
    // Whatever the challenge held, the answer reads back as the items it
    // wrote, each echoed value intact.
    std::string const answer = request.get_field("Proxy-Authorization");
    check(rulo::starts_with(answer, "Digest "));
    std::optional<std::map<std::string, std::string>> const items = answer_items(answer.substr(7));
    check(items.has_value());
    std::size_t const echoed = params.count("opaque") + params.count("charset");
    check(items->size() == 9 + echoed || items->size() == 6 + echoed); // with a qop, or the RFC 2069 form
    auto const item = [&](char const* name) {
        auto const it = items->find(name);
        return it == items->end() ? std::string("(none)") : it->second;
    };
    check(item("username") == "u" && item("uri") == "relay.test:443");
    check(item("realm") == xnet::get_realm(params));
    for (char const* name : {"nonce", "opaque", "charset"}) {
        auto const given = params.find(name);
        check(item(name) == (given == params.end() ? "(none)" : given->second));
    }
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
