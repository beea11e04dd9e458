#include "rulo-rpt/channel/rptSafeChannel.h"

#include "rulo/clock.h"
#include "rulo/errlog.h"
#include "rulo/exception.h"
#include "rulo/hash.h"
#include "rulo/lock.h"
#include "rulo/packet.h"
#include "rulo/random.h"
#include "rulo/text.h"
#include "rulo/thread.h"

#include <array>
#include <climits>
#include <memory>
#include <sstream>

namespace rulo {

namespace {

char const* const log_prefix = "rptSafeChannel";
char const* const send_prefix = "rptSafeChannel::handle_send";
char const* const receive_prefix = "reliable channel";
char const* const thread_prefix = "rptSafeChannel thread";

// Control and initial packets go before everything else.
constexpr int control_priority = -100001;
constexpr int initial_priority = -100000;

enum fragment_type { whole = 0, more = 1, last = 2 };

std::string pointer_text(void const* p) {
    std::ostringstream s;
    s << std::hex << reinterpret_cast<uintptr_t>(p);
    return s.str();
}

// Takes as long for every pair of equal-length digests, wherever they differ.
bool same_digest(std::string const& a, std::string const& b) {
    if (a.size() != b.size()) return false;
    unsigned char diff = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i]) ^ static_cast<unsigned char>(b[i]);
    return diff == 0;
}

netbuf trailer(int type) {
    netbuf header;
    rulo_packet_push(header, type);
    return header;
}

// The bytes pushing trailer(type) appends to a packet (pushing appends bytes
// that depend on the value alone): made once, appended to every fragment.
std::string const& trailer_bytes(int type) {
    static std::array<std::string, 3> const bytes = [] {
        std::array<std::string, 3> out;
        for (int t = whole; t <= last; ++t) {
            netbuf b;
            rulo_packet_push(b, trailer(t));
            out[std::size_t(t)] = b.to_string();
        }
        return out;
    }();
    return bytes[std::size_t(type)];
}

netbuf init_message(uint64_t count, std::string const& challenge) {
    netbuf m;
    xstd::packet_push(m, std::string("init"), count, true, challenge, true);
    return m;
}

} // namespace

// The connect loop of one channel; holds the channel until the loop ends.
class sc_thread : public thread {
public:
    explicit sc_thread(object<rptSafeChannel> channel) : thread(true, "", 0), m_channel(std::move(channel)) {}

protected:
    void run() override {
        try {
            m_channel->run_();
        } catch (...) {
            // the loop ends only through its own checks; nothing is left to tell
        }
        rulo_lock_guard lock;
        m_channel->m_worker = false;
    }

private:
    object<rptSafeChannel> m_channel;
};

// The graceful stop: lets the queues drain until the deadline, then stops.
class rsc_stop : public thread {
public:
    rsc_stop(object<rptSafeChannel> channel, int64_t deadline)
        : thread(true, "", 0), m_channel(std::move(channel)), m_deadline(deadline) {}

protected:
    void run() override {
        try {
            while (!m_channel->check_stop_(m_deadline)) {
                int64_t poll = 0;
                {
                    rulo_lock_guard lock;
                    poll = m_channel->m_timing.stop_poll_ms;
                }
                Sleep(static_cast<unsigned>(poll));
            }
        } catch (...) {
            // a stop that fails leaves nothing to report to
        }
    }

private:
    object<rptSafeChannel> m_channel;
    int64_t m_deadline;
};

std::string get_challenge(int n) {
    return xstd::get_random_bytes(n);
}

rptSafeChannel::rptSafeChannel(int control_index, object<rptSafeChannelSink> sink)
    : m_sink(std::move(sink)), m_last_ack(static_cast<uint64_t>(relative_time())),
      m_next_ack(timing{}.first_ack), m_control(control_index) {}

rptSafeChannel::~rptSafeChannel() = default;

void rptSafeChannel::set_timing(timing const& t) {
    rulo_lock_guard lock;
    m_timing = t;
    m_next_ack = t.first_ack;
}

void rptSafeChannel::start(object<rptChannelFactory> factory, bool initiator, int initial_index,
                           netbuf const& initial_packet) {
    rulo_lock_guard lock;
    if (m_started || m_state == stopped) throw exception::function("start");
    m_initial_index = initial_index;
    m_initial_packet = initial_packet;
    set_priority(m_control, control_priority);
    set_priority(initial_index, initial_priority);
    m_init_pending = false;
    m_fragmenter = false;
    m_legacy = false;
    m_initiator = initiator;
    m_factory = std::move(factory);
    std::unique_ptr<sc_thread> worker(new sc_thread(object<rptSafeChannel>(this)));
    worker->detach();
    worker.release(); // deletes itself at its end
    m_started = true;
    m_worker = true;
}

void rptSafeChannel::set_priority(int index, int priority) {
    rulo_lock_guard lock;
    m_priorities[priority].insert(index);
}

void rptSafeChannel::set_secret(std::string const& verification, std::string const& answer,
                                bool reconnect_restart) {
    rulo_lock_guard lock;
    m_secrets = {verification, answer};
    m_reconnect_restart = reconnect_restart;
}

std::pair<std::string, std::string> rptSafeChannel::get_secret() const {
    rulo_lock_guard lock;
    return m_secrets;
}

std::string rptSafeChannel::get_reconnect_auth() {
    rulo_lock_guard lock;
    if (m_challenge.empty()) {
        m_awaiting_auth = true;
        m_challenge = get_challenge(16);
    }
    return m_challenge;
}

int rptSafeChannel::state() const {
    rulo_lock_guard lock;
    return m_state;
}

bool rptSafeChannel::worker_running() const {
    rulo_lock_guard lock;
    return m_worker;
}

uint64_t rptSafeChannel::received_count() const {
    rulo_lock_guard lock;
    return m_received;
}

uint64_t rptSafeChannel::sent_count() const {
    rulo_lock_guard lock;
    return m_sent;
}

std::size_t rptSafeChannel::unacknowledged() const {
    rulo_lock_guard lock;
    return m_unacked.size();
}

std::size_t rptSafeChannel::queued() const {
    rulo_lock_guard lock;
    std::size_t n = 0;
    for (auto const& q : m_queues) n += q.second.size();
    return n;
}

bool rptSafeChannel::framed_index_(int index) const {
    return m_fragmenter && index != m_initial_index && index != m_control;
}

void rptSafeChannel::enqueue_(int index, netbuf const& data) {
    std::deque<netbuf>& queue = m_queues[index];
    if (!framed_index_(index)) {
        queue.push_back(data);
        return;
    }
    int const size = data.size();
    if (size <= fragment_size) {
        netbuf packet(data);
        packet.append(trailer_bytes(whole));
        queue.push_back(packet);
        return;
    }
    for (int offset = 0; offset < size; offset += fragment_size) {
        netbuf slice(data, offset, fragment_size);
        slice.append(trailer_bytes(offset + fragment_size >= size ? last : more));
        queue.push_back(slice);
    }
}

void rptSafeChannel::send(int index, netbuf const& data) {
    rulo_lock_guard lock;
    if (m_state == stopped || m_stopping) throw exception::function("send");
    enqueue_(index, data);
    // What cannot leave now leaves on the next queue_empty() or "rcount", or
    // once a new connection is up: nothing for the worker to do.
    handle_send_();
}

void rptSafeChannel::reconnect() {
    rulo_lock_guard lock;
    if (m_state == stopped) return;
    fmt_dbg(log_prefix).log("reconnect()");
    switch_state_(connect_requested);
    m_wake.post();
}

void rptSafeChannel::stop(long seconds) {
    rulo_lock_guard lock;
    fmt_dbg(log_prefix).fmt_verbose("stop(), stopping=%1%", m_stopping);
    if (m_stopping) return;
    m_stopping = true;
    int64_t const deadline = add_saturated(relative_time(), seconds_to_ms(seconds));
    try {
        std::unique_ptr<rsc_stop> stopper(new rsc_stop(object<rptSafeChannel>(this), deadline));
        stopper->detach();
        stopper.release();
    } catch (...) {
        // no thread to wait with: stop now
        check_stop_(INT64_MIN);
    }
}

void rptSafeChannel::switch_state_(int state) {
    if (state != m_state) fmt_dbg(log_prefix).fmt_verbose("switching state: %1% -> %2%", m_state, state);
    m_state = state;
}

void rptSafeChannel::status(std::string const& text) {
    object<rptSafeChannelSink> sink = m_sink;
    if (!sink) {
        fmt_dbg(log_prefix).fmt_verbose("channel_status [%1%], but no event sink to receive...", text);
        return;
    }
    fmt_dbg(log_prefix).fmt_verbose("channel_status [%1%]", text);
    sink->channel_status(text);
}

void rptSafeChannel::clear_session_buffers_() {
    forget_unacknowledged_();
    m_queues.clear();
    m_reassembly.clear();
}

bool rptSafeChannel::check_stop_(int64_t deadline) {
    object<rptChannel> transport;
    object<rptChannelFactory> factory;
    object<rptSafeChannelSink> sink;
    {
        rulo_lock_guard lock;
        if (m_state == stopped) return true;
        // What is queued here, and what the transport still holds, may leave until the deadline.
        bool const draining = !m_queues.empty() || (m_transport && !m_ready);
        if (relative_time() <= deadline && draining) return false;
        switch_state_(stopped);
        m_wake.post();
        transport = std::move(m_transport);
        if (transport) transport->stop();
        status("stopped");
        factory = std::move(m_factory);
        sink = std::move(m_sink);
    }
    return true;
}

// ---------------------------------------------------------------------------
// The worker thread.

void rptSafeChannel::run_() {
    fmt_dbg log(thread_prefix);
    for (;;) {
        m_wake.wait();
        object<rptChannel> held;
        bool need_channel = false;
        {
            rulo_lock_guard lock;
            if (m_state == stopped) {
                log.log("channel stopped, exiting...");
                return;
            }
            if (m_broken_events > 0) {
                --m_broken_events;
                failure_path_();
                continue;
            }
            if (m_transport && (m_state == down || m_state == connect_requested)) {
                log.fmt_verbose("stopping current transport %1%", pointer_text(m_transport.get()));
                held = std::move(m_transport);
            } else if (m_state == down) {
                continue;
            } else {
                need_channel = !m_transport;
            }
        }
        if (held) {
            held->stop();
            held.reset();
            int64_t pause = 0;
            {
                rulo_lock_guard lock;
                pause = m_timing.reconnect_pause_ms;
            }
            // The pause is taken without the framework lock, so every other
            // thread of the program goes on meanwhile; a stop may come in.
            Sleep(static_cast<unsigned>(pause));
            rulo_lock_guard lock;
            if (m_state == stopped) continue;
            failure_path_();
            continue;
        }
        if (need_channel) {
            if (!connect_()) return;
            continue;
        }
        rulo_lock_guard lock;
        handle_send_();
    }
}

void rptSafeChannel::failure_path_() {
    bool const live = m_state == connected || m_state == connect_requested;
    fmt_dbg(thread_prefix).fmt_verbose("exception occured: state=%1%, broken=%2%", m_state, live);
    switch_state_(down);
    m_wake.post();
    if (live) status("broken");
}

bool rptSafeChannel::connect_() {
    fmt_dbg log(thread_prefix);
    object<rptChannelFactory> factory;
    {
        rulo_lock_guard lock;
        if (m_state != connect_requested && m_state != connected) return true;
        log.log("getting fresh channel");
        factory = m_factory;
        m_connecting = true;
        m_connect_broken = false;
        m_early.clear();
    }
    object<rptChannel> fresh;
    char const* failure = nullptr;
    bool repeat = false;
    try {
        if (!factory) throw exception::function("get_channel");
        fresh = factory->get_channel(object<rptChannelSink>(this));
        if (!fresh) throw exception::function("get_channel");
    } catch (cancel_connect const&) {
        failure = "connect_cancelled";
    } catch (repeat_connect const&) {
        failure = "broken";
        repeat = true;
    } catch (...) {
        failure = "connect_failed";
    }
    factory.reset();

    rulo_lock_guard lock;
    m_connecting = false;
    std::vector<std::pair<int, netbuf>> early;
    early.swap(m_early);
    if (m_state == stopped) {
        // A stop came while the factory worked: the new connection is not
        // wanted, and nobody is left to tell about it.
        if (fresh) {
            log.fmt_verbose("stopped while connecting, dropping %1%", pointer_text(fresh.get()));
            fresh->stop();
        }
        return false;
    }
    if (failure) {
        switch_state_(down);
        if (repeat) m_wake.post();
        status(failure);
        return true;
    }
    try {
        m_transport = fresh;
        m_ready = true;
        log.fmt_verbose("new transport %1%", pointer_text(fresh.get()));
        switch_state_(connected);
        m_init_pending = true;
        if (m_initiator) {
            log.fmt_verbose("sending init & rcount %1% to desk (reconnect restart %2%)", m_received,
                            m_reconnect_restart);
            std::string challenge;
            if (m_received == 0 && !m_secrets.second.empty() && m_reconnect_restart) {
                log.log("client is reconnecting");
                challenge = get_reconnect_auth();
            }
            fresh->send(m_control, init_message(m_received, challenge));
        }
        status("connected");
        if (m_connect_broken) {
            broken();
        } else {
            for (auto& e : early) {
                if (!m_transport || m_transport.get() != fresh.get()) break;
                received_channel(e.first, e.second);
            }
        }
    } catch (...) {
        if (m_transport && m_transport.get() == fresh.get()) {
            m_transport.reset();
            fresh->stop();
            ++m_broken_events;
            m_wake.post();
        }
    }
    return true;
}

// ---------------------------------------------------------------------------
// Sending.

void rptSafeChannel::packet_sent_(int index, netbuf const& data) {
    ++m_sent;
    m_unacked.push_back({m_sent, index, data});
    m_unacked_bytes += data.size();
}

void rptSafeChannel::record_acknowledged_(uint64_t count) {
    while (!m_unacked.empty() && m_unacked.front().sequence <= count) {
        m_unacked_bytes -= m_unacked.front().data.size();
        m_unacked.pop_front();
    }
}

void rptSafeChannel::forget_unacknowledged_() {
    m_unacked.clear();
    m_unacked_bytes = 0;
}

bool rptSafeChannel::window_open_() const {
    // Past the peer's acknowledgement step its next "rcount" is due whatever
    // the sizes: below it the window never closes, so it always reopens.
    return m_unacked_bytes < m_timing.window_bytes ||
           m_unacked.size() <= m_timing.first_ack + m_timing.ack_every;
}

bool rptSafeChannel::choose_index_(int& index) {
    for (auto const& level : m_priorities)
        for (int candidate : level.second)
            if (m_queues.count(candidate)) {
                index = candidate;
                return true;
            }
    if (m_queues.empty()) return false;
    auto next = m_queues.lower_bound(m_cursor);
    if (next == m_queues.end()) next = m_queues.begin();
    index = next->first;
    m_cursor = index == INT_MAX ? INT_MIN : index + 1;
    return true;
}

void rptSafeChannel::handle_send_() {
    if (m_sending) return;
    m_sending = true;
    struct sending_done {
        bool& flag;
        ~sending_done() { flag = false; }
    } done{m_sending};
    try {
        while (m_ready && m_state == connected && !m_init_pending && m_transport) {
            object<rptChannel> transport = m_transport;
            if (!m_initial_packet.empty()) {
                fmt_dbg(send_prefix)
                    .fmt_verbose("sending initial packet, %1%:[%2%]", m_initial_index,
                                 m_initial_packet.to_string());
                netbuf initial;
                initial.swap(m_initial_packet);
                // Recorded before it goes: a send that fails leaves it to be resent.
                if (!m_legacy) packet_sent_(m_initial_index, initial);
                transport->send(m_initial_index, initial);
                continue;
            }
            // One batch: packet after packet in the order one packet per
            // queue-empty report would take, each recorded before it goes.
            std::vector<std::pair<int, netbuf>> batch;
            int bytes = 0;
            while (m_legacy || window_open_()) {
                int const cursor = m_cursor;
                int index = 0;
                if (!choose_index_(index)) break;
                auto queue = m_queues.find(index);
                netbuf const& front = queue->second.front();
                if (!batch.empty() && bytes + front.size() > m_timing.batch_bytes) {
                    m_cursor = cursor; // not taken: the next batch starts with it
                    break;
                }
                bytes += front.size();
                if (!m_legacy) packet_sent_(index, front);
                batch.emplace_back(index, front);
                queue->second.pop_front();
                if (queue->second.empty()) m_queues.erase(queue);
            }
            if (batch.empty()) return;
            m_ready = false;
            transport->send_batch(batch);
        }
    } catch (...) {
        fmt_dbg(send_prefix).log("calling broken");
        // The session channel is ended here, so that its connection does not
        // stay open behind a channel that no longer uses it.
        object<rptChannel> transport = std::move(m_transport);
        if (transport) {
            try {
                transport->stop();
            } catch (...) {
            }
            ++m_broken_events;
            m_wake.post();
        }
    }
}

void rptSafeChannel::send_control_(netbuf const& message) {
    object<rptChannel> transport = m_transport;
    if (transport) transport->send(m_control, message);
}

// ---------------------------------------------------------------------------
// Events from the session channel.

void rptSafeChannel::broken() {
    rulo_lock_guard lock;
    fmt_dbg(log_prefix).log("broken()");
    if (!m_transport) {
        // A channel being built breaks before it is installed; a channel this
        // end stopped itself is already accounted for.
        if (m_connecting) m_connect_broken = true;
        return;
    }
    ++m_broken_events;
    m_wake.post();
    fmt_dbg(log_prefix).fmt_verbose("destroying broken transport %1%", pointer_text(m_transport.get()));
    m_transport.reset();
}

void rptSafeChannel::queue_empty() {
    rulo_lock_guard lock;
    m_ready = true;
    // The next batch leaves on this thread, without a hand-off to the worker;
    // from inside a send of this channel the outer call goes on instead.
    handle_send_();
    object<rptSafeChannelSink> sink = m_sink;
    if (sink) sink->queue_empty();
}

void rptSafeChannel::received(netbuf const& data) {
    rulo_lock_guard lock;
    if (m_init_pending) m_wake.post();
    m_init_pending = false;
    m_legacy = true;
    m_fragmenter = false;
    clear_session_buffers_();
    m_initial_packet.clear();
    object<rptSafeChannelSink> sink = m_sink;
    if (sink) sink->received(data);
}

void rptSafeChannel::received_channel(int index, netbuf const& data) {
    rulo_lock_guard lock;
    if (!m_transport) {
        if (m_connecting) m_early.emplace_back(index, data);
        return;
    }
    if (m_init_pending) {
        m_legacy = index != m_control;
        m_wake.post();
        fmt_dbg(receive_prefix).fmt_verbose("connection initialized: old=%1%", m_legacy);
        if (m_legacy) {
            // A peer of the old protocol sends neither trailers nor counts:
            // halves of packets from an earlier peer would be glued to its data.
            forget_unacknowledged_();
            m_reassembly.clear();
            m_fragmenter = false;
        }
        m_init_pending = false;
    }
    if (!m_sink) return;
    netbuf body(data);
    if (index == m_control) {
        handle_control_(body);
        return;
    }
    handle_data_(index, body);
}

void rptSafeChannel::handle_control_(netbuf& data) {
    fmt_dbg log(receive_prefix);
    std::string name;
    rulo_packet_pop(data, name);
    if (name == "rcount") {
        uint64_t count = 0;
        rulo_packet_pop(data, count);
        log.fmt_verbose("received rcount %1%", count);
        m_reconnect_restart = false;
        bool const was_open = window_open_();
        record_acknowledged_(count);
        // The window may have reopened: the next batch leaves from here.
        if (!was_open) handle_send_();
    } else if (name == "auth") {
        std::string digest;
        rulo_packet_pop(data, digest);
        if (m_challenge.empty()) {
            // Nothing was asked: an answer to no question proves nothing.
            log.log("auth without a challenge");
            status("invalid_reconnect");
            return;
        }
        bool const correct = same_digest(digest, get_md5(m_secrets.first + m_challenge));
        log.fmt_verbose("remote authenticated %1%", correct);
        if (correct)
            m_awaiting_auth = false;
        else
            status("invalid_reconnect");
    } else if (name == "init") {
        handle_init_(data);
    }
}

void rptSafeChannel::handle_init_(netbuf& data) {
    // The answer and the resent packets go before anything queued: a
    // queue_empty() from inside their sends must not start a batch.
    bool const outer = m_sending;
    m_sending = true;
    try {
        answer_init_(data);
    } catch (...) {
        m_sending = outer;
        throw;
    }
    m_sending = outer;
    if (!outer) handle_send_();
}

void rptSafeChannel::answer_init_(netbuf& data) {
    fmt_dbg log(receive_prefix);
    uint64_t remote = 0;
    bool fragmenter = false, vint = false;
    std::string challenge;
    xstd::packet_pop(data, remote, fragmenter, challenge, vint);
    bool const switched_on = fragmenter && !m_fragmenter;
    m_fragmenter = fragmenter;
    if (fragmenter) log.log("using packet fragmenter");
    if (switched_on) {
        // Packets queued before the peer said it takes fragments were queued
        // without trailers: give them theirs now, before any of them leaves.
        std::map<int, std::deque<netbuf>> waiting;
        waiting.swap(m_queues);
        for (auto& q : waiting)
            for (netbuf const& p : q.second) enqueue_(q.first, p);
    }
    if (!challenge.empty()) log.log("channel secret auth sent");
    log.fmt_verbose("init remote rcount %1%(l=%2%) - reconnect %3%, our reconnect_restart %4%", remote,
                    m_received, !challenge.empty(), m_reconnect_restart);

    if (!challenge.empty()) {
        bool conflict = false;
        if (remote != 0) {
            log.log("remote sent secret but has rcount greater than zero");
            conflict = true;
        } else if (m_received == 0 && m_reconnect_restart) {
            log.log("remote is reconnecting but we have also reconnect zero");
            conflict = true;
        }
        if (conflict) {
            log.log("try getting out of this mess");
            forget_unacknowledged_();
            status("invalid_reconnect");
        }
        log.log("remote reconnecting");
        remote = 0;
        m_received = 0;
        m_sent = 0;
        clear_session_buffers_();
        m_next_ack = m_timing.first_ack;
    }
    if (!m_transport) return;

    if (!m_initiator) {
        bool const sec = m_received == 0 && m_reconnect_restart && challenge.empty();
        log.fmt_verbose("client sent init, sending back init & rcount %1% & sec %2%", m_received, sec);
        send_control_(init_message(m_received, sec ? get_reconnect_auth() : std::string()));
        if (sec) remote = 0;
    } else {
        log.log("desk sent init");
    }
    if (vint && m_transport) {
        log.log("channel vint sent");
        m_transport->set_vint(true);
    }
    if (!challenge.empty()) {
        log.log("sending reconnect auth");
        netbuf auth;
        xstd::packet_push(auth, std::string("auth"), get_md5(m_secrets.second + challenge));
        send_control_(auth);
        object<rptSafeChannelSink> sink = m_sink;
        if (sink) sink->channel_reinit();
    }
    if (!m_unacked.empty() && m_unacked.front().sequence <= remote) {
        uint64_t const first_dropped = m_unacked.front().sequence;
        record_acknowledged_(remote);
        log.fmt_verbose("deleted already send packets %1%-%2%", first_dropped, remote);
    }
    if (!m_unacked.empty() && challenge.empty() && m_transport) {
        log.fmt_verbose("resending unsent packets %1%-%2%", m_unacked.front().sequence,
                        m_unacked.back().sequence);
        // A copy: an inline answer may acknowledge, and so shorten the list, meanwhile.
        std::deque<packet> resend = m_unacked;
        object<rptChannel> transport = m_transport;
        // In one write: the layers below cut it into their records.
        std::vector<std::pair<int, netbuf>> batch;
        batch.reserve(resend.size());
        for (packet const& p : resend) batch.emplace_back(p.index, p.data);
        transport->send_batch(batch);
        log.log("done");
    }
    m_last_ack = static_cast<uint64_t>(relative_time());
    status("session_connect");
}

void rptSafeChannel::handle_data_(int index, netbuf& data) {
    fmt_dbg log(receive_prefix);
    if (m_awaiting_auth) {
        // The peer claims to have restarted and has not proved it: what it
        // sends is not this session's.
        log.log("protocol error - waiting for auth packet normal packet received");
        forget_unacknowledged_();
        status("invalid_reconnect");
        return;
    }
    ++m_received;
    bool deliver = true;
    if (m_fragmenter && index != m_initial_index) {
        netbuf header;
        rulo_packet_pop(data, header);
        int type = whole;
        rulo_packet_pop(header, type);
        if (type == more) {
            netbuf& parts = m_reassembly[index];
            if (data.size() > m_timing.max_reassembly - parts.size()) {
                // A peer that never ends its packet must not take all memory:
                // the session channel ends and the half packet is dropped.
                m_reassembly.erase(index);
                throw exception::function("received_channel");
            }
            parts.append(data);
            deliver = false;
        } else if (type == last) {
            auto parts = m_reassembly.find(index);
            if (parts != m_reassembly.end()) {
                netbuf joined;
                joined.swap(parts->second);
                m_reassembly.erase(parts);
                joined.append(data);
                data.swap(joined);
            }
        }
    }
    if (deliver) {
        if (!m_first_logged) {
            m_first_logged = true;
            log.fmt_verbose("first packet %1%:[%2%]", index, data.size());
        }
        object<rptSafeChannelSink> sink = m_sink;
        if (sink) sink->received_channel(index, data);
    }
    maybe_ack_();
}

void rptSafeChannel::maybe_ack_() {
    if (m_legacy || !m_transport) return;
    uint64_t const now = static_cast<uint64_t>(relative_time());
    bool const due =
        m_received == m_next_ack || (m_next_ack < m_received + m_timing.ack_every &&
                                     now - m_last_ack >= static_cast<uint64_t>(m_timing.ack_gap_ms));
    if (!due) return;
    m_last_ack = now;
    m_next_ack = m_received + m_timing.ack_every;
    fmt_dbg(receive_prefix).fmt_verbose("sending rcount %1%", m_received);
    netbuf message;
    xstd::packet_push(message, std::string("rcount"), m_received);
    send_control_(message);
}

} // namespace rulo
