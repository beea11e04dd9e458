// The framework's archive container parser and the one name rule, on hostile
// bytes (the container as it comes out of the decoder). Every length must be
// checked against what is left, an accepted container must re-encode to its
// own bytes, every entry's data must lie inside the input, and a name passed
// as safe must satisfy the rule as written down here, part by part.
#include "rulo/archive.h"
#include "rulo/archive_names.h"
#include "tests/fuzz/fuzz_support.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

using fuzz::check;

namespace {

namespace names = rulo::archive_names;

std::vector<std::string_view> parts(std::string_view name) {
    std::vector<std::string_view> out;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= name.size(); ++i) {
        if (i == name.size() || name[i] == '/') {
            out.push_back(name.substr(start, i - start));
            start = i + 1;
        }
    }
    return out;
}

// The rule from its description: parts, not positions. No length bound.
bool reference_path(std::string_view name) {
    if (name.empty() || name[0] == '.') return false;
    for (char c : name)
        if (c == '\0') return false;
    for (std::string_view part : parts(name)) // an absolute name has an empty first part
        if (part.empty() || part == "." || part.find("..") != std::string_view::npos) return false;
    return true;
}

void check_name(std::string_view name) {
    bool const path = reference_path(name);
    bool const safe = path && name.size() <= names::max_name_length;
    check(names::is_safe_path(name) == path);
    check(names::is_safe_entry_name(name) ==
          (safe && name != names::lock_file_name && name != names::slot_marker_name));
    check(names::is_safe_directory_name(name) == (safe && name.find('/') == std::string_view::npos));
}

std::string u32(std::uint32_t v) {
    return {char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
}

bool within(char const* p, std::size_t n, std::string const& whole) {
    return p >= whole.data() && n <= whole.size() && p - whole.data() <= std::ptrdiff_t(whole.size() - n);
}

void check_container(std::string const& content) {
    std::string dir;
    std::vector<rulo::archive_entry> entries;
    if (!rulo::parse_archive(content, dir, entries)) return;
    check(names::is_safe_directory_name(dir));
    std::string again = u32(std::uint32_t(dir.size())) + dir + u32(std::uint32_t(entries.size()));
    for (auto const& e : entries) {
        check(names::is_safe_entry_name(e.name));
        check(within(e.data, e.size, content));
        again += u32(std::uint32_t(e.name.size())) + e.name + u32(std::uint32_t(e.size));
        again.append(e.data, e.size);
    }
    check(again == content);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
    std::string const input = fuzz::bytes(data, size);
    check_name(input);
    check_container(input);
    return 0;
}
