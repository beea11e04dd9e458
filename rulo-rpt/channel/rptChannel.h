// The session channel: int-indexed sub-channels over one byte stream.
//
// rptChannel is the sink of one transport (in the program a TLS layer over
// the relay's session leg) and cuts the stream into packets, each tagged with
// the index of its sub-channel, for one rptChannelSink (the reliable channel).
// A peer that opens the stream with the Remote Framebuffer greeting "RFB "
// switches the channel to raw mode: its bytes pass through unframed.
//
// Frames on the wire, one per packet; the body is a packet (rulo/packet.h)
// whose top value is the int sub-channel index:
//
//   4-byte framing:  | length, 4 bytes big-endian | body (length bytes) |
//   vint framing:    | length, LEB128 vint        | body (length bytes) |
//
// The stream starts in the 4-byte framing; the reliable channel switches both
// directions to the vint framing (set_vint) once it has told the peer. Either
// way a body is at most max_packet bytes: send refuses a longer one, and a
// peer announcing more ends the channel instead of making it buffer the lot.
//
// Ownership: the factory that builds a connection makes the channel with its
// sink and starts it on the transport; the channel holds both through handles
// until stop(), which drops them (and so breaks any cycle with them). After
// stop() the channel holds nothing, takes nothing and is dropped.
//
// Threads and lock: any thread may call start, send, set_vint and stop; each
// takes the framework lock (rulo::rulo_lock_guard). The transport calls
// received, broken and queue_empty with that lock held, on its own thread;
// the sink is called from inside them, with the lock still held, and may call
// back into the channel (send, set_vint, stop) from inside any call. The sink
// may keep the buffers it is given. Nothing follows the sink's broken().
//
// Failures: send after stop throws rulo::exception (function "send"), as does
// a packet over max_packet; a failing transport send is thrown to the caller
// and leaves the channel as it was. A malformed or oversized frame, or an
// exception from the sink, ends the channel through stop(): the transport is
// disconnected and the sink gets broken() once.
#pragma once

#include "rulo-rpt/rptTransport.h"
#include "rulo/netbuf.h"
#include "rulo/object.h"

#include <utility>
#include <vector>

namespace rulo {

class rptChannel : public rptTransportSink {
public:
    // The largest body of one frame, in either framing.
    static constexpr int max_packet = 0xFFFFFF;
    enum mode { undecided = 0, raw = 1, packets = 2 };

    explicit rptChannel(object<rptChannelSink> sink);
    ~rptChannel() override;

    // Takes the transport and hands it, in one send, what was sent before.
    // Throws the function exception "start" once stopped or started.
    void start(object<rptTransport> transport);
    // One packet of sub-channel index; copies only the handle of data.
    // Before start the frame is kept and goes out with start.
    void send(int index, netbuf const& data);
    // Packets in order, framed as send(index, data) frames them, copied into
    // one buffer and handed to the transport in one send: the same bytes on
    // the wire, one write below (one TLS record up to its size).
    void send_batch(std::vector<std::pair<int, netbuf>> const& packets);
    // Raw bytes, unframed.
    void send(netbuf const& data);
    // Switches both directions to the vint framing from the next frame on,
    // including the rest of a delivery being parsed now.
    void set_vint(bool on);
    bool vint() const;
    int current_mode() const;
    // Disconnects the transport and tells the sink broken(), once; later calls do nothing.
    void stop();

    // rptTransportSink, called by the transport.
    void received(netbuf const& data) override;
    void broken() override;
    void queue_empty() override;

private:
    // Frames the body as the vint flag says; throws when it is too long.
    netbuf frame_(netbuf const& body) const;
    // Hands bytes to the transport, or keeps them before start. Lock held.
    void emit_(netbuf const& bytes);
    // Parses what the input buffer holds; throws on a bad frame. Lock held.
    void parse_();

    object<rptTransport> m_transport;
    object<rptChannelSink> m_sink;
    netbuf m_input;   // bytes received, not yet a whole frame
    netbuf m_pending; // frames sent before start
    int m_mode = undecided;
    bool m_vint = false;
    bool m_started = false;
    bool m_stopped = false;
};

} // namespace rulo
