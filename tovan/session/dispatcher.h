// The dispatcher of text commands: owns the connection state and its
// transitions, the reconnect ladder, the reactions to the session channel's
// status and to the session messages of the remote end and the server.
//
// States (low four bits compared): 0 none, 1 desk getting its code, 3 closing
// or continuing, 4 connecting the session channel, 5 desk waiting for the
// remote end, 6 connected, 7 reconnecting after a break.
//
// Reconnection runs on one ladder: a failed attempt, and a session channel
// that breaks before the other end answered on its new leg, count one
// failure each (the next attempt after count x 2 s, the user asked from the
// tenth on); a channel that had reached the other end is tried again at once.
// Only the other end's answer ("channel_status_session_connect") resets it.
//
// Runs on the GUI thread only, one entry at a time; what it needs of the
// program goes through dispatch_host. It owns the session's state (see
// session_state.h for who may touch which value).
#pragma once

#include "tovan/session/command_queue.h"
#include "tovan/session/dispatch_host.h"
#include "tovan/session/session_state.h"

#include <cstdint>
#include <map>
#include <string>

namespace vyn {

class dispatcher {
public:
    dispatcher(dispatch_host& host, command_queue& queue) : m_host(host), m_queue(queue) {}

    session_state& state() { return m_s; }

    // Takes one entry off the queue and runs it; false when it was empty.
    bool dispatch_next();
    void dispatch(command_entry const& entry);

    // The first word of the commands that only the program itself may queue.
    static bool is_internal(std::string const& text);

private:
    bool is_connected() const { return (m_s.state & 15) >= 6; }
    void run_steps(std::string cmd, origin from);
    void stopped(std::string const& cmd);
    void connected(std::string const& cmd);
    void reconnect_continues();
    void adsl_fix(std::string const& arg);
    void session_map(std::string const& cmd);
    void local_command(std::string const& cmd);
    static bool handled_by_a_step(std::string const& cmd);
    // One step of the retry ladder: counts a failure when asked, asks the
    // user from the tenth on (false: the user gave up, the dispatch stops)
    // and schedules the next attempt after count x 2 s.
    bool ladder(bool count, bool restored);
    // A text from the server: in the chat under its label (the map's
    // "cp_label", else the server's name) and in a message box, as asked.
    void server_says(std::string text, std::map<std::string, std::string> const& map, bool chat, bool box);

    dispatch_host& m_host;
    command_queue& m_queue;
    session_state m_s;
};

} // namespace vyn
