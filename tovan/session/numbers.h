// Numbers read from texts that came from the peer, the server or the user:
// range-checked, so that an oversized value is refused instead of wrapping.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace vyn {

// Reads an optional sign and the decimal digits at the start of text (after
// leading blanks), stopping at the first other character; no digits read as
// 0. Empty when the value lies outside [low, high].
std::optional<int64_t> leading_decimal(std::string_view text, int64_t low, int64_t high);

// A session id "n:m" with both parts decimal 32-bit values and nothing else.
bool parse_session_id(std::string_view sid, int32_t& first, int32_t& second);

// The send-limit commands by their stored "mtu_fix_v" value (0, 1, 2).
inline constexpr char const* mtu_fix_commands[] = {"adsl_fix normal", "adsl_fix 450", "adsl_fix 150"};

} // namespace vyn
