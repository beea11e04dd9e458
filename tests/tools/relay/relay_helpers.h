// Shared steps of the relay tests: a client brought up to the secure link,
// control packets built and read with the packet codec over std::string.
#pragma once

#include "rulo/packet.h"
#include "tests/support/relay_process.h"
#include "tests/tools/relay/mux_client.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace relay_test {

// Handshake, channel 1 TLS and the connection keys (empty hash): the state a
// faithful client is in when it opens its channels.
inline std::unique_ptr<mux_client> secure_client(test_support::relay_process& relay) {
    auto c = std::make_unique<mux_client>(relay.port());
    c->handshake();
    c->start_tls();
    std::string keys;
    xstd::packet_push(keys, std::string("connection-keys"), std::string());
    c->send_control(keys, true);
    auto f = c->next_frame();
    if (!f || f->channel != 0 || !f->secure) throw std::runtime_error("no keys answer inside TLS");
    return c;
}

inline std::string command_of(std::string payload) {
    std::string command;
    rulo_packet_pop(payload, command);
    return command;
}

// The "netbuf value" of a packet: bytes, then their size as a signed integer.
inline std::string pop_blob(std::string& b) {
    int size = 0;
    rulo_packet_pop(b, size);
    std::string out = b.substr(b.size() - static_cast<std::size_t>(size));
    b.resize(b.size() - static_cast<std::size_t>(size));
    return out;
}

} // namespace relay_test
