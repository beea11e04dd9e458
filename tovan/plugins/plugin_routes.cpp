#include "tovan/plugins/plugin_routes.h"

namespace tovan {

bool plugin_routes::channel_of(std::string const& name, int& channel) const {
    auto at = m_plugin_channels.find(name);
    if (at == m_plugin_channels.end()) return false;
    channel = at->second;
    return true;
}

std::string plugin_routes::owner(int channel) const {
    auto at = m_channel_plugins.find(channel);
    return at == m_channel_plugins.end() ? std::string() : at->second;
}

int plugin_routes::set_channel(std::string const& name, int channel) {
    int old = -1;
    auto at = m_plugin_channels.find(name);
    if (at != m_plugin_channels.end()) {
        old = at->second;
        auto back = m_channel_plugins.find(old);
        if (back != m_channel_plugins.end() && back->second == name) m_channel_plugins.erase(back);
    }
    m_plugin_channels[name] = channel;
    m_channel_plugins[channel] = name;
    return old;
}

bool plugin_routes::drop_channel(std::string const& name, int& had) {
    auto at = m_plugin_channels.find(name);
    if (at == m_plugin_channels.end()) return false;
    had = at->second;
    auto back = m_channel_plugins.find(had);
    if (back != m_channel_plugins.end() && back->second == name) m_channel_plugins.erase(back);
    m_plugin_channels.erase(at);
    return true;
}

route_result plugin_routes::route(int channel, netbuf const& data) {
    auto name = m_channel_plugins.find(channel);
    if (name != m_channel_plugins.end() && deliver(name->second, data)) return route_result::delivered;
    switch (m_unrouted.append(channel, data, static_cast<std::size_t>(data.size()))) {
    case append_result::kept:
        return route_result::kept;
    case append_result::first_drop:
        return route_result::first_drop;
    case append_result::dropped:
        break;
    }
    return route_result::dropped;
}

std::deque<std::string> plugin_routes::deferred(std::string const& name) const {
    auto const* items = m_deferred.find(name);
    return items ? *items : std::deque<std::string>();
}

void plugin_routes::clear() {
    m_plugin_channels.clear();
    m_channel_plugins.clear();
    m_unrouted.clear();
    m_deferred.clear();
}

} // namespace tovan
