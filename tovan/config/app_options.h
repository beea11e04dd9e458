// Application options: (component, event, key) -> value, collected from the
// command line and the configuration and applied at fixed events.
//
// Pure functions over the map; the main window's reaction to its options
// lives in the dialog. Options are only ever added or overwritten.
#pragma once

#include <map>
#include <string>

namespace tovan {

// component -> event -> key -> value
using app_options = std::map<std::string, std::map<std::string, std::map<std::string, std::string>>>;

// Parses "component?k=v&k2" (or bare pairs, for "main") and stores every pair
// under event. "#..." is cut first when the text holds a "?"; the component is
// URL-decoded with "//" collapsed to "/".
void append_options(app_options& options, std::string const& event, std::string const& text);

// True when "main" has event and key; the value is copied to *value when given.
bool get_main_app_option(app_options const& options, std::string const& event, std::string const& key,
                         std::string* value);
bool check_main_app_option(app_options const& options, std::string const& event, std::string const& key,
                           std::string const& expected);

// "topmost": on unless the value holds the letter "f" anywhere.
bool wanted_topmost(std::string const& value);

} // namespace tovan
