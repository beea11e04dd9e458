// The settings window: a list of pages on the left, the pages on the right,
// OK and Cancel below. The program adds the general page (settings_window);
// plugin libraries add theirs as children of the dialog. A child becomes a
// page once it is fully made (a turn of the event loop later, as Qt tells
// of a new child from inside its base constructor) if it is still there and
// has a save_settings() slot. OK saves every page; a closed window is
// deleted. Once a page is in, the window is as large as its pages ask and
// lies wholly on the screen, over the main window where there is room;
// Tab visits the list, the pages' controls, then OK and Cancel. GUI thread
// only.
#pragma once

#include "tovan/dialogs/settings_model.h"

#include <QDialog>
#include <QMargins>
#include <QWidget>

class QComboBox;
class QCheckBox;
class QListWidget;
class QPushButton;
class QStackedWidget;

namespace tovan {

class plugin_settings : public QDialog {
    Q_OBJECT
public:
    plugin_settings(QWidget* parent, settings_host& host);

signals:
    void save_all();

public slots:
    void add_new_widget(QWidget* page);

protected:
    void childEvent(QChildEvent* event) override;
    bool event(QEvent* event) override;

private:
    // Grows the window to what its pages ask and puts its frame on the
    // available area of the owner's screen.
    void fit_on_screen();
    QMargins frame_margins() const;

    QListWidget* m_list = nullptr;
    QStackedWidget* m_stack = nullptr;
    QPushButton* m_ok = nullptr;
    QPushButton* m_cancel = nullptr;
    // The window manager's frame around the window when it was last fitted.
    QMargins m_fitted_margins;
    bool m_built = false;
};

// The general page: server, language, MTU fix, debug log, information text.
class settings_window : public QWidget {
    Q_OBJECT
public:
    settings_window(QWidget* parent, settings_host& host);

public slots:
    void save_settings();

private:
    settings_host& m_host;
    QComboBox* m_language = nullptr;
    QComboBox* m_mtu = nullptr;
    QCheckBox* m_log = nullptr;
};

} // namespace tovan
