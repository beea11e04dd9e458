// The per-user cache: roots under a prefix ("/tmp" in the shipped launcher),
// numbered slots inside them, the slot lock "writeacc.dat" and the marker
// "remove.dir" that lets a later launch wipe a slot nobody holds.
#pragma once

#include "launcher/launch_state.h"

#include <optional>

#include <string>
#include <string_view>

namespace launcher {

inline constexpr unsigned cache_root_count = 20;
inline constexpr unsigned slots_per_root = 200;

// The directory the cache roots are made in. Only a test build of the
// launcher changes it (so parallel tests each get a private cache).
void set_cache_prefix(std::string prefix);

// prefix + "/SepraCache_<euid>_<n>".
std::string cache_root(unsigned n);

// Creates the directory with mode 0700 (an existing one is fine) and then
// requires it to be a real directory owned by the effective user with no
// group or other write bit, so nobody else can swap what is inside.
bool make_private_directory(const std::string& path);

// Tries the slots 1..200 under base (root + "/" + first archive's directory);
// on success the slot is locked, marked, the working directory, the base,
// and first in LD_LIBRARY_PATH.
bool claim_slot(launch_state& s, const std::string& base);

// Takes the exclusive lock on directory + "/writeacc.dat", closing any lock
// held before. Never blocks; logs a refusal by another holder.
bool lock_slot(launch_state& s, const std::string& directory);

// With create, makes directory + "/remove.dir"; without, tells whether it is there.
bool slot_marker(const std::string& directory, bool create);

// Deletes a stale slot's contents without following symbolic links; with top,
// the slot itself goes only when nothing but its two marker files remained.
bool remove_slot_tree(const std::string& directory, bool top);

// LD_LIBRARY_PATH = front, then ":" and rest when rest is set and not empty
// (an empty element would mean the current directory); logs the new value.
void set_library_path(const std::string& front, const std::optional<std::string>& rest);

} // namespace launcher
