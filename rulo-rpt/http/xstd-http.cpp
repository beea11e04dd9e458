#include "rulo-rpt/http/xstd-http.h"

#include "rulo/exception.h"
#include "rulo/text.h"

#include <algorithm>
#include <cctype>

namespace xstd {

std::map<int, std::string> const& http_error_codes() {
    // Built on first use: the transport library cannot be reached from the
    // core's start-up. A static local is built once, whichever thread comes first.
    static std::map<int, std::string> const table = {
        {100, "Continue"},
        {101, "Switching Protocols"},
        {200, "OK"},
        {201, "Created"},
        {202, "Accepted"},
        {203, "Non-Authoritative Information"},
        {204, "No Content"},
        {205, "Reset Content"},
        {206, "Partial Content"},
        {300, "Multiple Choices"},
        {301, "Moved Permanently"},
        {302, "Found"},
        {303, "See Other"},
        {304, "Not Modified"},
        {305, "Use Proxy"},
        {307, "Temporary Redirect"},
        {400, "Bad Request"},
        {401, "Unauthorized"},
        {402, "Payment Required"},
        {403, "Forbidden"},
        {404, "Not Found"},
        {405, "Method Not Allowed"},
        {406, "Not Acceptable"},
        {407, "Proxy Authentication Required"},
        {408, "Request Time-out"},
        {409, "Conflict"},
        {410, "Gone"},
        {411, "Length Required"},
        {412, "Precondition Failed"},
        {413, "Request Entity Too Large"},
        {414, "Request-URI Too Large"},
        {415, "Unsupported Media Type"},
        {416, "Requested range not satisfiable"},
        {417, "Expectation Failed"},
        {500, "Internal Server Error"},
        {501, "Not Implemented"},
        {502, "Bad Gateway"},
        {503, "Service Unavailable"},
        {504, "Gateway Time-out"},
        {505, "HTTP Version not supported"},
    };
    return table;
}

void http_init_error_codes() {
    http_error_codes();
}

std::string get_http_field_canon(std::string name) {
    bool word_start = true;
    for (char& c : name) {
        if (word_start) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        word_start = c == '-';
    }
    return name;
}

std::string get_http_response_text(int code) {
    std::map<int, std::string> const& table = http_error_codes();
    auto it = table.find(code);
    if (it != table.end()) return it->second;
    switch (code / 100) {
    case 1:
    case 2:
        return "OK";
    case 3:
        return "Redirect";
    case 4:
    case 5:
        return "Error";
    default:
        return "";
    }
}

namespace {

bool same_name(std::string const& a, std::string const& b) {
    return a.size() == b.size() && lc(a) == lc(b);
}

// A byte that would end the line it is written into, or the text there.
bool breaks_line(std::string const& text) {
    return text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

[[noreturn]] void invalid_character(char const* operation) {
    XSTD_EXCEPTION(operation).thr("/xstd/http/set_field", "Invalid character in HTTP field");
}

bool bad_name(std::string const& name) {
    return breaks_line(name) || name.find(':') != std::string::npos;
}

} // namespace

std::string http::get_field(std::string const& name) const {
    for (auto const& [key, values] : fields)
        if (!values.empty() && same_name(key, name)) return values.front();
    return "";
}

void http::set_field(std::string const& name, std::string const& value) {
    if (bad_name(name) || breaks_line(value)) invalid_character("set_field");
    erase_field(name);
    fields[name] = {value};
}

void http::erase_field(std::string const& name) {
    std::map<std::string, std::vector<std::string>> kept;
    for (auto& [key, values] : fields)
        if (!values.empty() && !same_name(key, name)) kept.emplace(key, std::move(values));
    fields.swap(kept);
}

void http::fail() {
    state = -1;
    buffer.clear();
    XSTD_EXCEPTION("push").thr("/xstd/http/parse", "HTTP header parse error");
}

bool http::push(netbuf const& in, netbuf& rest) {
    if (state == -1) fail();
    if (state == -2) {
        rest = in;
        return true;
    }
    // Lines are only looked for once a "\n" has arrived, so a head fed in
    // small pieces is scanned about once in all.
    bool line_ended = in.find('\n') >= 0;
    buffer.append(in);
    while (line_ended) {
        int at = buffer.find('\n', max_line_length + 1);
        if (at < 0) break;
        std::string line(static_cast<size_t>(at), '\0');
        buffer.take_front(line.data(), at);
        buffer.erase_front(1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (state == 1 && line.empty()) {
            state = -2;
            rest = buffer;
            buffer.clear();
            return true;
        }
        parse_line(line);
    }
    if (buffer.size() > max_line_length) fail();
    return false;
}

void http::parse_line(std::string const& line) {
    if (state == 0) {
        std::vector<std::string> parts = split(" ", line);
        if (is_request) {
            if (parts.size() != 3) fail();
            method = parts[0];
            uri = parts[1];
            version = parts[2];
        } else {
            if (parts.size() < 2) fail();
            version = parts[0];
            status = rulo::destringify<int>(parts[1]);
            reason = join(" ", std::vector<std::string>(parts.begin() + 2, parts.end()));
        }
        state = 1;
        return;
    }
    size_t colon = line.find(':');
    if (colon == std::string::npos || ++m_field_lines > max_field_lines) fail();
    fields[get_http_field_canon(line.substr(0, colon))].push_back(trim(" ", line.substr(colon + 1)));
}

void http::pop(netbuf& out) const {
    // Everything is checked before a byte is written, so a refused head
    // leaves out as it was.
    std::string head;
    auto add = [&head](std::string const& text) {
        if (breaks_line(text)) invalid_character("pop");
        head += text;
    };
    if (is_request) {
        add(method);
        head += ' ';
        add(uri);
        head += ' ';
        add(version);
    } else {
        add(version);
        head += ' ' + std::to_string(status) + ' ';
        add(reason.empty() ? get_http_response_text(status) : reason);
    }
    head += "\r\n";
    for (auto const& [name, values] : fields) {
        if (bad_name(name)) invalid_character("pop");
        for (auto const& value : values) {
            head += get_http_field_canon(name);
            head += ": ";
            add(value);
            head += "\r\n";
        }
    }
    head += "\r\n";
    out.append(head);
}

http get_http_request(std::string method, std::string uri, int major, int minor) {
    http request;
    request.method = std::move(method);
    request.uri = std::move(uri);
    request.version = "HTTP/" + std::to_string(major) + "." + std::to_string(minor);
    return request;
}

int64_t content_length(std::string text) {
    auto blank = [](unsigned char c) { return std::isspace(c) != 0; };
    text.erase(text.begin(), std::find_if_not(text.begin(), text.end(), blank));
    text.erase(std::find_if_not(text.rbegin(), text.rend(), blank).base(), text.end());
    if (text.empty() || text.size() > 18) return -1;
    int64_t n = 0;
    for (unsigned char c : text) {
        if (!std::isdigit(c)) return -1;
        n = n * 10 + (c - '0');
    }
    return n;
}

} // namespace xstd
