// What the log file shows of a text command: the log is readable by a person
// and by text tools, and holds no secret.
#pragma once

#include <string>

namespace vyn {

// text as it may be logged. A session map (a packed string map, as the ends
// and the server send) keeps its form, with the values of the session key,
// the reconnect secrets and any password replaced by "***". Every byte that is
// not printable text (controls, DEL, bytes outside a well-formed UTF-8
// sequence) is written as \xNN, so a packet's length bytes or a plugin
// package's bytes never make the log binary. Pure; throws nothing.
std::string loggable_command(std::string const& text);

// Command-line words as they may be logged: the word after "--password" and
// the value of any option whose name ends in "password" ("...password=VALUE",
// up to the next "&", blank or quote) become "***".
std::string loggable_arguments(std::string const& text);

} // namespace vyn
