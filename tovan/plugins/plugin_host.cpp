#include "tovan/plugins/plugin_host.h"

#include "tovan/plugins/catalogue.h"
#include "tovan/plugins/gui_notify.h"
#include "tovan/plugins/plugin_dispatcher.h"
#include "tovan/session/session_sinks.h"

#include "rulo/exception.h"
#include "rulo/packet.h"

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <filesystem>

namespace tovan {

namespace {
thread_local int t_direct_depth = 0;
} // namespace

direct_delivery_scope::direct_delivery_scope() {
    ++t_direct_depth;
}
direct_delivery_scope::~direct_delivery_scope() {
    --t_direct_depth;
}
bool direct_delivery_scope::active() {
    return t_direct_depth > 0;
}

plugin_host& plugin_host::instance() {
    static auto* host = new plugin_host;
    return *host;
}

void plugin_host::log(std::string const& text) {
    if (m_services) m_services->log(text);
}

// --- loading ---

plugin* plugin_host::load_plugin(std::vector<plugin_def>& defs, int index, bool pin) {
    if (index < 0 || index >= static_cast<int>(defs.size())) return nullptr;
    if (defs[index].state == plugin_def::state_invalid) return nullptr;
    plugin_def& def = defs[index];
    std::string const full = def.get_full_name(), name = def.get_name(), path = def.library_path();
    bool loaded;
    {
        std::lock_guard<std::mutex> lock(m_tables_mutex);
        loaded = m_loaded_libs.count(full) || m_loaded_libs_map.count(name);
    }
    if (!loaded) {
        if (m_closing) return nullptr;
        rulo::object<plugin_lib> lib;
        try {
            log("Trying to load " + name + " (" + def.take("version") + ") " + def.take("description") +
                " lib " + path + " full " + full);
            if (m_services) {
                // The test directory names a plain file; a package's texts
                // are the cached answer's text, without its identifier.
                if (!def.translation_file.empty())
                    m_services->add_translations(def.translation_file);
                else if (std::string const text = def.get_translations(false); !text.empty())
                    m_services->add_translation_text(text);
            }
            lib = rulo::make_object(new plugin_lib(path, def.definition));
        } catch (rulo::exception const& e) {
            log("Failed to load lib: " + e.description());
            def.state = plugin_def::state_invalid;
            return nullptr;
        } catch (...) {
            log("Failed to load lib error:" + std::to_string(errno));
            def.state = plugin_def::state_invalid;
            return nullptr;
        }
        try {
            host_services& s = *m_services;
            netbuf loadmsg, status, info;
            xstd::packet_push(loadmsg, std::string("loadmsg"), s.is_client(), s.main_window(),
                              s.plain_log_closed());
            lib->command(loadmsg);
            xstd::packet_push(status, std::string("window-status"), s.window_status());
            lib->command(status);
            xstd::packet_push(info, std::string("library_info"), path,
                              static_cast<int64_t>(reinterpret_cast<intptr_t>(lib->handle())));
            lib->command(info);
            enter_library(full, name, lib);
            if (lib->get_const()->lib_start) lib->get_const()->lib_start();
        } catch (...) {
            log("Failed to init lib");
            def.state = plugin_def::state_invalid;
            return nullptr;
        }
        if (m_services) send_options_to_plugin(*m_services, name, "load");
    }
    rulo::object<plugin_lib> lib;
    std::string key; // the loaded version's, which may be another than this definition's
    bool is_loaded_one;
    {
        std::lock_guard<std::mutex> lock(m_tables_mutex);
        auto at = m_loaded_libs_map.find(name);
        is_loaded_one = at != m_loaded_libs_map.end() && at->second == full;
        if (pin && at != m_loaded_libs_map.end()) {
            auto lib_at = m_loaded_libs.find(at->second);
            if (lib_at != m_loaded_libs.end()) lib = lib_at->second;
            key = at->second;
        }
    }
    if (is_loaded_one) {
        // The other versions still waiting for their fetch are not wanted any
        // more: only one library of a name is ever loaded.
        def.state = plugin_def::state_loaded;
        mark_class_invalid(defs, full, [this](std::string const& line) { log(line); });
    }
    if (!pin || !lib) return nullptr;
    log("added pin " + key);
    return new plugin(lib, index);
}

plugin* plugin_host::load_plugin(tovan_plugin_map* record, void* handle, bool pin) {
    char text[64];
    std::snprintf(text, sizeof text, "loading map %p", static_cast<void*>(record));
    log(text);
    if (!record || !handle || m_closing) return nullptr;
    std::lock_guard<std::mutex> lock(m_tables_mutex);
    // Only a library this host opened may hand a record over: the record is
    // not read before its handle is known, so a stray address is never used.
    plugin_lib* parent = nullptr;
    for (auto const& [key, lib] : m_loaded_libs)
        if (!lib->handed_over() && lib->handle() == handle) parent = lib.get();
    if (!parent || !record->name) {
        log("no loaded library hands over this map");
        return nullptr;
    }
    std::string const name = record->name;
    auto at = m_loaded_libs.find(name);
    if (at == m_loaded_libs.end()) {
        m_loaded_libs[name] = rulo::make_object(new plugin_lib(record, parent));
        m_loaded_libs_map[name] = name;
        m_load_order.push_back(name);
        return nullptr;
    }
    if (!pin) return nullptr;
    return new plugin(at->second, -1);
}

rulo::object<plugin_lib> plugin_host::library_of(std::string const& plain_name) {
    std::lock_guard<std::mutex> lock(m_tables_mutex);
    auto at = m_loaded_libs_map.find(plain_name);
    if (at == m_loaded_libs_map.end()) return {};
    auto lib = m_loaded_libs.find(at->second);
    return lib == m_loaded_libs.end() ? rulo::object<plugin_lib>() : lib->second;
}

std::vector<std::pair<std::string, rulo::object<plugin_lib>>> plugin_host::libraries() {
    std::lock_guard<std::mutex> lock(m_tables_mutex);
    return {m_loaded_libs.begin(), m_loaded_libs.end()};
}

void plugin_host::enter_library(std::string const& key, std::string const& name,
                                rulo::object<plugin_lib> const& lib) {
    std::lock_guard<std::mutex> lock(m_tables_mutex);
    if (!m_loaded_libs.count(key)) m_load_order.push_back(key);
    m_loaded_libs[key] = lib;
    m_loaded_libs_map[name] = key;
}

bool plugin_host::add_plugin_file(std::string const& plugin_name, std::string const& file) {
    std::string key;
    {
        std::lock_guard<std::mutex> lock(m_tables_mutex);
        auto at = m_loaded_libs_map.find(plugin_name);
        if (at != m_loaded_libs_map.end()) key = at->second;
        // A plugin handed over by another library lives in that library's
        // package (its own entry names only itself).
        auto own = m_loaded_libs.find(key);
        if (own != m_loaded_libs.end() && own->second->handed_over()) {
            key.clear();
            for (auto const& [k, lib] : m_loaded_libs)
                if (lib.get() == own->second->parent()) key = k;
        }
    }
    // Where the plugin made it, and with no ".." for the clean-up to climb. A
    // relative name counts from the start directory: a library open on the
    // GUI thread moves the working directory for a moment.
    std::error_code ec;
    std::string path;
    if (!file.empty()) path = std::filesystem::absolute(start_path(file), ec).lexically_normal().string();
    if (path.empty() || ec || !plugin_extracted::add_plugin_file(key, {path})) {
        log("plugin file \"" + file + "\" of " + plugin_name + " not registered");
        return false;
    }
    return true;
}

// --- commands ---

int plugin_host::libs_command(netbuf const& packet, std::string const& plugin_name) {
    if (plugin_name.empty()) {
        for (auto const& [key, lib] : libraries()) {
            try {
                lib->command(packet);
            } catch (...) {
            }
        }
        return 0;
    }
    rulo::object<plugin_lib> lib = library_of(plugin_name);
    return lib ? lib->command(packet) : -1;
}

void plugin_host::plugins_command(bool connected_only, netbuf const& packet) {
    for (auto const& [name, pin] : pins()) {
        if (connected_only && !pin->connected()) continue;
        tovan_plugin_map const* record = pin->get_const();
        if (record->command) record->command(packet.get_ptr());
    }
}

bool plugin_host::pin_command(std::string const& name, netbuf const& packet) {
    rulo::object<plugin> pin = get_pin(name);
    if (!pin || !pin->get_const()->command) return false;
    pin->get_const()->command(packet.get_ptr());
    return true;
}

// --- callback registry ---

int plugin_host::register_callback(std::string const& plugin_name, std::string const& name, bool add) {
    rulo::object<plugin_lib> lib = library_of(plugin_name);
    if (!lib) return -1;
    log("for pin " + plugin_name + " - " + name + " - " + (add ? "1" : "0"));
    rulo::rulo_lock_guard guard;
    if (add) {
        auto& listeners = m_callbacks[name];
        if (listeners.count(plugin_name)) return 1;
        if (!lib->get_const()->callback) {
            if (listeners.empty()) m_callbacks.erase(name);
            return -1;
        }
        listeners[plugin_name] = listener{lib->get_const()->callback, lib};
        return 0;
    }
    auto at = m_callbacks.find(name);
    if (at != m_callbacks.end()) {
        at->second.erase(plugin_name);
        if (at->second.empty()) m_callbacks.erase(at);
    }
    return 0;
}

int plugin_host::invoke_callback(char const* name, void* data) {
    if (!name) return -1;
    std::map<std::string, listener> listeners;
    {
        rulo::rulo_lock_guard guard;
        auto at = m_callbacks.find(name);
        if (at != m_callbacks.end()) listeners = at->second;
    }
    if (listeners.empty()) return -1;
    int result = -1;
    try {
        for (auto const& [plugin_name, l] : listeners) result &= l.callback(name, data);
    } catch (...) {
    }
    return result;
}

// --- pins and routes ---

void plugin_host::add_pin(std::string const& name, rulo::object<plugin> const& pin) {
    rulo::rulo_lock_guard guard;
    m_loaded_plugins[name] = pin;
}

rulo::object<plugin> plugin_host::get_pin(std::string const& name) {
    rulo::rulo_lock_guard guard;
    auto at = m_loaded_plugins.find(name);
    return at == m_loaded_plugins.end() ? rulo::object<plugin>() : at->second;
}

void plugin_host::open_dispatcher(std::string const& name, rulo::object<plugin> const& pin) {
    // Made outside the lock: it may start its packet thread.
    auto disp = rulo::make_object(new plugin_dispatcher(pin));
    rulo::rulo_lock_guard guard;
    m_loaded_plugins[name] = pin;
    m_routes.set_dispatcher(name, disp);
}

void plugin_host::close_dispatcher(std::string const& name) {
    rulo::object<plugin_dispatcher> disp;
    rulo::object<plugin> pin;
    {
        rulo::rulo_lock_guard guard;
        disp = m_routes.take_dispatcher(name);
        // A "set-channel" since the unpinning dropped the route must not outlive the pin.
        int had;
        m_routes.drop_channel(name, had);
        auto at = m_loaded_plugins.find(name);
        if (at != m_loaded_plugins.end()) {
            pin = at->second;
            m_loaded_plugins.erase(at);
        }
    }
}

void plugin_host::set_route(int sub_channel, std::string const& name,
                            rulo::object<plugin_dispatcher> const& disp) {
    rulo::rulo_lock_guard guard;
    m_routes.set_channel(name, sub_channel);
    m_routes.set_dispatcher(name, disp);
}

std::map<std::string, rulo::object<plugin>> plugin_host::pins() {
    rulo::rulo_lock_guard guard;
    return m_loaded_plugins;
}

bool plugin_host::channel_of(std::string const& plugin_name, int& sub_channel) {
    rulo::rulo_lock_guard guard;
    return m_routes.channel_of(plugin_name, sub_channel);
}

route_result plugin_host::route_packet(int sub_channel, netbuf const& data) {
    // Direct-mode packets are delivered where the framework holds its lock,
    // as the channel itself does.
    rulo::rulo_lock_guard guard;
    return m_routes.route(sub_channel, data);
}

std::deque<netbuf> plugin_host::take_unrouted(int sub_channel) {
    rulo::rulo_lock_guard guard;
    return m_routes.take_unrouted(sub_channel);
}

void plugin_host::remove_pin(std::string const& name) {
    // Dropped outside the lock: a pin's destructor calls its deinit.
    std::vector<rulo::object<plugin>> pins_out;
    std::vector<rulo::object<plugin_dispatcher>> disps_out;
    {
        rulo::rulo_lock_guard guard;
        for (auto it = m_loaded_plugins.begin(); it != m_loaded_plugins.end();) {
            if (!name.empty() && it->first != name) {
                ++it;
                continue;
            }
            pins_out.push_back(it->second);
            disps_out.push_back(m_routes.take_dispatcher(it->first));
            int had;
            m_routes.drop_channel(it->first, had);
            it = m_loaded_plugins.erase(it);
        }
        if (name.empty()) {
            // Routes set up without a pin go with the rest.
            for (auto& [n, disp] : m_routes.take_dispatchers()) disps_out.push_back(disp);
            for (auto const& [n, channel] : std::map<std::string, int>(m_routes.plugin_channels())) {
                int had;
                m_routes.drop_channel(n, had);
            }
        }
    }
    disps_out.clear();
    for (auto& pin : pins_out) {
        try {
            pin->deinit();
        } catch (...) {
        }
    }
}

void plugin_host::forward_to_desktop(std::string const& cmd) {
    std::string target;
    netbuf payload;
    try {
        vyn::desktop_payload(cmd, target, payload);
    } catch (...) {
        return; // a "fwd_cmd " naming no plugin carries nothing to keep
    }
    try {
        if (pin_command(target, payload)) return;
    } catch (...) {
    }
    append_result kept;
    {
        rulo::rulo_lock_guard guard;
        kept = m_routes.defer(target, payload.to_string());
    }
    if (kept == append_result::first_drop)
        log("dropping commands for plugin " + target + ": too many waiting for it");
}

std::deque<std::string> plugin_host::deferred_commands(std::string const& plugin_name) {
    rulo::rulo_lock_guard guard;
    return m_routes.deferred(plugin_name);
}

// --- exit ---

void plugin_host::thread_started() {
    std::lock_guard<std::mutex> lock(m_threads_mutex);
    ++m_threads;
}

void plugin_host::thread_ended() {
    std::lock_guard<std::mutex> lock(m_threads_mutex);
    --m_threads;
    m_threads_done.notify_all();
}

int plugin_host::running_threads() {
    std::lock_guard<std::mutex> lock(m_threads_mutex);
    return m_threads;
}

bool plugin_host::wait_for_threads(int ms) {
    std::unique_lock<std::mutex> lock(m_threads_mutex);
    return m_threads_done.wait_for(lock, std::chrono::milliseconds(ms), [&] { return m_threads == 0; });
}

void plugin_host::unload_all(int wait_ms) {
    m_closing = true;
    remove_pin("");
    {
        std::unique_lock<std::mutex> lock(m_threads_mutex);
        if (!m_threads_done.wait_for(lock, std::chrono::milliseconds(wait_ms),
                                     [&] { return m_threads == 0; }))
            log(std::to_string(m_threads) + " packet threads still running at exit");
    }
    {
        rulo::rulo_lock_guard guard;
        m_callbacks.clear();
        m_routes.clear();
    }
    unload_libraries();
}

void plugin_host::unload_libraries() {
    std::vector<std::string> order;
    {
        std::lock_guard<std::mutex> lock(m_tables_mutex);
        order = m_load_order;
    }
    // Handed-over records first (they live inside their parents), then the
    // libraries, each in reverse load order.
    for (int pass = 0; pass < 2; ++pass) {
        for (auto key = order.rbegin(); key != order.rend(); ++key) {
            rulo::object<plugin_lib> lib;
            {
                std::lock_guard<std::mutex> lock(m_tables_mutex);
                auto at = m_loaded_libs.find(*key);
                if (at == m_loaded_libs.end() || at->second->handed_over() != (pass == 0)) continue;
                lib = at->second;
                m_loaded_libs.erase(at);
                for (auto m = m_loaded_libs_map.begin(); m != m_loaded_libs_map.end();)
                    m = m->second == *key ? m_loaded_libs_map.erase(m) : std::next(m);
            }
            if (lib.use_count() > 1) log("library " + *key + " still in use: left mapped");
            lib.reset();
        }
    }
    std::lock_guard<std::mutex> lock(m_tables_mutex);
    m_load_order.clear();
}

void plugin_host::reset_for_tests() {
    unload_all(2000);
    m_closing = false;
}

// --- the dialog's entry points ---

int libs_command(netbuf const& packet, std::string const& plugin_name) {
    return plugin_host::instance().libs_command(packet, plugin_name);
}

void remove_pin(std::string const& name) {
    plugin_host::instance().remove_pin(name);
}

} // namespace tovan
