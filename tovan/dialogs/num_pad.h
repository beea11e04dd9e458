// The touch pad: a small always-on-top window of big digit keys for typing
// the session code on a touch screen; each key appends its text to the code
// field. One per main dialog, made hidden with it. It belongs to the
// program's main window on the screen (the window manager keeps it with
// that window) and stands beside it, following it when it moves or changes
// size, so that neither covers the other. GUI thread only.
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

    // Shows the pad beside window (a shown top-level), owned by it.
    void show_beside(QWidget* window);

public slots:
    void TouchPadClicked();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void place();

    QPointer<QLineEdit> m_target;
    QPointer<QWidget> m_window; // the window the pad stands beside
    bool m_reown_queued = false;
};

} // namespace tovan
