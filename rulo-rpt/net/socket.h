// One IPv4 TCP or UDP socket, the ground floor of every connection.
//
// Ownership: shared through rulo::object<rulo::socket>; the descriptor is
// closed by close() or when the last handle goes. A socket may carry a TLS
// filter (ssl_filter.h), which it owns; its non-raw sends and receives pass
// through it.
//
// Threads and locks: a socket is driven by one party at a time, either a
// blocking caller on its own thread or a poller thread under the framework
// lock (rptSocket, async_send); the socket takes no lock for its own state.
// The process-wide registry of open TCP sockets (for limit_send_buffer) is
// guarded by the framework lock, taken inside.
//
// Failures: system calls that fail throw the system error made by
// get_socket_exception; the other failures throw function exceptions named
// after the operation. A send that fails leaves the unsent bytes queued.
// Sends never raise SIGPIPE: a peer's reset is an ordinary error.
#pragma once

#include "rulo-rpt/net/process_id.h"
#include "rulo-rpt/net/ssl_filter.h"
#include "rulo/atomic.h"
#include "rulo/exception.h"
#include "rulo/netbuf.h"
#include "rulo/object.h"

#include <cstdint>
#include <deque>
#include <string>

namespace rulo {

// The piece size of one receive and one send of the poller-driven transports.
inline constexpr int network_chunk = 0xFFFF;

// How long a connected TCP socket keeps data that the peer's system has not
// acknowledged before the connection fails (TCP_USER_TIMEOUT, milliseconds).
// A path that goes silent without closing (a router or NAT that forgot the
// connection, a network change) would otherwise hold the connection for the
// kernel's retransmissions, about 15 minutes; with this bound it breaks like
// a closed one and the layers above reconnect. The session's 20 s pings keep
// data in flight, so a silent path is found within about 40 s. Only
// unacknowledged data counts: an idle connection, or a peer whose process is
// stopped while its system still acknowledges, is not cut.
inline constexpr int unacknowledged_limit_ms = 20000;

// The process-wide count of live sockets; each change logs
// "socket objects count: N" under "socket".
extern atomic g_socket_count;

class socket {
public:
    enum socket_type : unsigned { tcp = 0, udp = 1 };

    // Cap on the bytes of one send() call for every socket.
    static int g_max_send;
    // Cap on SO_SNDBUF for every socket (0: none); set through limit_send_buffer.
    static int g_max_send_buf;
    // When set, new TCP sockets get TCP_NODELAY / SO_KEEPALIVE.
    static bool g_nodelay;
    static bool g_kalive;

    // Makes the descriptor (make_socket). A TCP socket also gets its send
    // buffer, the global options and joins the registry. A type other than
    // tcp or udp throws "socket_init".
    socket(socket_type type, tIProcessId const& destination);
    // Takes over a connected TCP descriptor (an accepted connection); it is
    // treated as a TCP socket made here: send buffer, options, registry.
    socket(int descriptor, tIProcessId const& destination);
    ~socket();
    socket(socket const&) = delete;
    socket& operator=(socket const&) = delete;

    // Drops the TLS filter and closes the descriptor; a second call does nothing.
    void close();

    // Connects to the destination: true when connected at once, false while
    // a non-blocking connect is under way.
    bool connect();
    // Connects, giving up after seconds with connect_timeout_e; a refused or
    // failed connect throws "connect". The socket is left blocking. Once
    // connected, the socket carries unacknowledged_limit_ms (set only then,
    // so that the connect's own time limit is the one that counts).
    void connect(long seconds);

    void set_nonblocking(bool on);
    bool is_nonblocking() const { return m_non_blocking; }
    // The pending socket error (SO_ERROR); a non-zero one is logged.
    bool is_error();

    // Receives what is ready, at most max bytes, appended to out. True with
    // bytes, or true with out cleared at the end of the stream; false when
    // nothing could be read yet (a non-blocking socket, or a TLS record not
    // complete). raw skips the TLS filter. seconds (>= 0) bounds the waits of
    // a blocking TLS read.
    bool receive(netbuf& out, tIProcessId* from, unsigned long max, bool raw, long long seconds = -1);
    // Waits up to seconds for input (receive_timeout_e when none), then receives.
    bool receive(long seconds, netbuf& out, tIProcessId* from, unsigned long max, bool raw);

    // Queues data (may be null) and sends from the queue, at most max bytes a
    // call: true when the queue is empty, false when the kernel took no more.
    bool send(netbuf const* data, unsigned long max, bool raw);
    bool send(netbuf const& data, unsigned long max, bool raw) { return send(&data, max, raw); }
    // Bytes queued and not yet taken by the kernel.
    int64_t queued() const { return m_queued; }

    // The socket takes the filter; it lives until close().
    void set_ssl_filter(object<SSLFilter> const& filter);
    bool has_ssl_filter() const { return m_filter != nullptr; }
    // The filter's handshake_done; "ssl_handshake_done" without a filter.
    bool ssl_handshake_done();
    // Drives a client handshake over this connected socket for at most
    // seconds ("wait_for_ssl_handshake" on time-out, end of stream or without
    // a filter). Plaintext that arrived with the end of the handshake is left
    // in received. The blocking mode is as it was on every way out.
    void wait_for_ssl_handshake(long seconds, netbuf& received);

    tIProcessId get_dst();
    tIProcessId get_src();
    void set_tcp_no_delay(bool on);
    // key is a packet whose first value is "get_dst" or "get_src" (the
    // address is pushed into value) or "set_sndbuf" followed by an int size.
    // Anything else throws "ioctl".
    void ioctl(std::string const& key, std::string& value);

    // Caps SO_SNDBUF of every open TCP socket, now and later.
    static void limit_send_buffer(int bytes);
    // This socket's wish for SO_SNDBUF (still capped by the global one).
    void limit_send_buffer_socket(int bytes);
    // Applies min_max_send_buf() to the socket when it is at least 1.
    static void set_sndbuf(socket* s);
    // The SO_SNDBUF this socket should have: the smaller of the global cap
    // and its own wish, whichever is set; 0 when neither is.
    int min_max_send_buf() const;
    // The most bytes one send() call takes.
    int min_max_send() const;
    void set_max_send(int bytes) { m_max_send = bytes; }
    int max_send() const { return m_max_send; }
    // Calls f for every open TCP socket under the framework lock; an
    // exception of one call is swallowed.
    static void socket_foreach(void (*f)(socket*));

    // The system error of call (errno as it is now), logged under "socket".
    static exception get_socket_exception(std::string const& where, char const* call);
    static exception get_socket_exception(char const* where, char const* call);

    int descriptor() const { return m_descriptor; }
    socket_type type() const { return m_type; }
    tIProcessId const& destination() const { return m_destination; }
    bool is_open() const { return m_open; }

private:
    // Keeps g_socket_count; a member so that a failing constructor undoes it.
    struct counter {
        counter();
        ~counter();
    };

    bool receive_raw(netbuf& out, tIProcessId* from, unsigned long max);
    bool send_raw(netbuf const* data, unsigned long max);
    void set_kalive(bool on);
    void join_registry();

    counter m_counter;
    socket_type m_type;
    tIProcessId m_destination;
    int m_descriptor = -1;
    // The send queue: the buffers as they were handed in, so that a long
    // queue is never joined (copied) into one buffer.
    std::deque<netbuf> m_queue;
    int64_t m_queued = 0;
    bool m_open = false;
    bool m_non_blocking = false;
    int m_max_send = 0x7fffffff;
    int m_send_buffer = 0;
    object<SSLFilter>* m_filter = nullptr;
};

// Start-up steps of the socket layer; they have nothing to prepare.
void init_util_sock();
void init_socket();

} // namespace rulo
