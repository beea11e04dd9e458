// Plugin packages as the program reads them:
//
//   | head: "key=value\n" lines | 00 | payload: LZMA-alone stream of the archive container |
//
// The head's "signature" is the Base64 text of an RSA signature (PKCS#1 v1.5,
// block type 1) over the bare 64-byte SHA-512 digest of the canonical form:
// the other head keys as sorted "key=value\n" lines, one NUL byte, the payload.
// Signing is left to openssl, so what the program verifies was made by a
// program nobody here wrote.
//
// Plain functions over values the caller owns; signing runs openssl and
// blocks until it ends.
#pragma once

#include "tools/packer/manifest.h"

#include <map>
#include <string>
#include <vector>

namespace packer {

// The archive container of one directory of files (their data loaded).
std::string plugin_container(std::string const& dir, std::vector<archive_entry> const& files);

// The bytes a signature covers: head keys other than "signature", NUL, payload.
std::string plugin_canonical_form(std::map<std::string, std::string> const& head, std::string const& payload);

// The package: the head lines in key order, a NUL byte, the payload.
std::string plugin_package(std::map<std::string, std::string> const& head, std::string const& payload);

enum class plugin_signing {
    bare_digest, // openssl dgst -sha512 -binary, then pkeyutl -sign with PKCS#1 padding: what the program
                 // takes
    digest_info, // openssl dgst -sha512 -sign: DigestInfo inside the padding, which the program refuses
};

// Signs the canonical form with the PEM private key through openssl and
// returns the signature in Base64. Throws pack_error with openssl's exit
// status when a step fails.
std::string plugin_sign(std::string const& pem, std::string const& canonical, plugin_signing how);

} // namespace packer
