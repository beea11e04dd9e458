// The packer's manifest: one appendix record per line.
//
//   # comment                          blank lines and lines starting with '#' are skipped
//   archive <dir> <entry> <source>...  type 1: an archive, entry names paired with source files
//   lzma <dir> <entry> <source>...     type 7: the same archive, LZMA-alone compressed
//   start <name>                       type 2: start a written file as a program now
//   start-library <name>               type 3: start a written file as a library now
//   seal                               type 4: files written after this may not be started
//   run <name>                         type 5: start as a program after the last record
//   run-library <name>                 type 6: start as a library after the last record
//   copy-self <name>                   type 8: copy the launcher's own file into the slot
//   delete-self                        type 9: delete the launcher's own file
//   end [<text>]                       type 0: ends the appendix, <text> is padding
//
// Words are separated by blanks; a word in double quotes may hold blanks, with
// \" and \\ inside it. Start names are relative to the slot: an entry of the
// first archive by its own name, an entry of a later archive as "<dir>/<entry>".
// A relative source path is taken from the manifest's own folder.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace packer {

struct archive_entry {
    std::string name;   // path inside the archive's directory
    std::string source; // file the bytes come from ("" when `data` is given)
    std::string data;   // the bytes, filled by load_sources or by hand
};

struct manifest_record {
    std::uint8_t type = 0;
    std::string name;                   // directory (types 1, 7), file name (2, 3, 5, 6, 8), padding (0)
    std::vector<archive_entry> entries; // types 1 and 7
    unsigned line = 0;                  // manifest line, for messages
};

// Parses a manifest text; throws pack_error naming the line of the first fault.
// Relative sources are joined to `base_dir` (empty: left as they are).
std::vector<manifest_record> parse_manifest(std::string_view text, std::string const& base_dir = "");

// The whole file; throws pack_error naming it when it cannot be read.
std::string read_source(std::string const& path);

// Reads every entry's source file into its data; throws pack_error naming the file.
void load_sources(std::vector<manifest_record>& records);

} // namespace packer
