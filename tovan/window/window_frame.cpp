// What the window does about its frame on this platform, and the touch pad.
// The window has a fixed size, stays where the window manager (or the "pos"
// option) puts it and has no menu bar, so the size, position and menu-bar
// calls of the start-up are empty here.
#include "tovan/dialogs/num_pad.h"
#include "tovan/window/main_window.h"
#include "tovan/window/vyn_dialog.h"

#include <QMetaObject>

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
    if (!m_numpad) return;
    // At start-up the dialog is not yet in the main window: the pad waits
    // for the event loop, when the window it belongs to is shown.
    if (!g_main_window || !g_main_window->isVisible()) {
        QMetaObject::invokeMethod(
            this, [this] { m_numpad->show_beside(g_main_window); }, Qt::QueuedConnection);
        return;
    }
    m_numpad->show_beside(g_main_window);
}

} // namespace tovan
