// The dialog's calls into the parts of the program that are not built yet:
// the window's size and place, menus and plugins' settings pages. Each does
// nothing so far, so start-up and
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

// The touch pad, made hidden; it types into the code field.
void CVYNDialog::create_numpad() {
    m_numpad = new CNumPad(this, IDC_CODE);
}
void CVYNDialog::ShowTouchScreen() {
    if (m_numpad) m_numpad->show();
}

void CVYNDialog::OnNormalWnd() {}
} // namespace tovan
