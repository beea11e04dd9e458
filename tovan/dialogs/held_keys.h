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

#include <optional>

class QCoreApplication;
class QWidget;

namespace tovan {

// Decides, key event by key event, whether a Return or Enter press is a
// repeat of a held key: marked as one, or right after the release of the
// same key with the same time stamp. Fed every key press and release the
// application sees, in order, each delivery of it (Qt hands one event to
// the window, the widget and its parents in turn): an event is judged at its
// first delivery and gets the same verdict at the others. GUI thread only.
class held_return_judge {
public:
    struct key_event {
        void const* id; // the event object; reused by later events
        bool press;     // else a release
        int key;
        unsigned long time;
        bool auto_repeat;
        // A further delivery of this event rather than a new one: the
        // same object with the same contents, nothing else between them.
        bool same_delivery(key_event const& o) const {
            return id == o.id && press == o.press && key == o.key && time == o.time &&
                   auto_repeat == o.auto_repeat;
        }
    };
    bool is_repeat(key_event const& e);

private:
    std::optional<key_event> m_last;    // the last event seen, for its further deliveries
    bool m_verdict = false;             // and its verdict
    std::optional<key_event> m_release; // a Return or Enter release just before
};

void install_held_keys_filter(QCoreApplication* app);
// Marks a window as one of the program's own.
void mark_own_window(QWidget* window);

} // namespace tovan
