// The dialog's calls into the parts of the program that are not built yet:
// the window's size and place, menus, the background, the touch pad,
// and the settings. Each does nothing so far, so start-up and
// shut-down run in their final order.
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

void CVYNDialog::UpdateWindowSize() {}
void CVYNDialog::CorrectPosition() {}
void CVYNDialog::updateMenus() {}
void CVYNDialog::ChooseBackground() {}
void CVYNDialog::co_language(std::string const&) {}
void CVYNDialog::create_numpad() {}

void CVYNDialog::OnLog() {}
void CVYNDialog::OnCommand() {}
void CVYNDialog::OnNormalWnd() {}
void CVYNDialog::OnSettings() {}
void CVYNDialog::OnEmail() {}
void CVYNDialog::ShowTouchScreen() {}
void CVYNDialog::Send2Proxy() {}
void CVYNDialog::chat_context(QPoint) {}
void CVYNDialog::updateDialogItem(std::string const&, uint64_t, uint64_t) {}
int CVYNDialog::connect_save(netbuf const&) {
    return 0;
}
} // namespace tovan
