// URLs, URL (percent) coding and CGI parameter lists.
//
// A CGI parameter list is key=value pairs joined by "&", keys and values
// URL-coded. Nothing here keeps state between calls; a rulo::url is a plain
// value owned by whoever holds it.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace rulo {

// Keeps A-Z, a-z, 0-9 and "_"; a space becomes "+", every other byte "%" and
// two lowercase hex digits.
std::string urlencode(std::string const& text);
// As urlencode, but a space becomes "%20".
std::string percentencode(std::string const& text);
// "+" becomes a space, "%" and the next two characters the byte they spell
// (invalid digits count as 0); a "%" with fewer than two characters after it
// ends the text. Never fails.
std::string urldecode(std::string const& text);
// As urldecode, but "+" stays "+".
std::string percentdecode(std::string const& text);

// Pairs end at pair_separator; the first key_separator of a pair ends its key
// (later ones belong to the value). Keys and values are URL-decoded; a pair
// with an empty key is dropped, a later pair overwrites an earlier one.
std::map<std::string, std::string> cgi_parse_param(std::string const& text, char pair_separator,
                                                   char key_separator);
// "key=value" pairs in ascending key order joined by "&", both sides
// urlencoded; entries with an empty key are left out.
std::string cgi_get_param(std::map<std::string, std::string> const& params);

// Splits the part of a URL after the host: the fragment (after the first "#",
// percent-decoded), the path (before the first "?", percent-decoded, "//"
// collapsed) and the query (after the "?", raw). A null output is skipped.
void cgi_parse_path_param(std::string const& text, std::string* path, std::string* query,
                          std::string* fragment);
// Appends the coded form of path, query and fragment to *out.
void cgi_make_path_param(std::string* out, std::string const& path, std::string const& query,
                         std::string const& fragment);

// A parsed URL: scheme://host:port/path?query#fragment with the path and
// fragment decoded and the query split into its parameters.
class url {
public:
    url() = default;
    explicit url(std::string const& text);

    std::string as_string() const;
    // No scheme, no host and no port.
    bool relative() const;
    // A copy in whose cgi map every given key with a non-empty value is set
    // and every given key with an empty value removed.
    static url add_cgi(url u, std::map<std::string, std::string> const& params);

    std::string scheme; // without "://"
    std::string host;
    std::uint32_t port = 0; // 0: none
    std::string path;
    std::map<std::string, std::string> cgi;
    std::string fragment;
};

} // namespace rulo
