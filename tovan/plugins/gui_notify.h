// The window's notifications to plugins as command packets: what the
// plugin pops first is the command name. Built here, sent by the dialog on
// the GUI thread through the plugin host.
#pragma once

#include "tovan/plugins/host_services.h"

#include "rulo/netbuf.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tovan {

netbuf command_event_packet(std::string const& text);
netbuf video_dock_packet(int dock);
netbuf gui_status_packet(uint64_t status);
// Dropped local paths joined by "*".
std::string join_drop_paths(std::vector<std::string> const& paths);
netbuf drag_drop_packet(std::string const& joined_paths);
netbuf options_packet(std::string const& event, option_map const& options);

// NotifyGuiEvent: one pin by name, or every pin (connected or not).
void notify_gui_event(std::string const& name, std::string const& text);
// CurrentVideoDock: every connected pin.
void current_video_dock(int dock);
// NotifyGuiStatus: one library by name, or every library.
void notify_gui_status(std::string const& name, uint64_t status);
// send_options_2_plugin: the component's options of the event, when any.
void send_options_to_plugin(host_services& host, std::string const& name, std::string const& event);

} // namespace tovan
