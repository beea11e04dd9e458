// The two configuration stores.
//
// The ini store keeps named values, grouped, in "storage.ini" in a directory
// chosen once at start (set_config_storage). The per-key store keeps one
// small file per key in the system-wide or the per-user directory. Both have
// an in-memory override layer that shadows the files until the process ends.
//
// Any thread may call these. The store's recursive mutex (made by
// init_storage) guards the override map and the ini directory only; the file
// reads and writes run outside it, and concurrent writers of one file are not
// ordered. No operation throws for a missing or unreadable value: a read gives
// "" and a failed write is dropped.
#pragma once

#include <string>

namespace xstd {

// Where the per-key store keeps its files. Any other value has no base
// directory: the key's path is taken relative to the working directory.
enum StorageLocation : int {
    storage_system = 0, // "/etc/sepra/"
    storage_user = 1,   // the home directory's ".sepra/"
};

// Any value other than storage_disk keeps the value in memory only.
enum StorageType : int {
    storage_disk = 0,
    storage_memory = 1,
};

// The ini store. The final flag has no effect.
std::string get_config_string(std::string const& group, std::string const& key, bool = false);
void set_config_string(std::string const& group, std::string const& key, std::string const& value,
                       StorageType type, bool = false);

// The per-key store.
std::string get_config_string_ex(StorageLocation where, std::string const& key);
void set_config_string_ex(StorageLocation where, std::string const& key, std::string const& value,
                          StorageType type);

// The file of a key: the location's directory followed by the key's parts
// ("\" and "/" both separate, empty parts are dropped, each part URL-coded;
// no parts gives "_"). Every part is a plain name, never "." or "..", so the
// path stays under the directory. "" when the location has no directory on
// this system (per-user store without a home directory).
std::string config_key_path(StorageLocation where, std::string const& key);

// Items separated by ";"; "disk:<name>" selects the ini directory and enables
// disk writes (the last such item wins), other items are ignored. A name
// starting with "/" is used as it stands; any other name goes under the
// per-user data directory. Then the default directory is chosen if none was.
void set_config_storage(std::string spec);

// Start-up step: makes the store's mutex; a second call does nothing.
void init_storage();

} // namespace xstd
