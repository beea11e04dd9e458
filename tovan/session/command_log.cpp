#include "tovan/session/command_log.h"

#include "rulo/packet.h"
#include "rulo/text.h"

#include <algorithm>
#include <map>

namespace vyn {

namespace {

bool secret_key(std::string const& key) {
    return key == "m_key_string" || key == "m_sec_1" || key == "m_sec_2" ||
           xstd::lc(key).find("password") != std::string::npos;
}

// The map with its secrets masked, packed again; text itself when it is no
// whole session map or holds no secret.
std::string masked(std::string const& text) {
    std::map<std::string, std::string> map;
    try {
        std::string packet = text;
        rulo_packet_pop(packet, map);
        if (!packet.empty()) return text;
    } catch (...) {
        return text;
    }
    bool any = false;
    for (auto& [key, value] : map)
        if (secret_key(key)) {
            value = "***";
            any = true;
        }
    if (!any) return text;
    std::string packet;
    rulo_packet_push(packet, map);
    return packet;
}

// Length of the well-formed UTF-8 sequence of two to four bytes at i, 0 when
// there is none (overlong forms, surrogates and code points past U+10FFFF
// included).
std::size_t utf8_sequence(std::string const& s, std::size_t i) {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char const lead = byte(i);
    std::size_t n = lead >= 0xC2 && lead <= 0xDF   ? 2
                    : lead >= 0xE0 && lead <= 0xEF ? 3
                    : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                   : 0;
    if (n == 0 || i + n > s.size()) return 0;
    for (std::size_t k = 1; k < n; ++k)
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
    unsigned char const second = byte(i + 1);
    if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second > 0x9F) ||
        (lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second > 0x8F))
        return 0;
    return n;
}

} // namespace

std::string loggable_command(std::string const& text) {
    std::string const in = masked(text);
    std::string out;
    out.reserve(in.size());
    static char const digits[] = "0123456789abcdef";
    for (std::size_t i = 0; i < in.size();) {
        auto const c = static_cast<unsigned char>(in[i]);
        if (c >= 0x20 && c < 0x7F) {
            out += in[i++];
        } else if (std::size_t n = c >= 0x80 ? utf8_sequence(in, i) : 0) {
            out.append(in, i, n);
            i += n;
        } else {
            out += "\\x";
            out += digits[c >> 4];
            out += digits[c & 15];
            ++i;
        }
    }
    return out;
}

std::string loggable_arguments(std::string const& text) {
    std::string out = text;
    std::string const lower = xstd::lc(text);
    char const* const ends = " \t\r\n&\"'";
    // From the back, so that earlier offsets stay valid as values shrink or grow.
    for (auto at = lower.rfind("password"); at != std::string::npos;
         at = at == 0 ? std::string::npos : lower.rfind("password", at - 1)) {
        std::size_t from = at + 8;
        if (from < lower.size() && lower[from] == '=') {
            ++from;
        } else if (at >= 2 && lower.compare(at - 2, 2, "--") == 0) {
            from = lower.find_first_not_of(" \t\r\n", from);
            if (from == std::string::npos || from == at + 8) continue;
        } else {
            continue;
        }
        std::size_t to = std::min(lower.find_first_of(ends, from), lower.size());
        if (to == from && (lower[from] == '"' || lower[from] == '\'')) {
            to = std::min(lower.find(lower[from], from + 1), lower.size());
            ++from;
        }
        if (to > from) out.replace(from, to - from, "***");
    }
    return out;
}

} // namespace vyn
