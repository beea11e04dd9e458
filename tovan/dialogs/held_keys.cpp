#include "tovan/dialogs/held_keys.h"

#include "QtUtils/enter_password.h"

#include <QApplication>
#include <QDialog>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QTextEdit>

namespace tovan {

namespace {

char const* const own_window_property = "tovan_own_window";

bool takes_lines(QWidget* w) {
    if (auto* t = qobject_cast<QTextEdit*>(w)) return !t->isReadOnly();
    if (auto* p = qobject_cast<QPlainTextEdit*>(w)) return !p->isReadOnly();
    return false;
}

bool in_own_window(QWidget const* widget) {
    for (QWidget const* w = widget; w; w = w->parentWidget()) {
        if (w->property(own_window_property).toBool() ||
            qobject_cast<QtUtils::qt_utils_pwd_private::enter_password const*>(w))
            return true;
        // A dialog belongs to the window it was opened over; any other
        // window is its own maker's.
        if (w->isWindow() && !qobject_cast<QDialog const*>(w)) return false;
    }
    return false;
}

class held_keys_filter : public QObject {
public:
    using QObject::QObject;
    bool eventFilter(QObject* receiver, QEvent* event) override {
        if (event->type() != QEvent::KeyPress && event->type() != QEvent::KeyRelease) return false;
        auto const* key = static_cast<QKeyEvent const*>(event);
        bool const repeat = m_judge.is_repeat(
            {event, event->type() == QEvent::KeyPress, key->key(), key->timestamp(), key->isAutoRepeat()});
        // Qt hands the key to the window object first, then to the widget:
        // dropped at the widget, which tells whose window it is.
        return repeat && receiver->isWidgetType() && in_own_window(static_cast<QWidget*>(receiver)) &&
               !takes_lines(QApplication::focusWidget());
    }

private:
    held_return_judge m_judge;
};

} // namespace

bool held_return_judge::is_repeat(key_event const& e) {
    if (m_last && m_last->same_delivery(e)) return m_verdict;
    bool const held_key = e.key == Qt::Key_Return || e.key == Qt::Key_Enter;
    // The X server repeats a held key as a release and a press of one time
    // stamp, with nothing between them. Qt marks the pair as a repeat only
    // when the press has already arrived as it reads the release, which a
    // busy program misses: the time stamps tell it whatever the timing. Keys
    // typed at machine speed share a time stamp too, but another key comes
    // between two of their Returns.
    m_verdict = e.press && held_key &&
                (e.auto_repeat || (m_release && m_release->key == e.key && m_release->time == e.time));
    m_release.reset();
    if (!e.press && held_key) m_release = e;
    m_last = e;
    return m_verdict;
}

void install_held_keys_filter(QCoreApplication* app) {
    app->installEventFilter(new held_keys_filter(app));
}

void mark_own_window(QWidget* window) {
    window->setProperty(own_window_property, true);
}

} // namespace tovan
