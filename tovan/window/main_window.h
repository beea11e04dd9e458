// The main window that carries the dialog, the translator that routes Qt's
// texts through the language table, and window placement.
#pragma once

#include <QMainWindow>
#include <QPoint>
#include <QRect>
#include <QTranslator>

#include <string>

namespace tovan {

class VYNMainWindow : public QMainWindow {
    Q_OBJECT
public:
    VYNMainWindow() = default;

protected:
    void closeEvent(QCloseEvent* event) override;
};

extern VYNMainWindow* g_main_window;

// Every Qt text by its source text as key. A missing text is a null QString,
// on which Qt falls back to its own text (an empty one would blank it).
class CVYNTranslator : public QTranslator {
    Q_OBJECT
public:
    explicit CVYNTranslator(QObject* parent) : QTranslator(parent) {}
    QString translate(char const* context, char const* source, char const* disambiguation = nullptr,
                      int n = -1) const override;
    bool isEmpty() const override { return false; }
};

// Where a frame of the given size goes in the available area: a corner
// ("lefttop", "leftbottom", "righttop", "rightbottom") or the centre (any
// other word). Pure.
QPoint position_on_screen(QRect const& available, QRect const& frame, std::string const& where);
void positionWidgetOnScreen(QWidget* w, std::string const& where);

} // namespace tovan
