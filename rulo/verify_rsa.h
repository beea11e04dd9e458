// RSA signature check against a public key in its compact binary form.
//
// The key blob holds the modulus and then the public exponent, each a 2-byte
// big-endian byte count followed by that many bytes of the number, most
// significant first; bytes after the exponent are ignored. The check is raw
// PKCS#1 v1.5: the signature must open to 00 01 FF..FF 00 followed by exactly
// the data bytes (no DigestInfo). Stateless; any thread.
#pragma once

namespace rulo {

// 1 when signature is valid for data under key, else 0. Never throws: a
// malformed or implausible key (tiny, even or zero modulus, counts beyond
// the blob), a signature whose length is not the modulus size, negative
// lengths and null buffers all give 0.
int verify_rsa(unsigned char const* key, int key_length, unsigned char const* signature, int signature_length,
               unsigned char const* data, int data_length);

} // namespace rulo
