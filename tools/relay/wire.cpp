#include "tools/relay/wire.h"

#include <cctype>
#include <strings.h>

namespace relay {

parse_status read_vint(std::string_view data, std::uint64_t& value, std::size_t& used) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < 10; ++i) {
        if (i == data.size()) return parse_status::need_more;
        auto const byte = static_cast<unsigned char>(data[i]);
        std::uint64_t const group = byte & 0x7F;
        // The tenth byte may carry only the top bit of a 64-bit value.
        if (i == 9 && group > 1) return parse_status::malformed;
        v |= group << (7 * i);
        if (!(byte & 0x80)) {
            value = v;
            used = i + 1;
            return parse_status::ok;
        }
    }
    return parse_status::malformed;
}

void append_vint(std::string& out, std::uint64_t value) {
    do {
        unsigned char byte = value & 0x7F;
        value >>= 7;
        if (value) byte |= 0x80;
        out.push_back(static_cast<char>(byte));
    } while (value);
}

parse_status parse_frame(std::string_view data, frame_view& out) {
    std::uint64_t length = 0;
    std::size_t length_bytes = 0;
    // L fits four vint bytes (0xFFFFFF needs 24 bits); a fourth byte that
    // announces a fifth is malformed at once, so a hostile client cannot park
    // in the middle of an endless length.
    for (std::size_t i = 0; i < data.size() && i < 4; ++i) {
        if (!(static_cast<unsigned char>(data[i]) & 0x80)) break;
        if (i == 3) return parse_status::malformed;
    }
    parse_status s = read_vint(data, length, length_bytes);
    if (s != parse_status::ok) return s;
    if (length == 0 || length > max_frame_length) return parse_status::malformed;
    if (data.size() - length_bytes < length) return parse_status::need_more;
    std::string_view body = data.substr(length_bytes, length);
    std::uint64_t channel = 0;
    std::size_t channel_bytes = 0;
    if (read_vint(body, channel, channel_bytes) != parse_status::ok) return parse_status::malformed;
    out.channel = channel;
    out.payload = body.substr(channel_bytes);
    out.consumed = length_bytes + length;
    return parse_status::ok;
}

void append_frame(std::string& out, std::uint64_t channel, std::string_view payload) {
    std::string id;
    append_vint(id, channel);
    append_vint(out, id.size() + payload.size());
    out += id;
    out.append(payload);
}

std::string request_head::field(std::string_view name) const {
    for (auto const& [n, v] : fields)
        if (n.size() == name.size() && strncasecmp(n.data(), name.data(), n.size()) == 0) return v;
    return {};
}

namespace {

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

} // namespace

parse_status parse_head(std::string_view data, request_head& out, std::size_t limit) {
    std::string_view const window = data.substr(0, limit);
    // The head ends at the first empty line.
    std::size_t pos = 0, end = std::string_view::npos;
    std::vector<std::string_view> lines;
    while (true) {
        std::size_t nl = window.find('\n', pos);
        if (nl == std::string_view::npos) break;
        std::string_view line = window.substr(pos, nl - pos);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        pos = nl + 1;
        if (line.empty()) {
            // Blank lines before the start line are tolerated as HTTP allows.
            if (lines.empty()) continue;
            end = pos;
            break;
        }
        lines.push_back(line);
    }
    // Only the head itself is looked at: frames may follow it in the same bytes.
    std::string_view const head_bytes = end == std::string_view::npos ? window : window.substr(0, end);
    if (head_bytes.find('\0') != std::string_view::npos) return parse_status::malformed;
    if (end == std::string_view::npos) {
        return data.size() >= limit ? parse_status::malformed : parse_status::need_more;
    }
    request_head head;
    std::string_view start = lines[0];
    std::size_t a = start.find(' ');
    std::size_t b = a == std::string_view::npos ? a : start.find(' ', a + 1);
    if (a == 0 || b == std::string_view::npos || b == a + 1 || b + 1 >= start.size() ||
        start.find(' ', b + 1) != std::string_view::npos)
        return parse_status::malformed;
    head.method = start.substr(0, a);
    head.target = start.substr(a + 1, b - a - 1);
    head.version = start.substr(b + 1);
    for (std::size_t i = 1; i < lines.size(); ++i) {
        std::size_t colon = lines[i].find(':');
        if (colon == std::string_view::npos || colon == 0) return parse_status::malformed;
        std::string_view name = lines[i].substr(0, colon);
        if (name.find_first_of(" \t") != std::string_view::npos) return parse_status::malformed;
        head.fields.emplace_back(std::string(name), std::string(trim(lines[i].substr(colon + 1))));
    }
    head.size = end;
    out = std::move(head);
    return parse_status::ok;
}

parse_status parse_packet_line(std::string_view data, packet_line& out, std::size_t max_payload) {
    constexpr std::size_t line_window = 20;
    std::size_t nl = data.substr(0, line_window).find('\n');
    if (nl == std::string_view::npos)
        return data.size() >= line_window ? parse_status::malformed : parse_status::need_more;
    std::string_view line = data.substr(0, nl);
    packet_line result;
    result.line_size = nl + 1;
    if (line == "OK") {
        result.ok_line = true;
    } else {
        if (line.empty() || line.size() > 10) return parse_status::malformed;
        std::uint64_t v = 0;
        for (char c : line) {
            if (c < '0' || c > '9') return parse_status::malformed;
            v = v * 10 + static_cast<unsigned>(c - '0');
        }
        if (v > 0x7FFFFFFF || v > max_payload) return parse_status::malformed;
        result.length = static_cast<std::size_t>(v);
    }
    out = result;
    return parse_status::ok;
}

parse_status parse_tunnel_request(request_head const& head, tunnel_request& out, std::string& error) {
    out = tunnel_request{};
    if (head.method != "GET" && head.method != "POST") {
        error = "method " + head.method.substr(0, 32) + " is not a tunnel leg";
        return parse_status::malformed;
    }
    out.post = head.method == "POST";
    if (head.version != "HTTP/1.0" && head.version != "HTTP/1.1") {
        error = "version is not HTTP/1.0 or HTTP/1.1";
        return parse_status::malformed;
    }
    std::string_view target = head.target;
    if (target.size() > 7 && strncasecmp(target.data(), "http://", 7) == 0) {
        // The authority ends at the first '/'; a target without one has no path.
        auto slash = target.find('/', 7);
        if (slash == std::string_view::npos) {
            error = "absolute target without a path";
            return parse_status::malformed;
        }
        target.remove_prefix(slash);
    }
    if (target.empty() || target.front() != '/') {
        error = "target is not a path";
        return parse_status::malformed;
    }
    if (target.size() > max_tunnel_path) {
        error = "path too long";
        return parse_status::malformed;
    }
    out.path = std::string(target);
    for (auto const& [name, value] : head.fields) {
        if (name.size() == 17 && strncasecmp(name.data(), "Transfer-Encoding", 17) == 0)
            out.transfer_encoding = true;
        if (name.size() != 14 || strncasecmp(name.data(), "Content-Length", 14) != 0) continue;
        if (value.empty() || value.size() > 15 ||
            value.find_first_not_of("0123456789") != std::string::npos) {
            error = "bad Content-Length";
            return parse_status::malformed;
        }
        std::int64_t const length = std::stoll(value);
        if (out.content_length >= 0 && out.content_length != length) {
            error = "conflicting Content-Length fields";
            return parse_status::malformed;
        }
        out.content_length = length;
    }
    return parse_status::ok;
}

} // namespace relay
