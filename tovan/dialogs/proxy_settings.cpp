#include "tovan/dialogs/proxy_settings.h"

#include "tovan/dialogs/credentials.h"
#include "tovan/lang/translations.h"
#include "tovan/util/text_utils.h"

#include <QCheckBox>
#include <QFontMetrics>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>

#include <algorithm>

namespace tovan {

namespace {

QString text_of(char const* key) {
    return get_lang_string(key, true, false);
}

template <class W>
W* place(QWidget* parent, char const* name, int x, int y, int w, int h) {
    auto* widget = new W(parent);
    widget->setObjectName(name);
    widget->setGeometry(x, y, w, h);
    return widget;
}

// text broken at blanks into lines of at most width pixels (a word longer
// than that keeps a line of its own), joined by line feeds.
QString wrapped(QString const& text, QFontMetrics const& metrics, int width) {
    QStringList lines;
    for (QString const& word : text.split(' ', Qt::SkipEmptyParts)) {
        if (!lines.isEmpty() && metrics.horizontalAdvance(lines.back() + ' ' + word) <= width)
            lines.back() += ' ' + word;
        else
            lines.append(word);
    }
    return lines.join('\n');
}

} // namespace

CProxyServerSettings::CProxyServerSettings(QWidget* parent)
    : QDialog(parent, Qt::MSWindowsFixedSizeDialogHint | Qt::WindowSystemMenuHint | Qt::WindowTitleHint |
                          Qt::WindowStaysOnTopHint) {}

bool CProxyServerSettings::OnInitDialog() {
    setObjectName("IDD_PROXYSETTINGS");
    setFixedSize(405, 343);
    m_description = place<QLabel>(this, "IDC_DESCRIPTIONTEXT", 16, 14, 373, 46);
    m_description->setWordWrap(true);
    auto* user_label = place<QLabel>(this, "IDC_STATICU", 16, 87, 145, 18);
    m_user_field = place<QLineEdit>(this, "IDC_USERNAME", 175, 87, 202, 20);
    auto* password_label = place<QLabel>(this, "IDC_STATICP", 16, 143, 145, 18);
    m_password_field = place<QLineEdit>(this, "IDC_PASSWORD", 175, 143, 202, 20);
    m_password_field->setEchoMode(QLineEdit::Password);
    m_save = place<QCheckBox>(this, "IDC_CHECKSAVE", 175, 184, 198, 21);
    auto* ok = place<QPushButton>(this, "IDC_OK", 230, 235, 159, 32);
    ok->setDefault(true);
    auto* cancel = place<QPushButton>(this, "IDC_CANCEL", 230, 290, 159, 32);
    setTabOrder(m_user_field, m_password_field);
    setTabOrder(m_password_field, m_save);
    setTabOrder(m_save, ok);
    setTabOrder(ok, cancel);
    connect(ok, &QPushButton::clicked, this, &CProxyServerSettings::OnOK);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

    setWindowTitle(text_of("CORVANE_AUTH_TITLE"));
    m_description->setText(text_of("CORVANE_AUTH_DESC"));
    user_label->setText(text_of("AUTH_PROXY_USERNAME"));
    password_label->setText(text_of("AUTH_PROXY_PASSWORD"));
    // The form's box is narrower than its text in this platform's fonts and
    // in most languages: it reaches to the description's right edge, its
    // text taking the lines it needs there; where they would run into the
    // buttons below, it starts under the labels instead, as wide as the
    // description.
    QString const save_text = text_of("AUTH_PROXY_SAVE_PWD");
    QStyle const* style = m_save->style();
    int const beside = style->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, m_save) +
                       style->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, nullptr, m_save);
    int const right = m_description->geometry().right() + 1;
    for (int x : {m_save->x(), m_description->x()}) {
        m_save->setText(wrapped(save_text, m_save->fontMetrics(), right - x - beside));
        m_save->setGeometry(x, m_save->y(), right - x, std::max(21, m_save->sizeHint().height()));
        if (m_save->geometry().bottom() < ok->y() - 6) break;
    }
    ok->setText(text_of("IDC_OK"));
    cancel->setText(text_of("IDC_CANCEL"));
    setWindowIcon(QIcon(":/images/Tovan.png"));

    saved_credentials const c = load_credentials(m_prefix);
    m_user = c.user;
    m_password = c.password;
    m_saved = c.saved;
    m_password_field->setText(QString::fromUtf8(m_password.c_str()));
    m_user_field->setText(QString::fromUtf8(m_user.c_str()));
    m_save->setChecked(m_saved);
    return true;
}

void CProxyServerSettings::OnOK() {
    m_password = unicode_to_utf8(m_password_field->text(), false);
    m_user = unicode_to_utf8(m_user_field->text(), false);
    m_saved = m_save->isChecked();
    store_credentials(m_prefix, saved_credentials{m_user, m_password, m_saved});
    accept();
}

} // namespace tovan
