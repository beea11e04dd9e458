#include "rulo-rpt/net/socket.h"

#include "rulo-rpt/net/make_socket.h"
#include "rulo-rpt/net/net_util.h"
#include "rulo-rpt/net/rptModule.h"
#include "rulo/clock.h"
#include "rulo/errlog.h"
#include "rulo/init.h"
#include "rulo/lock.h"
#include "rulo/packet.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <set>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace rulo {

atomic g_socket_count;

int socket::g_max_send = 0x7fffffff;
int socket::g_max_send_buf = 0;
bool socket::g_nodelay = false;
bool socket::g_kalive = false;

namespace {

// Every open TCP socket; guarded by the framework lock.
std::set<socket*>& registry() {
    static std::set<socket*>* sockets = new std::set<socket*>; // outlives every socket
    return *sockets;
}

// Every change of the live count is logged.
void show_count() {
    fmt_dbg("socket").fmt_verbose("socket objects count: %1%", g_socket_count.value());
}

sockaddr_in to_sockaddr(tIProcessId const& id) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(id.address);
    a.sin_port = htons(id.port);
    return a;
}

tIProcessId from_sockaddr(sockaddr_in const& a) {
    return tIProcessId(ntohl(a.sin_addr.s_addr), ntohs(a.sin_port));
}

// Runs a function on every way out of a scope.
template <class F>
struct on_exit {
    F f;
    ~on_exit() { f(); }
};
template <class F>
on_exit(F) -> on_exit<F>;

} // namespace

socket::counter::counter() {
    g_socket_count.inc();
    show_count();
}

socket::counter::~counter() {
    g_socket_count.dec();
    show_count();
}

socket::socket(socket_type type, tIProcessId const& destination) : m_type(type), m_destination(destination) {
    if (type != tcp && type != udp) throw exception::function("socket_init");
    m_descriptor = make_socket(AF_INET, type == tcp ? SOCK_STREAM : SOCK_DGRAM, 0);
    if (m_descriptor < 0) throw get_socket_exception("socket_init", "socket");
    m_open = true;
    if (type == tcp) join_registry();
}

socket::socket(int descriptor, tIProcessId const& destination)
    : m_type(tcp), m_destination(destination), m_descriptor(descriptor) {
    if (descriptor < 0) throw exception::function("socket_init");
    m_open = true;
    join_registry();
}

void socket::join_registry() {
    try {
        rulo_lock_guard lock; // the global cap is read and the registry joined together
        set_sndbuf(this);
        if (g_nodelay) set_tcp_no_delay(true);
        if (g_kalive) set_kalive(true);
        registry().insert(this);
    } catch (...) {
        close();
        throw;
    }
}

socket::~socket() {
    try {
        close();
    } catch (...) {
    }
}

void socket::close() {
    delete m_filter;
    m_filter = nullptr;
    if (!m_open) return;
    m_open = false;
    ::close(m_descriptor);
    try {
        rulo_lock_guard lock;
        registry().erase(this);
    } catch (...) {
    }
}

bool socket::connect() {
    sockaddr_in a = to_sockaddr(m_destination);
    if (::connect(m_descriptor, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return true;
    // An interrupted connect goes on in the background, as one in progress does.
    if (errno == EINPROGRESS || errno == EAGAIN || errno == EINTR) return false;
    throw get_socket_exception("connect", "connect");
}

void socket::connect(long seconds) {
    set_nonblocking(true);
    on_exit restore{[this] {
        try {
            set_nonblocking(false);
        } catch (...) {
        }
    }};
    if (!connect()) {
        bool writable = false, error = false;
        wait_for_event(m_descriptor, nullptr, &writable, &error, seconds);
        if (error || is_error()) throw exception::function("connect");
        if (!writable) throw exception(connect_timeout_e);
    }
    int const limit = unacknowledged_limit_ms;
    if (::setsockopt(m_descriptor, IPPROTO_TCP, TCP_USER_TIMEOUT, &limit, sizeof limit) != 0)
        throw get_socket_exception("connect", "setsockopt(TCP_USER_TIMEOUT)");
}

void socket::set_nonblocking(bool on) {
    if (on == m_non_blocking) return;
    int value = on ? 1 : 0;
    if (::ioctl(m_descriptor, FIONBIO, &value) != 0)
        throw get_socket_exception("_set_nonblocking", "ioctlsocket");
    m_non_blocking = on;
}

bool socket::is_error() {
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(m_descriptor, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
        throw get_socket_exception("is_error", "getsockopt");
    if (error == 0) return false;
    fmt_dbg("rulo::socket::is_error").fmt_verbose("error:%1%", error);
    return true;
}

bool socket::receive_raw(netbuf& out, tIProcessId* from, unsigned long max) {
    // One read never reserves more than this, whatever max allows.
    constexpr unsigned long largest_read = 1ul << 26;
    int n = int(max < largest_read ? max : largest_read);
    if (n < 1) n = 1;
    int ready = 0;
    // Ask the kernel only for what it holds; at least 1 byte, so that the end
    // of the stream and errors are seen.
    if (::ioctl(m_descriptor, FIONREAD, &ready) == 0 && ready < n) n = ready > 0 ? ready : 1;
    char* room = out.allocate_back(n);
    sockaddr_in source{};
    socklen_t source_length = sizeof source;
    ssize_t k;
    do {
        k = ::recvfrom(m_descriptor, room, n, 0, from ? reinterpret_cast<sockaddr*>(&source) : nullptr,
                       from ? &source_length : nullptr);
    } while (k < 0 && errno == EINTR);
    if (k >= 0) {
        out.erase_back(n - int(k));
        if (k == 0) out.clear();
        if (from) *from = from_sockaddr(source);
        return true;
    }
    int const err = errno;
    out.erase_back(n);
    if (err == EINPROGRESS || err == EAGAIN || err == EWOULDBLOCK) {
        out.clear();
        return false;
    }
    errno = err;
    throw get_socket_exception("rulo_socket_receive", "recvfrom");
}

bool socket::receive(netbuf& out, tIProcessId* from, unsigned long max, bool raw, long long seconds) {
    if (!receive_raw(out, from, max)) return false;
    if (raw || !m_filter) return true;
    for (;;) {
        if (out.empty()) return true; // end of stream
        out = (*m_filter)->read(out);
        if (!out.empty()) return true;
        if (m_non_blocking) return false; // the record is not complete yet
        bool more = seconds >= 0 ? receive(long(seconds), out, from, max, true) : receive_raw(out, from, max);
        if (!more) return false;
    }
}

bool socket::receive(long seconds, netbuf& out, tIProcessId* from, unsigned long max, bool raw) {
    bool readable = false, error = false;
    wait_for_event(m_descriptor, &readable, nullptr, &error, seconds);
    if (!readable && !error) throw exception(receive_timeout_e);
    return receive(out, from, max, raw, seconds);
}

bool socket::send_raw(netbuf const* data, unsigned long max) {
    if (data && !data->empty()) {
        m_queue.push_back(*data);
        m_queued += data->size();
    }
    if (m_queue.empty()) return true;
    for (;;) {
        unsigned long limit = unsigned(min_max_send()) < max ? unsigned(min_max_send()) : max;
        if (limit < 1) limit = 1;
        // The first view as it is: joining views to fill the piece would copy bytes.
        netbuf& front = m_queue.front();
        char const* bytes = nullptr;
        int length = 0;
        netbuf::iterator(front).get(bytes, length);
        if (unsigned(length) > limit) length = int(limit);
        // MSG_NOSIGNAL: a peer's reset is an error here, not a signal that ends the process.
        ssize_t k = ::send(m_descriptor, bytes, length, MSG_NOSIGNAL);
        if (k < 0) {
            if (errno == EINTR) continue;
            break;
        }
        front.erase_front(int(k));
        m_queued -= k;
        if (front.empty()) m_queue.pop_front();
        if (m_queue.empty()) return true;
    }
    if (errno == EINPROGRESS || errno == EAGAIN || errno == EWOULDBLOCK) return false;
    throw get_socket_exception("send", "send");
}

bool socket::send(netbuf const* data, unsigned long max, bool raw) {
    if (raw || !m_filter) return send_raw(data, max);
    netbuf cipher = data && !data->empty() ? (*m_filter)->write(*data) : (*m_filter)->flush();
    return send_raw(&cipher, max);
}

void socket::set_ssl_filter(object<SSLFilter> const& filter) {
    delete m_filter;
    m_filter = nullptr;
    if (filter) m_filter = new object<SSLFilter>(filter);
}

bool socket::ssl_handshake_done() {
    if (!m_filter) throw exception::function("ssl_handshake_done");
    return (*m_filter)->handshake_done();
}

void socket::wait_for_ssl_handshake(long seconds, netbuf& received) {
    if (!m_filter) throw exception::function("wait_for_ssl_handshake");
    bool const was_non_blocking = m_non_blocking;
    set_nonblocking(true);
    on_exit restore{[this, was_non_blocking] {
        try {
            set_nonblocking(was_non_blocking);
        } catch (...) {
        }
    }};
    int64_t const start = relative_time_t();
    for (;;) {
        if (receive(received, nullptr, network_chunk, false)) {
            if (received.empty()) throw exception::function("wait_for_ssl_handshake");
            break; // plaintext that came with the end of the handshake
        }
        send(nullptr, network_chunk, false);
        if (ssl_handshake_done()) break;
        if (relative_time_t() > start + seconds) throw exception::function("wait_for_ssl_handshake");
        // The peer's next flight ends the pause early.
        pollfd p{m_descriptor, POLLIN, 0};
        ::poll(&p, 1, 50);
    }
}

tIProcessId socket::get_dst() {
    sockaddr_in a{};
    socklen_t length = sizeof a;
    if (::getpeername(m_descriptor, reinterpret_cast<sockaddr*>(&a), &length) != 0)
        throw get_socket_exception("get_dst", "getpeername");
    return from_sockaddr(a);
}

tIProcessId socket::get_src() {
    sockaddr_in a{};
    socklen_t length = sizeof a;
    if (::getsockname(m_descriptor, reinterpret_cast<sockaddr*>(&a), &length) != 0)
        throw get_socket_exception("get_src", "getsockname");
    return from_sockaddr(a);
}

void socket::set_tcp_no_delay(bool on) {
    int value = on ? 1 : 0;
    if (::setsockopt(m_descriptor, IPPROTO_TCP, TCP_NODELAY, &value, sizeof value) != 0)
        throw get_socket_exception("set_nodelay", "setsockopt(TCP_NODELAY)");
}

void socket::set_kalive(bool on) {
    int value = on ? 1 : 0;
    if (::setsockopt(m_descriptor, SOL_SOCKET, SO_KEEPALIVE, &value, sizeof value) != 0)
        throw get_socket_exception("set_kalive", "setsockopt(SO_KEEPALIVE)");
}

void socket::ioctl(std::string const& key, std::string& value) {
    std::string request = key;
    std::string command;
    try {
        rulo_packet_pop(request, command);
    } catch (exception const&) {
        throw exception::function("ioctl");
    }
    if (command == "get_dst") {
        rulo_packet_push(value, get_dst());
    } else if (command == "get_src") {
        rulo_packet_push(value, get_src());
    } else if (command == "set_sndbuf") {
        int n = 0;
        rulo_packet_pop(request, n);
        if (::setsockopt(m_descriptor, SOL_SOCKET, SO_SNDBUF, &n, sizeof n) != 0)
            throw get_socket_exception("set_sndbuf", "setsockopt(SO_SNDBUF)");
    } else {
        throw exception::function("ioctl");
    }
}

void socket::limit_send_buffer(int bytes) {
    rulo_lock_guard lock;
    g_max_send_buf = bytes;
    socket_foreach(&set_sndbuf);
}

void socket::limit_send_buffer_socket(int bytes) {
    rulo_lock_guard lock;
    m_send_buffer = bytes;
    set_sndbuf(this);
}

void socket::set_sndbuf(socket* s) {
    int n = s->min_max_send_buf();
    if (n < 1) return;
    if (::setsockopt(s->m_descriptor, SOL_SOCKET, SO_SNDBUF, &n, sizeof n) != 0)
        throw get_socket_exception("set_sndbuf", "setsockopt(SO_SNDBUF)");
}

int socket::min_max_send_buf() const {
    int const global = g_max_send_buf, own = m_send_buffer;
    if (global <= 0) return own > 0 ? own : 0;
    if (own <= 0) return global;
    return own < global ? own : global;
}

int socket::min_max_send() const {
    return m_max_send < g_max_send ? m_max_send : g_max_send;
}

void socket::socket_foreach(void (*f)(socket*)) {
    rulo_lock_guard lock;
    for (socket* s : registry()) {
        try {
            f(s);
        } catch (...) {
        }
    }
}

exception socket::get_socket_exception(std::string const& where, char const* call) {
    return get_socket_exception(where.c_str(), call);
}

exception socket::get_socket_exception(char const* where, char const* call) {
    exception e = exception::system_error(where, call);
    fmt_dbg("socket").fmt_verbose("exception: %1%", e.description());
    return e;
}

void init_util_sock() {}
void init_socket() {}

namespace {

// Every program that uses sockets links this file: the socket layer hands in
// its start-up steps and the creation entries of the API table from here.
struct socket_layer_registration {
    socket_layer_registration() {
        register_start_step(start_step::make_socket, &init_make_socket);
        register_start_step(start_step::util_sock, &init_util_sock);
        register_start_step(start_step::socket, &init_socket);
        register_start_step(start_step::rpt_module, [] { init_rptModule(0); });
        socket_table_entries entries;
        entries.make_socket = [](int d, int t, int p) { return make_socket(d, t, p); };
        entries.make_forbidden_socket = [](int d, int t, int p) { return make_forbidden_socket(d, t, p); };
        entries.remove_forbidden_socket = &remove_forbidden_socket;
        entries.make_socket2 = [](int d, int t, int p, socket_cb create) {
            return make_socket(d, t, p, create);
        };
        entries.make_forbidden_socket2 = [](int d, int t, int p, socket_cb create) {
            return make_forbidden_socket(d, t, p, create);
        };
        entries.make_socket3 = [](int d, int t, int p, socket_cb create, socket_cb2 close_fn) {
            return make_socket(d, t, p, create, close_fn);
        };
        register_socket_entries(entries);
    }
} const g_registration;

} // namespace

} // namespace rulo
