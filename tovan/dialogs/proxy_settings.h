// The log-in window for the support server: user name, password and a box
// to save them (scrambled, in storage.ini under m_prefix). Shown modally on
// the GUI thread by the dispatcher when a connection attempt needs
// credentials; the caller reads m_user and m_password after exec().
#pragma once

#include <QDialog>
#include <QString>

#include <string>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace tovan {

class CProxyServerSettings : public QDialog {
    Q_OBJECT
public:
    explicit CProxyServerSettings(QWidget* parent);

    // Builds the form, sets its texts and loads the saved values; true.
    virtual bool OnInitDialog();

    QString m_text1, m_text2; // set by callers, not used
    bool m_saved = false;
    std::string m_password; // UTF-8
    std::string m_user;     // UTF-8
    std::string m_prefix;

public slots:
    void OnOK();

private:
    QLabel* m_description = nullptr;
    QLineEdit* m_user_field = nullptr;
    QLineEdit* m_password_field = nullptr;
    QCheckBox* m_save = nullptr;
};

} // namespace tovan
