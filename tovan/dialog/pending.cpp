// The dialog's calls into the parts of the program that are not built yet:
// the connection and its shut-down, the saved connection, the visual look,
// menus, the touch pad, plugins and the XML-described dialogs. Each does
// nothing so far, so start-up and shut-down run in their final order.
#include "tovan/dialog/program_args.h"
#include "tovan/dialog/vyn_dialog.h"

namespace tovan {

namespace {
std::vector<std::string>& args() {
    static std::vector<std::string>* a = new std::vector<std::string>;
    return *a;
}
} // namespace

void set_program_arguments(std::vector<std::string> a) {
    args() = std::move(a);
}

std::vector<std::string> const& program_arguments() {
    return args();
}

void CVYNDialog::ShutdownConnection() {}
bool CVYNDialog::restored_connection() const {
    return false;
}
void CVYNDialog::clear_connect_save_file() {}
void CVYNDialog::UpdateVisualLook() {
    // No plugin is loaded yet, so no plugin button has a place to show.
    for (push_button* b : {m_btn_file_transfer, m_btn_desktop, m_btn_video, m_btn_audio}) b->hide();
}
void CVYNDialog::UpdateWindowSize() {}
void CVYNDialog::SetChatMode(bool) {}
void CVYNDialog::CorrectPosition() {}
void CVYNDialog::updateMenus() {}
void CVYNDialog::ChooseBackground() {}
void CVYNDialog::co_language(std::string const&) {}
void CVYNDialog::create_connection_factory() {}
void CVYNDialog::create_plugin_manager() {}
void CVYNDialog::create_numpad() {}

void CVYNDialog::OnLog() {}
void CVYNDialog::OnAction() {}
void CVYNDialog::OnTimer() {}
void CVYNDialog::OnSend() {}
void CVYNDialog::OnCommand() {}
void CVYNDialog::OnNormalWnd() {}
void CVYNDialog::OnSettings() {}
void CVYNDialog::OnEmail() {}
void CVYNDialog::OnUpdateMessage() {}
void CVYNDialog::SetNewCode(QString) {}
void CVYNDialog::appendChatHtml(QString) {}
void CVYNDialog::ShowTouchScreen() {}
void CVYNDialog::ClearChat() {}
void CVYNDialog::CopyChat() {}
void CVYNDialog::Send2Proxy() {}
void CVYNDialog::chat_context(QPoint) {}
// Files dropped on the window wait for a plugin; until plugins come, the
// window takes no drop.
void CVYNDialog::dragEnterEvent(QDragEnterEvent* event) {
    QDialog::dragEnterEvent(event);
}
void CVYNDialog::dropEvent(QDropEvent* event) {
    QDialog::dropEvent(event);
}

} // namespace tovan
