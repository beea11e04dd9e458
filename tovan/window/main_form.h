// The main dialog's fixed form: eight widgets at fixed places on a 279 by 391
// window, with the dialog's palette and font. Every text comes from the
// language table later, so the form sets none.
#pragma once

#include <QByteArray>
#include <QDialog>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QTextEdit>

namespace tovan {

inline constexpr int dialog_width = 279;
inline constexpr int dialog_height = 391;

// The dialog's palette; with logo set, AlternateBase is the logo label's.
QPalette dialog_palette(bool logo);

// Reading a picture whose format Qt must find out asks every image plugin,
// which loads them all (and their libraries) for the life of the process.
// A picture of known format: read as that format only (null when it is not).
QImage read_image_as(QString const& path, char const* format);
// Bytes of a picture in any format Qt reads, tried as likely first.
QImage decode_image(QByteArray const& bytes, char const* likely);

class Ui_IDD_TOVANDIALOG {
public:
    QLabel* IDC_STATIC_TEXT = nullptr;
    QLabel* IDC_PLUGINS_DRAW_AREA = nullptr;
    QTextEdit* IDC_LOG_OUTPUT = nullptr;
    QLineEdit* IDC_CODE = nullptr;
    QLabel* IDC_STATUS_DESCRIPTION = nullptr;
    QLabel* IDC_CONNECT_IMAGE = nullptr;
    QLabel* IDC_LOGO_ICON = nullptr;
    QLineEdit* IDC_CHAT_TEXT = nullptr;

    void setupUi(QDialog* dialog);
    void retranslateUi(QDialog* dialog);
};

} // namespace tovan
