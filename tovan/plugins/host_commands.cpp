#include "tovan/plugins/host_commands.h"

#include "tovan/plugins/plugin_def.h"
#include "tovan/plugins/plugin_host.h"

#include "rulo/packet.h"

namespace tovan {

namespace {

// Pops a trailing argument that may be missing: the default stays.
template <class T>
void pop_or_keep(netbuf& packet, T& value) {
    if (packet.empty()) return;
    T v{};
    rulo_packet_pop(packet, v);
    value = v;
}

int skin_command(host_services& host, std::string const& name, netbuf& packet) {
    if (name == "skin-language") {
        int64_t widget = 0;
        rulo_packet_pop(packet, widget);
        host.translate_widget(widget);
    } else if (name == "skin-button-image") {
        int64_t widget = 0, a = 0, b = 0;
        std::string key;
        xstd::packet_pop(packet, widget, a, b, key);
        host.set_widget_tip(widget, key);
    } else if (name == "skin-button-tip") {
        int64_t widget = 0;
        std::string key;
        xstd::packet_pop(packet, widget, key);
        host.set_widget_tip(widget, key);
    }
    return 0;
}

int connect_save(host_services& host, netbuf& packet) {
    bool save = false;
    rulo_packet_pop(packet, save);
    netbuf out;
    if (!save) {
        rulo_packet_push(out, false);
        return host.connect_save(out);
    }
    std::string file = "connect.dat";
    bool keep = false;
    try {
        pop_or_keep(packet, file);
        pop_or_keep(packet, keep);
    } catch (...) {
        // a packet that ends early keeps the defaults
    }
    // A library load may have moved the working directory meanwhile.
    xstd::packet_push(out, true, start_path(file), keep);
    return host.connect_save(out);
}

} // namespace

int handle_plugin_command(host_services& host, std::string const& plugin, netbuf packet) {
    plugin_host& ph = plugin_host::instance();
    try {
        std::string name;
        rulo_packet_pop(packet, name);
        if (name.rfind("skin", 0) == 0) return skin_command(host, name, packet);
        if (name == "run-in-main") {
            rulo_packet_push(packet, plugin);
            host.queue_command("run-in-main " + packet.to_string());
        } else if (name == "update-gui-itm") {
            std::string item;
            uint64_t mask = 0, style = 0;
            xstd::packet_pop(packet, item, mask, style);
            host.update_dialog_item(item, mask, style);
        } else if (name == "set-priority") {
            int priority = 0, sub = 0;
            rulo_packet_pop(packet, priority);
            // Logged only when there is a session channel to set it on.
            if (ph.channel_of(plugin, sub) && host.set_priority(priority, sub))
                host.log("Setting priority for plugin " + plugin + " to " + std::to_string(priority));
        } else if (name == "set-channel") {
            int sub = 0;
            bool create = false;
            rulo_packet_pop(packet, sub);
            pop_or_keep(packet, create);
            host.set_channel(plugin, sub, create);
        } else if (name == "plugin-file") {
            std::string file;
            rulo_packet_pop(packet, file);
            ph.add_plugin_file(plugin, file);
        } else if (name == "register-callback") {
            std::string callback;
            bool add = true;
            rulo_packet_pop(packet, callback);
            pop_or_keep(packet, add);
            return ph.register_callback(plugin, callback, add);
        } else if (name == "load-plugin") {
            if (host.load_plugin_record(packet.to_string())) return 0;
            int64_t record = 0, handle = 0;
            xstd::packet_pop(packet, record, handle);
            ph.load_plugin(reinterpret_cast<tovan_plugin_map*>(static_cast<intptr_t>(record)),
                           reinterpret_cast<void*>(static_cast<intptr_t>(handle)), false);
        } else if (name == "gui-update-status") {
            int64_t clear = 0, set = 0;
            xstd::packet_pop(packet, clear, set);
            host.update_flags(static_cast<uint64_t>(clear), static_cast<uint64_t>(set));
        } else if (name == "reflect-command") {
            bool connected_only = false;
            rulo_packet_pop(packet, connected_only);
            ph.plugins_command(connected_only, packet);
        } else if (name == "plugin-command") {
            std::string target;
            rulo_packet_pop(packet, target);
            xstd::packet_push(packet, std::string("plugin-command"), plugin);
            return ph.libs_command(packet, target);
        } else if (name == "connect-save") {
            return connect_save(host, packet);
        } else if (name == "allocate-command") {
            int64_t count = 0;
            rulo_packet_pop(packet, count);
            return static_cast<int>(host.allocate_command(plugin, count));
        } else if (name == "append-menu") {
            std::string path, text;
            uint64_t flags = 0;
            xstd::packet_pop(packet, path, text, flags);
            return static_cast<int>(host.append_menu(plugin, path, text, flags));
        } else if (name == "update-menu-id") {
            std::string path;
            int64_t action = 0;
            uint64_t flags = 0;
            xstd::packet_pop(packet, path, action, flags);
            host.update_menu_action(path, action, flags);
        } else if (name == "update-menu-itm") {
            std::string path, text;
            uint64_t flags = 0;
            xstd::packet_pop(packet, path, text, flags);
            host.update_menu_item(path, text, flags);
        } else if (name == "remove-menu") {
            std::string path;
            rulo_packet_pop(packet, path);
            host.remove_menu(path);
        } else if (name == "plugin-active") {
            bool on = false;
            rulo_packet_pop(packet, on);
            host.plugin_active(plugin, on);
        }
        // Everything else (docks, boxes, tray) is accepted and does nothing.
        return 0;
    } catch (...) {
        return 0;
    }
}

} // namespace tovan
