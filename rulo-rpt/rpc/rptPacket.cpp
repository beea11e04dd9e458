#include "rulo-rpt/rpc/rptPacket.h"

#include "rulo-rpt/rpc/packet_frame.h"
#include "rulo/errlog.h"
#include "rulo/exception.h"
#include "rulo/lock.h"

#include <utility>

namespace rulo {

namespace {
// Events one drainer runs before it hands the rest to a fresh runnable, so
// that a long burst does not keep one executor thread for itself.
constexpr int drain_batch = 64;
} // namespace

// The one runnable in flight. Holds the packet layer alive; when the executor
// drops it unrun, the in-flight mark is cleared so that the next event starts
// another one.
class rptPacket::drainer {
public:
    explicit drainer(object<rptPacket> self) : m_self(std::move(self)) {}
    ~drainer() {
        if (m_ran) return;
        std::lock_guard<std::mutex> lock(m_self.get()->m_events_mutex);
        m_self.get()->m_in_flight = false;
    }
    void run() {
        m_ran = true;
        m_self.get()->drain();
    }

private:
    object<rptPacket> m_self;
    bool m_ran = false;
};

rptPacket::rptPacket(executor const& e) : m_executor(e) {}

rptPacket::~rptPacket() = default;

void rptPacket::start(object<rptTransport> transport) {
    rulo_lock_guard lock;
    if (m_ended) throw exception::function("start");
    m_transport = std::move(transport);
    if (m_pending.empty()) return;
    netbuf pending;
    pending.swap(m_pending);
    m_transport->send(pending);
}

void rptPacket::run(runnable const& r) {
    m_executor.execute(r);
}

void rptPacket::send(netbuf const& data) {
    netbuf framed = packet_frame::frame(data);
    rulo_lock_guard lock;
    if (m_ended) throw exception::function("send");
    if (m_transport)
        m_transport->send(framed);
    else
        m_pending.append(framed);
}

void rptPacket::disconnect() {
    fmt_dbg("rulo::rptPacket::disconnect").log("disconnect");
    rulo_lock_guard lock;
    m_ended = true;
    object<rptTransport> transport = std::move(m_transport);
    object<rptTransportSink> sink = std::move(m_sink);
    m_shortcut = nullptr;
    m_pending.clear();
    m_input.clear();
    if (transport) {
        try {
            transport->disconnect();
        } catch (...) {
            // The channel below is gone either way; its failure changes nothing here.
        }
    }
    if (sink) post(sink, broken_kind, netbuf());
}

void rptPacket::set_sink(object<rptTransportSink> sink) {
    rulo_lock_guard lock;
    if (m_ended) return;
    m_sink = std::move(sink);
    m_shortcut = dynamic_cast<rptPacketShortcut*>(m_sink.get());
    // Packets that arrived before there was anyone to take them.
    take_packets();
}

void rptPacket::no_delay() {
    rulo_lock_guard lock;
    if (m_transport) m_transport->no_delay();
}

int64_t rptPacket::last_received() {
    rulo_lock_guard lock;
    return m_transport ? m_transport->last_received() : 0;
}

void rptPacket::ioctl(std::string const& key, std::string& value) {
    rulo_lock_guard lock;
    if (!m_transport) throw exception::function("ioctl");
    m_transport->ioctl(key, value);
}

void rptPacket::received(netbuf const& data) {
    rulo_lock_guard lock;
    if (m_ended) return;
    m_input.append(data);
    if (!m_sink && m_input.size() > packet_frame::max_payload + packet_frame::line_search) {
        // Nobody takes packets yet and more arrived than one can hold.
        fmt_dbg("rulo::rptPacket::received").log("input beyond one packet before a sink was set");
        disconnect();
        return;
    }
    take_packets();
}

void rptPacket::take_packets() {
    while (m_sink) {
        netbuf payload;
        switch (packet_frame::next(m_input, payload)) {
        case packet_frame::status::need_more:
            return;
        case packet_frame::status::keep_alive:
            break;
        case packet_frame::status::packet:
            if (!taken_at_once(payload)) post(m_sink, received_kind, payload);
            break;
        case packet_frame::status::malformed:
            fmt_dbg("rulo::rptPacket::received").log("malformed length line");
            disconnect();
            return;
        }
    }
}

bool rptPacket::taken_at_once(netbuf const& payload) {
    if (!m_shortcut) return false;
    {
        std::lock_guard<std::mutex> lock(m_events_mutex);
        // A drainer clears the mark only once its last event has returned.
        if (m_in_flight || !m_events.empty()) return false;
    }
    try {
        return m_shortcut->take_now(payload);
    } catch (...) {
        return false;
    }
}

void rptPacket::broken() {
    disconnect();
}

void rptPacket::queue_empty() {}

std::size_t rptPacket::queued_events() const {
    std::lock_guard<std::mutex> lock(m_events_mutex);
    return m_events.size();
}

void rptPacket::post(object<rptTransportSink> const& sink, int kind, netbuf const& data) {
    {
        std::lock_guard<std::mutex> lock(m_events_mutex);
        m_events.push_back(packet_event{sink, kind, data});
        if (m_in_flight) return;
        m_in_flight = true;
    }
    start_drainer();
}

void rptPacket::start_drainer() {
    drainer* d = new drainer(object<rptPacket>(this));
    try {
        // The executor owns d from here; if it refuses, it deletes d, which
        // clears the in-flight mark.
        m_executor.execute(runnable_f<drainer>::make(d));
    } catch (...) {
        std::lock_guard<std::mutex> lock(m_events_mutex);
        m_in_flight = false;
    }
}

void rptPacket::drain() {
    for (int done = 0;; ++done) {
        packet_event ev;
        {
            std::lock_guard<std::mutex> lock(m_events_mutex);
            if (m_events.empty()) {
                m_in_flight = false;
                return;
            }
            if (done == drain_batch) break;
            ev = std::move(m_events.front());
            m_events.pop_front();
        }
        try {
            if (ev.kind == received_kind)
                ev.sink->received(ev.data);
            else
                ev.sink->broken();
        } catch (...) {
            // A sink's failure is its own; the next event still runs.
        }
    }
    // More is queued: the in-flight mark stays and passes to a fresh runnable.
    start_drainer();
}

} // namespace rulo
