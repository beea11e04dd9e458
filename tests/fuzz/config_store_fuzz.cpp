// The configuration stores' text handling on hostile keys and storage specs:
// the per-key store's key to file path, and the ini store's override layer.
// A key's path must stay under its location's directory, one plain part per
// non-empty part of the key, each decoding back to that part. Nothing here
// writes to disk: HOME points at a fresh directory, values go to memory only.
//
// Input: the first byte picks the location (mod 3), then group, key and
// value or spec separated by NUL bytes.
#include "rulo/config_store.h"
#include "rulo/url.h"
#include "tests/fuzz/fuzz_support.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

using fuzz::check;

namespace {

// The key's parts as the format gives them: "\" and "/" both separate, empty
// parts are dropped.
std::vector<std::string> key_parts(std::string const& key) {
    std::vector<std::string> parts;
    std::string part;
    for (char c : key + "/") {
        if (c != '/' && c != '\\') {
            part += c;
        } else if (!part.empty()) {
            parts.push_back(part);
            part.clear();
        }
    }
    return parts;
}

void check_key_path(xstd::StorageLocation where, std::string const& key) {
    std::string const dir = where == xstd::storage_system ? "/etc/sepra/"
                            : where == xstd::storage_user ? std::string(std::getenv("HOME")) + "/.sepra/"
                                                          : "";
    std::string const path = xstd::config_key_path(where, key);
    check(path.compare(0, dir.size(), dir) == 0);
    std::string const rest = path.substr(dir.size());
    std::vector<std::string> const stored = key_parts(rest), given = key_parts(key);
    check(stored.size() == (given.empty() ? 1 : given.size()));
    check(rest.find('\\') == std::string::npos && rest.find("//") == std::string::npos);
    if (given.empty()) check(rest == "_");
    for (std::size_t i = 0; i < given.size(); ++i) {
        check(stored[i] != "." && stored[i] != ".." && rulo::urldecode(stored[i]) == given[i]);
    }
}

std::vector<std::string> fields(std::string const& text) {
    std::vector<std::string> out(1);
    for (char c : text) {
        if (c == '\0' && out.size() < 3)
            out.emplace_back();
        else
            out.back() += c;
    }
    out.resize(3);
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
    // Kept in a buffer with no destructor: the exit handler runs after the
    // static objects are gone.
    static char home[] = "/tmp/config_store_fuzz.XXXXXX";
    static bool const made = [] {
        if (!::mkdtemp(home)) return false;
        ::setenv("HOME", home, 1);
        std::atexit([] { std::filesystem::remove_all(home); });
        return true;
    }();
    if (!made) return 0;
    if (size < 1) return 0;
    auto const where = xstd::StorageLocation(data[0] % 3);
    std::string const text = fuzz::bytes(data + 1, size - 1);
    std::vector<std::string> const f = fields(text);

    check_key_path(where, text);
    check_key_path(where, f[1]);

    // A memory value shadows the ini file until it is erased again; erasing
    // keeps the override map from growing over the run.
    if (!f[2].empty()) {
        xstd::set_config_string(f[0], f[1], f[2], xstd::storage_memory);
        check(xstd::get_config_string(f[0], f[1]) == f[2]);
        xstd::set_config_string(f[0], f[1], "", xstd::storage_memory);
    }

    // Specs naming no absolute directory would make directories under HOME
    // on every run: only absolute ones (which are used as they stand) and
    // items other than "disk" are tried.
    bool relative = false;
    for (std::size_t at = 0; (at = text.find("disk", at)) != std::string::npos; at += 4) {
        std::size_t const colon = at + 4;
        relative = relative || colon >= text.size() || text[colon] != ':' || colon + 1 >= text.size() ||
                   text[colon + 1] != '/';
    }
    if (!relative) xstd::set_config_storage(text);
    return 0;
}
