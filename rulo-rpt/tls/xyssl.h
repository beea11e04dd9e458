// One TLS session: the handshake, record writing and reading, and the close.
//
// An xyssl drives the library over its context (xyssl_ctx, one per
// connection). Its ciphertext moves through I/O functions that the owner
// installs on the context (descriptor -1, as the TLS engine does), or through
// the library's own socket calls on a descriptor it is given (which it does
// not own or close). It takes no lock: its one caller serialises it (the
// engine under the framework lock).
//
// After a failure, a close by the peer or a shutdown the session is closed:
// every further call throws "SSL object in closed state". Library failures are
// thrown as "SSL exception 0x<-code>/-0x<code>, caused by '<call>'", with the
// library's own error number (its packed library and reason code), and logged
// under "XYSSL" with the library's reason text.
#pragma once

#include "rulo-rpt/tls/xyssl_ctx.h"
#include "rulo/netbuf.h"
#include "rulo/object.h"

#include <string>

namespace rulo {

class xyssl {
public:
    // read_all: a read goes on until the library has nothing more decrypted.
    xyssl(object<xyssl_ctx> ctx, int descriptor, bool read_all);
    ~xyssl();
    xyssl(xyssl const&) = delete;
    xyssl& operator=(xyssl const&) = delete;

    // One handshake step as client / server: true once the handshake is
    // complete, false while the library waits for the peer.
    bool connect();
    bool accept();
    // Appends data (when given) to the pending plaintext and writes what it
    // can, max bytes per record call: true when nothing is left pending.
    // Bytes the library could not take now are offered again, unchanged, by
    // the next call.
    bool write(netbuf const* data, unsigned long max);
    // Replaces out with the plaintext decrypted now (pieces of at most max
    // bytes; all of it with read_all); true when there is some. A close by the
    // peer (close_notify or the end of the stream) returns what came before
    // it and closes the session (see peer_closed); a failure after some bytes
    // is thrown by the next call.
    bool read(netbuf& out, int max);
    // Sends close_notify: true once it is out (or when the peer closed first,
    // or the session never started), false while it waits.
    bool shutdown();
    // Throws "SSL object in closed state" when the session is closed.
    void check_fail() const;

    // The peer ended the stream, cleanly (close_notify) or not.
    bool peer_closed() const { return m_peer_closed; }
    // The negotiated suite number; 0 before the handshake completes.
    int ciphersuite();

private:
    bool handshake(int endpoint);

    // After a library call returned rc <= 0: true for "try again"; else
    // closes the session and throws the SSL exception naming call.
    bool try_again_or_throw(int rc, char const* call);

    object<xyssl_ctx> m_ctx;
    netbuf m_pending;
    int m_descriptor;
    SSL* m_ssl = nullptr;
    bool m_read_all;
    bool m_failed = false;
    bool m_write_again = false;
    int m_offered = 0; // bytes of the record call that answered "again"
    bool m_endpoint_set = false;
    bool m_peer_closed = false;
    int m_read_error = 0; // a failure that followed delivered bytes
    std::string m_read_reason;
};

// An I/O function's answer "no data yet" / "cannot send now": try again later.
bool xyssl_try_again(int code);

} // namespace rulo
