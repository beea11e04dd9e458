// The queue of text commands for the GUI thread. Every entry carries where it
// came from: the program's own threads (local), the remote end's text channel
// (peer) or a call of the server (server). Commands that steer the session
// from inside ("channel_status_...", "my_intern_...", "run-in-main ...")
// act only when local, so a peer or server cannot forge them. The request for
// proxy credentials is an entry kind of its own that only a local worker can
// make; its text is never parsed.
//
// Threads: push from any thread; take on the GUI thread. One mutex, held only
// while an entry goes in or out; first in, first out.
#pragma once

#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

namespace vyn {

enum class origin { local, peer, server };

// What a log-in worker hands to the GUI thread when it needs proxy
// credentials: filled by the dialog, then done() is called once.
struct credentials_request {
    virtual ~credentials_request() = default;
    std::string password, user, storage_prefix, text1, text2;
    bool answered = false;
    // True once the worker gave the request up: no window is shown for it.
    // Asked on the GUI thread, under no lock: it reads an atomic of the worker.
    std::function<bool()> withdrawn;
    // Called on the GUI thread after the fields are written; wakes the worker.
    virtual void done() = 0;
};

struct command_entry {
    origin from = origin::local;
    std::string text;
    credentials_request* request = nullptr; // set only for the credentials request
    // Set for a command of a connect attempt: true once the attempt was given
    // up, and the command is then dropped when its turn comes. Asked on the
    // GUI thread, under no lock: it reads an atomic of the attempt.
    std::function<bool()> withdrawn;
};

class command_queue {
public:
    void push(origin from, std::string text, std::function<bool()> withdrawn = {});
    void push_request(credentials_request* request);
    std::optional<command_entry> take();
    std::size_t size() const;

private:
    mutable std::mutex m_mutex;
    std::deque<command_entry> m_queue;
};

} // namespace vyn
