// Finding the appendix behind the launcher's own image and running its
// records in order.
#pragma once

#include "launcher/launch_state.h"

#include <cstddef>
#include <optional>
#include <string_view>

namespace launcher {

// Opens the running file itself (/proc/self/exe, not the path it names, which
// may since have been replaced or deleted) and maps it read-only; keeps that
// path for the log and for deleting the file.
result open_self(launch_state& s);

// Offset of the first "END_OF_BINARY\n" in the image, if any.
std::optional<std::size_t> find_marker(std::string_view image);

// Runs the records after the marker, then a pending start. Stops at the
// first failure and hands it back (the caller then takes the error end).
result run_appendix(launch_state& s, std::string_view appendix);

} // namespace launcher
