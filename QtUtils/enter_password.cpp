#include "QtUtils/enter_password.h"

#include <QApplication>
#include <QCheckBox>
#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMessageBox>
#include <QVBoxLayout>

namespace QtUtils {

namespace {

// The application's shown main window, which owns the dialog on the screen
// so that it stays above it; null when there is none.
QWidget* shown_main_window() {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (qobject_cast<QMainWindow*>(w) && w->isVisible()) return w;
    return nullptr;
}

} // namespace

QString fromUtf8(std::string const& text) {
    return QString::fromUtf8(text.data(), static_cast<int>(text.size()));
}

std::string toUtf8(QString const& text) {
    return text.toUtf8().toStdString();
}

bool is_strong_password(QString const& password) {
    int digits = 0;
    for (QChar c : password) digits += c.isDigit() && c.unicode() < 128;
    return password.size() >= 6 && digits >= 2;
}

namespace qt_utils_pwd_private {

enter_password::enter_password(char const* context, int flags, QWidget* parent)
    : QDialog(parent), m_context(context), m_flags(flags & 7) {
    // The form: icon and description, the fields in a grid, the buttons.
    setObjectName("QtUtilsEnterPassword");
    resize(366, 236);
    setWindowTitle("Dialog");
    auto* top = new QVBoxLayout(this);
    auto* row = new QHBoxLayout;
    auto* icon = new QLabel(this);
    icon->setObjectName("label");
    icon->setPixmap(QPixmap(":/qtutils_password/password.png"));
    description = new QLabel(this);
    description->setObjectName("description");
    description->setWordWrap(true);
    row->addWidget(icon);
    row->addWidget(description, 1);
    top->addLayout(row);
    auto* grid = new QGridLayout;
    auto field = [&](char const* label_name, char const* name, int grid_row, int rows, bool hidden_text,
                     QLabel*& l) {
        l = new QLabel(this);
        l->setObjectName(label_name);
        auto* e = new QLineEdit(this);
        e->setObjectName(name);
        if (hidden_text) e->setEchoMode(QLineEdit::Password);
        l->setBuddy(e);
        grid->addWidget(l, grid_row, 0, rows, 1);
        grid->addWidget(e, grid_row, 1, rows, 1);
        return e;
    };
    username = field("label_u", "username", 0, 1, false, label_u);
    password = field("label_p", "password", 1, 1, true, label_p);
    repeat_password = field("label_r", "repeat_password", 2, 2, true, label_r);
    remember = new QCheckBox(this);
    remember->setObjectName("remember");
    grid->addWidget(remember, 4, 1);
    top->addLayout(grid);
    auto* buttons =
        new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, Qt::Horizontal, this);
    buttons->setObjectName("buttonBox");
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    top->addWidget(buttons);
}

QString enter_password::xtr(char const* text, char const* comment) const {
    return QCoreApplication::translate(m_context, text, comment);
}

void enter_password::done(int result) {
    if (result == QDialog::Accepted && (m_flags & pwd_repeat)) {
        if (password->text() != repeat_password->text()) {
            QMessageBox::warning(this, windowTitle(), xtr("Passwords should match."), QMessageBox::Ok);
            return;
        }
        if ((m_flags & pwd_strong) && !is_strong_password(password->text())) {
            QMessageBox::warning(
                this, windowTitle(),
                xtr("Please enter strong password. Password should have at least 6 characters "
                    "and 2 numbers in it."),
                QMessageBox::Ok);
            return;
        }
    }
    QDialog::done(result);
}

} // namespace qt_utils_pwd_private

bool enterPassword(char const* context, QString const& title, QString const& description, QString& user,
                   QString& password, bool* remember, int flags, QPointer<QDialog>* shown) {
    qt_utils_pwd_private::enter_password d(context, flags, shown_main_window());
    d.setAttribute(Qt::WA_QuitOnClose, false);
    d.label_u->setText(d.xtr("&Username:"));
    d.label_p->setText(d.xtr("&Password:"));
    d.label_r->setText(d.xtr("&Repeat password:"));
    d.remember->setText(d.xtr("&Remember password"));
    d.setWindowTitle(title);
    d.description->setText(description);
    bool const no_user = flags & pwd_no_user;
    d.username->setVisible(!no_user);
    d.label_u->setVisible(!no_user);
    if (!no_user) d.username->setText(user);
    d.password->setText(password);
    bool const repeat = flags & pwd_repeat;
    d.repeat_password->setVisible(repeat);
    d.label_r->setVisible(repeat);
    if (repeat) d.repeat_password->setText(password);
    d.remember->setVisible(remember != nullptr);
    if (remember) d.remember->setChecked(*remember);
    (no_user || !user.isEmpty() ? d.password : d.username)->setFocus();
    d.resize(d.width(), d.minimumSizeHint().height());
    if (shown) *shown = &d;
    int const result = d.exec();
    if (shown) *shown = nullptr;
    if (result != QDialog::Accepted) return false;
    user = d.username->text();
    password = d.password->text();
    if (remember) *remember = d.remember->isChecked();
    return true;
}

} // namespace QtUtils
