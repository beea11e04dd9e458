// The two interfaces every layer of the connection stack is built from.
//
// A byte stream is an rptTransport that hands what it receives to one
// rptTransportSink. A layer is stacked on another by being both: the sink of
// the transport below and a transport (or channel) for the layer above. Both
// are pure interfaces; objects are held through rulo::object handles, so a
// transport and its sink keep each other alive only through handles that are
// reset on disconnect.
//
// The virtual operations are declared in their binary slot order: plugins
// built against another copy of the framework call them through the table.
#pragma once

#include "rulo/netbuf.h"
#include "rulo/object.h"

#include <cstdint>
#include <string>

class rptTransportSink;

// A byte stream towards the peer.
//
// Threads: any thread may call send, disconnect, set_sink, no_delay,
// last_received and ioctl; every implementation takes the framework lock
// (rulo::rulo_lock_guard) around its own state, so a sink may call back into
// its transport, for example send() from inside received().
// Failures of these calls are thrown as rulo::exception; failures on the
// receiving side are never thrown: the transport ends and its sink gets
// broken() once.
class rptTransport {
public:
    // Queues the bytes for sending, in order; copies nothing that the caller
    // may change afterwards (netbuf shares its chunks copy-on-write).
    virtual void send(netbuf const& data) = 0;
    // Ends the transport. Its sink is dropped; a second call does nothing.
    virtual void disconnect() = 0;
    // Names the receiver of all further events.
    virtual void set_sink(rulo::object<rptTransportSink> sink) = 0;
    virtual ~rptTransport() = default;
    // Asks for small writes to leave without delay; stacked layers pass it down.
    virtual void no_delay() = 0;
    // Relative time (milliseconds, monotonic) of the last bytes received.
    virtual int64_t last_received() = 0;
    // Out-of-band request: key is a packet whose first value is the request
    // name ("get_dst", "get_src", "set_sndbuf"), the answer is pushed into
    // value. Wrapping layers forward it unchanged; an unknown request throws
    // the function exception "ioctl".
    virtual void ioctl(std::string const& key, std::string& value) = 0;
};

// The receiver of one transport's events.
//
// Threads: called on the thread that produced the event (a socket poller
// thread for sockets, the lower layer's thread for stacked layers, an executor
// thread for RPC packets), with the framework lock held; it may call back into
// its transport from inside any of these calls. The buffers it is given are
// its to keep (netbuf copies share). Nothing follows broken(): no received(),
// no queue_empty(). An exception thrown from received() never reaches the
// transport below: the layer that called it ends itself instead.
class rptTransportSink {
public:
    // Bytes arrived, in stream order, cut anywhere.
    virtual void received(netbuf const& data) = 0;
    // The transport has ended; called at most once.
    virtual void broken() = 0;
    // Everything handed to send() has left the transport's queue: the
    // flow-control signal for a sender that keeps its queue short.
    virtual void queue_empty() = 0;
    virtual ~rptTransportSink() = default;
};

namespace rulo {

// A sink that also takes whole packets of indexed sub-channels, as the
// session channel delivers them.
class rptChannelSink : public rptTransportSink {
public:
    // One whole packet of sub-channel index; same threads and lock as received().
    virtual void received_channel(int index, netbuf const& data) = 0;
};

} // namespace rulo
