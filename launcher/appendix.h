// Finding the appendix behind the launcher's own image and running its
// records in order.
#pragma once

#include "launcher/start.h"

#include <cstddef>
#include <optional>
#include <string_view>

namespace launcher {

// Reads /proc/self/exe and maps the own file read-only.
bool open_self(launch_state& s);

// Offset of the first "END_OF_BINARY\n" in the image, if any.
std::optional<std::size_t> find_marker(std::string_view image);

// Runs the records after the marker, then a pending start. False on the first
// failure (the caller then takes the error end).
bool run_appendix(launch_state& s, std::string_view appendix);

} // namespace launcher
