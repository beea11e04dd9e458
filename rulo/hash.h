// Message digests, returned as raw byte strings (not hex: callers hex-code
// them with xstd::hexcode where they leave the program as text).
//
// The functions have no shared state and may be called from any thread. An
// xstd::sha512 object belongs to one thread at a time.
#pragma once

#include <string>

namespace xstd {

// The 16-byte MD5 digest of the bytes.
std::string get_md5(std::string const& text);
// The 16-byte MD4 digest of the bytes (the NTLM NT response needs it).
std::string get_md4(std::string const& text);

// An incremental SHA-512 digest over a library context it owns.
// Throws std::bad_alloc when the context cannot be made.
class sha512 {
public:
    static constexpr unsigned long digest_size = 64;

    sha512(); // ready to take bytes
    ~sha512();
    sha512(sha512 const&) = delete;
    sha512& operator=(sha512 const&) = delete;

    // Starts a new digest, dropping whatever was fed.
    void clear();
    void update(char const* data, unsigned long length);
    // The 64-byte digest of everything fed since the last clear(). The object
    // then starts over, so a clear() before reuse is allowed but not needed.
    std::string finish();

private:
    void* m_ctx; // EVP_MD_CTX, kept out of this header
};

} // namespace xstd

namespace rulo {

using xstd::get_md5;

} // namespace rulo
