#include "rulo-rpt/channel/rptChannel.h"

#include "rulo/errlog.h"
#include "rulo/exception.h"
#include "rulo/lock.h"
#include "rulo/packet.h"

#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

namespace rulo {

namespace {

// The LEB128 length as vint_push writes it.
int vint_size(unsigned long long value) {
    int n = 1;
    while (value >>= 7) ++n;
    return n;
}

char* put_vint(char* at, unsigned long long value) {
    do {
        unsigned char const low = value & 0x7f;
        value >>= 7;
        *at++ = static_cast<char>(value != 0 ? low | 0x80 : low);
    } while (value != 0);
    return at;
}

} // namespace

rptChannel::rptChannel(object<rptChannelSink> sink) : m_sink(std::move(sink)) {}

rptChannel::~rptChannel() = default;

void rptChannel::start(object<rptTransport> transport) {
    rulo_lock_guard lock;
    if (m_stopped || m_started || !transport) throw exception::function("start");
    m_started = true;
    m_transport = transport;
    if (m_pending.empty()) return;
    netbuf pending;
    pending.swap(m_pending);
    transport->send(pending);
}

netbuf rptChannel::frame_(netbuf const& body) const {
    if (body.size() > max_packet) throw exception::function("send");
    if (!m_vint) return packetize(body);
    netbuf framed(body);
    vint_push(framed, static_cast<unsigned long long>(body.size()), false);
    return framed;
}

void rptChannel::send(int index, netbuf const& data) {
    netbuf body(data);
    rulo_packet_push(body, index);
    rulo_lock_guard lock;
    emit_(frame_(body));
}

void rptChannel::send_batch(std::vector<std::pair<int, netbuf>> const& packets) {
    if (packets.empty()) return;
    // A body is the data followed by the pushed index (pushing appends bytes
    // that depend on the value alone), so each frame is written straight into
    // one buffer: the same bytes as frame_() makes, without a buffer per packet.
    std::vector<std::string> indexes(packets.size());
    for (std::size_t i = 0; i < packets.size(); ++i) rulo_packet_push(indexes[i], packets[i].first);
    rulo_lock_guard lock;
    bool const vint = m_vint;
    int64_t total = 0;
    for (std::size_t i = 0; i < packets.size(); ++i) {
        int64_t const body = int64_t(packets[i].second.size()) + int64_t(indexes[i].size());
        if (body > max_packet) throw exception::function("send");
        total += body + (vint ? vint_size(static_cast<unsigned long long>(body)) : 4);
    }
    if (total > INT_MAX) throw exception::function("send");
    netbuf joined;
    char* at = joined.allocate_back(static_cast<int>(total));
    for (std::size_t i = 0; i < packets.size(); ++i) {
        netbuf const& data = packets[i].second;
        std::string const& index = indexes[i];
        unsigned long long const body = static_cast<unsigned long long>(data.size()) + index.size();
        if (vint) {
            at = put_vint(at, body);
        } else {
            for (int shift = 24; shift >= 0; shift -= 8) *at++ = static_cast<char>(body >> shift);
        }
        data.copy_front(at, data.size());
        at += data.size();
        std::memcpy(at, index.data(), index.size());
        at += index.size();
    }
    emit_(joined);
}

void rptChannel::send(netbuf const& data) {
    rulo_lock_guard lock;
    emit_(data);
}

void rptChannel::emit_(netbuf const& bytes) {
    if (m_stopped) throw exception::function("send");
    if (!m_transport) {
        m_pending.append(bytes);
        return;
    }
    // A copy: the transport may end this channel from inside its send.
    object<rptTransport> transport = m_transport;
    transport->send(bytes);
}

void rptChannel::set_vint(bool on) {
    rulo_lock_guard lock;
    m_vint = on;
}

bool rptChannel::vint() const {
    rulo_lock_guard lock;
    return m_vint;
}

int rptChannel::current_mode() const {
    rulo_lock_guard lock;
    return m_mode;
}

void rptChannel::stop() {
    object<rptTransport> transport;
    object<rptChannelSink> sink;
    {
        rulo_lock_guard lock;
        m_stopped = true;
        transport = std::move(m_transport);
        sink = std::move(m_sink);
        m_input.clear();
        m_pending.clear();
    }
    try {
        if (transport) transport->disconnect();
    } catch (...) {
        // the transport is gone either way
    }
    if (!sink) return;
    fmt_dbg("rulo::rptChannel::stop").log("calling broken");
    try {
        sink->broken();
    } catch (...) {
        // nothing follows broken(): a failing sink has nobody left to tell
    }
}

void rptChannel::received(netbuf const& data) {
    rulo_lock_guard lock;
    if (m_stopped) return;
    try {
        if (m_mode == raw) {
            object<rptChannelSink> sink = m_sink;
            if (sink) sink->received(data);
            return;
        }
        m_input.append(data);
        if (m_mode == undecided) {
            if (m_input.size() < 4) return;
            char greeting[4];
            m_input.copy_front(greeting, 4);
            if (std::memcmp(greeting, "RFB ", 4) == 0) {
                m_mode = raw;
                netbuf all;
                all.swap(m_input);
                object<rptChannelSink> sink = m_sink;
                if (sink) sink->received(all);
                return;
            }
            m_mode = packets;
        }
        parse_();
    } catch (...) {
        stop();
    }
}

void rptChannel::parse_() {
    // The flags are read again for every frame: the sink may switch the
    // framing, or stop the channel, while it handles a packet.
    while (!m_stopped) {
        netbuf body;
        if (m_vint) {
            unsigned long long length = 0;
            int bytes = 0;
            if (!vint_read_front(m_input, length, bytes)) return;
            if (length > static_cast<unsigned long long>(max_packet)) throw exception::function("received");
            if (static_cast<unsigned long long>(m_input.size() - bytes) < length) return;
            body = netbuf(m_input, bytes, static_cast<int>(length));
            m_input.erase_front(bytes + static_cast<int>(length));
        } else {
            if (m_input.size() < 4) return;
            unsigned char head[4];
            m_input.copy_front(reinterpret_cast<char*>(head), 4);
            unsigned long const length =
                static_cast<unsigned long>(head[0]) << 24 | head[1] << 16 | head[2] << 8 | head[3];
            if (length > static_cast<unsigned long>(max_packet)) throw exception::function("received");
            if (!depacketize(&m_input, body)) return;
        }
        int index = 0;
        rulo_packet_pop(body, index);
        object<rptChannelSink> sink = m_sink;
        if (!sink) return;
        sink->received_channel(index, body);
    }
}

void rptChannel::queue_empty() {
    rulo_lock_guard lock;
    object<rptChannelSink> sink = m_sink;
    if (sink && !m_stopped) sink->queue_empty();
}

void rptChannel::broken() {
    stop();
}

} // namespace rulo
