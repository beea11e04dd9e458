// A held Return or Enter key acts once. The key repeats while it is held,
// and every repeat would press the default button of whatever window has
// the focus: the main window's Connect again and again, and the OK of each
// failure box as soon as it shows, before the person has read it. The
// filter drops the repeated presses of those two keys before any widget
// sees them; a text field of several lines keeps them, as a writer holding
// Return means them. Installed once on the application; GUI thread only.
#pragma once

class QCoreApplication;

namespace tovan {

void install_held_keys_filter(QCoreApplication* app);

} // namespace tovan
