#include "rulo/kv_container.h"

#include "rulo/base64.h"
#include "rulo/exception.h"
#include "rulo/hash.h"
#include "rulo/kv_text.h"
#include "rulo/text.h"
#include "rulo/verify_rsa.h"
#include "rulo/xfile.h"

#include <climits>
#include <vector>

namespace rulo {
namespace {

// Copies the whole file out of a read-only mapping, unmapping it even when
// the copy fails.
std::string map_whole_file(std::string const& path) {
    struct unmap {
        _mmap* map;
        ~unmap() { mmap_close(map); }
    } mapped{mmap_open(path.c_str(), 0, -1)};
    return std::string(static_cast<char const*>(mapped.map->addr), mapped.map->len);
}

// Standard Base64 with padding, whole groups only, no line breaks; false for
// anything else.
bool decode_base64(std::string const& text, std::string& out) {
    if (text.empty() || text.size() % 4 != 0) return false;
    try {
        out = base64_decode(text);
    } catch (exception const&) {
        return false;
    }
    return true;
}

unsigned char const* bytes(std::string const& s) {
    return reinterpret_cast<unsigned char const*>(s.data());
}

} // namespace

void kv_load_content(std::string const& content, std::map<std::string, std::string>& keys,
                     std::string* payload) {
    if (payload) {
        size_t nul = content.find('\0');
        if (nul == std::string::npos) throw exception::function("kv_load_content");
        payload->assign(content, nul + 1);
    }
    parse_map(keys, content);
}

void kv_load_file(std::string const& path, std::map<std::string, std::string>& keys, std::string* payload) {
    kv_load_content(map_whole_file(path), keys, payload);
}

void kvs_load_file(std::string const& path,
                   std::map<std::string, std::map<std::string, std::string>>& sections) {
    std::vector<std::string> lines;
    get_lines(map_whole_file(path), lines);
    parse_map_2(sections, lines);
}

bool kv_verify(std::string const& public_key, std::map<std::string, std::string> const& keys,
               std::string const* payload) {
    auto found = keys.find("signature");
    if (found == keys.end()) return false;
    std::string signature;
    if (!decode_base64(found->second, signature)) return false;

    xstd::sha512 hash;
    for (auto const& [key, value] : keys) {
        if (key == "signature") continue;
        std::string line = key + "=" + value + "\n";
        hash.update(line.data(), line.size());
    }
    if (payload) {
        hash.update("", 1); // the NUL that separates lines and payload
        hash.update(payload->data(), payload->size());
    }
    std::string const digest = hash.finish();
    if (public_key.size() > INT_MAX) return false;
    return verify_rsa(bytes(public_key), int(public_key.size()), bytes(signature), int(signature.size()),
                      bytes(digest), int(digest.size())) == 1;
}

} // namespace rulo
