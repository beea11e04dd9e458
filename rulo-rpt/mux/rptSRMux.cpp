#include "rulo-rpt/mux/rptSRMux.h"

#include "rulo-rpt/choose/AutoTransport.h"
#include "rulo-rpt/rpc/SRDownloader.h"
#include "rulo-rpt/rpc/rpcWrapper.h"
#include "rulo-rpt/rpc/rptPacket.h"

#include "rulo/errlog.h"
#include "rulo/exception.h"
#include "rulo/lock.h"

#include <vector>

namespace rulo {

namespace {

fmt_dbg const srmux_log("rulo::rptSRMux::disconnect");

} // namespace

rptSRMux::srmux_transport::srmux_transport(object<rptSRMux> owner, long long id, std::string name)
    : m_owner(std::move(owner)), m_id(id), m_name(std::move(name)) {}

void rptSRMux::srmux_transport::send(netbuf const& data) {
    // The mark and the send are one step: a queue_empty() from another
    // thread in between would take the mark before these bytes are queued.
    rulo_lock_guard lock;
    m_owner->sending_mux(m_id)->send(m_id, data, false);
}

void rptSRMux::srmux_transport::disconnect() {
    m_owner->disconnect();
}

void rptSRMux::srmux_transport::set_sink(object<rptTransportSink> sink) {
    m_owner->set_channel_sink(m_id, std::move(sink));
}

void rptSRMux::srmux_transport::no_delay() {
    m_owner->connected_mux()->no_delay();
}

int64_t rptSRMux::srmux_transport::last_received() {
    return m_owner->connected_mux()->last_received();
}

void rptSRMux::srmux_transport::ioctl(std::string const& key, std::string& value) {
    m_owner->connected_mux()->ioctl(key, value);
}

object<rptMux> rptSRMux::connected_mux() {
    rulo_lock_guard lock;
    if (!m_mux) throw exception::function("send");
    return m_mux;
}

object<rptMux> rptSRMux::sending_mux(long long id) {
    rulo_lock_guard lock;
    if (!m_mux) throw exception::function("send");
    m_sent.insert(id);
    return m_mux;
}

void rptSRMux::set_channel_sink(long long id, object<rptTransportSink> sink) {
    rulo_lock_guard lock;
    if (!m_mux) throw exception::function("set_sink");
    m_sinks[id] = std::move(sink);
}

object<rptMux> rptSRMux::make_mux(bool allow_georeconnect, std::string original, std::string target,
                                  std::string additional, std::string const& keys) {
    object<rptMux> mux(new rptMux(object<rptMuxSink>(this), std::move(original), std::move(target),
                                  std::move(additional), keys, xstd::storage_user));
    if (allow_georeconnect) mux->allow_georeconnect();
    return mux;
}

object<rptTransport> rptSRMux::connect(long timeout, AutoTransport& chooser,
                                       object<rptTransportSink> rpc_sink, bool allow_georeconnect,
                                       std::string original, std::string target, std::string additional,
                                       std::string const& keys) {
    object<rptMux> mux =
        make_mux(allow_georeconnect, std::move(original), std::move(target), std::move(additional), keys);
    object<rptTransport> transport =
        chooser.get_next(mux, false, AutoTransport::default_timeout, nullptr, nullptr, &m_options);
    return start_on(mux, transport, timeout, rpc_sink);
}

object<rptTransport> rptSRMux::start_on(object<rptMux> mux, object<rptTransport> transport, long timeout,
                                        object<rptTransportSink> rpc_sink) {
    try {
        mux->start_and_wait(transport, timeout);
    } catch (rptMux::georeconnect const&) {
        throw;
    } catch (...) {
        return object<rptTransport>();
    }
    rulo_lock_guard lock;
    m_mux = mux;
    try {
        return get_transport("VYNRPC", rpc_sink, true);
    } catch (...) {
        // The relay went away between the handshake and the open.
        disconnect();
        return object<rptTransport>();
    }
}

object<rptTransport> rptSRMux::get_transport(std::string const& name, object<rptTransportSink> sink,
                                             bool secure) {
    return open_named(name, secure, sink, nullptr);
}

object<rptTransport> rptSRMux::open_named(std::string const& name, bool secure, object<rptTransportSink> sink,
                                          std::function<void(object<rptTransport> const&)> const& ready) {
    rulo_lock_guard lock;
    object<rptMux> mux = m_mux;
    if (!mux) throw exception::function("get_transport");
    object<rptTransport> transport;
    mux->open_channel(name, secure, [&](long long id) {
        transport = object<rptTransport>(new srmux_transport(object<rptSRMux>(this), id, name));
        transport->set_sink(sink);
        if (ready) ready(transport);
    });
    return transport;
}

object<SRDownloader> rptSRMux::create_downloader(object<SRDownloaderSink> sink) {
    object<SRDownloader> downloader(new SRDownloader);
    // The downloader has its sink and transport before "open" leaves, so
    // it takes whatever the relay sends right behind its answer.
    open_named("PLUGINS", false, downloader,
               [&](object<rptTransport> const& transport) { downloader->init(sink, transport); });
    return downloader;
}

bool rptSRMux::start_and_wait(long timeout, executor const& executor, AutoTransport& chooser,
                              object<rpcWrapperSink> rpc_sink, bool allow_georeconnect, std::string original,
                              std::string target, std::string additional, std::string keys) {
    // The framer is the procedure channel's sink from its "open" on; what
    // arrives before the wrapper is its sink waits in the framer.
    object<rptPacket> packet(new rptPacket(executor));
    object<rptTransport> channel = connect(timeout, chooser, packet, allow_georeconnect, std::move(original),
                                           std::move(target), std::move(additional), keys);
    if (!channel) return false;
    object<rpcWrapper> wrapper(new rpcWrapper(packet, rpc_sink));
    {
        rulo_lock_guard lock;
        m_packet = packet;
        m_wrapper = wrapper;
    }
    packet->set_sink(wrapper);
    packet->start(channel);
    return true;
}

object<rptTransport> rptSRMux::get_msg_transport(object<rptTransportSink> sink) {
    return get_transport("VYNMSG", std::move(sink), true);
}

object<rptTransport> rptSRMux::get_session_transport(object<rptTransportSink> sink) {
    return get_transport("VYNL2", std::move(sink), false);
}

object<rpcWrapper> rptSRMux::get_rpc_wrapper() {
    rulo_lock_guard lock;
    return m_wrapper;
}

int64_t rptSRMux::last_received() {
    return connected_mux()->last_received();
}

void rptSRMux::disconnect() {
    srmux_log.fmt_verbose("disconnect");
    rulo_lock_guard lock;
    m_packet.reset();
    m_wrapper.reset();
    std::vector<object<rptTransportSink>> sinks;
    for (auto& entry : m_sinks) sinks.push_back(entry.second);
    m_sinks.clear();
    object<rptMux> mux = std::move(m_mux);
    if (mux) mux->disconnect();
    for (auto& sink : sinks) {
        try {
            sink->broken();
        } catch (...) {
        }
    }
}

void rptSRMux::queue_empty() {
    std::vector<object<rptTransportSink>> sinks;
    rulo_lock_guard lock;
    // The connection's queue is shared: only a channel that sent since its
    // last signal has anything to hear (the socket signals on every read).
    for (long long id : m_sent) {
        auto it = m_sinks.find(id);
        if (it != m_sinks.end()) sinks.push_back(it->second);
    }
    m_sent.clear();
    for (auto& sink : sinks) sink->queue_empty();
}

void rptSRMux::broken() {
    disconnect();
}

void rptSRMux::received(long long id, netbuf& data) {
    object<rptTransportSink> sink;
    {
        rulo_lock_guard lock;
        auto it = m_sinks.find(id);
        if (it == m_sinks.end()) return;
        sink = it->second;
    }
    try {
        sink->received(data);
    } catch (...) {
        disconnect();
    }
}

void rptSRMux::channel_error(long long, std::string) {
    broken();
}

void rptSRMux::channel_closed(long long) {
    broken();
}

void rptSRMux::pong(netbuf const&) {}

} // namespace rulo
