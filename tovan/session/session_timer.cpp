#include "tovan/session/session_timer.h"

namespace vyn {

void session_timer::tick(session_state& s, std::atomic<int64_t>& life_sign) {
    ++m_ticks;
    int64_t const now = m_host.now_ms();

    if (s.next_retry_ms != 0 && s.next_retry_ms < now) {
        s.next_retry_ms = 0;
        if (s.in_connection) m_host.handle_command(origin::local, "channel_start_all");
    }

    if ((s.state & 15) >= 6) {
        // A stamp made after "now" was read is no silence at all (a plain
        // unsigned difference would read it as ages).
        int64_t const last = life_sign.load();
        int64_t const silent_s = last >= now ? 0 : (now - last) / 1000;
        if (silent_s > silence_down_s) {
            if (s.connection_up) {
                s.connection_up = false;
                report_down(life_sign, now);
            } else if (silent_s >= 80) {
                report_down(life_sign, now);
            }
        } else if (!s.connection_up) {
            s.connection_up = true;
            m_host.system_message("CONNECTION_UP");
            m_host.connection_callback("up");
        }
    }

    if (m_ticks % 40 == 0) {
        try {
            m_host.rpc_ping();
        } catch (...) {
            // the next period tries again
        }
    }
    if (m_ticks % 80 == 0 && !s.old_peer && (s.state & 15) >= 6) {
        try {
            m_host.send_ping_call();
        } catch (...) {
        }
    }
}

void session_timer::report_down(std::atomic<int64_t>& life_sign, int64_t now) {
    m_host.system_message("CONNECTION_DOWN");
    life_sign = now - 41000;
    m_host.connection_callback("down");
}

} // namespace vyn
