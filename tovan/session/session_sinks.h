// The sinks through which the session's channels reach the program: the
// reliable session channel's reader, the server's calls on the control link
// and the named-message channel. Each turns what arrives into a text command
// (tagged with where it came from), a chat line or a packet for a plugin.
//
// Threads: the sinks run on framework threads (pollers, the reliable
// channel's worker, the RPC executor) and reach the program only through
// session_target, whose operations are safe from any thread.
#pragma once

#include "rulo-rpt/channel/rptSafeChannel.h"
#include "rulo-rpt/rpc/rpcWrapper.h"
#include "rulo-rpt/rpc/rptMsg.h"
#include "tovan/session/command_queue.h"

#include <cstdint>
#include <string>

namespace vyn {

class session_target {
public:
    virtual ~session_target() = default;
    virtual void handle_command(origin from, std::string text) = 0;
    virtual void push_chat(std::string line) = 0;
    virtual void stamp_life_sign() = 0;
    virtual int64_t connection_state() = 0;
    // A packet on a plugin's sub-channel: the target hands it to the plugin
    // that owns the sub-channel, or keeps it for the route to come (logging
    // it, and asking for the plugin the low numbers belong to), or drops it
    // once too many wait.
    virtual void route_packet(int index, netbuf const& data) = 0;
    // Sends "version " and the program's version on the text sub-channel.
    virtual void send_version() = 0;
    virtual void log(std::string const& text) = 0;
};

// Sub-channels of the session channel.
constexpr int text_channel = -1;
constexpr int chat_channel = 2;

class connection_reader : public rulo::rptSafeChannelSink {
public:
    explicit connection_reader(session_target& target) : m_target(target) {}
    void received(netbuf const& data) override;
    void received_channel(int index, netbuf const& data) override;
    void channel_status(std::string status) override;
    void queue_empty() override {}
    void channel_reinit() override;

private:
    session_target& m_target;
};

// Calls that the server makes on the control link: each body is a text
// command. The reply handle is dropped, so the framework answers at once.
class session_messages : public rulo::rpcWrapperSink {
public:
    explicit session_messages(session_target& target) : m_target(target) {}
    void func(netbuf const& body, rulo::object<reply> r) override;

private:
    session_target& m_target;
};

// The named-message channel: the desk only logs what comes.
class post_msg_messages : public rulo::rptMsgSink {
public:
    explicit post_msg_messages(session_target& target) : m_target(target) {}
    void message(rulo::object<rulo::rptMsg> from, std::string name, netbuf& body) override;
    void broken_msg() override;

private:
    session_target& m_target;
};

// The payload for a desktop-plugin command: "fwd_cmd " + packet names its
// plugin (the packet's last string) and carries the rest; any other command
// goes to "desktop" as one string. "compatibility-cmd" is pushed on top.
// Throws the packet format's exception for a "fwd_cmd " without a name.
void desktop_payload(std::string const& cmd, std::string& plugin, netbuf& payload);

} // namespace vyn
