#include "tovan/dialogs/settings_dialog.h"

#include "tovan/look/window_look.h"

#include "rulo/config_store.h"

#include <QCheckBox>
#include <QChildEvent>
#include <QComboBox>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QSpacerItem>
#include <QStackedWidget>
#include <QTextBrowser>
#include <QVBoxLayout>
#include <QWindow>

#include <algorithm>

namespace tovan {

namespace {

QString qs(std::string const& text) {
    return QString::fromUtf8(text.data(), static_cast<int>(text.size()));
}

// The forms' layouts: 6 pixels between items, margins only on the outermost.
template <class Layout>
Layout* laid_out(Layout* layout, int margin) {
    layout->setSpacing(6);
    layout->setContentsMargins(margin, margin, margin, margin);
    return layout;
}

} // namespace

plugin_settings::plugin_settings(QWidget* parent, settings_host& host)
    : QDialog(parent, Qt::MSWindowsFixedSizeDialogHint | Qt::WindowSystemMenuHint | Qt::WindowTitleHint) {
    setObjectName("IDD_SETTINGS");
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowModality(Qt::ApplicationModal);
    setWindowIcon(QIcon(":/images/Tovan.png"));
    setWindowTitle(qs(host.translate("SETTINGS_NAME")));
    auto* top = laid_out(new QVBoxLayout(this), 9);
    auto* row = laid_out(new QHBoxLayout, 0);
    m_list = new QListWidget(this);
    m_list->setObjectName("IDC_PLUGINS");
    m_list->setTextElideMode(Qt::ElideNone);
    m_list->setFixedWidth(320);
    m_list->setIconSize(QSize(128, 128));
    m_list->setSpacing(5);
    m_stack = new QStackedWidget(this);
    m_stack->setObjectName("IDC_STACK");
    m_stack->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    m_stack->setMinimumSize(100, 100);
    row->addWidget(m_list);
    row->addWidget(m_stack, 1);
    top->addLayout(row);
    top->addSpacerItem(new QSpacerItem(12, 12));
    auto* buttons = laid_out(new QHBoxLayout, 0);
    buttons->addSpacerItem(new QSpacerItem(131, 31, QSizePolicy::Expanding, QSizePolicy::Minimum));
    m_ok = new QPushButton(qs(host.translate("IDC_OK")), this);
    m_ok->setObjectName("IDC_OK");
    m_cancel = new QPushButton(qs(host.translate("IDC_CANCEL")), this);
    m_cancel->setObjectName("IDC_CANCEL");
    buttons->addWidget(m_ok);
    buttons->addWidget(m_cancel);
    top->addLayout(buttons);
    connect(m_ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(m_cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(m_list, &QListWidget::currentRowChanged, m_stack, &QStackedWidget::setCurrentIndex);
    connect(this, &QDialog::accepted, this, &plugin_settings::save_all);
    m_built = true;
    new settings_window(this, host);
    host.request_plugin_pages(this);
}

void plugin_settings::childEvent(QChildEvent* event) {
    QDialog::childEvent(event);
    if (!m_built || event->type() != QEvent::ChildAdded || !event->child()->isWidgetType()) return;
    // Looked at once it is made; a child gone by then is skipped.
    QPointer<QWidget> child = static_cast<QWidget*>(event->child());
    QMetaObject::invokeMethod(
        this,
        [this, child] {
            if (child) add_new_widget(child);
        },
        Qt::QueuedConnection);
}

void plugin_settings::add_new_widget(QWidget* page) {
    if (page->metaObject()->indexOfSlot("save_settings()") < 0) return;
    connect(this, SIGNAL(save_all()), page, SLOT(save_settings()));
    int const before = m_stack->count();
    QSize const hint = page->minimumSizeHint();
    m_stack->setMinimumSize(std::max(m_stack->minimumWidth(), hint.width()),
                            std::max(m_stack->minimumHeight(), hint.height()));
    m_stack->addWidget(page);
    auto* item = new QListWidgetItem(page->windowIcon(), page->windowTitle(), m_list);
    // Centred beside the icon both ways: level with the icon's middle.
    item->setTextAlignment(Qt::AlignCenter);
    item->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
    if (before == 0) m_list->setCurrentRow(0);
    // The pages' controls are made after OK and Cancel: those go to the end
    // again, so that Tab reads the window as it is laid out.
    QWidget* last = nullptr;
    for (QWidget* w = m_cancel->nextInFocusChain(); w != this; w = w->nextInFocusChain())
        if (w->focusPolicy() & Qt::TabFocus) last = w;
    if (last) {
        setTabOrder(last, m_ok);
        setTabOrder(m_ok, m_cancel);
    }
    fit_on_screen();
}

QMargins plugin_settings::frame_margins() const {
    return windowHandle() ? windowHandle()->frameMargins() : QMargins();
}

void plugin_settings::fit_on_screen() {
    layout()->activate();
    resize(size().expandedTo(minimumSize()));
    m_fitted_margins = frame_margins();
    QRect const frame = geometry().marginsAdded(m_fitted_margins);
    QWidget const* owner = parentWidget() ? parentWidget()->window() : nullptr;
    QRect const over = owner && owner->isVisible() ? owner->frameGeometry() : frame;
    QScreen* screen = QGuiApplication::screenAt(over.center());
    if (!screen) screen = QGuiApplication::primaryScreen();
    if (!screen) return;
    QRect const a = screen->availableGeometry();
    look::point const at =
        look::place_over({over.x(), over.y(), over.width(), over.height()},
                         {a.x(), a.y(), a.width(), a.height()}, frame.width(), frame.height());
    if (at.x != frame.x() || at.y != frame.y()) move(at.x, at.y);
}

bool plugin_settings::event(QEvent* event) {
    bool const handled = QDialog::event(event);
    // The window manager tells the size of its frame only once the window
    // is up (by its first paint at the latest): the fit is then redone. A
    // maximised window has a frame of its own and stays where it is.
    if ((event->type() == QEvent::Move || event->type() == QEvent::Paint) && m_stack->count() > 0 &&
        !(windowState() & (Qt::WindowMaximized | Qt::WindowFullScreen)) &&
        frame_margins() != m_fitted_margins)
        QMetaObject::invokeMethod(this, &plugin_settings::fit_on_screen, Qt::QueuedConnection);
    return handled;
}

settings_window::settings_window(QWidget* parent, settings_host& host) : QWidget(parent), m_host(host) {
    setObjectName("IDD_GENERIC");
    resize(490, 302);
    setWindowIcon(QIcon(":/images/generic-settings.png"));
    setWindowTitle(qs(host.translate("GENERAL_SETTINGS")));
    auto* top = laid_out(new QVBoxLayout(this), 9);
    auto* grid = laid_out(new QGridLayout, 0);
    auto* server = new QLineEdit(qs(host.server()), this);
    server->setObjectName("IDC_PROXY_SERVER");
    server->setReadOnly(true);
    m_language = new QComboBox(this);
    m_language->setObjectName("IDC_LANGUAGE");
    m_mtu = new QComboBox(this);
    m_mtu->setObjectName("IDC_MTU_FIX");
    char const* const label_keys[] = {"CONNECTED_TO", "SELECTED_LANGUAGE", "SELECTED_MTU"};
    QWidget* const fields[] = {server, m_language, m_mtu};
    for (int r = 0; r < 3; ++r) {
        grid->addWidget(new QLabel(qs(host.translate(label_keys[r])), this), r, 0);
        grid->addWidget(fields[r], r, 1);
    }
    top->addLayout(grid);
    auto* row = laid_out(new QHBoxLayout, 0);
    auto* show_log = new QPushButton(qs(host.translate("SHOW_LOG_FILE")), this);
    show_log->setObjectName("IDC_SHOW_LOG");
    m_log = new QCheckBox(qs(host.translate("ENABLE_DEBUG_LOG")), this);
    m_log->setObjectName("IDC_LOG");
    m_log->setLayoutDirection(Qt::RightToLeft);
    row->addWidget(show_log);
    row->addSpacerItem(new QSpacerItem(40, 20, QSizePolicy::Expanding, QSizePolicy::Minimum));
    row->addWidget(m_log);
    top->addLayout(row);
    auto* about = new QTextBrowser(this);
    about->setObjectName("IDC_ABOUT");
    about->setOpenExternalLinks(true);
    top->addWidget(about);

    std::string const selected = host.selected_language();
    for (auto const& code : host.language_codes()) {
        m_language->addItem(qs(host.language_name(code)), qs(code));
        if (code == selected) m_language->setCurrentIndex(m_language->count() - 1);
    }
    if (selected.empty() || m_language->findData(qs(selected)) < 0) m_language->setCurrentIndex(-1);
    std::string const stored = xstd::get_config_string("", "mtu_fix_v");
    std::string const mtu = stored.empty() ? std::string(mtu_choices[0].value) : stored;
    for (auto const& c : mtu_choices) m_mtu->addItem(c.label, QString(c.value));
    m_mtu->setCurrentIndex(m_mtu->findData(qs(mtu)));
    about->setHtml(qs(settings_about_html([&](std::string const& key) { return host.translate(key); },
                                          this_build(), host.catalogue(), host.libraries())));
    if (host.debug_log_on()) {
        m_log->setChecked(true);
        m_log->setEnabled(false);
    }
    connect(show_log, &QPushButton::clicked, this, [this] { m_host.show_log(); });
}

void settings_window::save_settings() {
    std::string const code = m_language->currentData().toString().toStdString();
    auto const codes = m_host.language_codes();
    if (!code.empty() && std::find(codes.begin(), codes.end(), code) != codes.end())
        m_host.choose_language(code);
    // A box with no current choice reads as the first choice.
    QVariant const chosen = m_mtu->currentData();
    std::string const mtu = chosen.isValid() ? chosen.toString().toStdString() : mtu_choices[0].value;
    xstd::set_config_string("", "mtu_fix_v", mtu, xstd::storage_memory);
    std::string const command = mtu_command(mtu);
    if (m_host.connection_state() >= 6 && !command.empty()) {
        m_host.queue_command(command);
        if (!m_host.old_peer()) m_host.send_remote(command);
    }
    if (m_log->isChecked()) m_host.enable_debug_log();
}

} // namespace tovan
