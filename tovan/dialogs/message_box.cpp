#include "tovan/dialogs/message_box.h"

#include "tovan/dialogs/held_keys.h"
#include "tovan/dialogs/vyn_string.h"
#include "tovan/lang/translations.h"
#include "tovan/util/log_message.h"

#include <QAbstractButton>
#include <QIcon>
#include <QLayout>

namespace tovan {

namespace {

message_box_responder& responder() {
    static message_box_responder r;
    return r;
}

QString button_text(char const* key, char const* fallback) {
    QString t = get_lang_string(key, true, false);
    return t.isEmpty() ? QString(fallback) : t;
}

} // namespace

QMessageBox::StandardButtons message_box_buttons(int type) {
    if (type & 0x1) return QMessageBox::Ok;
    if (type & 0x2) return QMessageBox::Ok | QMessageBox::Cancel;
    if (type & 0x10) return QMessageBox::Yes | QMessageBox::No;
    return QMessageBox::NoButton;
}

QMessageBox::Icon message_box_icon(int type) {
    if (type & 0x200) return QMessageBox::Warning;
    if (type & 0x400) return QMessageBox::Information;
    if (type & 0x100) return QMessageBox::Question;
    if (type & 0x80) return QMessageBox::Critical;
    if (type & 0x3) return QMessageBox::Information;
    if (type & 0x30) return QMessageBox::Question;
    if (type & 0x8) return QMessageBox::Question;
    return QMessageBox::NoIcon;
}

int message_box_answer(QMessageBox::StandardButton button) {
    switch (button) {
    case QMessageBox::Yes:
        return IDYES;
    case QMessageBox::No:
        return IDNO;
    case QMessageBox::Cancel:
        return IDCANCEL;
    case QMessageBox::Abort:
        return IDABORT;
    case QMessageBox::Retry:
        return IDRETRY;
    case QMessageBox::Ignore:
        return IDIGNORE;
    default:
        return IDOK;
    }
}

int MessageBox(QWidget* parent, QString const& text, QString const& caption, int type) {
    QMessageBox box(parent);
    mark_own_window(&box); // also when it has no parent
    box.setWindowIcon(QIcon(":/images/Tovan.png"));
    box.setWindowTitle(caption.isEmpty() ? QString("Tovan") : caption);
    shown_text const shown = text_to_show(text);
    box.setTextFormat(shown.format);
    box.setText(shown.text);
    // The log tells what the user was shown, as the user read it.
    LogMessage2("message box \"" + box.windowTitle().toStdString() + "\": " + text.toStdString());
    box.setIcon(message_box_icon(type));
    box.setStandardButtons(message_box_buttons(type));
    struct {
        QMessageBox::StandardButton b;
        char const* key;
        char const* fallback;
    } const button_keys[] = {{QMessageBox::Ok, "IDC_OK", "OK"},
                             {QMessageBox::Cancel, "IDC_CANCEL", "Cancel"},
                             {QMessageBox::Yes, "IDC_YES", "Yes"},
                             {QMessageBox::No, "IDC_NO", "No"}};
    for (auto const& n : button_keys)
        if (QAbstractButton* b = box.button(n.b)) b->setText(button_text(n.key, n.fallback));
    box.layout()->setSizeConstraint(QLayout::SetFixedSize);
    if (responder()) return message_box_answer(responder()(box));
    box.exec();
    return message_box_answer(box.standardButton(box.clickedButton()));
}

void set_message_box_responder(message_box_responder r) {
    responder() = std::move(r);
}

} // namespace tovan
