#include "tools/relay/certificate.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <fcntl.h>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace relay {

namespace {

template <class T, void (*F)(T*)>
struct deleter {
    void operator()(T* p) const { F(p); }
};
using pkey_ptr = std::unique_ptr<EVP_PKEY, deleter<EVP_PKEY, EVP_PKEY_free>>;
using x509_ptr = std::unique_ptr<X509, deleter<X509, X509_free>>;
using bio_ptr = std::unique_ptr<BIO, deleter<BIO, BIO_free_all>>;

[[noreturn]] void fail(std::string const& what) {
    throw std::runtime_error(what);
}

bool read_file(std::string const& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream s;
    s << in.rdbuf();
    out = s.str();
    return true;
}

void write_file(std::string const& path, std::string const& data, mode_t mode) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
    if (fd < 0) fail("cannot write " + path);
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n <= 0) {
            ::close(fd);
            fail("cannot write " + path);
        }
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
}

std::string bio_text(BIO* bio) {
    char* data = nullptr;
    long n = BIO_get_mem_data(bio, &data);
    return std::string(data, static_cast<std::size_t>(n));
}

std::string to_der(X509* cert) {
    int n = i2d_X509(cert, nullptr);
    if (n <= 0) fail("i2d_X509");
    std::string der(static_cast<std::size_t>(n), '\0');
    auto* p = reinterpret_cast<unsigned char*>(der.data());
    i2d_X509(cert, &p);
    return der;
}

identity make_identity() {
    pkey_ptr key(EVP_RSA_gen(2048));
    if (!key) fail("EVP_RSA_gen");
    x509_ptr cert(X509_new());
    if (!cert) fail("X509_new");
    X509_set_version(cert.get(), 2);
    // A random serial: two certificates made on one machine must differ.
    unsigned char serial[16];
    std::ifstream("/dev/urandom", std::ios::binary).read(reinterpret_cast<char*>(serial), sizeof serial);
    serial[0] &= 0x7F;
    BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
    BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert.get()));
    BN_free(bn);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 10L * 365 * 24 * 3600);
    X509_set_pubkey(cert.get(), key.get());
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<unsigned char const*>("tovan_relay"), -1, -1, 0);
    X509_set_issuer_name(cert.get(), name);
    if (X509_sign(cert.get(), key.get(), EVP_sha256()) <= 0) fail("X509_sign");

    bio_ptr cb(BIO_new(BIO_s_mem())), kb(BIO_new(BIO_s_mem()));
    if (!PEM_write_bio_X509(cb.get(), cert.get())) fail("PEM_write_bio_X509");
    if (!PEM_write_bio_PrivateKey(kb.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr))
        fail("PEM_write_bio_PrivateKey");
    return identity{bio_text(cb.get()), bio_text(kb.get()), to_der(cert.get())};
}

} // namespace

identity load_or_make_identity(std::string const& cert_path, std::string const& key_path) {
    identity id;
    bool const have_cert = read_file(cert_path, id.cert_pem);
    bool const have_key = read_file(key_path, id.key_pem);
    if (have_cert != have_key) fail("only one of " + cert_path + " and " + key_path + " exists");
    if (!have_cert) {
        id = make_identity();
        write_file(key_path, id.key_pem, 0600);
        write_file(cert_path, id.cert_pem, 0644);
        return id;
    }
    bio_ptr b(BIO_new_mem_buf(id.cert_pem.data(), static_cast<int>(id.cert_pem.size())));
    x509_ptr cert(PEM_read_bio_X509(b.get(), nullptr, nullptr, nullptr));
    if (!cert) fail("no PEM certificate in " + cert_path);
    id.cert_der = to_der(cert.get());
    bio_ptr kb(BIO_new_mem_buf(id.key_pem.data(), static_cast<int>(id.key_pem.size())));
    pkey_ptr key(PEM_read_bio_PrivateKey(kb.get(), nullptr, nullptr, nullptr));
    if (!key) fail("no PEM private key in " + key_path);
    if (X509_check_private_key(cert.get(), key.get()) != 1) fail(key_path + " does not match " + cert_path);
    return id;
}

std::string sha256_hex(std::string const& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &n, EVP_sha256(), nullptr);
    static char const hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned i = 0; i < n; ++i) {
        out.push_back(hex[digest[i] >> 4]);
        out.push_back(hex[digest[i] & 15]);
    }
    return out;
}

} // namespace relay
