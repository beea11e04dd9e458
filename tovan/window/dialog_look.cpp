// The main window's look applied to its widgets: which widgets show for the
// state, the status texts, the background and shape, the painting, the
// plugin buttons' visibility and the dialog's own message boxes. What to
// show is decided by tovan/look; this file only sets widgets (GUI thread).
#include "tovan/dialogs/message_box.h"
#include "tovan/lang/translations.h"
#include "tovan/look/window_look.h"
#include "tovan/plugins/plugin_manager.h"
#include "tovan/window/desk_session.h"
#include "tovan/window/main_window.h"
#include "tovan/window/vyn_dialog.h"
#include "tovan/window/window_language.h"

#include <QGuiApplication>
#include <QMenu>
#include <QPainter>
#include <QPolygon>
#include <QScreen>

namespace tovan {

bool g_clear_chat_pending = false;

int CVYNDialog::MessageBoxU(QWidget* parent, char const* text_key, char const* caption_key, int type,
                            std::vector<std::string> const&) {
    QString const text = text_key ? get_lang_string(text_key, true, false) : QString();
    QString const caption = caption_key ? get_lang_string(caption_key, true, false) : QString();
    return MessageBox(parent, text, caption, type);
}

int CVYNDialog::MessageBoxU(char const* text_key, char const* caption_key, int type,
                            std::vector<std::string> const& args) {
    return MessageBoxU(this, text_key, caption_key, type, args);
}

std::string CVYNDialog::UpdateSkinNLanguage(int number) {
    std::string const prefix = look::status_prefix(number);
    if (prefix.empty()) return prefix;
    RetranslateLanguageStatus(this, prefix.c_str());
    if (m_plugin_manager) {
        try {
            m_plugin_manager->setTitle();
        } catch (...) {
            // the progress window keeps its old texts; the status texts stand
        }
    }
    return prefix;
}

void CVYNDialog::update_buttons(int) {}

void CVYNDialog::UpdateVisualLook() {
    look::window_look const l = look::look_of(m_is_client, state().state, state().flags, state().old_peer);
    m_time_text->setText(get_lang_string("CONNECTION_TIME2", true, false));
    if (!m_is_client) m_btn_mail->setVisible(l.mail_button);
    for (int number : l.statuses) UpdateSkinNLanguage(number);
    ChooseBackground();
    if (l.connected) IDC_CODE->clear();
    IDC_CODE->setVisible(l.code_field);
    IDC_LOG_OUTPUT->setVisible(!l.code_field);
    if (!l.connected) IDC_LOG_OUTPUT->clear();
    for (push_button* b : {m_btn_file_transfer, m_btn_desktop, m_btn_video, m_btn_audio})
        b->setVisible(l.plugin_buttons);
    for (push_button* b : {m_btn_close, m_btn_settings, m_btn_action}) b->setVisible(l.idle_buttons);
    for (push_button* b : {m_btn_close1, m_btn_settings1}) b->setVisible(!l.idle_buttons);
    IDC_CONNECT_IMAGE->setVisible(l.connect_image);
    IDC_LOG_OUTPUT->setHtml(tr("CHAT_WELCOME2"));
    appendChatHtml(session()->chat_html());
    if (m_notify_on && l.notification >= 0) PostNotification(static_cast<unsigned long>(l.notification), 0);
    if (l.connected) {
        if (g_clear_chat_pending) {
            ClearChat();
            g_clear_chat_pending = false;
        }
        m_time_text->setText(get_lang_string("CONNECTION_TIME2", true, false));
        m_time_text->show();
        m_time_text2->show();
    } else {
        // The clock belongs to a session: none is left over the idle window's row.
        m_time_text->hide();
        m_time_text2->hide();
    }
    m_btn_close->setToolTip(get_lang_string("TIP_CLOSE", true, false));
    m_btn_close1->setToolTip(get_lang_string("TIP_CLOSE", true, false));
    m_btn_settings->setToolTip(get_lang_string("TIP_SETTINGS", true, false));
    m_btn_settings1->setToolTip(get_lang_string("TIP_SETTINGS_PLUS", true, false));
    m_btn_send->setToolTip(get_lang_string("TIP_SEND_CHAT", true, false));
    if (g_main_window && g_main_window->isVisible()) {
        QScreen* screen = QGuiApplication::primaryScreen();
        if (screen) {
            QRect const f = g_main_window->frameGeometry(), a = screen->availableGeometry();
            look::point const at = look::keep_on_screen({f.x(), f.y(), f.width(), f.height()},
                                                        {a.x(), a.y(), a.width(), a.height()});
            if (at.y != f.y()) g_main_window->move(at.x, at.y);
        }
    }
}

void CVYNDialog::ChooseBackground() {
    look::window_look const l = look::look_of(m_is_client, state().state, state().flags, state().old_peer);
    QImage* bg = m_background.image;
    bg[11] = bg[l.upper_piece];
    bg[12] = bg[l.lower_piece];
    int const h = l.height;
    setMinimumHeight(h);
    setMaximumHeight(h);
    if (g_main_window) {
        g_main_window->setMinimumHeight(h);
        g_main_window->setMaximumHeight(h);
    }
    resize(width(), h);
    IDC_STATUS_DESCRIPTION->setGeometry(l.status_text.x, l.status_text.y, l.status_text.width,
                                        l.status_text.height);
    QPolygon outline;
    for (look::point p : look::window_outline(width(), h)) outline << QPoint(p.x, p.y);
    m_background.region = QRegion(outline, Qt::OddEvenFill);
    setMask(m_background.region);
    // The dialog fills the main window from its corner: the window on the
    // screen takes the same shape.
    if (g_main_window) g_main_window->setMask(m_background.region);
}

void CVYNDialog::paintEvent(QPaintEvent*) {
    QPainter p(this);
    QImage const* bg = m_background.image;
    if (!m_background.region.isEmpty()) p.setClipRegion(m_background.region);
    p.drawImage(0, 0, bg[11]);
    p.drawImage(0, bg[11].height(), bg[12]);
    p.drawImage(0, bg[11].height() + bg[12].height() - bg[10].height(), bg[10]);
    if (!m_is_client && (state().state & 15) >= 6)
        p.drawImage(m_btn_desktop->pos(), m_btn_desktop->state_image(0));
}

void CVYNDialog::updateDialogItem(std::string const& item, uint64_t mask, uint64_t style) {
    push_button* b = item == "IDC_DESKTOP"         ? m_btn_desktop
                     : item == "IDC_VIDEO"         ? m_btn_video
                     : item == "IDC_AUDIO"         ? m_btn_audio
                     : item == "IDC_FILE_TRANSFER" ? m_btn_file_transfer
                                                   : nullptr;
    if (b && (mask & look::visible_bit)) b->setVisible(style & look::visible_bit);
}

void CVYNDialog::chat_context(QPoint) {
    // The same two entries a right click anywhere on the log gets.
    if (QMenu* menu = context_menu_for(IDC_LOG_OUTPUT)) menu->exec(QCursor::pos());
}

} // namespace tovan
