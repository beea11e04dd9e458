// The TLS filter as the socket layer sees it: ciphertext in, plaintext out.
//
// A socket (or the multiplexer) that carries TLS pushes every chunk it
// receives through read() and every chunk it sends through write(), and sends
// what flush() returns while the handshake is running. The filter adds no lock
// of its own: its owner serialises the calls (a socket calls it under the
// framework lock). Once the TLS engine behind it has ended, every write, read
// and flush throws.
//
// The virtual operations are declared in their binary slot order.
#pragma once

#include "rulo/netbuf.h"

namespace rulo {

class SSLFilter {
public:
    virtual ~SSLFilter() = default;
    // Plaintext in, the ciphertext to send out.
    virtual netbuf write(netbuf const& plaintext) = 0;
    // Ciphertext received, the plaintext it completed (possibly none).
    virtual netbuf read(netbuf const& ciphertext) = 0;
    // The ciphertext produced since the last call (handshake records).
    virtual netbuf flush() = 0;
    virtual bool handshake_done() = 0;
};

} // namespace rulo
