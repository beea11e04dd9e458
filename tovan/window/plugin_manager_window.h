// The "Downloading plugins" window: 323 x 80 (taller when the loading text
// needs it), on top of the main dialog, one bar for this end's downloads
// ("IDC_PROGRESS") and one made on demand for each other id (the remote end's
// report), and the "IDC_PLUGIN_LOADING" label, hidden until the dialog sets a
// language (then the title is "Tovan"). The download manager decides what it
// shows; this class only draws. GUI thread only.
#pragma once

#include <QDialog>

#include <map>

class QLabel;
class QProgressBar;

namespace tovan {

class plugin_manager_window : public QDialog {
    Q_OBJECT
public:
    explicit plugin_manager_window(QWidget* parent);

    // Sets bar id (made on first use, outside the layout, for ids other than
    // 0) to the range 0..range and the value.
    void set_bar(int id, int range, int value);
    void remove_bar(int id);
    QProgressBar* bar(int id) const;
    // Title "Tovan" and the translated loading text shown (a language change);
    // the label and the window grow to hold the whole text.
    void setTitle();

private:
    std::map<int, QProgressBar*> m_bars;
    QLabel* m_loading_label = nullptr;
};

} // namespace tovan
