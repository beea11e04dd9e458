// The dialog's plugin-facing side: the services the plugin host calls, the
// window's notifications to plugins, drag and drop, and the test fixture's
// plugin directory. The plugin logic itself is in tovan/plugins/.
#include "tovan/lang/translations.h"
#include "tovan/plugins/gui_notify.h"
#include "tovan/plugins/negotiation.h"
#include "tovan/plugins/plugin_host.h"
#include "tovan/session/command_queue.h"
#include "tovan/util/log_message.h"
#include "tovan/window/desk_session.h"
#include "tovan/window/main_window.h"
#include "tovan/window/vyn_dialog.h"
#include "tovan/window/window_language.h"

#include "rulo/lock.h"
#include "rulo/packet.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QMimeData>
#include <QWidget>

#include <cstdlib>

namespace tovan {

namespace {

// What the plugin host asks of the program. Fixed values are copied at
// start; everything else goes to the session's thread-safe operations or,
// for the commands that plugins send from the GUI thread, to the dialog.
class dialog_plugin_services : public host_services {
public:
    explicit dialog_plugin_services(CVYNDialog& d)
        : m_dialog(d), m_args(d.m_args), m_ini_path(d.m_ini_path), m_ini_section(d.m_ini_section),
          m_is_client(d.m_is_client) {}

    void log(std::string const& text) override { LogMessage2(text); }
    void system_message(std::string const& text, bool send) override {
        m_dialog.AddSystemMessage(text, send);
    }
    bool send_session(int sub, netbuf const& data) override {
        return session() && session()->send_plugin_data(sub, data);
    }
    int64_t connection_state() override { return session() ? session()->connection_state() : 0; }
    std::string peer_version() override { return session() ? session()->peer_version() : std::string(); }
    std::string program_link(option_map const& params) override {
        if (!session()) throw rulo::exception::function("get_program_link");
        return session()->program_link(params);
    }
    std::vector<std::string> arguments() override { return m_args; }
    std::string ini_path() override { return m_ini_path; }
    std::string ini_section() override { return m_ini_section; }
    std::string translate(std::string const& key) override { return get_utf8_string(key, true, false); }
    void add_translations(std::string const& path) override { read_all_languages(path, true); }
    void add_translation_text(std::string const& text) override { add_language_text(text); }
    bool is_client() override { return m_is_client; }
    int64_t main_window() override { return static_cast<int64_t>(reinterpret_cast<intptr_t>(g_main_window)); }
    bool plain_log_closed() override { return log_is_debug(); }
    std::string window_status() override { return {}; }
    bool app_options_for(std::string const& component, std::string const& event, option_map& out) override {
        auto c = m_dialog.m_app_options.find(component);
        if (c == m_dialog.m_app_options.end()) return false;
        auto e = c->second.find(event);
        if (e == c->second.end()) return false;
        out = e->second;
        return true;
    }
    void queue_command(std::string const& text) override {
        if (session()) session()->handle_command(vyn::origin::local, text);
    }
    bool update_flags(uint64_t clear, uint64_t set) override {
        return session() && session()->update_flags(clear, set);
    }
    uint64_t flags() override { return session() ? session()->flags() : 0; }
    void update_dialog_item(std::string const& item, uint64_t mask, uint64_t style) override {
        m_dialog.updateDialogItem(item, mask, style);
    }
    void translate_widget(int64_t widget) override {
        if (widget) SetWindowLanguage(reinterpret_cast<QWidget*>(static_cast<intptr_t>(widget)));
    }
    void set_widget_tip(int64_t widget, std::string const& key) override {
        if (widget)
            reinterpret_cast<QWidget*>(static_cast<intptr_t>(widget))
                ->setToolTip(get_lang_string(key, true, false));
    }
    int connect_save(netbuf const& packet) override { return m_dialog.connect_save(packet); }
    bool set_priority(int priority, int sub) override {
        return session() && session()->set_plugin_priority(priority, sub);
    }
    bool load_plugin_record(std::string const& rest) override {
        if (!m_dialog.negotiation_core()) return false;
        m_dialog.HandlePluginInit("module_plugin_load-plugin " + rest, true);
        return true;
    }
    bool set_channel(std::string const& plugin, int sub, bool create) override {
        negotiation* n = m_dialog.negotiation_core(); // made with the session, before any plugin
        if (!n) return false;
        rulo::rulo_lock_guard lock;
        return n->change_channel(plugin, sub, create);
    }
    uint32_t allocate_command(std::string const& plugin, int64_t count) override {
        return m_dialog.AllocateCmdID(plugin, count);
    }
    uint32_t append_menu(std::string const& plugin, std::string const& path, std::string const& text,
                         uint64_t flags) override {
        return m_dialog.AppendToPluginsMenu(plugin, path, text, static_cast<unsigned long>(flags));
    }
    bool update_menu_action(std::string const& path, int64_t action, uint64_t flags) override {
        return m_dialog.UpdatePluginMenu(path, reinterpret_cast<QAction*>(static_cast<intptr_t>(action)),
                                         static_cast<unsigned long>(flags));
    }
    bool update_menu_item(std::string const& path, std::string const& text, uint64_t flags) override {
        return m_dialog.UpdatePluginMenu(path, text, static_cast<unsigned long>(flags));
    }
    int remove_menu(std::string const& path) override { return m_dialog.RemoveMenu(path); }
    void plugin_active(std::string const& plugin, bool on) override {
        m_dialog.illuminate_plugin_button(plugin, on);
    }

private:
    desk_session* session() { return m_dialog.session(); }

    CVYNDialog& m_dialog;
    std::vector<std::string> const m_args;
    std::string const m_ini_path, m_ini_section;
    bool const m_is_client;
};

} // namespace

void CVYNDialog::start_plugin_host() {
    m_plugin_services = std::make_unique<dialog_plugin_services>(*this);
    plugin_host::instance().set_services(m_plugin_services.get());
    if (char const* dir = std::getenv("TOVAN_TEST_PLUGINS")) m_plugin_defs = definitions_from_directory(dir);
}

void CVYNDialog::load_test_plugins() {
    for (int i = 0; i < static_cast<int>(m_plugin_defs.size()); ++i) load_plugin(i, false);
}

plugin* CVYNDialog::load_plugin(int index, bool make_pin) {
    plugin* p = plugin_host::instance().load_plugin(m_plugin_defs, index, make_pin);
    if (!make_pin) update_load_menus();
    return p;
}

void CVYNDialog::NotifyGuiEvent(std::string const& name, std::string const& text) {
    notify_gui_event(name, text);
}

void CVYNDialog::CurrentVideoDock(int dock) {
    current_video_dock(dock);
}

void CVYNDialog::NotifyGuiStatus(std::string const& name) {
    uint64_t const flags = m_session ? m_session->flags() : 0;
    notify_gui_status(name, static_cast<uint64_t>(state().state.load()) | flags);
}

void CVYNDialog::send_options_2_plugin(std::string const& name, std::string const& event) {
    if (m_plugin_services) send_options_to_plugin(*m_plugin_services, name, event);
}

void CVYNDialog::NotifyGuiDragDrop(QList<QUrl> const& urls, std::string const& name) {
    std::vector<std::string> paths;
    for (QUrl const& url : urls) paths.push_back(QFile::encodeName(url.toLocalFile()).toStdString());
    std::string const joined = join_drop_paths(paths);
    plugin_host& host = plugin_host::instance();
    if (!host.get_pin("file_transfer")) {
        LogMessage2("(drag & drop ft delayed) drag & drop file list is saved and scheduled to be transferred "
                    "after the file_transfer plugin has loaded.");
        if (negotiation* n = negotiation_core()) n->set_pending_drop(joined);
        if (m_session) {
            m_session->state().wanted_plugins["file_transfer"] = true;
            m_session->handle_command(vyn::origin::local, "module_plugin_load");
        }
        return;
    }
    netbuf const packet = drag_drop_packet(joined);
    try {
        if (name.empty())
            host.libs_command(packet, "");
        else
            host.pin_command(name, packet);
    } catch (...) {
    }
}

void CVYNDialog::record_chat_line(std::string const& line, std::string const& who) {
    netbuf packet = netbuf::from_string(chat_line_html(line));
    rulo_packet_push(packet, who, std::string("chat"), std::string("Tovan"));
    plugin_host::instance().invoke_callback("recording/data", packet.get_ptr());
}

void CVYNDialog::dragEnterEvent(QDragEnterEvent* event) {
    if (event->mimeData() && event->mimeData()->hasUrls())
        event->acceptProposedAction();
    else
        event->ignore();
}

void CVYNDialog::dropEvent(QDropEvent* event) {
    if (event->mimeData()) NotifyGuiDragDrop(event->mimeData()->urls(), "");
    event->acceptProposedAction();
}

} // namespace tovan
