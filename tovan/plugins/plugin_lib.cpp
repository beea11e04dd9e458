#include "tovan/plugins/plugin_lib.h"

#include "tovan/plugins/plugin_host.h"

#include "rulo/exception.h"
#include "rulo/thread.h"

#include <vector>

namespace tovan {

namespace {

// Libraries whose lib_init failed: left open for good, since they may run
// threads of their own; held here so they stay reachable.
std::vector<std::unique_ptr<xstd::auto_lib>>& kept_mapped() {
    static auto* kept = new std::vector<std::unique_ptr<xstd::auto_lib>>;
    return *kept;
}

} // namespace

void* host_table_for(int64_t interface_version) {
    switch (interface_version) {
    case 7:
        return &main_tovan_callback;
    case 6:
        return &main_tovan_callback_v2;
    case 5:
        return &main_tovan_callback_v1;
    default:
        return nullptr;
    }
}

plugin_lib::plugin_lib(std::string const& path, std::map<std::string, std::string> info)
    : m_info(std::move(info)), m_path(path) {
    plugin_host& host = plugin_host::instance();
    rulo::rec_lock load(host.load_lock());
    m_library = std::make_unique<xstd::auto_lib>(path.c_str(), true);
    xstd::get_proc(m_record, m_library->handle(), "tovan_plugin_2");
    void* table = host_table_for(m_record->interface_version);
    if (!table) {
        host.log("invalid plugin interface " + std::to_string(m_record->interface_version) + " (need 7)");
        throw rulo::exception(plugin_e);
    }
    if (!m_record->name || !m_record->lib_init) {
        host.log("plugin record without name or lib_init: " + path);
        throw rulo::exception(plugin_e);
    }
    int result = 0;
    try {
        result = m_record->lib_init(table);
    } catch (...) {
        result = 0;
    }
    if (result == 0) {
        kept_mapped().push_back(std::move(m_library));
        throw rulo::exception(plugin_e);
    }
    m_own_thread = result == 2;
}

plugin_lib::plugin_lib(tovan_plugin_map* record, plugin_lib* parent) : m_record(record), m_parent(parent) {}

plugin_lib::~plugin_lib() {
    if (m_library) plugin_host::instance().log("unloading lib " + name());
    if (!m_parent && m_record && m_record->lib_deinit) {
        try {
            m_record->lib_deinit();
        } catch (...) {
        }
    }
    if (m_library) {
        Sleep(10);
        m_library.reset();
        Sleep(10);
    }
}

std::string plugin_lib::name() const {
    return m_record && m_record->name ? m_record->name : "";
}

int plugin_lib::command(netbuf const& packet) const {
    if (!m_record || !m_record->command) return -1;
    return m_record->command(packet.get_ptr());
}

plugin::plugin(rulo::object<plugin_lib> library, int index)
    : m_record(library->get_const()), m_library(std::move(library)), m_index(index) {}

plugin::~plugin() {
    try {
        deinit();
    } catch (...) {
    }
}

tovan_plugin_map const* plugin::get(bool check, bool expect) const {
    if (check && m_connected != expect) throw rulo::exception::function("get");
    return m_record;
}

bool plugin::init(int protocol) {
    return m_record->init && m_record->init(protocol) != 0;
}

void plugin::deinit() {
    if (!m_connected.exchange(false)) return;
    if (m_record->deinit) m_record->deinit();
}

std::string plugin::get_name() const {
    return m_record->name ? m_record->name : "";
}

rulo::object<plugin_lib> plugin::get_lib() const {
    if (!m_library) throw rulo::exception::function("get");
    return m_library;
}

std::set<std::string> plugin::get_children() const {
    std::lock_guard<std::mutex> lock(m_children_mutex);
    return m_children;
}

void plugin::add_child(std::string const& name) {
    std::lock_guard<std::mutex> lock(m_children_mutex);
    m_children.insert(name);
}

} // namespace tovan
