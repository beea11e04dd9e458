#include "tovan/dialogs/num_pad.h"

#include "tovan/dialogs/vyn_string.h"

#include <QCoreApplication>
#include <QLineEdit>
#include <QPushButton>

namespace tovan {

CNumPad::CNumPad(QWidget* parent, QLineEdit* target)
    : QDialog(parent, Qt::MSWindowsFixedSizeDialogHint | Qt::WindowSystemMenuHint | Qt::WindowTitleHint |
                          Qt::WindowStaysOnTopHint),
      m_target(target) {
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

} // namespace tovan
