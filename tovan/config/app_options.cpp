#include "tovan/config/app_options.h"

#include "rulo/text.h"
#include "rulo/url.h"

namespace tovan {

void append_options(app_options& options, std::string const& event, std::string const& text) {
    std::string component = "main";
    std::string pairs = text;
    if (text.find('?') != std::string::npos) {
        std::string query, fragment;
        rulo::cgi_parse_path_param(text, &component, &query, &fragment);
        pairs = query;
    }
    auto& slot = options[component][event];
    for (auto& [key, value] : rulo::cgi_parse_param(pairs, '&', '=')) slot[key] = value;
}

bool get_main_app_option(app_options const& options, std::string const& event, std::string const& key,
                         std::string* value) {
    auto c = options.find("main");
    if (c == options.end()) return false;
    auto e = c->second.find(event);
    if (e == c->second.end()) return false;
    auto k = e->second.find(key);
    if (k == e->second.end()) return false;
    if (value) *value = k->second;
    return true;
}

bool check_main_app_option(app_options const& options, std::string const& event, std::string const& key,
                           std::string const& expected) {
    std::string value;
    return get_main_app_option(options, event, key, &value) && value == expected;
}

bool wanted_topmost(std::string const& value) {
    return value.find('f') == std::string::npos;
}

} // namespace tovan
