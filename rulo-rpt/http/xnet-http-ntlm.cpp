#include "rulo-rpt/http/xnet-http-ntlm.h"

#include "rulo-rpt/http/xnet-http-auth.h"
#include "rulo-rpt/xstd-text-b64.h"
#include "rulo/charset.h"
#include "rulo/exception.h"
#include "rulo/hash.h"
#include "rulo/text.h"

// The DES calls are deprecated in OpenSSL 3 but still the only DES it offers
// without a provider context; NTLMv1 needs nothing more.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <openssl/des.h>
#pragma GCC diagnostic pop

#include <cstring>
#include <vector>

namespace xnet {

namespace {

char const signature[] = "NTLMSSP"; // with its NUL: the first 8 bytes of every message

constexpr unsigned negotiate_flags = 0x0000B203; // Unicode, OEM, NTLM, domain, workstation, always sign
constexpr unsigned authenticate_unicode = 0x00008201;
constexpr unsigned authenticate_oem = 0x00008202;
constexpr unsigned flag_unicode = 0x0001;

// Throws "<path>:<text>" with the text's "$1$" standing for value.
[[noreturn]] void fail(char const* operation, char const* path, char const* text, std::size_t value) {
    xstd::format message(text);
    message.args[1] = std::to_string(value);
    XSTD_EXCEPTION(operation).thr(path, message.get());
}

std::string encode_short(std::size_t value) {
    if (value >= 65536) XSTD_EXCEPTION("encode_short").thr("/xnet/ntlm/encode_short", "Number too big");
    return {static_cast<char>(value & 0xff), static_cast<char>(value >> 8)};
}

unsigned decode_short(std::string const& bytes) {
    if (bytes.size() != 2) fail("decode_short", "/xnet/ntlm/decode_short", "Wrong size $1$", bytes.size());
    return static_cast<unsigned char>(bytes[0]) | static_cast<unsigned char>(bytes[1]) << 8;
}

std::string encode_long(unsigned value) {
    return encode_short(value & 0xffff) + encode_short(value >> 16);
}

// A message under construction: the fixed header, whose security buffers are
// filled in as the payloads are appended after it.
class message {
public:
    message(unsigned type, std::size_t header_size) : m_bytes(header_size, '\0') {
        m_bytes.replace(0, sizeof signature, signature, sizeof signature);
        put(8, encode_long(type));
    }

    void put(std::size_t at, std::string const& bytes) { m_bytes.replace(at, bytes.size(), bytes); }

    // Appends payload and points the security buffer at header offset at to it.
    void append(std::size_t at, std::string const& payload) {
        std::string const length = encode_short(payload.size());
        put(at, length + length + encode_short(m_bytes.size()));
        m_bytes += payload;
    }

    std::string const& bytes() const { return m_bytes; }

private:
    std::string m_bytes;
};

struct challenge {
    unsigned flags = 0; // the low 16 bits
    std::string nonce;  // 8 bytes
};

challenge decode_message_2(std::string const& bytes) {
    char const* const path = "/xnet/ntlm/decode_message_2";
    if (bytes.size() < 32) fail("decode_message_2", path, "Wrong size $1$", bytes.size());
    if (bytes[8] != 2) fail("decode_message_2", path, "Wrong type $1$", static_cast<unsigned char>(bytes[8]));
    return {decode_short(bytes.substr(20, 2)), bytes.substr(24, 8)};
}

void set_answer(xstd::http& request, bool proxy, std::string const& message) {
    request.set_field(get_field_authorization(proxy),
                      "NTLM " + xstd::encode_base64(message, xstd::base64_encoding).to_string());
}

} // namespace

void setup_des_key(unsigned char const key7[7], DES_ks& schedule) {
    DES_cblock key;
    key[0] = key7[0];
    for (int i = 1; i < 7; ++i) key[i] = static_cast<unsigned char>(key7[i - 1] << (8 - i) | key7[i] >> i);
    key[7] = static_cast<unsigned char>(key7[6] << 1);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    DES_set_odd_parity(&key);
    DES_set_key_unchecked(&key, &schedule);
#pragma GCC diagnostic pop
}

std::string ntlm_response(unsigned char const key21[21], std::string const& nonce) {
    if (nonce.size() != 8) fail("ntlm_response", "/xnet/ntlm_response", "Wrong nonce size $1$", nonce.size());
    DES_cblock in;
    std::memcpy(in, nonce.data(), 8);
    std::string out;
    for (int part = 0; part < 3; ++part) {
        DES_key_schedule schedule;
        setup_des_key(key21 + 7 * part, schedule);
        DES_cblock block;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        DES_ecb_encrypt(&in, &block, &schedule, DES_ENCRYPT);
#pragma GCC diagnostic pop
        out.append(reinterpret_cast<char const*>(block), 8);
    }
    return out;
}

std::string ntlm_nt_hash(std::string const& password) {
    return xstd::get_md4(xstd::to_utf16le(password)) + std::string(5, '\0');
}

void set_ntlm_auth1(xstd::http& request, bool proxy, std::string host, std::string domain) {
    message m(1, 32);
    m.put(12, encode_long(negotiate_flags));
    m.append(24, xstd::uc(host));
    m.append(16, xstd::uc(domain));
    set_answer(request, proxy, m.bytes());
}

void set_ntlm_auth3(xstd::http& request, bool proxy, xstd::http const& reply, std::string host,
                    std::string domain, std::string user, std::string password) {
    std::vector<std::string> const parts = xstd::split(" ", reply.get_field(get_field_authenticate(proxy)));
    if (parts.size() != 2 || xstd::lc(parts[0]) != "ntlm")
        XSTD_EXCEPTION("set_ntlm_auth3").thr("/xnet/set_ntlm_auth3", "No message type 2 response found");
    std::string decoded = parts[1];
    xstd::decode_base64(decoded, xstd::base64_encoding);
    challenge const c = decode_message_2(decoded);

    std::string const nt_hash = ntlm_nt_hash(password);
    std::string const nt = ntlm_response(reinterpret_cast<unsigned char const*>(nt_hash.data()), c.nonce);

    bool const unicode = c.flags & flag_unicode;
    domain = xstd::uc(domain);
    host = xstd::uc(host);
    if (unicode) {
        domain = xstd::to_utf16le(domain);
        host = xstd::to_utf16le(host);
        user = xstd::to_utf16le(user);
    }

    message m(3, 64);
    m.append(28, domain);
    m.append(36, user);
    m.append(44, host);
    // The LM slot carries the NT response too: an LM response would give away
    // a DES hash of the upper-cased password that falls to a quick search.
    m.append(12, nt);
    m.append(20, nt);
    m.append(52, ""); // no session key: length 0 at the message's end
    m.put(60, encode_long(unicode ? authenticate_unicode : authenticate_oem));
    set_answer(request, proxy, m.bytes());
}

} // namespace xnet
