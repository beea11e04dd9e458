#include "tovan/window/main_window.h"

#include "tovan/lang/translations.h"
#include "tovan/window/vyn_dialog.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QScreen>

namespace tovan {

VYNMainWindow* g_main_window = nullptr;

void VYNMainWindow::closeEvent(QCloseEvent* event) {
    CVYNDialog* d = CVYNDialog::m_global;
    if (!d || d->m_force_close) return;
    if (d->OnMainClose())
        event->accept();
    else
        event->ignore();
}

QString CVYNTranslator::translate(char const*, char const* source, char const*, int) const {
    if (!source || !*source) return QString();
    QString text = get_lang_string(source, true, false);
    return text.isEmpty() ? QString() : text;
}

QPoint position_on_screen(QRect const& a, QRect const& f, std::string const& where) {
    int const left = a.left(), top = a.top();
    int const right = a.right() - f.width() + 1, bottom = a.bottom() - f.height() + 1;
    if (where == "lefttop") return {left, top};
    if (where == "leftbottom") return {left, bottom};
    if (where == "righttop") return {right, top};
    if (where == "rightbottom") return {right, bottom};
    return {a.left() + a.width() / 2 - f.width() / 2, a.top() + a.height() / 2 - f.height() / 2};
}

void positionWidgetOnScreen(QWidget* w, std::string const& where) {
    QScreen* screen = QGuiApplication::primaryScreen();
    if (!w || !screen) return;
    w->move(position_on_screen(screen->availableGeometry(), w->frameGeometry(), where));
}

} // namespace tovan
