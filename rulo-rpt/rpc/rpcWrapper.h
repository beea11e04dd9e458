// Remote procedure calls over the packet layer: numbered calls with matched
// replies, incoming calls answered exactly once, and a keep-alive ping.
//
// Messages, each one packet of the layer below:
//
//   call    <id>\n<body>         id in decimal, 1 and up
//   reply   result <id>\n<body>
//   ping    result 0\n           both directions
//
// Ownership: held through rulo::object handles by its user and, as its sink,
// by the packet layer below; it holds the packet layer until broken(). Each
// pending call is an sCall shared by the wrapper and the waiting caller; each
// reply object holds the wrapper.
//
// Threads and locks: any thread may call; the wrapper's state is guarded by
// the framework lock, which is held while a call leaves (so ids leave in
// order) and never while a caller waits or a sink is called. received and
// broken come from the packet layer on its executor thread, one at a time, in
// stream order, without the framework lock. The one exception: a reply whose
// caller is waiting is taken by take_now on the channel's receiving thread
// (framework lock held) when nothing of this channel is queued before it; it
// only wakes that caller, and no sink is called there. The caller is woken
// once the receiving thread has let go of the framework lock
// (rulo::after_framework_unlock), and returns its reply without taking that
// lock, so it neither waits on the lock nor preempts the thread that has it.
//
// After a failure: a broken wrapper throws at once from every call; a waiting
// caller wakes and throws "async_call_ret" unless its reply had already come,
// in which case it gets it. connected() makes it usable again.
#pragma once

#include "rulo-rpt/rpc/rptPacket.h"
#include "rulo-rpt/rptTransport.h"
#include "rulo/netbuf.h"
#include "rulo/object.h"
#include "rulo/semaphore.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

namespace rulo {

// The receiver of a wrapper's incoming traffic; implemented by the user.
// Called on the packet layer's executor thread, without the framework lock,
// never from inside the wrapper's own calls, one call at a time.
class rpcWrapperSink {
public:
    // Answers one incoming call. Exactly one answer reaches the peer: the first
    // send(); a second throws the function exception "send"; dropping the last
    // handle unanswered sends an empty body.
    class reply {
    public:
        virtual ~reply() = default;
        virtual void send(netbuf const& body) = 0;
    };

    virtual ~rpcWrapperSink() = default;
    // An incoming call. The sink may keep the body and the reply, and answer
    // from any thread, later. It must not wait here for a reply of its own
    // call on the same wrapper: that reply is queued behind this call.
    virtual void func(netbuf const& body, object<reply> r) = 0;
    // The wrapper's transport ended; called once per break.
    virtual void broken_sink() {}
    // The peer pinged ("result 0").
    virtual void ping() {}
};

class rpcWrapper : public rptTransportSink, public rptPacketShortcut {
public:
    // One outgoing call waiting for its reply.
    struct sCall {
        sCall() : signal(3, 0) {}
        semaphore signal;
        netbuf reply;
        unsigned int id = 0;
        // The reply arrived: stored (release) after reply and before the
        // signal, so a woken caller reads both without the framework lock.
        std::atomic<bool> done{false};
    };

    rpcWrapper(object<rptTransport> transport, object<rpcWrapperSink> sink);
    ~rpcWrapper() override;
    // Makes a broken wrapper usable again (its transport must be set anew by
    // whoever rebuilt it; calls before that throw).
    virtual void connected();

    // The next call id (1 and up; 0, the ping, is skipped on wrap-around).
    unsigned int CallId();
    // Sends a call; the reply is collected with async_call_ret. Throws the
    // function exception "async_call" when broken or when the send fails (no
    // pending entry is left then). Takes the framework lock.
    object<sCall> async_call(netbuf const& body, unsigned int* id = nullptr);
    // Blocks until the reply comes, the wrapper breaks, or timeout seconds
    // pass (none: no limit). A time-out removes the pending entry. Throws
    // "async_call_ret" on time-out and when broken before the reply.
    netbuf async_call_ret(object<sCall> call, long* timeout = nullptr);
    // async_call, then async_call_ret; failures throw "call" and leave no
    // pending entry.
    netbuf call(netbuf const& body, unsigned int* id = nullptr, long* timeout = nullptr);
    // Sends "result 0". Throws "ping" when broken.
    void ping();
    // Forgets a pending call; its reply will be ignored.
    void remove_cid(unsigned int id);
    object<rptTransport> get_rptTransport();
    // Calls waiting for a reply; a snapshot for statistics and tests.
    std::size_t pending_count();

    // Sink side (from the packet layer).
    void received(netbuf const& data) override;
    void broken() override;
    void queue_empty() override;
    // A reply to a pending call, taken on the receiving thread: wakes its
    // caller. Anything else is left to received().
    bool take_now(netbuf const& packet) override;

private:
    class reply_impl;
    friend class reply_impl;

    // Sends "result <id>\n<body>". Takes the framework lock; throws "send"
    // when there is no transport.
    void send_reply(std::string const& id, netbuf const& body);
    void handle(netbuf const& data);
    // Wakes every waiting caller and forgets them. Caller holds the framework lock.
    void release_pending();
    // Gives a pending call (already taken out of m_pending) its reply and
    // wakes its caller once the framework lock is let go.
    static void answered(object<sCall> const& call, netbuf const& reply);

    std::map<unsigned int, object<sCall>> m_pending;
    object<rptTransport> m_transport;
    bool m_broken = false;
    uint32_t m_next_id = 1;
    bool m_closing = false;
    object<rpcWrapperSink> m_sink;
};

} // namespace rulo
