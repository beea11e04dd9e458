// The reusable modal password dialog: user name, password, an optional
// repeat field with a strength rule, and an optional "remember" box.
// GUI thread only.
#pragma once

#include <QDialog>
#include <QPointer>
#include <QString>

class QCheckBox;
class QLabel;
class QLineEdit;

namespace QtUtils {

// Bits of the password flags; others are ignored.
enum pwdFlags {
    pwd_no_user = 1, // the user-name field and its label are hidden
    pwd_repeat = 2,  // a second field must repeat the password
    pwd_strong = 4,  // with pwd_repeat: at least 6 characters, 2 of them digits
};

// At least 6 characters of which at least 2 are decimal digits.
bool is_strong_password(QString const& password);

// Shows the dialog modally. Accepted: user and password get the fields'
// texts, *remember (when given) the box's state, and the result is true.
// Rejected: nothing changes, false. context is the translation context of
// the dialog's own texts. While it is open, *shown (when given) points at it.
// The application's shown main window, when there is one, owns it.
bool enterPassword(char const* context, QString const& title, QString const& description, QString& user,
                   QString& password, bool* remember, int flags, QPointer<QDialog>* shown = nullptr);

QString fromUtf8(std::string const& text);
std::string toUtf8(QString const& text);

namespace qt_utils_pwd_private {

class enter_password : public QDialog {
    Q_OBJECT
public:
    enter_password(char const* context, int flags, QWidget* parent = nullptr);

    virtual QString xtr(char const* text, char const* comment = nullptr) const;
    void done(int result) override;

    QLabel* label_u;
    QLineEdit* username;
    QLabel* label_p;
    QLineEdit* password;
    QLabel* label_r;
    QLineEdit* repeat_password;
    QCheckBox* remember;
    QLabel* description;

private:
    char const* m_context;
    int m_flags;
};

} // namespace qt_utils_pwd_private

} // namespace QtUtils
