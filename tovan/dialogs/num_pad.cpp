#include "tovan/dialogs/num_pad.h"

#include "tovan/dialogs/vyn_string.h"
#include "tovan/look/window_look.h"

#include <QCoreApplication>
#include <QEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QWindow>

namespace tovan {

CNumPad::CNumPad(QWidget* parent, QLineEdit* target)
    : QDialog(parent, Qt::MSWindowsFixedSizeDialogHint | Qt::WindowSystemMenuHint | Qt::WindowTitleHint |
                          Qt::WindowStaysOnTopHint),
      m_target(target) {
    // The pad is pressed, never typed into: showing it or pressing its keys
    // leaves the keyboard with the window whose code field it fills.
    setWindowFlag(Qt::WindowDoesNotAcceptFocus);
    setAttribute(Qt::WA_ShowWithoutActivating);
    setObjectName("IDD_NUMPAD");
    resize(300, 400);
    setWindowTitle(QCoreApplication::translate("IDD_NUMPAD", "Touch Pad"));
    struct key {
        char const* name;
        char const* text;
        int x, y;
    } const keys[] = {
        {"IDC_N1", "1", 5, 5},      {"IDC_N2", "2", 105, 5},    {"IDC_N3", "3", 205, 5},
        {"IDC_N4", "4", 5, 105},    {"IDC_N5", "5", 105, 105},  {"IDC_N6", "6", 205, 105},
        {"IDC_N7", "7", 5, 205},    {"IDC_N8", "8", 105, 205},  {"IDC_N9", "9", 205, 205},
        {"IDC_N11", "F11", 5, 305}, {"IDC_N10", "0", 105, 305}, {"IDC_N12", "F12", 205, 305},
    };
    for (auto const& k : keys) {
        auto* b = new QPushButton(QCoreApplication::translate("IDD_NUMPAD", k.text), this);
        b->setObjectName(k.name);
        b->setGeometry(k.x, k.y, 90, 90);
        // F11 and F12 are never offered.
        if (k.text[0] == 'F') {
            b->hide();
            continue;
        }
        b->setFont(QFont("Arial", 22));
        connect(b, &QPushButton::clicked, this, &CNumPad::TouchPadClicked);
    }
}

void CNumPad::TouchPadClicked() {
    auto* key = qobject_cast<QWidget*>(sender());
    if (!key || !m_target) return;
    // Appended at the end whatever the cursor, also into a read-only field.
    vyn_string(vyn_string::GetWindowText(m_target).str() + vyn_string::GetWindowText(key).str())
        .SetWindowText(m_target);
}

void CNumPad::show_beside(QWidget* window) {
    if (window != m_window) {
        if (m_window) m_window->removeEventFilter(this);
        m_window = window;
        if (window) window->installEventFilter(this);
    }
    // The owner is named when the pad maps: the window as it is now, not
    // one the dialog had before it was put into the main window.
    if (window && !isVisible()) {
        winId();
        if (windowHandle() && window->windowHandle())
            windowHandle()->setTransientParent(window->windowHandle());
    }
    place();
    show();
    raise();
}

bool CNumPad::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_window && isVisible()) {
        switch (event->type()) {
        case QEvent::Move:
        case QEvent::Resize:
            place();
            break;
        case QEvent::WinIdChange:
            // The window gets a new native window (its flags changed): once
            // that is done and shown, the pad maps again, owned by the new one.
            if (!m_reown_queued) {
                m_reown_queued = true;
                QMetaObject::invokeMethod(
                    this,
                    [this] {
                        m_reown_queued = false;
                        if (!isVisible() || !m_window) return;
                        hide();
                        show_beside(m_window);
                    },
                    Qt::QueuedConnection);
            }
            break;
        default:
            break;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void CNumPad::place() {
    if (!m_window || !m_window->screen()) return;
    QRect const w = m_window->frameGeometry(), a = m_window->screen()->availableGeometry();
    // Until the pad has been framed its frame is not known: the window's
    // frame margins (the same window manager's) stand in for its own.
    QSize const margins = w.size() - m_window->size();
    QSize const own = frameGeometry().size() != size() ? frameGeometry().size() : size() + margins;
    look::point const at =
        look::beside({w.x(), w.y(), w.width(), w.height()}, {0, 0, own.width(), own.height()},
                     {a.x(), a.y(), a.width(), a.height()});
    if (QPoint(at.x, at.y) != pos()) move(at.x, at.y);
}

} // namespace tovan
