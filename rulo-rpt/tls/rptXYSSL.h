// The TLS engine: a transport that runs TLS over any other transport.
//
// rptXYSSL is the sink of the transport below (ciphertext) and a transport for
// the layer above (plaintext). The session channel, the multiplexer's control
// link and the TLS filter of a socket all use it. The owner makes it with its
// sink, a context (one per connection) and the role, then starts it on the
// lower transport; a client sends its hello at once. Plaintext given to send()
// before the handshake completes is queued and written after it.
//
// Ownership: the engine holds its sink and its lower transport through
// handles until it ends; ending drops both, which breaks any cycle with them.
//
// Threads and lock: every call may come from any thread; each takes the
// framework lock (rulo::rulo_lock_guard), and the library runs inside it. The
// sink is called with that lock held, from inside received() (on the lower
// transport's thread) or send() (on the caller's), and may call back into the
// engine. It gets queue_empty() when the handshake completes and after every
// send() once the plaintext has left; received() with buffers it may keep.
//
// Failures: a handshake, record or lower-transport failure, a close by the
// peer or disconnect() end the engine for good (state closed): the sink gets
// broken() exactly once, after the lock is released when disconnect() was
// called from outside, and the lower transport is disconnected. Failures on
// the receiving side are never thrown to the transport below; send() and
// start() on an ended engine throw the function exception "flush".
#pragma once

#include "rulo-rpt/rptTransport.h"
#include "rulo-rpt/tls/xyssl.h"
#include "rulo-rpt/tls/xyssl_ctx.h"
#include "rulo/netbuf.h"
#include "rulo/object.h"

#include <cstdint>
#include <string>

namespace rulo {

class rptXYSSL : public rptTransport, public rptTransportSink {
public:
    enum { client_handshake = 0, server_handshake = 1, established = 2, closed = 3 };

    rptXYSSL(object<rptTransportSink> sink, object<xyssl_ctx> ctx, bool server);
    // Runs on the thread that drops the last handle; the engine has ended by then.
    ~rptXYSSL() override;

    // Takes the lower transport and sends what the handshake has to say.
    void start(object<rptTransport> transport);

    // rptTransport (plaintext side).
    void send(netbuf const& data) override;
    void disconnect() override;
    // Only an engine that has a sink takes another one, and never an empty
    // handle: throws the function exception "set_sink".
    void set_sink(object<rptTransportSink> sink) override;
    void no_delay() override;
    int64_t last_received() override;
    void ioctl(std::string const& key, std::string& value) override;

    // rptTransportSink (ciphertext side).
    void received(netbuf const& data) override;
    void queue_empty() override;
    void broken() override;

    bool handshake_done();
    // The negotiated suite number; 0 before the handshake completes.
    int ciphersuite();

private:
    // Drives the handshake and moves records both ways; throws "flush" once
    // the engine has ended (after disconnecting it).
    void flush();
    static int recv_hook(void* self, unsigned char* data, size_t length);
    static int send_hook(void* self, unsigned char const* data, size_t length);

    object<rptTransportSink> m_sink;
    object<rptTransport> m_transport;
    netbuf m_plain;  // plaintext waiting for the handshake
    netbuf m_cipher; // ciphertext received, not yet taken by the library
    int m_state;
    object<xyssl> m_session;
    object<xyssl_ctx> m_ctx; // to take the hooks off again
};

// The start-up step of the TLS layer; it needs nothing prepared.
void init_ssl();

} // namespace rulo
