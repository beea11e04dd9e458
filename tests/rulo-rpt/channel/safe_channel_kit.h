// Test kit of the reliable channel: connections over in-memory transport
// pairs, built per connect the way the session host's factory builds relay
// connections, and a host sink that records what the channel reports.
//
//   peer_factory   each get_channel makes a fresh pair; the far end is a
//                  session channel the test drives by hand (a scripted peer).
//   twin_link      two factories, one per end, that meet on every connect as
//                  the relay joins two legs; the test breaks the link, with or
//                  without dropping the bytes in flight, or makes it refuse.
//
// Every pair delivers from its own thread, cut into random pieces, with the
// framework lock held, as a poller does. A tap sits between each end and its
// session channel: it can drop what arrives and hold back queue_empty.
//
// Threads and locks: the factories are called on the channels' worker
// threads without the framework lock; the test thread calls the rest. The
// kit's own mutexes are never held while a channel or transport is called.
#pragma once

#include "rulo-rpt/channel/rptChannel.h"
#include "rulo-rpt/channel/rptSafeChannel.h"
#include "tests/rulo-rpt/channel/channel_kit.h"
#include "tests/support/memory_transport.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace safe_kit {

constexpr int64_t generous_ms = channel_kit::generous_ms;
constexpr int control_index = -2;
constexpr int initial_index = -1;

// Between a transport end and the session channel on it.
class tap : public rptTransport, public rptTransportSink {
public:
    void attach(rulo::object<rptTransport> lower, rulo::object<rptTransportSink> upper);
    // From now on, what arrives from the far end is thrown away.
    void drop_incoming();
    // queue_empty() waits for release_drain().
    void hold_drain();
    // From now on send() throws, as a transport that failed under it does.
    void fail_sends();
    void release_drain();
    // Sends handed to the transport below so far.
    int sends();

    void send(netbuf const& data) override;
    void disconnect() override;
    void set_sink(rulo::object<rptTransportSink> sink) override;
    void no_delay() override {}
    int64_t last_received() override { return 0; }
    void ioctl(std::string const&, std::string&) override;
    void received(netbuf const& data) override;
    void broken() override;
    void queue_empty() override;

private:
    rulo::object<rptTransport> m_lower;
    rulo::object<rptTransportSink> m_upper;
    bool m_drop = false;
    bool m_hold = false;
    bool m_fail = false;
    int m_held = 0;
    int m_sends = 0;
};

// One connection: a pair, a tap on each end and the session channels.
struct connection {
    std::unique_ptr<test_support::memory_transport_pair> pair;
    rulo::object<tap> taps[2];
    rulo::object<rulo::rptChannel> channels[2];
};

// What a factory does on its next get_channel calls.
enum class refusal { none, repeat, cancel, fail };

// With pieces, every send is delivered cut into random pieces of 1 to 64 bytes.
std::unique_ptr<connection> make_connection(rulo::object<rulo::rptChannelSink> a,
                                            rulo::object<rulo::rptChannelSink> b, unsigned seed,
                                            bool pieces = true);
void throw_refusal(refusal r);

// A scripted peer per connection.
class peer_factory : public rulo::rptChannelFactory {
public:
    struct peer {
        rulo::object<channel_kit::channel_sink> sink;
        connection* link;
        rulo::object<rulo::rptChannel> channel() const { return link->channels[1]; }
        rulo::object<tap> near_tap() const { return link->taps[0]; }
    };

    rulo::object<rulo::rptChannel> get_channel(rulo::object<rulo::rptChannelSink> sink) override;

    // The n-th connection (from 0), once it exists.
    peer wait_peer(std::size_t n, int64_t ms = generous_ms);
    std::size_t calls();
    void set_refusal(refusal r);
    // get_channel waits until release() (or the generous limit).
    void block();
    void release();
    bool wait_blocked_call(int64_t ms = generous_ms);

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::unique_ptr<connection>> m_links;
    std::vector<peer> m_peers;
    std::size_t m_calls = 0;
    refusal m_refusal = refusal::none;
    bool m_block = false;
    bool m_in_block = false;
};

// Two ends that meet on every connect.
class twin_link : public std::enable_shared_from_this<twin_link> {
public:
    // Every pieces_every-th connection cuts its stream into random pieces
    // (all of them by default); the others deliver each send whole.
    static std::shared_ptr<twin_link> make(unsigned seed, int pieces_every = 1);
    // From now on every connect is cancelled: ends waiting for their partner
    // give up at once. For the end of a test.
    void shutdown();
    // The factory of one end: 0 the initiator (client), 1 the desk.
    rulo::object<rulo::rptChannelFactory> factory(int side);
    // Breaks the current connection; with drop, what is in flight is lost.
    void break_link(bool drop);
    void set_refusal(int side, refusal r);
    // Connections made so far.
    std::size_t connections();
    // The tap under one end of the current connection (empty before the first).
    rulo::object<tap> current_tap(int side);
    rulo::object<rulo::rptChannel> join(int side, rulo::object<rulo::rptChannelSink> sink);

private:
    twin_link(unsigned seed, int pieces_every) : m_seed(seed), m_pieces_every(pieces_every) {}
    std::mutex m_mutex;
    std::condition_variable m_changed;
    unsigned m_seed;
    int m_pieces_every;
    std::size_t m_made = 0;
    bool m_closed = false;
    rulo::object<rulo::rptChannelSink> m_waiting[2];
    rulo::object<rulo::rptChannel> m_result[2];
    refusal m_refusal[2] = {refusal::none, refusal::none};
    std::vector<std::unique_ptr<connection>> m_links;
};

// The session host: records statuses and packets, reconnects on "broken" when asked to.
class host_sink : public rulo::rptSafeChannelSink {
public:
    std::atomic<bool> auto_reconnect{false};
    std::atomic<rulo::rptSafeChannel*> channel{nullptr};
    // Runs inside received_channel (after the packet is recorded, unless keep_packets is off).
    std::function<void(int, netbuf const&)> on_packet;
    bool keep_packets = true;

    void received(netbuf const& data) override;
    void received_channel(int index, netbuf const& data) override;
    void channel_status(std::string status) override;
    void queue_empty() override;
    void channel_reinit() override;

    int status_count(std::string const& status);
    bool wait_status(std::string const& status, int count = 1, int64_t ms = generous_ms);
    bool wait_packets(std::size_t count, int64_t ms = generous_ms);
    std::vector<std::string> statuses();
    std::vector<std::pair<int, std::string>> packets();
    std::vector<std::string> raw();
    int reinits();

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::string> m_statuses;
    std::vector<std::pair<int, std::string>> m_packets;
    std::vector<std::string> m_raw;
    int m_reinits = 0;
};

// Shuts a twin link when it goes out of scope: declared after the ends, it
// lets their stop find no partner to wait for.
struct link_closer {
    std::shared_ptr<twin_link> link;
    ~link_closer() { link->shutdown(); }
};

// A reliable channel with a recording host, for the tests to start.
struct end {
    rulo::object<host_sink> host{new host_sink};
    rulo::object<rulo::rptSafeChannel> channel{new rulo::rptSafeChannel(control_index, host)};
    end() { host->channel = channel.get(); }
    // Stops the channel at once and waits for its worker to end.
    ~end();
};

// A control message as a peer sends it (fields pushed so that the name pops first).
netbuf init_message(uint64_t count, std::string const& challenge, bool fragmenter = true, bool vint = true);
netbuf rcount_message(uint64_t count);
netbuf auth_message(std::string const& digest);
// Data with the fragment trailer.
netbuf fragment(std::string const& data, int type);
// Splits a received data packet into its data and fragment type.
std::pair<std::string, int> unframe(std::string const& packet);

bool wait_until(std::function<bool()> const& done, int64_t ms = generous_ms);

} // namespace safe_kit
