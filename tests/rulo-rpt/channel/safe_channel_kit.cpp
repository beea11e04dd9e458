#include "tests/rulo-rpt/channel/safe_channel_kit.h"

#include "rulo/clock.h"
#include "rulo/exception.h"
#include "rulo/lock.h"
#include "rulo/packet.h"

#include <chrono>
#include <stdexcept>
#include <thread>

namespace safe_kit {

// ---------------------------------------------------------------------------
// tap

void tap::attach(rulo::object<rptTransport> lower, rulo::object<rptTransportSink> upper) {
    rulo::rulo_lock_guard lock;
    m_lower = std::move(lower);
    m_upper = std::move(upper);
}

void tap::drop_incoming() {
    rulo::rulo_lock_guard lock;
    m_drop = true;
}

void tap::hold_drain() {
    rulo::rulo_lock_guard lock;
    m_hold = true;
}

void tap::fail_sends() {
    rulo::rulo_lock_guard lock;
    m_fail = true;
}

void tap::release_drain() {
    rulo::rulo_lock_guard lock;
    m_hold = false;
    rulo::object<rptTransportSink> upper = m_upper;
    if (m_held > 0 && upper) {
        m_held = 0;
        upper->queue_empty();
    }
}

void tap::send(netbuf const& data) {
    rulo::rulo_lock_guard lock;
    rulo::object<rptTransport> lower = m_lower;
    if (!lower || m_fail) throw rulo::exception::function("send");
    ++m_sends;
    lower->send(data);
}

int tap::sends() {
    rulo::rulo_lock_guard lock;
    return m_sends;
}

void tap::disconnect() {
    rulo::object<rptTransport> lower;
    {
        rulo::rulo_lock_guard lock;
        lower = std::move(m_lower);
        m_upper.reset();
    }
    if (lower) lower->disconnect();
}

void tap::set_sink(rulo::object<rptTransportSink> sink) {
    rulo::rulo_lock_guard lock;
    m_upper = std::move(sink);
}

void tap::ioctl(std::string const&, std::string&) {
    throw rulo::exception::function("ioctl");
}

void tap::received(netbuf const& data) {
    rulo::rulo_lock_guard lock;
    rulo::object<rptTransportSink> upper = m_upper;
    if (!m_drop && upper) upper->received(data);
}

void tap::broken() {
    rulo::object<rptTransportSink> upper;
    {
        rulo::rulo_lock_guard lock;
        upper = std::move(m_upper);
        m_lower.reset();
    }
    if (upper) upper->broken();
}

void tap::queue_empty() {
    rulo::rulo_lock_guard lock;
    if (m_hold) {
        ++m_held;
        return;
    }
    rulo::object<rptTransportSink> upper = m_upper;
    if (upper) upper->queue_empty();
}

// ---------------------------------------------------------------------------
// connections

std::unique_ptr<connection> make_connection(rulo::object<rulo::rptChannelSink> a,
                                            rulo::object<rulo::rptChannelSink> b, unsigned seed,
                                            bool pieces) {
    auto c = std::make_unique<connection>();
    c->pair = std::make_unique<test_support::memory_transport_pair>(
        test_support::memory_transport_pair::options{pieces, true, seed});
    rulo::object<rulo::rptChannelSink> sinks[2] = {std::move(a), std::move(b)};
    rulo::object<rptTransport> ends[2] = {c->pair->a, c->pair->b};
    for (int side = 0; side < 2; ++side) {
        c->taps[side] = rulo::object<tap>(new tap);
        c->channels[side] = rulo::object<rulo::rptChannel>(new rulo::rptChannel(sinks[side]));
        c->taps[side]->attach(ends[side], c->channels[side]);
        ends[side]->set_sink(c->taps[side]);
    }
    // Both are started under one hold of the lock, so neither end can hear
    // from the other before it has its own transport.
    rulo::rulo_lock_guard lock;
    for (int side = 0; side < 2; ++side) c->channels[side]->start(c->taps[side]);
    return c;
}

void throw_refusal(refusal r) {
    switch (r) {
    case refusal::none:
        return;
    case refusal::repeat:
        throw rulo::repeat_connect();
    case refusal::cancel:
        throw rulo::cancel_connect();
    case refusal::fail:
        throw std::runtime_error("no route to the relay");
    }
}

// ---------------------------------------------------------------------------
// peer_factory

rulo::object<rulo::rptChannel> peer_factory::get_channel(rulo::object<rulo::rptChannelSink> sink) {
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        ++m_calls;
        m_changed.notify_all();
        throw_refusal(m_refusal);
        if (m_block) {
            m_in_block = true;
            m_changed.notify_all();
            m_changed.wait_for(lock, std::chrono::milliseconds(generous_ms), [&] { return !m_block; });
            m_in_block = false;
        }
    }
    rulo::object<channel_kit::channel_sink> peer_sink(new channel_kit::channel_sink);
    std::unique_ptr<connection> c = make_connection(sink, peer_sink, unsigned(m_calls));
    rulo::object<rulo::rptChannel> mine = c->channels[0];
    std::lock_guard<std::mutex> lock(m_mutex);
    m_peers.push_back({peer_sink, c.get()});
    m_links.push_back(std::move(c));
    m_changed.notify_all();
    return mine;
}

peer_factory::peer peer_factory::wait_peer(std::size_t n, int64_t ms) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_changed.wait_for(lock, std::chrono::milliseconds(ms), [&] { return m_peers.size() > n; }))
        throw std::runtime_error("no connection came");
    return m_peers[n];
}

std::size_t peer_factory::calls() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_calls;
}

void peer_factory::set_refusal(refusal r) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_refusal = r;
}

void peer_factory::block() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_block = true;
}

void peer_factory::release() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_block = false;
    }
    m_changed.notify_all();
}

bool peer_factory::wait_blocked_call(int64_t ms) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(ms), [&] { return m_in_block; });
}

// ---------------------------------------------------------------------------
// twin_link

namespace {

class twin_factory : public rulo::rptChannelFactory {
public:
    twin_factory(std::shared_ptr<twin_link> link, int side) : m_link(std::move(link)), m_side(side) {}
    rulo::object<rulo::rptChannel> get_channel(rulo::object<rulo::rptChannelSink> sink) override {
        return m_link->join(m_side, std::move(sink));
    }

private:
    std::shared_ptr<twin_link> m_link;
    int m_side;
};

} // namespace

std::shared_ptr<twin_link> twin_link::make(unsigned seed, int pieces_every) {
    return std::shared_ptr<twin_link>(new twin_link(seed, pieces_every));
}

void twin_link::shutdown() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closed = true;
    }
    m_changed.notify_all();
}

rulo::object<rulo::rptChannelFactory> twin_link::factory(int side) {
    return rulo::object<rulo::rptChannelFactory>(new twin_factory(shared_from_this(), side));
}

rulo::object<rulo::rptChannel> twin_link::join(int side, rulo::object<rulo::rptChannelSink> sink) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_closed) throw rulo::cancel_connect();
    throw_refusal(m_refusal[side]);
    int const other = 1 - side;
    if (!m_waiting[other]) {
        m_waiting[side] = std::move(sink);
        m_result[side].reset();
        if (!m_changed.wait_for(lock, std::chrono::milliseconds(generous_ms),
                                [&] { return m_closed || bool(m_result[side]); }) ||
            !m_result[side]) {
            m_waiting[side].reset();
            if (m_closed) throw rulo::cancel_connect();
            throw rulo::repeat_connect();
        }
        rulo::object<rulo::rptChannel> mine = std::move(m_result[side]);
        return mine;
    }
    rulo::object<rulo::rptChannelSink> sinks[2];
    sinks[side] = std::move(sink);
    sinks[other] = std::move(m_waiting[other]);
    // Old connections are all broken by now: their delivery threads end here,
    // on a thread that holds no lock.
    std::vector<std::unique_ptr<connection>> old;
    old.swap(m_links);
    unsigned const seed = m_seed++;
    bool const pieces = m_pieces_every > 0 && m_made % std::size_t(m_pieces_every) == 0;
    lock.unlock();
    old.clear();
    std::unique_ptr<connection> c = make_connection(sinks[0], sinks[1], seed, pieces);
    rulo::object<rulo::rptChannel> mine = c->channels[side];
    lock.lock();
    m_result[other] = c->channels[other];
    ++m_made;
    m_links.push_back(std::move(c));
    m_changed.notify_all();
    return mine;
}

void twin_link::break_link(bool drop) {
    connection* c = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_links.empty()) return;
        c = m_links.back().get();
        if (drop)
            for (auto& t : c->taps) t->drop_incoming();
        c->pair->break_link();
    }
}

void twin_link::set_refusal(int side, refusal r) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_refusal[side] = r;
}

std::size_t twin_link::connections() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_made;
}

rulo::object<tap> twin_link::current_tap(int side) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_links.empty()) return {};
    return m_links.back()->taps[side];
}

// ---------------------------------------------------------------------------
// host_sink

void host_sink::received(netbuf const& data) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_raw.push_back(data.to_string());
    }
    m_changed.notify_all();
}

void host_sink::received_channel(int index, netbuf const& data) {
    if (keep_packets) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_packets.emplace_back(index, data.to_string());
    }
    m_changed.notify_all();
    if (on_packet) on_packet(index, data);
}

void host_sink::channel_status(std::string status) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_statuses.push_back(status);
    }
    m_changed.notify_all();
    rulo::rptSafeChannel* c = channel;
    if (status == "broken" && auto_reconnect && c) c->reconnect();
}

void host_sink::queue_empty() {}

void host_sink::channel_reinit() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_reinits;
    }
    m_changed.notify_all();
}

int host_sink::status_count(std::string const& status) {
    std::lock_guard<std::mutex> lock(m_mutex);
    int n = 0;
    for (auto const& s : m_statuses) n += s == status;
    return n;
}

bool host_sink::wait_status(std::string const& status, int count, int64_t ms) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(ms), [&] {
        int n = 0;
        for (auto const& s : m_statuses) n += s == status;
        return n >= count;
    });
}

bool host_sink::wait_packets(std::size_t count, int64_t ms) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(ms), [&] { return m_packets.size() >= count; });
}

std::vector<std::string> host_sink::statuses() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_statuses;
}

std::vector<std::pair<int, std::string>> host_sink::packets() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_packets;
}

std::vector<std::string> host_sink::raw() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_raw;
}

int host_sink::reinits() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_reinits;
}

end::~end() {
    host->auto_reconnect = false;
    try {
        channel->stop(0);
    } catch (...) {
    }
    wait_until(
        [&] { return channel->state() == rulo::rptSafeChannel::stopped && !channel->worker_running(); });
    host->channel = nullptr;
}

// ---------------------------------------------------------------------------
// messages

netbuf init_message(uint64_t count, std::string const& challenge, bool fragmenter, bool vint) {
    netbuf m;
    xstd::packet_push(m, std::string("init"), count, fragmenter, challenge, vint);
    return m;
}

netbuf rcount_message(uint64_t count) {
    netbuf m;
    xstd::packet_push(m, std::string("rcount"), count);
    return m;
}

netbuf auth_message(std::string const& digest) {
    netbuf m;
    xstd::packet_push(m, std::string("auth"), digest);
    return m;
}

netbuf fragment(std::string const& data, int type) {
    netbuf header;
    rulo_packet_push(header, type);
    netbuf m = netbuf::from_string(data);
    rulo_packet_push(m, header);
    return m;
}

std::pair<std::string, int> unframe(std::string const& packet) {
    netbuf b = netbuf::from_string(packet);
    netbuf header;
    rulo_packet_pop(b, header);
    int type = -1;
    rulo_packet_pop(header, type);
    return {b.to_string(), type};
}

bool wait_until(std::function<bool()> const& done, int64_t ms) {
    int64_t const deadline = rulo::relative_time() + ms;
    while (!done()) {
        if (rulo::relative_time() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

} // namespace safe_kit
