// The TLS filter a socket routes its non-raw I/O through.
//
// A socket that carries TLS owns one rulo::object<SSLFilter> handle; the TLS
// layer makes the filter and implements it over its engine. The socket pushes
// the ciphertext it read into read() and sends what write() and flush() give
// back, so the socket itself knows nothing of TLS.
//
// Threads and locks: a filter belongs to its socket and is called by whoever
// drives that socket (a poller thread with the framework lock held, or the
// one thread that waits for a handshake); it is never called by two threads
// at once. Failures (a broken handshake, a bad record) are thrown as
// rulo::exception; the socket's caller ends the connection on them.
#pragma once

#include "rulo/netbuf.h"

namespace rulo {

class SSLFilter {
public:
    virtual ~SSLFilter() = default;
    // Plaintext in, the ciphertext to send out (empty while the handshake
    // holds it back; flush() releases it later).
    virtual netbuf write(netbuf const& plaintext) = 0;
    // Ciphertext as it arrived, cut anywhere, in; the plaintext it completes
    // out (empty when no record is complete yet).
    virtual netbuf read(netbuf const& ciphertext) = 0;
    // Ciphertext that is waiting to be sent (handshake messages, records
    // held back by write()); empty when there is none.
    virtual netbuf flush() = 0;
    virtual bool handshake_done() = 0;
};

} // namespace rulo
