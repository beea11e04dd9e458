#include "rulo-rpt/tls/rptXYSSL.h"

#include "rulo-rpt/net/socket.h"
#include "rulo/errlog.h"
#include "rulo/exception.h"
#include "rulo/init.h"
#include "rulo/lock.h"

#include <algorithm>
#include <exception>
#include <utility>

namespace rulo {

namespace {

struct register_step {
    register_step() { register_start_step(start_step::ssl, &init_ssl); }
} const registered;

// Records written one after another go to the transport as one send, up to
// this many bytes: a 64 KiB write makes four records, and four sends cost
// four passes through the socket for nothing.
constexpr int join_limit = 4 * network_chunk;

} // namespace

void init_ssl() {}

rptXYSSL::rptXYSSL(object<rptTransportSink> sink, object<xyssl_ctx> ctx, bool server)
    : m_sink(sink), m_state(server ? server_handshake : client_handshake), m_ctx(ctx) {
    m_session = object<xyssl>(new xyssl(ctx, -1, true));
    ctx->set_io(this, &send_hook, &recv_hook);
}

rptXYSSL::~rptXYSSL() {
    // The context may outlive the engine: no hook may reach it any more.
    m_ctx->set_io(nullptr, nullptr, nullptr);
}

void rptXYSSL::start(object<rptTransport> transport) {
    guard lock(m_mutex);
    m_transport = transport;
    bool const alive = flush_locked();
    deliver(lock);
    if (!alive) throw exception::function("flush");
}

void rptXYSSL::send(netbuf const& data) {
    guard lock(m_mutex);
    m_plain.append(data);
    bool const alive = flush_locked();
    if (alive) queue_empty_locked();
    deliver(lock);
    if (!alive) throw exception::function("flush");
}

void rptXYSSL::received(netbuf const& data) {
    guard lock(m_mutex);
    m_cipher.append(data);
    // An end is queued for the sink and logged; the layer below must not see it.
    flush_locked();
    deliver(lock);
}

void rptXYSSL::queue_empty() {
    guard lock(m_mutex);
    queue_empty_locked();
    deliver(lock);
}

void rptXYSSL::queue_empty_locked() {
    if (m_state == established && m_plain.empty() && m_sink) m_up.push_back({kind::empty, m_sink, netbuf()});
}

void rptXYSSL::broken() {
    disconnect();
}

bool rptXYSSL::flush_locked() {
    if (m_state == closed) {
        end_locked();
        return false;
    }
    try {
        if (m_state == client_handshake || m_state == server_handshake) {
            bool done = m_state == client_handshake ? m_session->connect() : m_session->accept();
            if (done) {
                m_state = established;
                // Plaintext queued during the handshake leaves first, so that
                // the sink's queue_empty() means what it says.
                if (!m_plain.empty()) {
                    m_session->write(&m_plain, network_chunk);
                    m_plain.clear();
                }
                queue_empty_locked();
            }
        }
        while (m_state == established) {
            if (!m_plain.empty()) {
                m_session->write(&m_plain, network_chunk);
                m_plain.clear(); // what the library did not take stays pending in the session
            }
            netbuf in;
            bool got = m_session->read(in, network_chunk);
            if (got && m_sink) m_up.push_back({kind::data, m_sink, std::move(in)});
            if (m_session->peer_closed()) {
                fmt_dbg("SSL transport").log("peer closed the connection");
                m_state = closed;
            }
            if (!got) break;
        }
    } catch (std::exception const& e) {
        m_state = closed;
        fmt_dbg("SSL transport").fmt_verbose("error %1%", e.what());
    }
    if (m_state != closed) return true;
    end_locked();
    return false;
}

void rptXYSSL::end_locked() {
    if (m_session) {
        try {
            m_session->shutdown(); // close_notify leaves through send_hook
        } catch (std::exception const&) {
        }
    }
    m_state = closed;
    if (m_sink) m_up.push_back({kind::broken, std::move(m_sink), netbuf()});
    m_sink.reset();
    if (m_transport) m_down.push_back({kind::end, std::move(m_transport), netbuf()});
    m_transport.reset();
}

namespace {

// Delivers queue front first, with the mutex released and the framework lock
// held around each call, until it is empty; busy keeps other threads out.
template <class Event, class Call>
void drain(std::deque<Event>& queue, bool& busy, std::unique_lock<std::mutex>& lock, Call call) {
    busy = true;
    while (!queue.empty()) {
        Event event = std::move(queue.front());
        queue.pop_front();
        lock.unlock();
        try {
            rulo_lock_guard framework;
            call(event);
        } catch (std::exception const&) {
            // A transport that fails breaks and says so; a sink's failure is its own.
        }
        event = Event{};
        lock.lock();
    }
    busy = false;
}

} // namespace

void rptXYSSL::deliver(guard& lock) {
    for (;;) {
        if (!m_down_busy && !m_down.empty()) {
            drain(m_down, m_down_busy, lock, [](down_event& e) {
                if (e.what == kind::data)
                    e.to->send(e.data);
                else
                    e.to->disconnect();
            });
        } else if (!m_up_busy && !m_up.empty()) {
            drain(m_up, m_up_busy, lock, [](up_event& e) {
                if (e.what == kind::data)
                    e.to->received(e.data);
                else if (e.what == kind::empty)
                    e.to->queue_empty();
                else
                    e.to->broken();
            });
        } else {
            return;
        }
    }
}

int rptXYSSL::recv_hook(void* self, unsigned char* data, size_t length) {
    // The library runs only under the engine's mutex: it is held here.
    rptXYSSL* me = static_cast<rptXYSSL*>(self);
    if (me->m_state == closed) return XYSSL_ERR_NET_RECV_FAILED;
    if (me->m_cipher.empty()) return XYSSL_ERR_NET_TRY_AGAIN;
    int n = int(std::min<size_t>(length, size_t(me->m_cipher.size())));
    me->m_cipher.take_front(reinterpret_cast<char*>(data), n);
    return n;
}

int rptXYSSL::send_hook(void* self, unsigned char const* data, size_t length) {
    // Under the engine's mutex, like recv_hook: the record is queued and
    // leaves once the mutex is released.
    rptXYSSL* me = static_cast<rptXYSSL*>(self);
    if (me->m_state == closed) return XYSSL_ERR_NET_SEND_FAILED;
    if (!me->m_transport) return XYSSL_ERR_NET_TRY_AGAIN;
    int n = int(std::min<size_t>(length, size_t(netbuf::whole_length)));
    char const* bytes = reinterpret_cast<char const*>(data);
    std::deque<down_event>& down = me->m_down;
    if (!down.empty() && down.back().what == kind::data && down.back().to.get() == me->m_transport.get() &&
        down.back().data.size() + n <= join_limit)
        down.back().data.append(netbuf::from_buffer(bytes, n));
    else
        down.push_back({kind::data, me->m_transport, netbuf::from_buffer(bytes, n)});
    return n;
}

void rptXYSSL::disconnect() {
    fmt_dbg("rulo::RPTSSL_CLASS::disconnect").fmt_verbose("disconnect %1%", static_cast<void*>(this));
    guard lock(m_mutex);
    end_locked();
    deliver(lock);
}

void rptXYSSL::set_sink(object<rptTransportSink> sink) {
    guard lock(m_mutex);
    if (!sink || !m_sink) throw exception::function("set_sink");
    m_sink = sink;
}

void rptXYSSL::no_delay() {
    object<rptTransport> transport;
    {
        guard lock(m_mutex);
        transport = m_transport;
    }
    if (!transport) return;
    try {
        transport->no_delay();
    } catch (std::exception const&) {
    }
}

int64_t rptXYSSL::last_received() {
    object<rptTransport> transport;
    {
        guard lock(m_mutex);
        transport = m_transport;
    }
    return transport ? transport->last_received() : 0;
}

void rptXYSSL::ioctl(std::string const& key, std::string& value) {
    object<rptTransport> transport;
    {
        guard lock(m_mutex);
        transport = m_transport;
    }
    if (!transport) throw exception::function("ioctl");
    transport->ioctl(key, value);
}

bool rptXYSSL::handshake_done() {
    guard lock(m_mutex);
    return m_state > server_handshake;
}

int rptXYSSL::ciphersuite() {
    guard lock(m_mutex);
    return m_session->ciphersuite();
}

} // namespace rulo
