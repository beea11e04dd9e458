// NTLM negotiate and authenticate messages, and the NTLMv1 response.
#include "rulo-rpt/http/xnet-http-ntlm.h"
#include "rulo-rpt/xstd-text-b64.h"
#include "rulo/hash.h"
#include "rulo/text.h"

#include "tests/support/framework_env.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace std::string_literals;
using test_support::thrown;

std::string unhex(std::string text) {
    return xstd::dehexcode(text), text;
}
std::string le16(std::size_t v) {
    return {char(v & 0xff), char(v >> 8 & 0xff)};
}
std::string le32(std::size_t v) {
    return le16(v) + le16(v >> 16);
}
// length, maximum length, offset
std::string security_buffer(std::size_t length, std::size_t offset) {
    return le16(length) + le16(length) + le32(offset);
}
std::string ascii_utf16le(std::string const& text) {
    std::string out;
    for (char c : text) out += {c, '\0'};
    return out;
}
std::string b64(std::string const& bytes) {
    return xstd::encode_base64(bytes, xstd::base64_encoding).to_string();
}
// The decoded message of an "NTLM <base64>" answer.
std::string answer_message(xstd::http const& request) {
    std::string value = request.get_field("Proxy-Authorization");
    EXPECT_EQ(value.substr(0, 5), "NTLM ");
    return xstd::decode_base64(value.erase(0, 5), xstd::base64_encoding), value;
}
// A challenge message: signature, type, empty target name, flags, nonce.
std::string challenge(unsigned flags, std::string const& nonce, unsigned type = 2) {
    return "NTLMSSP\0"s + le32(type) + security_buffer(0, 32) + le32(flags) + nonce;
}

// The widely published NTLMv1 worked example.
std::string const nonce = unhex("0123456789abcdef");

TEST(ntlm, published_nt_hash_and_response) {
    std::string const hash = xnet::ntlm_nt_hash("SecREt01");
    EXPECT_EQ(xstd::hexcode(hash), "cd06ca7c7e10c99b1d33b7485a2ed808" + std::string(10, '0'));
    auto const* key = reinterpret_cast<unsigned char const*>(hash.data());
    EXPECT_EQ(xnet::ntlm_response(key, nonce), unhex("25a98c1c31e81847466b29b2df4680f39958fb8c213a9cc6"));
    EXPECT_EQ(thrown([&] { xnet::ntlm_response(key, "1234567"); }), "/xnet/ntlm_response:Wrong nonce size 7");
}

TEST(ntlm, negotiate_and_authenticate_layouts) {
    xstd::http negotiate;
    xnet::set_ntlm_auth1(negotiate, true, "ws-7", "Corp");
    EXPECT_EQ(answer_message(negotiate), "NTLMSSP\0"s + le32(1) + le32(0xB203) + security_buffer(4, 36) +
                                             security_buffer(4, 32) + "WS-7" + "CORP");

    // challenge flags, password, flags answered (Unicode names or OEM ones)
    std::vector<std::tuple<unsigned, std::string, unsigned>> const rows = {
        {0x00028205, "SecREt01", 0x8201},
        {0x00008206, "SecREt01", 0x8202},
        {0x00008201, "a passphrase of 29 characters", 0x8201},
    };
    for (auto const& [challenge_flags, password, flags] : rows) {
        bool const unicode = flags == 0x8201;
        xstd::http reply;
        reply.set_field("Proxy-Authenticate", "NTLM " + b64(challenge(challenge_flags, nonce)));
        xstd::http request;
        xnet::set_ntlm_auth3(request, true, reply, "ws-7", "corp", "User", password);

        // The NT response keys on all of the password, here from the digest directly.
        std::string const key = xstd::get_md4(ascii_utf16le(password)) + std::string(5, '\0');
        std::string const nt = xnet::ntlm_response(reinterpret_cast<unsigned char const*>(key.data()), nonce);
        std::string const domain = unicode ? ascii_utf16le("CORP") : "CORP";
        std::string const user = unicode ? ascii_utf16le("User") : "User";
        std::string const host = unicode ? ascii_utf16le("WS-7") : "WS-7";
        std::size_t const at_user = 64 + domain.size(), at_host = at_user + user.size();
        std::size_t const at_lm = at_host + host.size(), end = at_lm + 48;
        // Both response slots carry the NT response; no LM response is sent.
        std::string const expected = "NTLMSSP\0"s + le32(3) + security_buffer(24, at_lm) +
                                     security_buffer(24, at_lm + 24) + security_buffer(domain.size(), 64) +
                                     security_buffer(user.size(), at_user) +
                                     security_buffer(host.size(), at_host) + security_buffer(0, end) +
                                     le32(flags) + domain + user + host + nt + nt;
        EXPECT_EQ(answer_message(request), expected) << password;
    }
}

TEST(ntlm, bad_challenges_leave_the_request) {
    std::vector<std::pair<std::string, std::string>> const rows = {
        {"NTLM", "/xnet/set_ntlm_auth3:No message type 2 response found"},
        {"Basic " + b64(challenge(1, nonce)), "/xnet/set_ntlm_auth3:No message type 2 response found"},
        {"NTLM " + b64(challenge(1, nonce).substr(0, 31)), "/xnet/ntlm/decode_message_2:Wrong size 31"},
        {"NTLM " + b64(challenge(1, nonce, 3)), "/xnet/ntlm/decode_message_2:Wrong type 3"},
        {"NTLM !!!!", "/xstd/base64/decode:Decode error"},
    };
    for (auto const& [field, error] : rows) {
        xstd::http reply;
        reply.set_field("Proxy-Authenticate", field);
        xstd::http request;
        EXPECT_EQ(thrown([&] { xnet::set_ntlm_auth3(request, true, reply, "h", "d", "u", "p"); }), error);
        EXPECT_TRUE(request.fields.empty());
    }
    xstd::http request;
    EXPECT_EQ(thrown([&] { xnet::set_ntlm_auth1(request, true, std::string(65536, 'h'), "d"); }),
              "/xnet/ntlm/encode_short:Number too big");
    EXPECT_TRUE(request.fields.empty());
}

} // namespace
