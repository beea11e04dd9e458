#include "tovan/session/session_sinks.h"

#include "rulo/packet.h"

#include <chrono>
#include <thread>

namespace vyn {

void connection_reader::received(netbuf const&) {
    // Data without a sub-channel index: only a peer of the old protocol
    // sends it.
    m_target.stamp_life_sign();
    if (m_target.connection_state() > 5) return;
    m_target.handle_command(origin::local, "my_intern_connected_old");
    // Gives the dispatcher time to switch before the next delivery.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
}

void connection_reader::received_channel(int index, netbuf const& data) {
    m_target.stamp_life_sign();
    if (index == text_channel) {
        m_target.handle_command(origin::peer, data.to_string());
        return;
    }
    if (index == chat_channel) {
        m_target.push_chat(data.to_string());
        return;
    }
    m_target.route_packet(index, data);
}

void connection_reader::channel_status(std::string status) {
    m_target.handle_command(origin::local, "channel_status_" + status);
}

void connection_reader::channel_reinit() {
    m_target.handle_command(origin::local, "my_intern_reconnect");
    m_target.send_version();
}

void session_messages::func(netbuf const& body, rulo::object<reply>) {
    m_target.handle_command(origin::server, body.to_string());
}

void post_msg_messages::message(rulo::object<rulo::rptMsg>, std::string name, netbuf& body) {
    std::string line = "Post message function [" + name + "]:";
    for (;;) {
        std::string s;
        try {
            rulo_packet_pop(body, s);
        } catch (...) {
            break;
        }
        line += " [" + s + "]";
    }
    m_target.log(line);
}

void post_msg_messages::broken_msg() {
    m_target.log("Post data connection closed.");
}

void desktop_payload(std::string const& cmd, std::string& plugin, netbuf& payload) {
    plugin = "desktop";
    payload = netbuf();
    if (cmd.rfind("fwd_cmd ", 0) == 0) {
        netbuf rest = netbuf::from_string(cmd.substr(8));
        std::string name;
        rulo_packet_pop(rest, name);
        plugin = name;
        payload = rest;
    } else {
        rulo_packet_push(payload, cmd);
    }
    rulo_packet_push(payload, std::string("compatibility-cmd"));
}

} // namespace vyn
