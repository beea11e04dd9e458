#include "tovan/window/main_form.h"

#include <QBuffer>
#include <QFile>
#include <QFont>
#include <QIcon>
#include <QImageReader>
#include <QPixmap>

namespace tovan {

namespace {

struct palette_row {
    QPalette::ColorRole role;
    QColor active, inactive, disabled;
};

} // namespace

QPalette dialog_palette(bool logo) {
    QColor const white(255, 255, 255), black(0, 0, 0), grey(127, 127, 127), dark(106, 104, 100);
    palette_row const rows[] = {
        {QPalette::WindowText, black, grey, grey},
        {QPalette::Button, white, white, white},
        {QPalette::Light, white, white, white},
        {QPalette::Midlight, QColor(233, 231, 227), QColor(233, 231, 227), QColor(233, 231, 227)},
        {QPalette::Dark, dark, dark, dark},
        {QPalette::Mid, QColor(160, 160, 164), QColor(160, 160, 164), QColor(160, 160, 164)},
        {QPalette::Text, black, grey, grey},
        {QPalette::BrightText, white, white, white},
        {QPalette::ButtonText, black, black, dark},
        {QPalette::Base, white, white, QColor(212, 208, 200)},
        {QPalette::Window, white, white, white},
        {QPalette::Shadow, QColor(220, 220, 220), QColor(230, 230, 230), QColor(230, 230, 230)},
        {QPalette::Highlight, QColor(255, 210, 129), QColor(208, 208, 208), QColor(208, 208, 208)},
        {QPalette::HighlightedText, black, grey, grey},
        {QPalette::Link, QColor(0, 0, 255), QColor(0, 0, 255), QColor(0, 0, 255)},
        {QPalette::LinkVisited, QColor(255, 0, 255), QColor(255, 0, 255), QColor(255, 0, 255)},
        {QPalette::AlternateBase, white, white, white},
    };
    QPalette p;
    for (auto const& r : rows) {
        QColor alt = logo && r.role == QPalette::AlternateBase ? QColor(237, 243, 254) : QColor();
        p.setColor(QPalette::Active, r.role, alt.isValid() ? alt : r.active);
        p.setColor(QPalette::Inactive, r.role, alt.isValid() ? alt : r.inactive);
        p.setColor(QPalette::Disabled, r.role, alt.isValid() ? alt : r.disabled);
    }
    return p;
}

QImage read_image_as(QString const& path, char const* format) {
    QImageReader reader(path, format);
    reader.setAutoDetectImageFormat(false);
    return reader.read();
}

QImage decode_image(QByteArray const& bytes, char const* likely) {
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, likely);
    reader.setAutoDetectImageFormat(false);
    QImage image = reader.read();
    // Data the likely format does not read is what recognising the format
    // would not have given to it either.
    if (image.isNull()) image.loadFromData(bytes);
    return image;
}

void Ui_IDD_TOVANDIALOG::setupUi(QDialog* dialog) {
    dialog->setObjectName("IDD_TOVANDIALOG");
    dialog->setEnabled(true);
    dialog->resize(dialog_width, dialog_height);
    dialog->setMinimumSize(dialog_width, dialog_height);
    dialog->setMaximumSize(dialog_width, dialog_height);
    // An icon made from a file that is not there asks every image plugin
    // whether it can read it, and so loads them all: a missing file gives
    // the same empty icon without that.
    QString const icon_file = "tovansmall.bmp";
    dialog->setWindowIcon(QFile::exists(icon_file) ? QIcon(icon_file) : QIcon());
    QFont font("Lucida Grande", 12, 50);
    dialog->setFont(font);
    dialog->setPalette(dialog_palette(false));

    IDC_STATIC_TEXT = new QLabel(dialog);
    IDC_STATIC_TEXT->setObjectName("IDC_STATIC_TEXT");
    IDC_STATIC_TEXT->setGeometry(10, 271, 261, 21);

    IDC_PLUGINS_DRAW_AREA = new QLabel(dialog);
    IDC_PLUGINS_DRAW_AREA->setObjectName("IDC_PLUGINS_DRAW_AREA");
    IDC_PLUGINS_DRAW_AREA->setGeometry(0, 380, 261, 1);

    IDC_LOG_OUTPUT = new QTextEdit(dialog);
    IDC_LOG_OUTPUT->setObjectName("IDC_LOG_OUTPUT");
    IDC_LOG_OUTPUT->setGeometry(10, 205, 255, 113);
    IDC_LOG_OUTPUT->setFrameShape(QFrame::NoFrame);
    IDC_LOG_OUTPUT->setFrameShadow(QFrame::Plain);
    IDC_LOG_OUTPUT->setUndoRedoEnabled(false);
    IDC_LOG_OUTPUT->setReadOnly(true);

    IDC_CODE = new QLineEdit(dialog);
    IDC_CODE->setObjectName("IDC_CODE");
    IDC_CODE->setGeometry(20, 149, 241, 23);
    IDC_CODE->setFrame(false);
    IDC_CODE->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);

    IDC_STATUS_DESCRIPTION = new QLabel(dialog);
    IDC_STATUS_DESCRIPTION->setObjectName("IDC_STATUS_DESCRIPTION");
    IDC_STATUS_DESCRIPTION->setGeometry(17, 94, 250, 51);
    IDC_STATUS_DESCRIPTION->setFont(font);
    IDC_STATUS_DESCRIPTION->setScaledContents(false);
    IDC_STATUS_DESCRIPTION->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    IDC_STATUS_DESCRIPTION->setWordWrap(true);

    IDC_CONNECT_IMAGE = new QLabel(dialog);
    IDC_CONNECT_IMAGE->setObjectName("IDC_CONNECT_IMAGE");
    IDC_CONNECT_IMAGE->setGeometry(70, 10, 70, 74);
    IDC_CONNECT_IMAGE->setPixmap(QPixmap("connect.bmp"));

    IDC_LOGO_ICON = new QLabel(dialog);
    IDC_LOGO_ICON->setObjectName("IDC_LOGO_ICON");
    IDC_LOGO_ICON->setGeometry(170, 10, 101, 81);
    IDC_LOGO_ICON->setPalette(dialog_palette(true));
    IDC_LOGO_ICON->setPixmap(QPixmap("atlogo.bmp"));
    IDC_LOGO_ICON->setAlignment(Qt::AlignCenter);

    IDC_CHAT_TEXT = new QLineEdit(dialog);
    IDC_CHAT_TEXT->setObjectName("IDC_CHAT_TEXT");
    IDC_CHAT_TEXT->setGeometry(13, 332, 197, 25);
    IDC_CHAT_TEXT->setFrame(false);

    retranslateUi(dialog);
    QMetaObject::connectSlotsByName(dialog);
}

void Ui_IDD_TOVANDIALOG::retranslateUi(QDialog* dialog) {
    dialog->setWindowTitle(QString());
    IDC_STATIC_TEXT->setText(QString());
    IDC_PLUGINS_DRAW_AREA->setText(QString());
    IDC_STATUS_DESCRIPTION->setText(QString());
    IDC_CONNECT_IMAGE->setText(QString());
    IDC_LOGO_ICON->setText(QString());
}

} // namespace tovan
