// A held Return or Enter key acts once. The key repeats while it is held,
// and every repeat would press the default button of whatever window has
// the focus: the main window's Connect again and again, and the OK of each
// failure box as soon as it shows, before the person has read it. The
// filter drops the repeated presses of those two keys before any widget
// sees them; a text field of several lines keeps them, as a writer holding
// Return means them. Installed once on the application; GUI thread only.
//
// Only the program's own windows are filtered: a plugin's window (a remote
// view that forwards every key) keeps its repeats. Own are the windows
// marked with mark_own_window (the main dialog, the message boxes), the
// password dialog, and every dialog or message box whose parent is in an
// own window. The main window that carries the main dialog is not marked:
// it is the window plugins are handed to open theirs over, so a plugin's
// window made its child is not one of the program's own, and neither is a
// dialog over it.
#pragma once

class QCoreApplication;
class QWidget;

namespace tovan {

void install_held_keys_filter(QCoreApplication* app);
// Marks a window as one of the program's own.
void mark_own_window(QWidget* window);

} // namespace tovan
