// Writes a packed launcher: the launcher's executable image, the end marker,
// and the appendix records of a manifest, in the byte format the launcher reads
// (launcher/appendix_format.h).
//
// The packer refuses, before writing anything, every name and every record
// order the launcher would refuse at run time, so a packed file that builds is
// one whose records the launcher accepts.
#pragma once

#include "tools/packer/manifest.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace packer {

// Checks the records as the launcher would run them: safe directory and entry
// names, start names that name a file written earlier (as a path relative to
// the slot) and not written after the last seal, copy names, sizes that fit the
// 32-bit length fields. Throws pack_error naming the manifest line.
void check_records(std::vector<manifest_record> const& records);

// The archive container of one archive record (its entries' data must be loaded).
std::string archive_container(manifest_record const& archive);

// The appendix: every record in order and a closing type 0 (with the padding of
// an "end" record, if any). Calls check_records first; copies every entry's data.
std::string build_appendix(std::vector<manifest_record> const& records, std::uint32_t lzma_level = 6);

// True when `image` holds the 14-byte marker anywhere: such an image would be
// read as a launcher whose appendix starts inside its own code.
bool contains_marker(std::string_view image);

// Image + marker + appendix. Throws pack_error when the image holds the marker.
std::string pack_launcher(std::string_view image, std::vector<manifest_record> const& records,
                          std::uint32_t lzma_level = 6);

} // namespace packer
