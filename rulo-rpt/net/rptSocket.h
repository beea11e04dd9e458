// A TCP connection as a transport: the socket's bytes delivered to a sink by
// the socket poller, sends queued and pushed out as the kernel takes them.
//
// Ownership: held through rulo::object handles; while started, the poller
// holds one too (as the descriptor's rptModuleSink), until disconnect(). The
// transport holds its sink and its socket; the socket closes when its last
// handle goes.
//
// Threads and locks: every operation takes the framework lock. The sink is
// called on a poller thread with that lock held (received, broken,
// queue_empty), and also from inside send() on the caller's thread
// (queue_empty, when everything left at once). The sink may call send,
// disconnect or set_sink from inside any of these calls. It may keep the
// buffers it is given. broken() comes once, after the peer closed or the
// connection failed; nothing follows it. A user's disconnect() drops the sink
// without calling it.
#pragma once

#include "rulo-rpt/net/rptModule.h"
#include "rulo-rpt/net/socket.h"
#include "rulo-rpt/rptTransport.h"

#include <cstdint>
#include <string>

namespace rulo {

class rptSocket : public rptModuleSink, public rptTransport {
public:
    rptSocket() = default;

    // Takes the connected socket, makes it non-blocking and registers it with
    // the poller, reading. The caller holds a handle to this object.
    void start(object<rptTransportSink> sink, object<socket> s);

    // Poller side: pushes out what is queued, reads what arrived and hands it on.
    void event(int descriptor) override;
    ~rptSocket() override = default;

    // Throws "send" when no socket is held, and the socket's error when the
    // send fails (the poller then sees the failed connection: one broken()).
    void send(netbuf const& data) override;
    void disconnect() override;
    void set_sink(object<rptTransportSink> sink) override;
    void no_delay() override;
    int64_t last_received() override;
    void ioctl(std::string const& key, std::string& value) override;

private:
    int64_t m_last_received = 0;
    object<rptTransportSink> m_sink;
    object<socket> m_socket;
};

} // namespace rulo
