// Signed key/value containers: the format of plugin packages and cache files.
//
// A container is text lines "key=value", then one NUL byte, then an opaque
// payload (for plugin packages an LZMA-alone stream). The key "signature"
// holds the Base64 text of an RSA signature over the container's canonical
// form: the other keys in sorted order as "key=value\n" lines, then, when
// there is a payload, a NUL byte and the payload. So the stored order and
// spacing of the lines do not matter, only their parsed content.
//
// Plain functions over values the caller owns; any thread may call them.
#pragma once

#include <cstddef>
#include <map>
#include <string>

namespace rulo {

// Parses the lines before the first NUL into keys (see parse_map). With a
// payload pointer, everything after that NUL goes to *payload, and a content
// without a NUL throws "kv_load_content"; without one no NUL is needed.
void kv_load_content(std::string const& content, std::map<std::string, std::string>& keys,
                     std::string* payload);

// The largest file kv_load_file and kvs_load_file read: the whole file is
// held in memory, so a larger one is refused rather than read.
constexpr size_t kv_max_file_size = 256u << 20;

// Copies the whole file into memory with plain reads, then kv_load_content. A
// file rewritten meanwhile gives some of its bytes, never a crash. An empty,
// unreadable or non-regular file throws "_mmap_open"; one larger than
// kv_max_file_size throws "kv_load_file".
void kv_load_file(std::string const& path, std::map<std::string, std::string>& keys, std::string* payload);

// Reads an ini-style file into its [section] maps of key=value lines (see
// parse_map_2). Reads and fails as kv_load_file.
void kvs_load_file(std::string const& path,
                   std::map<std::string, std::map<std::string, std::string>>& sections);

// True when keys["signature"] is a valid signature of the canonical form
// under public_key (the blob of verify_rsa.h). A missing or malformed
// signature gives false. payload must be given exactly when it was signed.
bool kv_verify(std::string const& public_key, std::map<std::string, std::string> const& keys,
               std::string const* payload);

} // namespace rulo
