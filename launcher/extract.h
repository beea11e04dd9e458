// Unpacking archives into the cache slot: LZMA-alone decoding, checking an
// archive container, and writing its entries under the base.
#pragma once

#include "launcher/start.h"

#include <string>
#include <string_view>
#include <sys/types.h>

namespace launcher {

// Decodes an LZMA-alone stream whose header states its real unpacked size
// (below 4 GiB). False for a bad header, a stream that decodes short or
// corrupt, or when memory is short; errno then tells why where it can.
bool decode_lzma_alone(std::string_view stream, std::string& out);

// Checks the whole container (lengths and names) before anything is written.
bool is_valid_archive(std::string_view data);

// Unpacks one archive: the first one claims a slot (trying the 20 cache
// roots), later ones go into a directory of the slot named by the archive.
bool extract_archive(launch_state& s, std::string_view data);

// Writes one file under the base, making the directories of its path first,
// and records it for the clean-up.
bool write_entry(launch_state& s, std::string_view name, std::string_view data, mode_t mode);

} // namespace launcher
