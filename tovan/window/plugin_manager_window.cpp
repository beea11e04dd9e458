#include "tovan/window/plugin_manager_window.h"

#include "tovan/lang/translations.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QSpacerItem>
#include <QVBoxLayout>

#include <algorithm>

namespace tovan {

plugin_manager_window::plugin_manager_window(QWidget* parent)
    : QDialog(parent, Qt::MSWindowsFixedSizeDialogHint | Qt::WindowSystemMenuHint | Qt::WindowTitleHint |
                          Qt::WindowStaysOnTopHint) {
    if (objectName().isEmpty()) setObjectName("IDD_PLUGIN_MANAGER");
    resize(323, 80);
    auto* vbox = new QVBoxLayout(this);
    vbox->setObjectName("vboxLayout");
    vbox->setSpacing(6);
    vbox->setContentsMargins(9, 9, 9, 9);
    auto* progress = new QProgressBar(this);
    progress->setObjectName("IDC_PROGRESS");
    progress->setOrientation(Qt::Horizontal);
    progress->setValue(24);
    vbox->addWidget(progress);
    auto* hbox = new QHBoxLayout();
    hbox->setObjectName("hboxLayout");
    hbox->setSpacing(6);
    hbox->setContentsMargins(0, 0, 0, 0);
    hbox->addItem(new QSpacerItem(361, 20, QSizePolicy::Expanding, QSizePolicy::Minimum));
    vbox->addLayout(hbox);
    m_bars[0] = progress;

    m_loading_label = new QLabel(this);
    m_loading_label->setObjectName("IDC_PLUGIN_LOADING");
    // Inside the window's margins; setTitle makes it as high as its text.
    m_loading_label->setGeometry(10, 50, 303, 20);
    m_loading_label->setWordWrap(true);
    m_loading_label->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
    m_loading_label->setFont(QFont("Tahoma", 8));
    m_loading_label->hide();
    setWindowTitle(get_lang_string("DOWNLOADING_PLUGINS", true, false));
}

void plugin_manager_window::set_bar(int id, int range, int value) {
    QProgressBar*& b = m_bars[id];
    if (!b) {
        b = new QProgressBar(this);
        b->setOrientation(Qt::Horizontal);
    }
    b->setRange(0, range);
    b->setValue(value);
}

void plugin_manager_window::remove_bar(int id) {
    auto it = m_bars.find(id);
    if (id == 0 || it == m_bars.end()) return;
    delete it->second;
    m_bars.erase(it);
}

QProgressBar* plugin_manager_window::bar(int id) const {
    auto it = m_bars.find(id);
    return it == m_bars.end() ? nullptr : it->second;
}

void plugin_manager_window::setTitle() {
    setWindowTitle("Tovan");
    m_loading_label->setText(get_lang_string("PLUGIN_LOADING", true, false));
    // The label grows down to hold every line of the text in the language in
    // use, and the window with it, keeping its margin below the label.
    QRect at = m_loading_label->geometry();
    at.setHeight(std::max(20, m_loading_label->heightForWidth(at.width())));
    m_loading_label->setGeometry(at);
    int const margin = at.left();
    resize(width(), std::max(80, at.y() + at.height() + margin));
    m_loading_label->show();
}

} // namespace tovan
