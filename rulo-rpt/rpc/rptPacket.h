// The packet layer of the control channel: cuts the channel's byte stream
// into length-framed packets (packet_frame.h) and hands each one to the layer
// above through an executor, so that procedure traffic leaves the network
// thread.
//
// Ownership: held through rulo::object handles by the channel below (as its
// sink) and by the layer above (as its transport); the handles to both
// neighbours are dropped on disconnect, which ends the cycle. Every runnable
// it has in flight holds a handle to it.
//
// Threads and locks: send, disconnect, start, set_sink and the forwarded calls
// may come from any thread and take the framework lock around the layer's
// state. received and broken come from the channel below with the framework
// lock held.
//
// What the sink may expect: its received / broken are called on an executor
// thread, WITHOUT the framework lock, never from inside this layer's send(),
// one at a time and in stream order: the events wait in a FIFO and one
// runnable at a time drains it, so a call never overtakes the reply before it
// and broken() comes after every packet that arrived before the end. The sink
// keeps the buffers. Nothing follows broken(). queue_empty is not passed on.
// Because events run one at a time, a sink must not block inside received()
// waiting for later packets of this same channel (a reply to a call it makes
// from there): that reply waits behind it. Hand such work to another thread.
//
// One exception to the executor: a sink that also implements
// rptPacketShortcut is offered each packet first, on the thread that cut it
// (the channel's receiving thread, framework lock held), but only while no
// event of this layer is queued or running, so the order above still holds.
// What it takes there skips the executor hand-off (a reply a caller is
// waiting for); what it refuses is posted as usual.
//
// Failures: a length line that can never be valid (see packet_frame.h)
// disconnects the channel; the sink then gets broken(). send() after
// disconnect throws the function exception "send".
#pragma once

#include "rulo-rpt/rptTransport.h"
#include "rulo/executor.h"

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

namespace rulo {

// What a sink of the packet layer implements to take some packets at once.
// take_now is called on the channel's receiving thread with the framework
// lock held, only while none of the layer's events is queued or running; it
// must not block or call into other layers. True when it took the packet (it
// may keep the buffer); false leaves the packet to the executor as usual.
class rptPacketShortcut {
public:
    virtual ~rptPacketShortcut() = default;
    virtual bool take_now(netbuf const& packet) = 0;
};

class rptPacket : public rptTransport, public rptTransportSink {
public:
    // The executor runs the sink's events; it must outlive this object's use
    // of it (the scheduler pool lives for the process).
    explicit rptPacket(executor const& e);
    ~rptPacket() override;

    // Takes the channel below and sends what was queued before, in one piece.
    // Takes the framework lock.
    void start(object<rptTransport> transport);
    // Hands a runnable to the executor (ownership passes).
    void run(runnable const& r);

    // Transport side (towards the layer above).
    // Frames and sends (shares data, copies only the length line); before
    // start() the packet is queued. Takes the framework lock.
    void send(netbuf const& data) override;
    void disconnect() override;
    void set_sink(object<rptTransportSink> sink) override;
    void no_delay() override;
    int64_t last_received() override;
    void ioctl(std::string const& key, std::string& value) override;

    // Sink side (from the channel below).
    void received(netbuf const& data) override;
    void broken() override;
    void queue_empty() override;

    // Events posted and not yet run; a snapshot for tests.
    std::size_t queued_events() const;

private:
    enum kind { received_kind = 0, broken_kind = 1 };
    struct packet_event {
        object<rptTransportSink> sink;
        int kind = received_kind;
        netbuf data;
    };
    class drainer;

    // Queues an event for the sink and starts a drainer unless one is in
    // flight. Takes only the event mutex.
    void post(object<rptTransportSink> const& sink, int kind, netbuf const& data);
    // Cuts every whole packet off the input and posts it to the sink; a
    // malformed length line disconnects. Caller holds the framework lock.
    void take_packets();
    // Offers the packet to the sink's shortcut when nothing is queued or
    // running; true when it was taken. Caller holds the framework lock.
    bool taken_at_once(netbuf const& payload);
    // Runs queued events in order on the executor thread, without any lock.
    void drain();
    // Starts one drainer; on refusal the in-flight mark is cleared.
    void start_drainer();

    executor m_executor;
    object<rptTransportSink> m_sink;
    rptPacketShortcut* m_shortcut = nullptr; // m_sink's, when it has one
    object<rptTransport> m_transport;
    netbuf m_input;
    netbuf m_pending;
    bool m_ended = false;

    mutable std::mutex m_events_mutex; // guards the two members below only
    std::deque<packet_event> m_events;
    bool m_in_flight = false;
};

} // namespace rulo
