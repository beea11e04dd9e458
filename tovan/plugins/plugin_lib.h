// A loaded plugin library (or a record another library handed over), and a
// plugin pinned for the session.
//
// plugin_lib: owned through rulo::object handles by the host's library
// table, by registry entries and by pins, so a call in flight keeps the
// library mapped. Made on the GUI thread (a path) or on the thread of the
// plugin that sent "load-plugin" (a record). Its destructor runs lib_deinit
// and closes the library on whichever thread drops the last handle (the
// host's exit, normally). After a failed construction nothing of the
// library is entered anywhere; a library whose lib_init failed stays mapped
// (it may have started threads) and never gets lib_deinit.
//
// plugin: one pin, owned by the host's pin map (and a dispatcher's thread
// while it delivers). Its connected flag is an atomic: the negotiation sets
// it on the GUI thread, packet threads read it.
#pragma once

#include "tovan/plugins/plugin_abi.h"

#include "rulo/library.h"
#include "rulo/netbuf.h"
#include "rulo/object.h"

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

namespace tovan {

class plugin_lib {
public:
    // Opens the library (switching to its directory for the open), checks
    // the record and calls lib_init with the table of its interface, holding
    // the load lock. Throws rulo::exception ("auto_lib", "get_proc", or the
    // text of plugin_e) after logging the reason.
    plugin_lib(std::string const& path, std::map<std::string, std::string> info);
    // A record handed over by a loaded library; never fails.
    plugin_lib(tovan_plugin_map* record, plugin_lib* parent);
    virtual ~plugin_lib();
    plugin_lib(plugin_lib const&) = delete;
    plugin_lib& operator=(plugin_lib const&) = delete;

    tovan_plugin_map const* get_const() const { return m_record; }
    std::map<std::string, std::string> get_info() const { return m_info; }
    bool own_thread() const { return m_own_thread; }
    bool handed_over() const { return m_parent != nullptr; }
    // The library that handed this record over; null for an opened library.
    plugin_lib const* parent() const { return m_parent; }
    void* handle() const { return m_library ? m_library->handle() : nullptr; }
    std::string const& path() const { return m_path; }
    std::string name() const;
    // Calls the record's command entry with the buffer (stays the caller's);
    // -1 when the record has none.
    int command(netbuf const& packet) const;

private:
    std::unique_ptr<xstd::auto_lib> m_library;
    tovan_plugin_map* m_record = nullptr;
    plugin_lib* m_parent = nullptr;
    std::map<std::string, std::string> m_info;
    bool m_own_thread = false;
    std::string m_path;
};

// The host table for an interface version; null for any other version.
void* host_table_for(int64_t interface_version);

class plugin {
public:
    plugin(rulo::object<plugin_lib> library, int index);
    virtual ~plugin();
    plugin(plugin const&) = delete;
    plugin& operator=(plugin const&) = delete;

    // The record; with check, the connected flag must equal expect, else the
    // framework's "get" error.
    tovan_plugin_map const* get(bool check, bool expect) const;
    tovan_plugin_map const* get_const() const { return m_record; }
    bool init(int protocol);
    void deinit();
    void set_connected(bool on) { m_connected = on; }
    bool connected() const { return m_connected; }
    std::string get_name() const;
    int get_proto_version() const { return m_record->protocol_version; }
    rulo::object<plugin_lib> get_lib() const;
    bool run_thread() const { return m_library && m_library->own_thread(); }
    int index() const { return m_index; }
    std::set<std::string> get_children() const;
    void add_child(std::string const& name);

private:
    std::atomic<bool> m_connected{false};
    tovan_plugin_map const* m_record;
    rulo::object<plugin_lib> m_library;
    mutable std::mutex m_children_mutex;
    std::set<std::string> m_children;
    int m_index;
};

} // namespace tovan
