// The packer's manifest parser: any text either parses or is refused with a
// pack_error naming its line (no other exception, no crash). What parses is
// well formed (known record types, archives with entries only where they
// belong, nothing after "end", lines in order), and written back with every
// word quoted it parses to the same records.
#include "tools/packer/manifest.h"
#include "tools/packer/pack_error.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace {

void check(bool invariant) {
    if (!invariant) __builtin_trap();
}

char const* const keywords[] = {"end", "archive",     "start", "start-library", "seal",
                                "run", "run-library", "lzma",  "copy-self",     "delete-self"};

std::string quoted(std::string const& word) {
    std::string q = "\"";
    for (char c : word) {
        if (c == '"' || c == '\\') q += '\\';
        q += c;
    }
    return q + "\"";
}

// The records as manifest text, one line each, every word quoted.
std::string write_back(std::vector<packer::manifest_record> const& records) {
    std::string text;
    for (auto const& r : records) {
        text += keywords[r.type];
        bool const takes_name = r.type != 0 && r.type != 4 && r.type != 9;
        if (takes_name || !r.name.empty()) text += " " + quoted(r.name);
        for (auto const& e : r.entries) text += " " + quoted(e.name) + " " + quoted(e.source);
        text += "\n";
    }
    return text;
}

bool same(std::vector<packer::manifest_record> const& a, std::vector<packer::manifest_record> const& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].type != b[i].type || a[i].name != b[i].name || a[i].entries.size() != b[i].entries.size())
            return false;
        for (std::size_t j = 0; j < a[i].entries.size(); ++j)
            if (a[i].entries[j].name != b[i].entries[j].name ||
                a[i].entries[j].source != b[i].entries[j].source)
                return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
    std::string_view const text(reinterpret_cast<char const*>(data), size);
    std::vector<packer::manifest_record> records;
    try {
        records = packer::parse_manifest(text);
    } catch (packer::pack_error const& e) {
        check(std::string_view(e.what()).rfind("manifest line ", 0) == 0);
        return 0;
    }
    unsigned last_line = 0;
    for (std::size_t i = 0; i < records.size(); ++i) {
        auto const& r = records[i];
        check(r.type <= 9 && r.line > last_line);
        last_line = r.line;
        check((r.type == 1 || r.type == 7) || r.entries.empty());
        check(r.type != 0 || i + 1 == records.size());
        for (auto const& e : r.entries) check(e.data.empty());
    }
    std::vector<packer::manifest_record> again;
    try {
        again = packer::parse_manifest(write_back(records));
    } catch (packer::pack_error const&) {
        check(false);
    }
    check(same(records, again));
    return 0;
}
