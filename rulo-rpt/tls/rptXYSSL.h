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
// Threads and locks: every call may come from any thread. The engine's own
// mutex guards its state and the library, which runs inside it and nowhere
// else, so the crypto of one connection never waits for the framework lock
// and two connections encrypt and decrypt at the same time. Nothing is
// called out while that mutex is held: the records the library writes and
// the events for the sink are queued under it, in the order they happen, and
// delivered after it is released, each with the framework lock held
// (rulo::rulo_lock_guard), as the sink and the transport always had it. Lock
// order: the framework lock may be held when an engine call takes the
// engine's mutex, never the other way round.
//
// Delivery order: records reach the lower transport, and events the sink,
// in the order they were queued, one thread at a time per direction. The
// thread that queues something delivers it itself unless another thread is
// delivering in that direction; then that thread delivers it and the call
// returns at once. So the sink is called from inside received() (on the
// lower transport's thread) or send() (on the caller's), or from whichever
// of them is delivering at the time, and may call back into the engine
// (what such a nested call queues is delivered when the outer delivery
// returns to its loop). The sink gets queue_empty() when the handshake
// completes and after every send() once the plaintext has left; received()
// with buffers it may keep. A filter's single caller (see ssl_filter.h) is
// never concurrent with itself, so its calls deliver before they return.
//
// Failures: a handshake, record or lower-transport failure, a close by the
// peer or disconnect() end the engine for good (state closed): the sink gets
// broken() exactly once, after every event queued before it and with nothing
// after it, and the lower transport gets close_notify (when it can still be
// written) and then disconnect(). Failures on the receiving side are never
// thrown to the transport below; send() and start() on an ended engine throw
// the function exception "flush".
#pragma once

#include "rulo-rpt/rptTransport.h"
#include "rulo-rpt/tls/xyssl.h"
#include "rulo-rpt/tls/xyssl_ctx.h"
#include "rulo/netbuf.h"
#include "rulo/object.h"

#include <cstdint>
#include <deque>
#include <mutex>
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
    // Something to deliver outside the engine's mutex: records or the end to
    // the lower transport, plaintext, queue_empty or broken to the sink. Each
    // carries the handle it goes to, taken when it was queued.
    enum class kind { data, end, empty, broken };
    struct down_event {
        kind what;
        object<rptTransport> to;
        netbuf data;
    };
    struct up_event {
        kind what;
        object<rptTransportSink> to;
        netbuf data;
    };
    using guard = std::unique_lock<std::mutex>;

    // Drives the handshake and moves records both ways. Caller holds
    // m_mutex. False once the engine has ended (its end is queued then).
    bool flush_locked();
    // Queues close_notify, the sink's broken() and the transport's
    // disconnect(), and drops both handles. Caller holds m_mutex.
    void end_locked();
    // Queues the sink's queue_empty() when it has a meaning now.
    void queue_empty_locked();
    // Delivers what is queued in each direction nobody else is delivering;
    // returns with the lock held.
    void deliver(guard& lock);
    static int recv_hook(void* self, unsigned char* data, size_t length);
    static int send_hook(void* self, unsigned char const* data, size_t length);

    std::mutex m_mutex;
    object<rptTransportSink> m_sink;
    object<rptTransport> m_transport;
    netbuf m_plain;  // plaintext waiting for the handshake
    netbuf m_cipher; // ciphertext received, not yet taken by the library
    int m_state;
    object<xyssl> m_session;
    object<xyssl_ctx> m_ctx; // to take the hooks off again
    std::deque<down_event> m_down;
    std::deque<up_event> m_up;
    bool m_down_busy = false; // a thread is delivering m_down
    bool m_up_busy = false;   // a thread is delivering m_up
};

// The start-up step of the TLS layer; it needs nothing prepared.
void init_ssl();

} // namespace rulo
