// The plugins menu and the plugin buttons: the dialog's menus and buttons
// changed as tovan/plugins/plugin_menus.h decides. GUI thread only.
#include "tovan/plugins/gui_notify.h"
#include "tovan/plugins/plugin_host.h"
#include "tovan/plugins/plugin_menus.h"
#include "tovan/session/command_queue.h"
#include "tovan/util/log_message.h"
#include "tovan/window/desk_session.h"
#include "tovan/window/part_mark.h"
#include "tovan/window/vyn_dialog.h"
#include "tovan/window/window_language.h"

#include <QAction>

#include <algorithm>

namespace tovan {

namespace {

// The plugins menu is registered under "SETTINGS" but stays the dialog's.
class keep_menu : public i_deleter {
public:
    void _delete() override {}
};

void apply_flags(QAction* action, unsigned long flags) {
    menu_flag_effect const e = flag_effect(flags);
    if (e.disable) action->setEnabled(false);
    if (e.check) action->setChecked(true);
}

} // namespace

uint32_t CVYNDialog::AllocateCmdID(std::string const& owner, int64_t count) {
    std::lock_guard<std::mutex> lock(m_cmd_ids_mutex);
    return reserve_command_ids(m_cmd_ids, m_next_cmd_id, owner, count);
}

uint32_t CVYNDialog::AppendToPluginsMenu(std::string const& owner, std::string const& path,
                                         std::string const& text, unsigned long) {
    menu_path const parts = split_menu_path(path);
    if (parts.has_parent) AppendToPluginsMenu(owner, parts.parent, "", 0);
    if (!m_plugin_menus.count(path)) {
        rulo::object<QMenu> menu;
        if (path == "SETTINGS" && m_context_menu) {
            // The host's and the plugins' entries start below one line.
            if (!m_plugin_separator) m_context_menu->addSeparator();
            m_plugin_separator = true;
            menu = rulo::object<QMenu>(m_context_menu.get(), new keep_menu);
        } else {
            menu = rulo::object<QMenu>(new QMenu(QString::fromUtf8(parts.last.c_str())));
            auto parent = m_plugin_menus.find(parts.parent);
            if (parts.has_parent && parent != m_plugin_menus.end()) parent->second->addMenu(menu.get());
        }
        m_plugin_menus[path] = menu;
    }
    if (text.empty()) return no_command_id;
    uint32_t const id = AllocateCmdID(owner, 1);
    if (id == no_command_id) return id;
    QAction* entry = m_plugin_menus[path]->addAction(QString());
    set_keyed_text(entry, text);
    entry->setData(QString::fromUtf8(text.c_str()));
    // Queued: the plugin that hears of the choice may remove the very menu
    // that is still closing.
    connect(
        entry, &QAction::triggered, this, [this, id] { OnPluginMenu(id); }, Qt::QueuedConnection);
    return id;
}

bool CVYNDialog::UpdatePluginMenu(std::string const& path, QAction* action, unsigned long flags) {
    if (!m_plugin_menus.count(path)) return false;
    if (action) apply_flags(action, flags);
    return true;
}

bool CVYNDialog::UpdatePluginMenu(std::string const& path, std::string const& text, unsigned long flags) {
    auto at = m_plugin_menus.find(path);
    if (at == m_plugin_menus.end()) return false;
    QString const wanted = QString::fromUtf8(text.c_str());
    for (QAction* a : at->second->actions()) {
        if (!a->menu() && !a->isSeparator() && a->data().toString() == wanted) {
            apply_flags(a, flags);
            return true;
        }
    }
    return false;
}

int CVYNDialog::RemoveMenu(std::string const& path) {
    auto at = m_plugin_menus.find(path);
    if (at == m_plugin_menus.end()) return 0;
    // Only the entries that open the removed menu go; the plugins menu itself
    // (and the host's own submenus in it) are never taken out.
    QMenu* const gone = at->second.get();
    if (gone != m_context_menu.get()) {
        for (auto const& [other, menu] : m_plugin_menus) {
            QList<QAction*> const entries = menu->actions();
            for (int i = entries.size() - 1; i >= 0; --i)
                if (entries[i]->menu() == gone) menu->removeAction(entries[i]);
        }
    }
    m_plugin_menus.erase(at);
    return 1;
}

void CVYNDialog::update_load_menus() {
    std::vector<loaded_library> libraries;
    for (auto const& [key, lib] : plugin_host::instance().libraries()) {
        if (!lib || lib->handed_over()) continue;
        auto info = lib->get_info();
        libraries.push_back({info["name"], info["visible_name"]});
    }
    std::map<std::string, bool> const wanted =
        m_session ? m_session->state().wanted_plugins : std::map<std::string, bool>();
    // Entries are made once per name and then only updated: a plugin that
    // leaves the catalogue keeps its entry (a click on it only logs).
    for (load_entry const& e : load_entries(m_plugin_defs, libraries, wanted, m_plugin_min_versions)) {
        if (m_menu_items.count(e.name))
            UpdatePluginMenu(e.path, std::string("LOAD_PLUGIN"), e.flags);
        else
            m_menu_items[e.name] = AppendToPluginsMenu(e.name, e.path, "LOAD_PLUGIN", e.flags);
    }
}

void CVYNDialog::OnPluginMenu(uint32_t id) {
    for (auto const& [name, item] : m_menu_items) {
        if (item != id) continue;
        bool const listed = std::any_of(m_plugin_defs.begin(), m_plugin_defs.end(),
                                        [&](plugin_def const& d) { return d.get_name() == name; });
        if (!listed) {
            LogMessage2("load entry of " + name + " chosen: the plugin is not in the catalogue");
            return;
        }
        if (m_session) {
            m_session->state().wanted_plugins[name] = true;
            m_session->handle_command(vyn::origin::local, "module_plugin_load");
        }
        return;
    }
    std::string owner;
    {
        std::lock_guard<std::mutex> lock(m_cmd_ids_mutex);
        owner = command_owner(m_cmd_ids, m_next_cmd_id, id);
    }
    if (owner.empty()) return;
    // A plugin's entries may come before it is pinned: its library hears
    // the choice then.
    netbuf const packet = command_event_packet(std::to_string(id));
    try {
        if (!plugin_host::instance().pin_command(owner, packet)) libs_command(packet, owner);
    } catch (...) {
    }
}

void CVYNDialog::illuminate_plugin_button(std::string const& name, bool on) {
    auto at = m_plugin_buttons.find(name);
    if (at == m_plugin_buttons.end() || !at->second) return;
    push_button* b = at->second;
    b->setBtnTopImage(on ? mark_in_part(m_active_mark, b->mask(), b->size()) : QImage(), 1, 0);
}

void CVYNDialog::enable_plugin_button(std::string const& name, bool enable) {
    if (enable) return;
    auto at = m_plugin_buttons.find(name);
    if (at == m_plugin_buttons.end() || !at->second) return;
    LogMessage(("disable btn " + name).c_str());
    push_button* b = at->second;
    b->setBtnTopImage(mark_in_part(m_disabled_mark, b->mask(), b->size()), 1, 0);
    set_keyed_tip(b, "PLUGIN_DISABLED");
}

} // namespace tovan
