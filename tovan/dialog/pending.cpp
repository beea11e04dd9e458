// The dialog's calls into the parts of the program that are not built yet:
// the window's size and place, menus, the background, plugins and the
// settings. Each does nothing so far, so start-up and
// shut-down run in their final order.
#include "tovan/dialog/program_args.h"
#include "tovan/dialog/vyn_dialog.h"
#include "tovan/dialogs/num_pad.h"

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

void CVYNDialog::UpdateWindowSize() {}
void CVYNDialog::CorrectPosition() {}
void CVYNDialog::updateMenus() {}
void CVYNDialog::ChooseBackground() {}
void CVYNDialog::co_language(std::string const&) {}
void CVYNDialog::create_plugin_manager() {}

// The touch pad, made hidden; it types into the code field.
void CVYNDialog::create_numpad() {
    m_numpad = new CNumPad(this, IDC_CODE);
}
void CVYNDialog::ShowTouchScreen() {
    if (m_numpad) m_numpad->show();
}

void CVYNDialog::OnLog() {}
void CVYNDialog::OnCommand() {}
void CVYNDialog::OnNormalWnd() {}
void CVYNDialog::OnEmail() {}
void CVYNDialog::Send2Proxy() {}
void CVYNDialog::chat_context(QPoint) {}
void CVYNDialog::updateDialogItem(std::string const&, uint64_t, uint64_t) {}
int CVYNDialog::connect_save(netbuf const&) {
    return 0;
}
bool CVYNDialog::has_network() {
    return false;
}
// Files dropped on the window wait for a plugin; until plugins come, the
// window takes no drop.
void CVYNDialog::dragEnterEvent(QDragEnterEvent* event) {
    QDialog::dragEnterEvent(event);
}
void CVYNDialog::dropEvent(QDropEvent* event) {
    QDialog::dropEvent(event);
}

} // namespace tovan
