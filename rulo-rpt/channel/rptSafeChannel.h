// The reliable channel: a lasting, prioritised session channel that survives
// broken links without losing or repeating a packet.
//
// rptSafeChannel sits on one session channel (rptChannel) at a time, gets a
// fresh one from its factory whenever its user asks it to reconnect, and
// numbers, acknowledges, fragments, prioritises and resends the packets of
// its user's sub-channels across those connections. The two ends are not
// alike: the initiator (the client) sends "init" on every new connection, the
// other end (the desk) answers it. An end that restarted proves it belongs to
// the old session by answering a challenge with a shared secret.
//
// Control messages travel on the control index as packets (values pushed
// onto a netbuf and popped back from the end); fields in the order they pop:
//
//   "init"    name | u64 received count | bool fragmenter | string challenge | bool vint
//   "rcount"  name | u64 received count
//   "auth"    name | string MD5(answer secret + the peer's challenge), 16 raw bytes
//
// Once the fragmenter is on, every packet on a data index other than the
// initial one carries a trailer: a pushed netbuf that holds one pushed int,
// the fragment type. Packets above 1024 bytes are cut into 1024-byte slices:
//
//   | data (<= 1024 bytes) | netbuf{ int type } |   type 0 whole, 1 more follows, 2 last
//
// Counting: both ends count every packet and fragment they receive on data
// indexes. "rcount" tells the sender which of its packets it may forget; on a
// new connection each "init" carries the count, and the other end resends
// every packet it still holds beyond it, oldest first.
//
// Sending: every queue_empty() of the transport lets one batch go: the next
// packets in priority order, up to batch_bytes, in one write (one TLS record,
// one multiplexer frame; the bytes on the wire are the same as packet by
// packet). The batch leaves on the thread that reported the queue empty. No
// batch goes while the packets sent and not yet counted by the peer hold
// window_bytes or more (and more than the peer's acknowledgement step, so
// that the peer's next "rcount" is always due): the "rcount" reopens it.
//
// States: -1 stopped, 0 down (waiting for its user), 1 connected, 2 connect
// requested. The channel never reconnects by itself: after the status
// "broken" its user calls reconnect() or stop(seconds).
//
// Ownership: held through rulo::object handles: the user's, the worker
// thread's (for the connect loop, until the channel is stopped) and, during a
// graceful stop, the stop thread's. The current session channel, the factory
// and the sink are held until the stop completes.
//
// Threads and lock: every method takes the framework lock (rulo::rulo_lock_guard)
// around the channel's state and may be called from any thread; the session
// channel calls the rptChannelSink side with that lock held, on its
// transport's thread. The factory's get_channel is called on the worker
// thread without the lock. The sink is called with the lock held, from the
// worker thread, the transport's thread, or from inside send(); it may call
// back into the channel and keep the buffers it is given.
//
// Failures: send on a stopped (or stopping) channel throws rulo::exception.
// A session channel that fails while sending is stopped and the channel goes
// down with the status "broken"; a factory failure leaves it down with
// "broken" (repeat_connect), "connect_cancelled" or "connect_failed". A peer
// that cannot prove its restart gets the status "invalid_reconnect" and its
// data is not delivered.
#pragma once

#include "rulo-rpt/channel/rptChannel.h"
#include "rulo-rpt/rptTransport.h"
#include "rulo/netbuf.h"
#include "rulo/object.h"
#include "rulo/semaphore.h"

#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace rulo {

// Thrown by a factory when the connection is to be tried again later.
class repeat_connect {};
// Thrown by a factory when the user cancelled the connection.
class cancel_connect {};

// The user of a reliable channel (the session host).
// Called with the framework lock held, from the channel's worker thread, the
// transport's thread or from inside the channel's send(); may call back into
// the channel. May keep the buffers it is given.
class rptSafeChannelSink {
public:
    virtual ~rptSafeChannelSink() = default;
    // Raw bytes of a peer that opened the stream in raw mode.
    virtual void received(netbuf const& data) = 0;
    // One whole packet of sub-channel index, in order, exactly once.
    virtual void received_channel(int index, netbuf const& data) = 0;
    // "connected", "session_connect", "broken", "connect_failed",
    // "connect_cancelled", "invalid_reconnect", "stopped".
    virtual void channel_status(std::string status) = 0;
    // The current transport took the last packet handed to it.
    virtual void queue_empty() = 0;
    // The peer restarted: counts and queues began again.
    virtual void channel_reinit() = 0;
};

// Builds connections for a reliable channel.
class rptChannelFactory {
public:
    virtual ~rptChannelFactory() = default;
    // A new connection and a started session channel whose sink is the given
    // one. Called on the channel's worker thread without the framework lock;
    // may block. Throws repeat_connect, cancel_connect or anything else.
    virtual object<rptChannel> get_channel(object<rptChannelSink> sink) = 0;
};

// n bytes from the operating system's generator: challenges and session secrets.
std::string get_challenge(int n);

class rptSafeChannel : public rptChannelSink {
public:
    enum { stopped = -1, down = 0, connected = 1, connect_requested = 2 };
    static constexpr int fragment_size = 1024;

    // Times and counts of the protocol; tests may shorten them before start.
    struct timing {
        int64_t reconnect_pause_ms = 2000; // after a held transport is stopped on reconnect
        uint64_t first_ack = 10;           // the first "rcount" goes at this count
        uint64_t ack_every = 1000;         // then after this many more packets
        int64_t ack_gap_ms = 3000;         // or at the first packet this long after the last
        int64_t stop_poll_ms = 100;        // graceful stop checks its queues this often
        int max_reassembly = 256 << 20;    // the largest packet taken in fragments
        // Packets handed to the transport in one write, up to this many
        // bytes: one TLS record, one multiplexer frame.
        int batch_bytes = 16 * 1024 - 256;
        // Bytes sent and not yet counted by the peer above which the sender
        // waits for its "rcount"; it also bounds what a reconnect resends.
        int64_t window_bytes = 2 << 20;
    };

    struct packet {
        uint64_t sequence;
        int index;
        netbuf data;
    };

    rptSafeChannel(int control_index, object<rptSafeChannelSink> sink);
    ~rptSafeChannel() override;

    void set_timing(timing const& t);
    // Starts the worker thread, which connects at once. The channel must be
    // held by a handle. Throws the function exception "start" when already started.
    void start(object<rptChannelFactory> factory, bool initiator, int initial_index,
               netbuf const& initial_packet);
    // Queues one packet (fragmented once the peer takes fragments) and sends
    // what the transport takes. Throws the function exception "send" once stopping.
    void send(int index, netbuf const& data);
    // Lower values go first; an index without one is served round-robin after them.
    void set_priority(int index, int priority);
    void set_secret(std::string const& verification, std::string const& answer, bool reconnect_restart);
    std::pair<std::string, std::string> get_secret() const;
    // Asks for a new connection; a held one is stopped first. Nothing once stopped.
    void reconnect();
    // Graceful stop: sends what is queued until the deadline, then stops. Later calls do nothing.
    void stop(long seconds);
    // This end's challenge, made on first use.
    std::string get_reconnect_auth();

    // Observers for tests and the host's diagnostics.
    int state() const;
    bool worker_running() const;
    uint64_t received_count() const;
    uint64_t sent_count() const;
    std::size_t unacknowledged() const;
    // Packets and fragments waiting in the send queues.
    std::size_t queued() const;

    // rptChannelSink, called by the session channel.
    void received(netbuf const& data) override;
    void broken() override;
    void queue_empty() override;
    void received_channel(int index, netbuf const& data) override;

private:
    friend class sc_thread;
    friend class rsc_stop;

    // The worker thread's connect loop; returns when the channel has stopped.
    void run_();
    // One connect attempt through the factory. False when the thread must end.
    bool connect_();
    void failure_path_();
    // Hands the transport the next batch for every queue-empty report, while
    // the window is open. A call from inside a send of this channel returns
    // at once: the outer one goes on.
    void handle_send_();
    bool window_open_() const;
    // The index whose queue goes next: priorities, then round-robin (moves the cursor).
    bool choose_index_(int& index);
    void record_acknowledged_(uint64_t count);
    void forget_unacknowledged_();
    void packet_sent_(int index, netbuf const& data);
    void switch_state_(int state);
    void status(std::string const& text);
    bool check_stop_(int64_t deadline);
    void handle_control_(netbuf& data);
    void handle_init_(netbuf& data);
    void answer_init_(netbuf& data);
    void handle_data_(int index, netbuf& data);
    void send_control_(netbuf const& message);
    void maybe_ack_();
    // Appends the packet, fragmented when the fragmenter is on, to the index's queue.
    void enqueue_(int index, netbuf const& data);
    bool framed_index_(int index) const;
    void clear_session_buffers_();

    object<rptSafeChannelSink> m_sink;
    int m_state = connect_requested;
    uint64_t m_last_ack;
    uint64_t m_next_ack;
    uint64_t m_received = 0;
    int const m_control;
    uint64_t m_sent = 0;
    object<rptChannelFactory> m_factory;
    object<rptChannel> m_transport;
    bool m_first_logged = false;
    int m_broken_events = 0;
    bool m_reconnect_restart = false;
    bool m_awaiting_auth = false;
    bool m_init_pending = false;
    bool m_initiator = false;
    bool m_legacy = false;
    bool m_stopping = false;
    std::string m_challenge;
    std::pair<std::string, std::string> m_secrets;
    bool m_fragmenter = false;
    std::map<int, netbuf> m_reassembly;
    semaphore m_wake{1000000, 1};
    std::map<int, std::deque<netbuf>> m_queues;
    std::map<int, std::set<int>> m_priorities;
    std::deque<packet> m_unacked;
    int64_t m_unacked_bytes = 0;
    int m_initial_index = 0;
    netbuf m_initial_packet;
    int m_cursor = 0;
    bool m_ready = false;
    // Set while this channel hands bytes to its transport, whose
    // queue_empty() may come back from inside that call.
    bool m_sending = false;

    timing m_timing;
    bool m_started = false;
    bool m_worker = false;
    // While the worker is inside the factory, the new session channel may
    // already deliver: its packets wait here until it is installed.
    bool m_connecting = false;
    bool m_connect_broken = false;
    std::vector<std::pair<int, netbuf>> m_early;
};

} // namespace rulo
