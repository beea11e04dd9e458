#include "rulo-rpt/rpc/SRDownloader.h"

#include "rulo/errlog.h"
#include "rulo/exception.h"
#include "rulo/lock.h"
#include "rulo/packet.h"

#include <utility>
#include <vector>

namespace rulo {

void SRDownloader::init(object<SRDownloaderSink> sink, object<rptTransport> transport) {
    rulo_lock_guard lock;
    m_sink = std::move(sink);
    m_transport = std::move(transport);
}

void SRDownloader::download(std::string const& name, unsigned long long size, unsigned long long offset) {
    if (offset > size) throw exception::function("download");
    rulo_lock_guard lock;
    if (!m_transport) throw exception::function("download");
    cancel(name);
    netbuf packet;
    xstd::packet_push(packet, std::string("download"), name, offset);
    // Expected before the request leaves: a transport that delivers inline
    // can bring the first data back from inside the send.
    m_pending[name] = size - offset;
    try {
        send_command(packet, "download");
    } catch (...) {
        m_pending.erase(name);
        throw;
    }
}

void SRDownloader::cancel(std::string const& name) {
    rulo_lock_guard lock;
    if (!m_transport) throw exception::function("cancel");
    auto it = m_pending.find(name);
    if (it != m_pending.end()) {
        m_pending.erase(it);
        if (m_sink) m_sink->download_cancelled(name);
    }
    netbuf packet;
    xstd::packet_push(packet, std::string("cancel"), name);
    send_command(packet, "cancel");
}

std::size_t SRDownloader::pending_count() {
    rulo_lock_guard lock;
    return m_pending.size();
}

void SRDownloader::send_command(netbuf const& packet, char const* function) {
    try {
        m_transport->send(packet);
    } catch (...) {
        throw exception::function(function);
    }
}

void SRDownloader::received(netbuf const& data) {
    rulo_lock_guard lock;
    if (!m_transport) return;
    netbuf packet(data);
    try {
        handle(packet);
    } catch (...) {
        fmt_dbg("rulo::SRDownloader::received").log("unreadable command or failing sink: channel closed");
        try {
            m_transport->disconnect();
        } catch (...) {
        }
        broken();
    }
}

void SRDownloader::handle(netbuf& packet) {
    std::string command, name;
    xstd::packet_pop(packet, command);
    if (command == "pkt") {
        netbuf chunk;
        xstd::packet_pop(packet, name, chunk);
        auto it = m_pending.find(name);
        if (it == m_pending.end()) {
            cancel(name);
        } else if (static_cast<unsigned long long>(chunk.size()) <= it->second) {
            it->second -= chunk.size();
            if (m_sink) m_sink->download_packet(name, chunk);
        } else {
            m_pending.erase(it);
            cancel(name);
            if (m_sink) m_sink->download_error(name, incorrect_size);
        }
    } else if (command == "error") {
        std::string text;
        xstd::packet_pop(packet, name, text);
        auto it = m_pending.find(name);
        if (it == m_pending.end()) return;
        m_pending.erase(it);
        if (m_sink) m_sink->download_error(name, text);
    } else if (command == "complete") {
        xstd::packet_pop(packet, name);
        auto it = m_pending.find(name);
        if (it == m_pending.end()) return;
        bool const whole = it->second == 0;
        m_pending.erase(it);
        if (!m_sink) return;
        if (whole)
            m_sink->download_complete(name);
        else
            m_sink->download_error(name, incorrect_size);
    }
}

void SRDownloader::broken() {
    rulo_lock_guard lock;
    std::vector<std::string> names;
    for (auto const& entry : m_pending) names.push_back(entry.first);
    m_pending.clear();
    m_transport.reset();
    object<SRDownloaderSink> sink = std::move(m_sink);
    if (!sink) return;
    for (auto const& name : names) {
        try {
            sink->download_error(name, connection_broken);
        } catch (...) {
        }
    }
}

void SRDownloader::queue_empty() {}

} // namespace rulo
