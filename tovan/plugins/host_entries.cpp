// The host entries every plugin calls through its table, and the three
// tables themselves. No entry lets a failure cross into the plugin: each
// catches everything and gives its neutral result. They run on the
// plugin's thread, outside every host lock.
#include "tovan/plugins/host_commands.h"
#include "tovan/plugins/plugin_abi.h"
#include "tovan/plugins/plugin_def.h"
#include "tovan/plugins/plugin_host.h"

#include "tovan/config/ini_file.h"

#include "rulo/lock.h"
#include "rulo/netbuf_table.h"
#include "rulo/packet.h"

#include <unistd.h>

namespace tovan {

namespace {

host_services* services() {
    return plugin_host::instance().services();
}

void* hand_over(netbuf b) {
    return b.detach_ptr();
}

std::string& start_dir() {
    static auto* dir = new std::string;
    return *dir;
}

} // namespace

void note_start_directory() {
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd)) start_dir() = cwd;
}

std::string start_directory() {
    return start_dir();
}

std::string start_path(std::string const& name) {
    if (name.empty() || name[0] == '/' || start_dir().empty()) return name;
    return start_dir() + "/" + name;
}

void plugin_def::init(rulo_api_t* table) {
    note_start_directory();
    main_tovan_callback.api = table;
    main_tovan_callback_v2.api = table;
    main_tovan_callback_v1.lock = rulo::rulo_lock;
    main_tovan_callback_v1.unlock = rulo::rulo_unlock;
    main_tovan_callback_v1.netbuf_impl =
        table ? table->netbuf_impl : static_cast<void*>(netbuf_imp::netbuf_impl);
}

} // namespace tovan

using tovan::hand_over;
using tovan::services;

extern "C" {

static void plugin_log_callback(char const* plugin, char const* text) {
    try {
        if (auto* s = services())
            s->log(std::string("<") + (plugin ? plugin : "") + "> " + (text ? text : ""));
    } catch (...) {
    }
}

static void plugin_system_message_callback(char const*, char const* text, int send) {
    try {
        if (auto* s = services(); s && text) s->system_message(text, send != 0);
    } catch (...) {
    }
}

static void plugin_send_callback(char const* plugin, void* data) {
    try {
        auto* s = services();
        if (!s || !data) return;
        netbuf view(data, true);
        int sub = 0;
        if (plugin && tovan::plugin_host::instance().channel_of(plugin, sub)) {
            s->send_session(sub, view);
            return;
        }
        // Unnamed data is the session's own text command: only while connected.
        if ((s->connection_state() & 15) >= 6) s->send_session(-1, view);
    } catch (...) {
    }
}

static int plugin_command_callback(char const* plugin, void* packet) {
    try {
        if (!services() || !packet) return 0;
        return tovan::handle_plugin_command(*services(), plugin ? plugin : "", netbuf(packet, true));
    } catch (...) {
        return 0;
    }
}

static void* server_request_callback(void const*, void* request) {
    try {
        auto* s = services();
        if (!s || !request) return nullptr;
        netbuf view(request, true);
        std::string name;
        rulo_packet_pop(view, name);
        if (name == "get_program_link") {
            tovan::option_map params;
            rulo_packet_pop(view, params);
            // The reply needs the framework lock this thread holds while it
            // delivers a direct-mode packet: waiting would freeze every link.
            if (tovan::direct_delivery_scope::active()) {
                s->log("get_program_link refused inside a packet delivery");
                return nullptr;
            }
            return hand_over(netbuf::from_string(s->program_link(params)));
        }
        if (name == "get_remote_version") {
            if ((s->connection_state() & 15) >= 6) return hand_over(netbuf::from_string(s->peer_version()));
            return hand_over(netbuf());
        }
        return nullptr;
    } catch (...) {
        return nullptr;
    }
}

static void* plugin_translate_callback(char const* key) {
    try {
        auto* s = services();
        if (!s || !key) return nullptr;
        return hand_over(netbuf::from_string(s->translate(key)));
    } catch (...) {
        return nullptr;
    }
}

static void* plugin_get_setting_callback(char const* key) {
    try {
        auto* s = services();
        if (!s || !key) return nullptr;
        std::vector<std::string> const args = s->arguments();
        for (std::size_t i = 0; i < args.size(); ++i) {
            if (args[i] != key) continue;
            return hand_over(netbuf::from_string(i + 1 < args.size() ? args[i + 1] : std::string()));
        }
        // Read anew at every call: the file may change while the program runs.
        tovan::ini_sections ini;
        tovan::load_ini_file(s->ini_path(), ini, nullptr, nullptr);
        auto section = ini.find(s->ini_section());
        if (section != ini.end()) {
            auto at = section->second.find(key);
            if (at != section->second.end()) return hand_over(netbuf::from_string(at->second));
        }
        return nullptr;
    } catch (...) {
        return nullptr;
    }
}

static int invoke_callback(char const* name, void* data) {
    return tovan::plugin_host::instance().invoke_callback(name, data);
}

#define TOVAN_HOST_ENTRIES                                                                                   \
    {                                                                                                        \
        plugin_system_message_callback, plugin_send_callback, plugin_command_callback,                       \
            server_request_callback, plugin_translate_callback, plugin_get_setting_callback, invoke_callback \
    }

__attribute__((visibility("default")))
tovan_host_table main_tovan_callback = {plugin_log_callback, 7, nullptr, TOVAN_HOST_ENTRIES, nullptr};
__attribute__((visibility("default")))
tovan_host_table main_tovan_callback_v2 = {plugin_log_callback, 6, nullptr, TOVAN_HOST_ENTRIES, nullptr};
__attribute__((visibility("default"))) tovan_host_table_v1 main_tovan_callback_v1 = {
    plugin_log_callback, 5, nullptr, nullptr, nullptr, TOVAN_HOST_ENTRIES, nullptr};

} // extern "C"
