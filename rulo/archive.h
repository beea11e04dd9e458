// The archive container that plugin packages and translations arrive in: an
// LZMA-alone stream whose decoded bytes hold one directory of files.
//
// Container layout (all integers unsigned 32-bit little-endian, no padding):
// dir_len, dir_name, count, then count times name_len, name, size, data.
// Entry names are relative paths with "/" between parts.
//
// The container comes from outside, so it is parsed whole and checked before
// anything is written: every length against the bytes left, every name
// against the rule of archive_names.h. The functions keep no state; they touch
// the file system and may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace rulo {

class lock_directory;

// The largest unpacked size an LZMA-alone header may announce.
constexpr uint32_t max_unpacked_size = 256u << 20;

// Result codes of the extraction functions.
enum extract_result : int {
    extract_ok = 0,
    extract_empty_input = 1,
    extract_bad_stream = 2,
    extract_bad_container = 3, // malformed container or an unsafe name: nothing written
    extract_no_directory = 4,
};

// One file of a parsed container; data points into the parsed bytes.
struct archive_entry {
    std::string name;
    char const* data;
    size_t size;
};

// Splits a container into its directory name and entries. False when it is
// short, has bytes left over, or holds a name archive_names.h refuses. Copies only the names.
bool parse_archive(std::string const& content, std::string& dir_name, std::vector<archive_entry>& entries);

// Decodes an LZMA-alone stream into out (replaced only on success). The
// header must give the unpacked size (not "unknown"), at most
// max_unpacked_size, and the stream must decode to exactly that many bytes
// with no bytes left over.
bool extract_lz_buffer(std::string const& in, std::string& out);

// Writes the container's files under base + "/" + dir_name + suffix (or, with
// lock given, under a freshly locked directory of that name whose lock is
// stored through lock, owned by the caller). base is followed as given; the
// package directory and everything in it are reached without following
// symbolic links, so an entry whose way leads through a link, or a package
// directory that is one, is refused and nothing is written outside. A file
// already at an entry's name is replaced. On success inserts every written
// path into files when given. Returns extract_ok, extract_bad_container or
// extract_no_directory; a failing write or lock throws, after removing every
// file and directory this call made, last made first.
int extract_tar_files(std::string const& base, std::string const& content, std::set<std::string>* files,
                      lock_directory** lock, std::string const& suffix);

// As extract_tar_files on the decoded stream; extract_empty_input for empty
// data, extract_bad_stream when it does not decode.
int extract_lz_files(std::string const& base, std::string const& data, std::set<std::string>* files,
                     lock_directory** lock, std::string const& suffix);

// Extracts into a freshly locked directory and returns its lock, owned by
// the caller, or null. A failing write or lock is retried once under a
// directory name with a random ending; files holds only the paths of the
// attempt that succeeded. Never throws.
lock_directory* extract_lz_files_ex(std::string const& base, std::string const& data,
                                    std::set<std::string>* files);

} // namespace rulo
