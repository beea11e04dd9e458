// Message boxes with numeric type bits and numeric answers, as the dialog
// code speaks of them. GUI thread only; workers go through the dialog's
// message-box signal.
#pragma once

#include <QMessageBox>
#include <QString>

#include <functional>

namespace tovan {

inline constexpr int IDOK = 1, IDCANCEL = 2, IDABORT = 3, IDRETRY = 4, IDIGNORE = 5, IDYES = 6, IDNO = 7;

// The buttons and icon the type bits ask for.
QMessageBox::StandardButtons message_box_buttons(int type);
QMessageBox::Icon message_box_icon(int type);
// The numeric answer of a pressed button.
int message_box_answer(QMessageBox::StandardButton button);

// Shows the box modally and returns the answer. Tests and scripted runs may
// install a responder: it gets the fully built box instead of the user and
// returns the button to press (NoButton: as if the box were closed).
int MessageBox(QWidget* parent, QString const& text, QString const& caption, int type);
using message_box_responder = std::function<QMessageBox::StandardButton(QMessageBox&)>;
void set_message_box_responder(message_box_responder responder);

} // namespace tovan
