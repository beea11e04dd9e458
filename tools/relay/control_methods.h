// The desk's control methods on a "VYNRPC" channel: a call body is a packet
// whose method number (signed 64) is read first, then its arguments; the
// reply is a packet read status first: 2 done, 3 and a value, or 1, an error
// code and an optional text. A body that holds no method number is answered
// with an empty reply as before, so plain RPC tests keep working.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace relay {

class connection;
class relay_server;

// Answers (or, when a switch says so, ignores) one call that arrived on
// `channel` of `c`, and does what the method asks of the sessions.
void answer_control_call(relay_server& server, connection& c, std::uint64_t channel,
                         std::string const& call_id, std::string_view body);

// The reply bodies, for the tests' reference and the relay's own use.
std::string reply_done();
// An error reply; the text, when given, follows the code.
std::string reply_error(long long code, std::string const& text = "");

} // namespace relay
