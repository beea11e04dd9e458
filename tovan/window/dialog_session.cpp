// The dialog's side of a session: the action button, the chat line and log,
// the code field, the boxes workers ask for, the GUI tick, the saved
// connection and the shut-down. The session logic itself is desk_session's.
#include "tovan/dialogs/message_box.h"
#include "tovan/dialogs/xml_dialog.h"
#include "tovan/lang/translations.h"
#include "tovan/look/chat_text.h"
#include "tovan/util/log_message.h"
#include "tovan/window/desk_session.h"
#include "tovan/window/vyn_dialog.h"
#include "tovan/window/window_language.h"

#include "rulo/xfile.h"

#include <QApplication>
#include <QClipboard>
#include <QScrollBar>

namespace tovan {

namespace {

char const client_prefix[] = "<b><font color=ff8040>Client<font color=000000> : </b>";
char const desk_prefix[] = "<b><font color=007CC3>Desk<font color=000000> : </b>";

} // namespace

void CVYNDialog::create_connection_factory() {
    negotiation_core(); // before any reader routes a packet
}

vyn::session_state& CVYNDialog::state() const {
    return m_session->state();
}

void CVYNDialog::OnAction() {
    int64_t const state = this->state().state;
    LogMessage2("on action " + std::to_string(state));
    std::string typed;
    if (m_is_client && state == 0) {
        typed = IDC_CODE->text().toUtf8().toStdString();
        if (typed.empty() && this->state().connect_params.empty()) {
            // A status text: stored without the "generic_" prefix.
            MessageBox(this, get_lang_string("cli_dis_IDC_DESCRIPTION_TEXT", false, false), "", 0xa00001);
            return;
        }
    }
    if (state == 1 || state == 4) {
        MessageBox(this, get_lang_string("CONNECTING_DESCRIPTION", true, false), "", 0xa00001);
        return;
    }
    if (state == 5 || state == 6 || state == 7) {
        if (state != 5 && m_confirm &&
            MessageBox(this, get_lang_string("DO_DISCONNECT", true, false),
                       get_lang_string("QUESTION", true, false), 0xa00010) == IDNO)
            return;
        ShutdownConnection();
        return;
    }
    if (state != 0) return;
    if (!this->state().from_wex && !restored_connection()) {
        std::string const xml = GetLanguageDialog("sos_dialog");
        if (!xml.empty()) {
            CXMLDialog start_of_session(this);
            start_of_session.initDialog(xml);
            if (start_of_session.doModal(nullptr) != 1) return;
        }
    }
    m_session->connect_now(typed);
}

void CVYNDialog::OnSend() {
    std::string text = IDC_CHAT_TEXT->text().toUtf8().toStdString();
    IDC_CHAT_TEXT->clear();
    // Cut at a whole character: the other end and the log get valid UTF-8.
    text = look::cut_utf8(text, look::max_typed_line);
    if (!text.empty()) {
        if (!m_is_client && text.rfind("proxylog", 0) == 0)
            m_session->send_to_server(text);
        else
            show_utf8((m_is_client ? client_prefix : desk_prefix) + look::escape_typed(text), true,
                      m_is_client ? "client" : "desk");
    }
    IDC_CHAT_TEXT->setFocus();
}

void CVYNDialog::AddSystemMessage(std::string const& text, bool send) {
    if (!m_is_client && state().old_peer) return;
    if (!send)
        show_utf8(text, false, "message");
    else
        show_utf8((m_is_client ? "Client " : "Desk ") + text, true, m_is_client ? "client" : "desk");
}

void CVYNDialog::show_utf8(std::string const& line, bool send, std::string const& who) {
    if (m_session) m_session->show_line(line, send, who);
    record_chat_line(line, who);
}

void CVYNDialog::MsgBoxInMain(QString const& text, QString const& caption, int type) {
    emit emit_MessageBoxMain(text, caption, type);
}

void CVYNDialog::OnTimer() {
    if (m_session) m_session->tick();
}

void CVYNDialog::OnUpdateMessage() {
    if (m_session) m_session->dispatch_pending();
}

void CVYNDialog::SetNewCode(QString text) {
    IDC_CODE->setText(QString::fromLatin1(text.toLatin1()));
}

void CVYNDialog::appendChatHtml(QString html) {
    QScrollBar* bar = IDC_LOG_OUTPUT->verticalScrollBar();
    bool const at_end = bar->value() == bar->maximum();
    IDC_LOG_OUTPUT->append(html);
    if (at_end) bar->setValue(bar->maximum());
}

void CVYNDialog::ClearChat() {
    IDC_LOG_OUTPUT->setHtml(tr("CHAT_WELCOME2"));
    if (m_session) m_session->clear_chat();
}

void CVYNDialog::CopyChat() {
    if (m_session) QApplication::clipboard()->setText(m_session->chat_plain());
}

void CVYNDialog::SetChatMode(bool on) {
    state().layout_dirty = false;
    IDC_STATUS_DESCRIPTION->show();
    m_btn_send->setVisible(on);
    IDC_CHAT_TEXT->setVisible(on);
    m_btn_send->setDefault(on);
    m_btn_action->setDefault(!on);
    if (on) IDC_CHAT_TEXT->setFocus();
    // Start-up sets the chat mode before the dialog sits in the main window:
    // shown then, it would flash up as a window of its own and be replaced
    // when the main window takes it in.
    if (parentWidget()) show();
    CurrentVideoDock(1);
}

void CVYNDialog::ShutdownConnection() {
    g_clear_chat_pending = true;
    if (m_session) m_session->shut_down();
}

bool CVYNDialog::restored_connection() const {
    return state().restored();
}

void CVYNDialog::clear_connect_save_file() {
    LogMessage2(std::string("clear session file ") + (state().in_connection ? "1" : "0") + "," +
                std::to_string(m_restore_file.size()));
    if (!m_restore_file.empty()) {
        try {
            rulo::delete_file(m_restore_file);
        } catch (...) {
        }
        m_restore_file.clear();
    }
    state().connect_params.erase("__restore_connection__");
}

} // namespace tovan
