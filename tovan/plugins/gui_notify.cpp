#include "tovan/plugins/gui_notify.h"

#include "tovan/plugins/plugin_host.h"

#include "rulo/packet.h"

namespace tovan {

namespace {
template <class... T>
netbuf packet_of(T const&... values) {
    netbuf b;
    xstd::packet_push(b, values...);
    return b;
}
} // namespace

netbuf command_event_packet(std::string const& text) {
    return packet_of(std::string("command-event"), text);
}

netbuf video_dock_packet(int dock) {
    return packet_of(std::string("current-video-dock"), dock);
}

netbuf gui_status_packet(uint64_t status) {
    return packet_of(std::string("gui-status"), status);
}

std::string join_drop_paths(std::vector<std::string> const& paths) {
    std::string joined;
    for (auto const& p : paths) joined += (joined.empty() ? "" : "*") + p;
    return joined;
}

netbuf drag_drop_packet(std::string const& joined_paths) {
    return packet_of(std::string("dragdropfiles"), joined_paths);
}

netbuf options_packet(std::string const& event, option_map const& options) {
    return packet_of(std::string("handle_options"), event, options);
}

void notify_gui_event(std::string const& name, std::string const& text) {
    netbuf const packet = command_event_packet(text);
    try {
        if (name.empty())
            plugin_host::instance().plugins_command(false, packet);
        else
            plugin_host::instance().pin_command(name, packet);
    } catch (...) {
    }
}

void current_video_dock(int dock) {
    try {
        plugin_host::instance().plugins_command(true, video_dock_packet(dock));
    } catch (...) {
    }
}

void notify_gui_status(std::string const& name, uint64_t status) {
    try {
        plugin_host::instance().libs_command(gui_status_packet(status), name);
    } catch (...) {
    }
}

void send_options_to_plugin(host_services& host, std::string const& name, std::string const& event) {
    rulo::object<plugin_lib> lib = plugin_host::instance().library_of(name);
    if (!lib) return;
    try {
        option_map options;
        if (host.app_options_for(name, event, options)) lib->command(options_packet(event, options));
    } catch (...) {
    }
}

} // namespace tovan
