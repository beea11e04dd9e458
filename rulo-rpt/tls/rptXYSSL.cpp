#include "rulo-rpt/tls/rptXYSSL.h"

#include "rulo-rpt/net/socket.h"
#include "rulo/errlog.h"
#include "rulo/exception.h"
#include "rulo/init.h"
#include "rulo/lock.h"

#include <algorithm>
#include <exception>

namespace rulo {

namespace {

struct register_step {
    register_step() { register_start_step(start_step::ssl, &init_ssl); }
} const registered;

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
    rulo_lock_guard lock;
    m_transport = transport;
    flush();
}

void rptXYSSL::send(netbuf const& data) {
    rulo_lock_guard lock;
    m_plain.append(data);
    flush();
    queue_empty();
}

void rptXYSSL::received(netbuf const& data) {
    rulo_lock_guard lock;
    m_cipher.append(data);
    try {
        flush();
    } catch (std::exception const&) {
        // flush has logged why and ended the engine; the layer below must not see it.
    }
}

void rptXYSSL::queue_empty() {
    rulo_lock_guard lock;
    if (m_state == established && m_plain.empty() && m_sink) m_sink->queue_empty();
}

void rptXYSSL::broken() {
    disconnect();
}

void rptXYSSL::flush() {
    rulo_lock_guard lock;
    fmt_dbg log("SSL transport");
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
                queue_empty();
            }
        }
        while (m_state == established) {
            if (!m_plain.empty()) {
                m_session->write(&m_plain, network_chunk);
                m_plain.clear(); // what the library did not take stays pending in the session
            }
            netbuf in;
            bool got = m_session->read(in, network_chunk);
            if (got && m_sink) m_sink->received(in);
            if (m_session->peer_closed()) {
                log.log("peer closed the connection");
                m_state = closed;
            }
            if (!got) break;
        }
    } catch (std::exception const& e) {
        m_state = closed;
        log.fmt_verbose("error %1%", e.what());
    }
    if (m_state == closed) {
        disconnect();
        throw exception::function("flush");
    }
}

int rptXYSSL::recv_hook(void* self, unsigned char* data, size_t length) {
    rptXYSSL* me = static_cast<rptXYSSL*>(self);
    rulo_lock_guard lock;
    if (me->m_state == closed) return XYSSL_ERR_NET_RECV_FAILED;
    if (me->m_cipher.empty()) return XYSSL_ERR_NET_TRY_AGAIN;
    int n = int(std::min<size_t>(length, size_t(me->m_cipher.size())));
    me->m_cipher.take_front(reinterpret_cast<char*>(data), n);
    return n;
}

int rptXYSSL::send_hook(void* self, unsigned char const* data, size_t length) {
    rptXYSSL* me = static_cast<rptXYSSL*>(self);
    rulo_lock_guard lock;
    if (me->m_state == closed) return XYSSL_ERR_NET_SEND_FAILED;
    if (!me->m_transport) return XYSSL_ERR_NET_TRY_AGAIN;
    int n = int(std::min<size_t>(length, size_t(netbuf::whole_length)));
    try {
        me->m_transport->send(netbuf::from_buffer(reinterpret_cast<char const*>(data), n));
    } catch (std::exception const&) {
        return XYSSL_ERR_NET_SEND_FAILED;
    }
    return n;
}

void rptXYSSL::disconnect() {
    fmt_dbg("rulo::RPTSSL_CLASS::disconnect").fmt_verbose("disconnect %1%", static_cast<void*>(this));
    object<rptTransportSink> sink;
    object<rptTransport> transport;
    {
        rulo_lock_guard lock;
        if (m_session) {
            try {
                m_session->shutdown(); // close_notify leaves through send_hook
            } catch (std::exception const&) {
            }
        }
        m_state = closed;
        sink = std::move(m_sink);
        transport = std::move(m_transport);
    }
    if (sink) {
        try {
            sink->broken();
        } catch (std::exception const&) {
        }
    }
    if (transport) {
        try {
            transport->disconnect();
        } catch (std::exception const&) {
        }
    }
}

void rptXYSSL::set_sink(object<rptTransportSink> sink) {
    rulo_lock_guard lock;
    if (!sink || !m_sink) throw exception::function("set_sink");
    m_sink = sink;
}

void rptXYSSL::no_delay() {
    object<rptTransport> transport;
    {
        rulo_lock_guard lock;
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
        rulo_lock_guard lock;
        transport = m_transport;
    }
    return transport ? transport->last_received() : 0;
}

void rptXYSSL::ioctl(std::string const& key, std::string& value) {
    object<rptTransport> transport;
    {
        rulo_lock_guard lock;
        transport = m_transport;
    }
    if (!transport) throw exception::function("ioctl");
    transport->ioctl(key, value);
}

bool rptXYSSL::handshake_done() {
    rulo_lock_guard lock;
    return m_state > server_handshake;
}

int rptXYSSL::ciphersuite() {
    rulo_lock_guard lock;
    return m_session->ciphersuite();
}

} // namespace rulo
