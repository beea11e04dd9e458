// Unpacking archives into the cache slot: an archive container, given whole
// or decoded from an LZMA-alone stream piece by piece, is parsed as it
// arrives and its entries are written straight into their files beneath the
// slot, never outside it.
#pragma once

#include "launcher/launch_state.h"

#include <string_view>
#include <sys/types.h>

namespace launcher {

// Unpacks a container held whole (record type 1). It is checked first, so a
// malformed one is refused before anything is made. The first archive claims
// a slot (trying the 20 cache roots), later ones go into a directory of the
// slot named by the archive.
result extract_archive(launch_state& s, std::string_view container);

// The same for the container inside an LZMA-alone stream (record type 7),
// decoded in pieces straight into the files; the pages of the stream already
// read are given back to the system as decoding moves on. A stream or
// container that turns out bad half-way fails, and what the attempt made is
// removed again.
result extract_lzma_archive(launch_state& s, std::string_view stream);

// Writes one file beneath the slot (the copy-self record), making the
// directories of its path first, and records it for the clean-up.
result write_entry(launch_state& s, std::string_view name, std::string_view data, mode_t mode);

} // namespace launcher
