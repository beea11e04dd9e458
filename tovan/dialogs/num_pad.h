// The touch pad: a small always-on-top window of big digit keys for typing
// the session code on a touch screen; each key appends its text to the code
// field. One per main dialog, made hidden with it. GUI thread only.
#pragma once

#include <QDialog>
#include <QPointer>

class QLineEdit;

namespace tovan {

class CNumPad : public QDialog {
    Q_OBJECT
public:
    // target: the code field the keys type into (the main dialog's IDC_CODE).
    CNumPad(QWidget* parent, QLineEdit* target);

public slots:
    void TouchPadClicked();

private:
    QPointer<QLineEdit> m_target;
};

} // namespace tovan
