#include "rulo/hash.h"

#include <openssl/evp.h>
// MD4 has no home in OpenSSL 3's default provider; its low-level call is
// deprecated but needs no provider, and NTLM needs nothing more.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <openssl/md4.h>
#pragma GCC diagnostic pop

#include <new>

namespace xstd {

namespace {

unsigned char const* bytes(std::string const& text) {
    return reinterpret_cast<unsigned char const*>(text.data());
}

EVP_MD_CTX* ctx_of(void* p) {
    return static_cast<EVP_MD_CTX*>(p);
}

// The software digests cannot fail once the context exists; a failure here
// means the library could not allocate.
void check(int ok) {
    if (ok != 1) throw std::bad_alloc();
}

} // namespace

std::string get_md5(std::string const& text) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    check(EVP_Digest(text.data(), text.size(), out, &n, EVP_md5(), nullptr));
    return std::string(reinterpret_cast<char const*>(out), n);
}

std::string get_md4(std::string const& text) {
    unsigned char out[MD4_DIGEST_LENGTH];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    MD4(bytes(text), text.size(), out);
#pragma GCC diagnostic pop
    return std::string(reinterpret_cast<char const*>(out), sizeof out);
}

sha512::sha512() : m_ctx(EVP_MD_CTX_new()) {
    if (!m_ctx) throw std::bad_alloc();
    try {
        clear();
    } catch (...) {
        EVP_MD_CTX_free(ctx_of(m_ctx));
        throw;
    }
}

sha512::~sha512() {
    EVP_MD_CTX_free(ctx_of(m_ctx));
}

void sha512::clear() {
    check(EVP_DigestInit_ex(ctx_of(m_ctx), EVP_sha512(), nullptr));
}

void sha512::update(char const* data, unsigned long length) {
    if (length == 0) return;
    check(EVP_DigestUpdate(ctx_of(m_ctx), data, length));
}

std::string sha512::finish() {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    check(EVP_DigestFinal_ex(ctx_of(m_ctx), out, &n));
    // A finished context takes no more bytes; restart it so that a caller who
    // forgets the clear() gets a fresh digest rather than a failure.
    clear();
    return std::string(reinterpret_cast<char const*>(out), n);
}

} // namespace xstd
