// What the relay serves about plugins beside the package files: the
// catalogue (control method 29), plugin translations (method 40) and the
// download faults tests ask for. Pure functions over files and values; used
// on the relay's one I/O thread.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace relay {

using plugin_record = std::map<std::string, std::string>;

// A name usable as one file in a served directory: no "/", "\", NUL, "." or "..".
bool safe_file_name(std::string const& name);

// The catalogue file: key=value paragraphs separated by blank lines, one
// record each, in order. "depends=a,b" becomes a packet holding the set of
// names; a record without "size" or "signature" gets them from the served
// file files_dir/<download_ticket> when there is one. Throws
// std::runtime_error naming the file when it cannot be read.
std::vector<plugin_record> catalogue_records(std::string const& catalogue_path, std::string const& files_dir);

// The value of method 29's reply: the records as a packet sequence of maps.
std::string catalogue_value(std::vector<plugin_record> const& records);

// One answer of method 40 for plugin `name`: empty when dir/<name>.ini is
// missing or its identifier is `cached`, else the file as an LZMA-alone
// stream followed by the identifier (a packet string). The identifier is the
// first 16 hex digits of the file's SHA-256.
struct translations_answer {
    std::string bytes;
    std::string identifier; // "" when the answer is empty
};
translations_answer translations_for(std::string const& dir, std::string const& name,
                                     std::string const& cached);

// A download fault for one ticket (see PROTOCOL.md).
struct download_fault {
    enum kind { none, corrupt, short_by_one, long_by_one, error, break_after, rate } what = none;
    std::string text;        // error: the text sent
    std::uint64_t value = 0; // break_after: bytes; rate: bytes per second
};
// Parses "corrupt", "short", "long", "error TEXT", "break BYTES", "rate
// BYTES_PER_S" or "none"; throws std::invalid_argument with a text.
download_fault parse_download_fault(std::string const& spec);
char const* fault_name(download_fault::kind k);

} // namespace relay
