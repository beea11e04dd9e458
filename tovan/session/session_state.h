// The one home of the session's state: every value the session logic reads
// or writes lives here once, and the dialog, the dispatcher, the connector
// and the plugin host read it here instead of keeping copies.
//
// Who owns what, and which thread may touch it:
// - session_state is owned by the dispatcher, which the dialog's session
//   owns. Its plain fields belong to the GUI thread: only the dispatcher, the
//   session's GUI tick and the dialog's slots read or write them.
// - session_shared (its base) holds the values that other threads read or
//   learn, each of them one atomic or behind one lock:
//   - state: the connection state (0, 1, 3 to 7; the low four bits
//     compared). Only the GUI thread writes it; the session's readers and
//     the plugins read it from their threads.
//   - in_connection: the person still wants the connection. Written on the
//     GUI thread (Connect, the dispatcher, the shut-down) and by an attempt
//     on its end-of-connection path; read by the attempt and by a worker
//     that waits for the GUI.
//   - flags: the status bits ("gui-update-status"); plugins change them from
//     their own threads, the look and the notifications read them, a session
//     that comes up clears them.
//   - ids: the session's code, id, key, the desk's private text, the fourth
//     text of a create and the channel's secret pair. Connect takes them from
//     the connect parameters; the attempt writes what the server gave it;
//     the session map of the desk writes them on the client; the stop
//     empties the code.
//   - peer_version: the remote end's version; the dispatcher writes it, the
//     plugin host reads it from the plugins' threads.
//   - old_peer: the remote end speaks the old protocol; the dispatcher
//     writes it when the session comes up, the system lines read it also on
//     the plugins' threads ("system_message").
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>

namespace vyn {

// One atomic value that copies as its value (the fixtures copy states).
template <class T>
class shared_value {
public:
    shared_value(T v = T()) : m_v(v) {}
    shared_value(shared_value const& o) : m_v(o.m_v.load()) {}
    shared_value& operator=(shared_value const& o) {
        m_v = o.m_v.load();
        return *this;
    }
    shared_value& operator=(T v) {
        m_v = v;
        return *this;
    }
    operator T() const { return m_v.load(); }
    T load() const { return m_v.load(); }
    std::atomic<T>& atomic() { return m_v; }

private:
    std::atomic<T> m_v;
};

// One value behind its own lock; get() copies it out under the lock.
template <class T>
class locked_value {
public:
    locked_value() = default;
    locked_value(locked_value const& o) : m_v(o.get()) {}
    locked_value& operator=(locked_value const& o) {
        set(o.get());
        return *this;
    }
    locked_value& operator=(T v) {
        set(std::move(v));
        return *this;
    }
    T get() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_v;
    }
    void set(T v) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_v = std::move(v);
    }
    // Changes the value in place under the lock; f must not block.
    template <class F>
    void update(F&& f) {
        std::lock_guard<std::mutex> lock(m_mutex);
        f(m_v);
    }

private:
    mutable std::mutex m_mutex;
    T m_v{};
};

struct session_ids {
    std::string code, sid, key, desk_private, aux;
    std::string secret_local, secret_remote; // a restored channel's pair
};

struct session_shared {
    shared_value<int64_t> state{0};
    shared_value<bool> in_connection{false};
    shared_value<uint64_t> flags{0};
    locked_value<session_ids> ids;
    locked_value<std::string> peer_version;
    shared_value<bool> old_peer{false};
};

struct session_state : session_shared {
    int64_t next_retry_ms = 0; // 0: no retry due
    int32_t retry_count = 0;
    std::map<std::string, std::string> connect_params;
    bool connection_up = false;
    bool look_dirty = false, layout_dirty = false;
    std::string pending_text;
    int64_t session_seconds = 0;
    int64_t clock_time = 0;
    std::string eos_dialog, open_at_end;
    bool send_chat_transcript = false, send_chat_live = false;
    // The session's chat as shown (HTML), as plain text, and as the
    // transcript keeps it; UTF-8. A stop empties all three.
    std::string chat_html, chat_plain, chat_transcript_html;
    bool auto_close = false, from_wex = false, is_client = false;
    bool plugins_empty = true; // the server's plugin catalogue has not come yet
    // The session channel reached the other end since it last broke.
    bool peer_reached = false;
    std::map<std::string, bool> wanted_plugins;
    std::set<std::string> option_components; // components of the application options

    // The parameters came from a saved connection (a restored start).
    bool restored() const {
        auto at = connect_params.find("__restore_connection__");
        return at != connect_params.end() && at->second == "true";
    }
    std::string param(char const* key) const {
        auto at = connect_params.find(key);
        return at == connect_params.end() ? std::string() : at->second;
    }

    // The session's stop will show an end-of-session dialog, so the window
    // must not close before it. In state 0 no stop is coming that would show
    // one (nor close the window after it): a dialog text kept then holds
    // nothing back.
    bool end_dialog_pending() const { return !eos_dialog.empty() && state.load() != 0; }
};

} // namespace vyn
