// The server log-in's saved credentials: the scrambling that keeps them from
// being readable at a glance in storage.ini (it is no encryption), and their
// three keys under a caller's prefix (prefix + "User", "Password", "Saved").
// The store is the framework's configuration store, written 0600.
#pragma once

#include <string>

namespace tovan {

// 256 letters "A".."P" for the first 127 bytes of value.
std::string scramble_setting(std::string const& value);
// The bytes before the first decoded zero byte; letters outside "A".."P"
// count by their low four bits after subtracting "A".
std::string unscramble_setting(std::string const& text);

struct saved_credentials {
    std::string user, password;
    bool saved = false; // the "save" box as last left
};

saved_credentials load_credentials(std::string const& prefix);
// Writes "Saved", and the user and password only when saved is set (so an
// unticked box keeps the ones stored before).
void store_credentials(std::string const& prefix, saved_credentials const& c);

} // namespace tovan
