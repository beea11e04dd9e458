#include "rulo-rpt/net/rptSocket.h"

#include "rulo/clock.h"
#include "rulo/errlog.h"
#include "rulo/exception.h"
#include "rulo/lock.h"

namespace rulo {

void rptSocket::start(object<rptTransportSink> sink, object<socket> s) {
    rulo_lock_guard lock;
    m_last_received = relative_time();
    m_sink = std::move(sink);
    m_socket = std::move(s);
    m_socket->set_nonblocking(true);
    module->add(m_socket.get(), object<rptModuleSink>(static_cast<rptModuleSink*>(this)),
                rptModule::read_only);
}

void rptSocket::event(int) {
    rulo_lock_guard lock;
    // Copies: they stay valid for this call even when the sink disconnects.
    object<socket> s = m_socket;
    object<rptTransportSink> sink = m_sink;
    netbuf data;
    if (s) {
        try {
            if (async_send(s, nullptr, module) && sink) {
                sink->queue_empty();
                if (!m_socket) return; // the sink hung up; it hears nothing more
                sink = m_sink;
            }
            if (!s->receive(data, nullptr, network_chunk, false)) return;
        } catch (...) {
            data.clear(); // a failed connection ends like a closed one
        }
    }
    if (data.empty()) disconnect();
    m_last_received = relative_time();
    if (!sink) return;
    if (data.empty()) {
        fmt_dbg("socket").fmt_verbose("calling broken");
        sink->broken();
    } else {
        sink->received(data);
    }
}

void rptSocket::send(netbuf const& data) {
    rulo_lock_guard lock;
    if (!m_socket) throw exception::function("send");
    if (async_send(m_socket, &data, module) && m_sink) m_sink->queue_empty();
}

void rptSocket::disconnect() {
    rulo_lock_guard lock;
    m_sink.reset();
    if (!m_socket) return;
    object<socket> s = std::move(m_socket);
    m_socket.reset();
    try {
        module->remove(s->descriptor());
    } catch (...) {
    }
}

void rptSocket::set_sink(object<rptTransportSink> sink) {
    rulo_lock_guard lock;
    m_sink = std::move(sink);
}

void rptSocket::no_delay() {
    rulo_lock_guard lock;
    try {
        if (m_socket) m_socket->set_tcp_no_delay(true);
    } catch (...) {
    }
}

int64_t rptSocket::last_received() {
    rulo_lock_guard lock;
    return m_last_received;
}

void rptSocket::ioctl(std::string const& key, std::string& value) {
    rulo_lock_guard lock;
    m_socket->ioctl(key, value);
}

} // namespace rulo
