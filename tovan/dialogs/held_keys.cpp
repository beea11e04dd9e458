#include "tovan/dialogs/held_keys.h"

#include <QApplication>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QTextEdit>

namespace tovan {

namespace {

bool takes_lines(QWidget* w) {
    if (auto* t = qobject_cast<QTextEdit*>(w)) return !t->isReadOnly();
    if (auto* p = qobject_cast<QPlainTextEdit*>(w)) return !p->isReadOnly();
    return false;
}

class held_keys_filter : public QObject {
public:
    using QObject::QObject;
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() != QEvent::KeyPress) return false;
        auto const* key = static_cast<QKeyEvent const*>(event);
        if (!key->isAutoRepeat() || (key->key() != Qt::Key_Return && key->key() != Qt::Key_Enter))
            return false;
        return !takes_lines(QApplication::focusWidget());
    }
};

} // namespace

void install_held_keys_filter(QCoreApplication* app) {
    app->installEventFilter(new held_keys_filter(app));
}

} // namespace tovan
