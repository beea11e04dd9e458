#include "rulo/url.h"

#include "rulo/text.h"

#include <algorithm>
#include <cstring>

namespace rulo {

namespace {

bool is_plain(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

bool is_scheme_char(char c) {
    return is_plain(c) || c == '-';
}

// Bytes in keep are written as they are, like the plain ones.
std::string encode(std::string const& text, char const* space, char const* keep = "") {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (is_plain(c) || (c != '\0' && std::strchr(keep, c))) {
            out += c;
        } else if (c == ' ') {
            out += space;
        } else {
            out += '%';
            xstd::push_hexchar(out, c);
        }
    }
    return out;
}

std::string decode(std::string const& text, bool plus_is_space) {
    mini_char<1024> out;
    std::size_t const n = text.size();
    for (std::size_t i = 0; i < n; ++i) {
        char c = text[i];
        if (c == '%') {
            // A cut-off escape ends the text: nothing after it can be trusted.
            if (n - i < 3) break;
            out.append(xstd::pop_hexchar(text[i + 1], text[i + 2]));
            i += 2;
        } else if (c == '+' && plus_is_space) {
            out.append(' ');
        } else {
            out.append(c);
        }
    }
    return out;
}

// One pass: every run of "/" becomes one.
void collapse_slashes(std::string& text) {
    text.erase(std::unique(text.begin(), text.end(), [](char a, char b) { return a == '/' && b == '/'; }),
               text.end());
}

} // namespace

std::string urlencode(std::string const& text) {
    return encode(text, "+");
}
std::string percentencode(std::string const& text) {
    return encode(text, "%20");
}
std::string urldecode(std::string const& text) {
    return decode(text, true);
}
std::string percentdecode(std::string const& text) {
    return decode(text, false);
}

std::map<std::string, std::string> cgi_parse_param(std::string const& text, char pair_separator,
                                                   char key_separator) {
    std::map<std::string, std::string> out;
    std::size_t pos = 0;
    while (pos <= text.size()) {
        std::size_t end = text.find(pair_separator, pos);
        if (end == std::string::npos) end = text.size();
        // Only the current pair is searched, so long lists stay linear.
        std::size_t ks = std::find(text.begin() + pos, text.begin() + end, key_separator) - text.begin();
        std::string key, value;
        if (ks == end) {
            key = text.substr(pos, end - pos);
        } else {
            key = text.substr(pos, ks - pos);
            value = text.substr(ks + 1, end - ks - 1);
        }
        if (!key.empty()) out[urldecode(key)] = urldecode(value);
        pos = end + 1;
    }
    return out;
}

std::string cgi_get_param(std::map<std::string, std::string> const& params) {
    std::string out;
    for (auto const& [key, value] : params) {
        if (key.empty()) continue;
        if (!out.empty()) out += '&';
        out += urlencode(key);
        out += '=';
        out += urlencode(value);
    }
    return out;
}

void cgi_parse_path_param(std::string const& text, std::string* path, std::string* query,
                          std::string* fragment) {
    std::string rest = text;
    std::size_t hash = rest.find('#');
    if (fragment)
        *fragment = hash == std::string::npos ? std::string() : percentdecode(rest.substr(hash + 1));
    if (hash != std::string::npos) rest.erase(hash);
    std::size_t question = rest.find('?');
    if (query) *query = question == std::string::npos ? std::string() : rest.substr(question + 1);
    if (question != std::string::npos) rest.erase(question);
    if (!path) return;
    *path = percentdecode(rest);
    collapse_slashes(*path);
}

void cgi_make_path_param(std::string* out, std::string const& path, std::string const& query,
                         std::string const& fragment) {
    if (!path.empty()) {
        // Path punctuation stays readable.
        std::string coded = encode(path, "%20", "/.-");
        collapse_slashes(coded);
        *out += coded;
    }
    if (!query.empty()) {
        *out += '?';
        *out += query;
    }
    if (!fragment.empty()) {
        *out += '#';
        *out += percentencode(fragment);
    }
}

url::url(std::string const& text) {
    std::string rest = text;
    std::size_t sep = rest.find("://");
    bool has_scheme = sep != std::string::npos && sep > 0;
    for (std::size_t i = 0; has_scheme && i < sep; ++i) has_scheme = is_scheme_char(rest[i]);
    if (has_scheme) {
        scheme = rest.substr(0, sep);
        rest.erase(0, sep + 3);
        std::size_t slash = rest.find('/');
        host = rest.substr(0, slash);
        rest.erase(0, slash == std::string::npos ? rest.size() : slash);
        std::size_t colon = host.find(':');
        if (colon != std::string::npos) {
            port = destringify<unsigned int>(host.substr(colon + 1));
            host.erase(colon);
        }
    }
    std::string query;
    cgi_parse_path_param(rest, &path, &query, &fragment);
    cgi = cgi_parse_param(query, '&', '=');
}

std::string url::as_string() const {
    std::string out;
    if (!scheme.empty()) out = scheme + "://";
    if (!host.empty()) {
        out += host;
        if (port) {
            out += ':';
            out += std::to_string(port);
        }
    }
    std::string query = cgi_get_param(cgi);
    std::string p = path;
    if ((out.empty() || !p.empty() || !query.empty() || !fragment.empty()) && !relative() &&
        !starts_with(p, "/"))
        p.insert(0, 1, '/');
    cgi_make_path_param(&out, p, query, fragment);
    return out;
}

bool url::relative() const {
    return scheme.empty() && host.empty() && port == 0;
}

url url::add_cgi(url u, std::map<std::string, std::string> const& params) {
    for (auto const& [key, value] : params) {
        if (value.empty()) {
            u.cgi.erase(key);
        } else {
            u.cgi[key] = value;
        }
    }
    return u;
}

} // namespace rulo
