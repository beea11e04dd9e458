// The main window's commands: the plugin buttons, the log viewer, the mail
// link, the proxy log line, the language told to the server, the chat
// input's keys, the chat log's links and the saved connection. Decisions
// come from tovan/look; this file carries them out on the GUI thread.
#include "tovan/dialogs/message_box.h"
#include "tovan/lang/translations.h"
#include "tovan/look/chat_text.h"
#include "tovan/look/user_commands.h"
#include "tovan/plugins/negotiation.h"
#include "tovan/plugins/plugin_host.h"
#include "tovan/session/control_rpc.h"
#include "tovan/util/log_message.h"
#include "tovan/window/desk_session.h"
#include "tovan/window/vyn_dialog.h"

#include "rulo/process.h"
#include "rulo/xfile.h"

#include <QDir>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QProcess>

#include <mutex>
#include <utility>

namespace tovan {

namespace {

std::mutex viewers_mutex;
std::vector<std::string>& viewers() {
    static auto* v = new std::vector<std::string>{"/usr/bin/gedit", "/usr/bin/kate"};
    return *v;
}

} // namespace

void set_log_viewers(std::vector<std::string> programs) {
    std::lock_guard<std::mutex> lock(viewers_mutex);
    viewers() = std::move(programs);
}

void CVYNDialog::OnCommand() {
    auto* button = qobject_cast<push_button*>(sender());
    if (!button) return;
    auto const [plugin, event] = look::button_plugin(button->objectName().toStdString());
    if (plugin.empty()) return;
    look::button_input in;
    in.plugin = plugin;
    in.event = event;
    in.peer_version = state().peer_version.get();
    for (plugin_def const& d : m_plugin_defs)
        if (d.get_name() == plugin) in.catalogue_states.push_back(d.state);
    if (session()) {
        auto const& wanted = session()->state().wanted_plugins;
        auto const w = wanted.find(plugin);
        in.wanted = w != wanted.end() && w->second;
    }
    in.running = m_negotiation && m_negotiation->plugin_channels().count(plugin) > 0;
    // Libraries stay loaded for the process: only a pin takes the event.
    in.pinned = static_cast<bool>(plugin_host::instance().get_pin(plugin));
    look::button_action const a = look::plugin_button(in);
    if (!a.box.empty()) {
        MessageBoxU(a.box.c_str(), nullptr, 0xa00001);
        return;
    }
    if (!a.event.empty()) {
        NotifyGuiEvent(plugin, a.event);
        return;
    }
    if (!a.pending_event.empty() && m_negotiation)
        m_negotiation->set_pending_gui_event(plugin, a.pending_event);
    if (a.toggle) {
        if (session()) session()->state().wanted_plugins[plugin] = a.new_wanted;
        if (session()) session()->handle_command(vyn::origin::local, "module_plugin_load");
    }
}

void CVYNDialog::OnLog() {
    if (log_is_debug() || m_log_path.empty()) return;
    QString const path = QDir(QString::fromStdString(m_log_path)).absolutePath();
    std::vector<std::string> programs;
    {
        std::lock_guard<std::mutex> lock(viewers_mutex);
        programs = viewers();
    }
    for (auto const& program : programs) {
        if (!rulo::file_exists(program)) continue;
        QProcess::startDetached(QString::fromStdString(program), {path});
        return;
    }
    MessageBox(this,
               "Unable to find a suitable program to open the log file.\nPlease open " + path + " manually.",
               "Error", 0xa00081);
}

void CVYNDialog::OnEmail() {
    auto rpc = session() ? session()->control_client() : rulo::object<vyn::control_rpc>();
    if (!rpc) return;
    std::string subject, unused, body;
    try {
        rpc->co_get_mail_template(subject, unused, body);
    } catch (...) {
        return;
    }
    try {
        rulo::generic_open(look::mail_url(subject, body));
    } catch (...) {
        LogMessage("Error launching the program associated with mailto.");
    }
}

void CVYNDialog::Send2Proxy() {
    std::string const text = look::proxy_log_text(IDC_CHAT_TEXT->text().toUtf8().toStdString());
    if (session()) session()->send_to_server(text);
    IDC_CHAT_TEXT->clear();
    IDC_CHAT_TEXT->setFocus();
}

void CVYNDialog::co_language(std::string const& code) {
    auto rpc = session() ? session()->control_client() : rulo::object<vyn::control_rpc>();
    if (!rpc) return;
    try {
        rpc->co_language(code);
    } catch (...) {
    }
}

bool CVYNDialog::eventFilter(QObject* watched, QEvent* event) {
    if (watched == IDC_CHAT_TEXT && event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(event)->key() == Qt::Key_Return) {
        OnSend();
        return true;
    }
    // A click on a link in the chat log opens its address: press and
    // release on the same link, so a selection dragged over one does not.
    if (watched == IDC_LOG_OUTPUT->viewport() &&
        (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonRelease)) {
        auto const* mouse = static_cast<QMouseEvent*>(event);
        QString const link = mouse->button() == Qt::LeftButton ? IDC_LOG_OUTPUT->anchorAt(mouse->pos()) : "";
        if (event->type() == QEvent::MouseButtonPress) {
            m_pressed_link = link;
        } else if (look::opens_from_chat(link.toStdString()) &&
                   link == std::exchange(m_pressed_link, QString())) {
            try {
                rulo::generic_open(link.toUtf8().toStdString());
            } catch (...) {
            }
        }
    }
    return QDialog::eventFilter(watched, event);
}

int CVYNDialog::connect_save(netbuf const& packet) {
    auto const args = look::parse_connect_save(packet);
    if (!args) return 0;
    if (!args->save) {
        clear_connect_save_file();
        return 1;
    }
    return session() && session()->save_connection(args->file, args->keep) ? 1 : 0;
}

} // namespace tovan
