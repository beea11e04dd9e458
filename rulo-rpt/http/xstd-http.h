// HTTP/1.x message heads: the start line of a request or a response and its
// header fields, an incremental parser fed raw socket bytes, and a writer.
//
// A value type: a copy takes a view of the same buffered bytes and is
// otherwise independent. One object is used by one thread at a time. Bodies
// are not part of it; the caller reads or writes them itself.
#pragma once

#include "rulo/netbuf.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace xstd {

// Status code -> reason phrase for the 40 codes HTTP/1.1 defines (RFC 2616
// section 6.1.1). Built on first use (any thread may be first) and never
// changed after, so callers only read it.
std::map<int, std::string> const& http_error_codes();
// Builds the table now rather than on first use; later calls do nothing.
void http_init_error_codes();

// Upper-cases the first character and every one that follows a "-"; the
// others are kept as they are ("content-length" -> "Content-Length").
std::string get_http_field_canon(std::string name);
// The table's phrase for code, else by class: 1xx/2xx "OK", 3xx "Redirect",
// 4xx/5xx "Error", anything else "".
std::string get_http_response_text(int code);

class http {
public:
    // The parser's bounds: a line (start line or field) of more than
    // max_line_length bytes before its "\n", or more than max_field_lines
    // field lines, is a parse error. Real proxies send a few hundred bytes.
    static constexpr int max_line_length = 16384;
    static constexpr int max_field_lines = 256;

    http() = default;

    // The first value of the first field named name (ignoring case); "" if none.
    std::string get_field(std::string const& name) const;
    // Replaces every field named name (ignoring case) by one value, the name
    // spelled as passed. A CR, LF or NUL in name or value, or a ":" in name,
    // would let the value forge further header lines: it throws
    // "/xstd/http/set_field:Invalid character in HTTP field" and changes nothing.
    void set_field(std::string const& name, std::string const& value);
    // Removes every field named name (ignoring case).
    void erase_field(std::string const& name);

    // Feeds bytes: true when the head is complete, with rest holding exactly
    // the bytes after its empty line; false when more bytes are needed. Once
    // complete, every further call passes its input through to rest. A
    // malformed head throws "/xstd/http/parse:HTTP header parse error", now
    // and on every later call.
    bool push(netbuf const& in, netbuf& rest);
    // Appends the serialised head to out (start line, fields in map order,
    // the empty line); no field is added. Throws the set_field error, writing
    // nothing, when a start-line part, name or value holds CR, LF or NUL.
    void pop(netbuf& out) const;

    int state = 0; // 0 start line, 1 field lines, -2 complete, -1 parse error
    netbuf buffer; // received, not yet parsed
    std::string version;
    bool is_request = true; // set to false before parsing a response
    std::string method;
    std::string uri;
    int status = 0;
    std::string reason;
    // Ordered by the stored name's bytes; one name may carry several values.
    std::map<std::string, std::vector<std::string>> fields;

private:
    void parse_line(std::string const& line);
    [[noreturn]] void fail();
    int m_field_lines = 0;
};

// A request with version "HTTP/<major>.<minor>".
http get_http_request(std::string method, std::string uri, int major, int minor);

// A Content-Length value as a byte count: decimal digits only (blanks
// around them allowed), at most 18 of them; -1 for anything else.
int64_t content_length(std::string text);

} // namespace xstd
