// The session steps of the GUI tick (every 250 ms): the deferred retry of a
// failed attempt, the watchdog on the remote end's silence, the control
// link's keep-alive (every 40 ticks) and the "ping_call" to the remote end
// (every 80 ticks). The chat display and the look refreshes are the
// dialog's own.
//
// Threads: the GUI thread ticks; the life sign is stamped by the session
// reader on a poller thread, so it is an atomic here.
#pragma once

#include "tovan/session/dispatcher.h"

#include <atomic>
#include <cstdint>
#include <string>

namespace vyn {

class timer_host {
public:
    virtual ~timer_host() = default;
    virtual int64_t now_ms() = 0;
    virtual void handle_command(origin from, std::string text) = 0;
    // A translated system line in the chat, not sent to the peer.
    virtual void system_message(std::string const& key) = 0;
    // "up" or "down" to the plugins that listen on the connection.
    virtual void connection_callback(std::string const& what) = 0;
    // Pings the control link / sends "ping_call" on the session channel;
    // may throw (swallowed).
    virtual void rpc_ping() = 0;
    virtual void send_ping_call() = 0;
};

class session_timer {
public:
    static constexpr int64_t silence_down_s = 40;

    explicit session_timer(timer_host& host) : m_host(host) {}
    // One tick's session steps, in order.
    void tick(session_state& s, std::atomic<int64_t>& life_sign);
    uint64_t ticks() const { return m_ticks; }

private:
    void report_down(std::atomic<int64_t>& life_sign, int64_t now);

    timer_host& m_host;
    uint64_t m_ticks = 0;
};

} // namespace vyn
