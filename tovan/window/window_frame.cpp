// What the window does about its frame on this platform, and the touch pad.
// The window has a fixed size, stays where the window manager (or the "pos"
// option) puts it and has no menu bar, so the size, position and menu-bar
// calls of the start-up are empty here.
#include "tovan/dialogs/num_pad.h"
#include "tovan/window/vyn_dialog.h"

namespace tovan {

void CVYNDialog::UpdateWindowSize() {}
void CVYNDialog::CorrectPosition() {}
void CVYNDialog::updateMenus() {}
void CVYNDialog::OnNormalWnd() {}

// The touch pad, made hidden; it types into the code field.
void CVYNDialog::create_numpad() {
    m_numpad = new CNumPad(this, IDC_CODE);
}
void CVYNDialog::ShowTouchScreen() {
    if (m_numpad) m_numpad->show();
}

} // namespace tovan
