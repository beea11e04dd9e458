// The relay's state file: the sessions it knows, so that a relay started
// again with the same file keeps them. One line a session, fields separated
// by one blank:
//
//   session <sid> <code> <key> <desk_private>
//   |       |n:m  |9 digits|32 hex |32 hex
//
// The file holds the keys of the sessions: it is written with mode 0600,
// into a temporary file beside it that is then renamed over it, so a reader
// sees the old sessions or the new ones, never half a file.
//
// Pure text functions plus the one write; no lock, no thread of its own.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace relay {

struct stored_session {
    std::string sid, code, key, desk_private;
};

std::string format_sessions(std::vector<stored_session> const& sessions);

// Reads what format_sessions wrote. Throws std::invalid_argument naming the
// line for anything else (a wrong field, more than max_sessions lines, a
// repeated sid or code): a relay must not start on sessions it misread.
std::vector<stored_session> parse_sessions(std::string_view text, std::size_t max_sessions);

// The file's text; empty when it does not exist. Throws std::runtime_error
// when it exists but cannot be read.
std::string read_state_file(std::string const& path);

// Writes text to path + ".tmp" (mode 0600), then renames it over path.
// Throws std::runtime_error with the failing step and errno's text.
void write_state_file(std::string const& path, std::string const& text);

} // namespace relay
