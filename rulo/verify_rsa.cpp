#include "rulo/verify_rsa.h"

#include <mbedtls/rsa.h>

#include <cstddef>

namespace rulo {

namespace {

// One length-prefixed big number of the key blob, read without copying.
struct number_view {
    unsigned char const* bytes = nullptr;
    size_t size = 0;
};

// Reads one number at pos; false when the count or its bytes run past the end.
bool read_number(unsigned char const* blob, size_t length, size_t& pos, number_view& out) {
    if (length - pos < 2) return false;
    size_t count = size_t(blob[pos]) << 8 | blob[pos + 1];
    pos += 2;
    if (length - pos < count) return false;
    out.bytes = blob + pos;
    out.size = count;
    pos += count;
    return true;
}

// Owns one public-key context for the length of a check.
class public_key {
public:
    public_key() { mbedtls_rsa_init(&m_ctx, MBEDTLS_RSA_PKCS_V15, 0); }
    ~public_key() { mbedtls_rsa_free(&m_ctx); }
    public_key(public_key const&) = delete;
    public_key& operator=(public_key const&) = delete;

    // False for a key the library would refuse to compute with: a modulus
    // below 128 bits, even, or larger than it supports; an exponent that is
    // even, below 3 or not smaller than the modulus.
    bool load(number_view n, number_view e) {
        return mbedtls_rsa_import_raw(&m_ctx, n.bytes, n.size, nullptr, 0, nullptr, 0, nullptr, 0, e.bytes,
                                      e.size) == 0 &&
               mbedtls_rsa_complete(&m_ctx) == 0 && mbedtls_rsa_check_pubkey(&m_ctx) == 0;
    }

    size_t size() const { return mbedtls_rsa_get_len(&m_ctx); }

    bool verify(unsigned char const* signature, unsigned char const* data, size_t data_length) {
        return mbedtls_rsa_pkcs1_verify(&m_ctx, nullptr, nullptr, MBEDTLS_RSA_PUBLIC, MBEDTLS_MD_NONE,
                                        static_cast<unsigned int>(data_length), data, signature) == 0;
    }

private:
    mbedtls_rsa_context m_ctx;
};

} // namespace

int verify_rsa(unsigned char const* key, int key_length, unsigned char const* signature, int signature_length,
               unsigned char const* data, int data_length) {
    if (!key || key_length < 0 || !signature || signature_length < 0 || data_length < 0) return 0;
    if (!data && data_length > 0) return 0;

    size_t pos = 0;
    number_view modulus, exponent;
    if (!read_number(key, size_t(key_length), pos, modulus)) return 0;
    if (!read_number(key, size_t(key_length), pos, exponent)) return 0;
    if (modulus.size == 0 || exponent.size == 0) return 0;

    public_key pk;
    if (!pk.load(modulus, exponent)) return 0;
    // The padding alone takes 11 bytes, so data longer than the modulus can
    // never verify; the check also keeps the length within the library's type.
    if (size_t(signature_length) != pk.size() || size_t(data_length) > pk.size()) return 0;
    static unsigned char const none = 0;
    return pk.verify(signature, data ? data : &none, size_t(data_length)) ? 1 : 0;
}

} // namespace rulo
