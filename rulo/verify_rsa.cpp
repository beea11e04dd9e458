#include "rulo/verify_rsa.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

#include <cstddef>
#include <memory>

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

using bn_ptr = std::unique_ptr<BIGNUM, decltype(&BN_free)>;

bn_ptr number(number_view v) {
    return bn_ptr(BN_bin2bn(v.bytes, int(v.size), nullptr), &BN_free);
}

// One public key for the length of a check.
class public_key {
public:
    public_key() = default;
    ~public_key() { EVP_PKEY_free(m_key); }
    public_key(public_key const&) = delete;
    public_key& operator=(public_key const&) = delete;

    // False for a key no one could sign with: a modulus below 128 bits, even,
    // or larger than the library computes with; an exponent that is even,
    // below 3 or not smaller than the modulus.
    bool load(number_view n_bytes, number_view e_bytes) {
        bn_ptr n = number(n_bytes), e = number(e_bytes);
        if (!n || !e || BN_num_bits(n.get()) < 128 || BN_num_bits(n.get()) > OPENSSL_RSA_MAX_MODULUS_BITS ||
            !BN_is_odd(n.get()) || !BN_is_odd(e.get()) || BN_is_one(e.get()) ||
            BN_cmp(e.get(), n.get()) >= 0) {
            return false;
        }
        OSSL_PARAM_BLD* build = OSSL_PARAM_BLD_new();
        OSSL_PARAM* params = nullptr;
        EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
        bool ok = build && ctx && OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_RSA_N, n.get()) == 1 &&
                  OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_RSA_E, e.get()) == 1 &&
                  (params = OSSL_PARAM_BLD_to_param(build)) != nullptr && EVP_PKEY_fromdata_init(ctx) == 1 &&
                  EVP_PKEY_fromdata(ctx, &m_key, EVP_PKEY_PUBLIC_KEY, params) == 1;
        OSSL_PARAM_free(params);
        OSSL_PARAM_BLD_free(build);
        EVP_PKEY_CTX_free(ctx);
        m_size = size_t(BN_num_bytes(n.get()));
        return ok;
    }

    size_t size() const { return m_size; }

    // PKCS#1 v1.5 type-1 padding without a digest: the opened block must
    // hold exactly the data bytes.
    bool verify(unsigned char const* signature, unsigned char const* data, size_t data_length) {
        EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(m_key, nullptr);
        bool ok = ctx && EVP_PKEY_verify_init(ctx) == 1 &&
                  EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
                  EVP_PKEY_verify(ctx, signature, m_size, data, data_length) == 1;
        EVP_PKEY_CTX_free(ctx);
        return ok;
    }

private:
    EVP_PKEY* m_key = nullptr;
    size_t m_size = 0;
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
    int const valid = pk.verify(signature, data ? data : &none, size_t(data_length)) ? 1 : 0;
    ERR_clear_error(); // a refused signature leaves its reason queued on this thread
    return valid;
}

} // namespace rulo
