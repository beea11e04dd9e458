#include "tovan/dialogs/vyn_string.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTextDocument>
#include <QTextEdit>

#include <cstdarg>
#include <cstdio>

namespace tovan {

char* vyn_string::GetBufferSetLength(std::size_t n) {
    m_text.resize(n);
    return m_text.data();
}

void vyn_string::Format(char const* format, ...) {
    va_list a;
    va_start(a, format);
    va_list b;
    va_copy(b, a);
    int n = std::vsnprintf(nullptr, 0, format, a);
    va_end(a);
    if (n < 0) {
        va_end(b);
        m_text.clear();
        return;
    }
    std::string out(static_cast<std::size_t>(n) + 1, '\0');
    std::vsnprintf(out.data(), out.size(), format, b);
    va_end(b);
    out.resize(static_cast<std::size_t>(n));
    m_text = std::move(out);
}

void vyn_string::Trim() {
    char const* blanks = " \t\r\n";
    std::size_t first = m_text.find_first_not_of(blanks);
    if (first == std::string::npos) {
        m_text.clear();
        return;
    }
    m_text = m_text.substr(first, m_text.find_last_not_of(blanks) - first + 1);
}

void vyn_string::SetWindowText(QWidget* w) const {
    QString text = QString::fromUtf8(m_text.data(), static_cast<int>(m_text.size()));
    if (auto* l = qobject_cast<QLabel*>(w)) {
        shown_text const shown = text_to_show(text);
        l->setTextFormat(shown.format);
        l->setText(shown.text);
    } else if (auto* b = qobject_cast<QAbstractButton*>(w)) {
        // Markup cannot show on a button: the stretch from the first "<" to
        // the last ">" after it goes.
        int lt = text.indexOf('<');
        int gt = text.lastIndexOf('>');
        if (lt >= 0 && gt > lt) text.remove(lt, gt - lt + 1);
        b->setText(text);
    } else if (auto* g = qobject_cast<QGroupBox*>(w)) {
        g->setTitle(text);
    } else if (auto* e = qobject_cast<QLineEdit*>(w)) {
        e->setText(text);
    } else if (auto* t = qobject_cast<QTextEdit*>(w)) {
        t->setPlainText(text);
    } else if (auto* p = qobject_cast<QPlainTextEdit*>(w)) {
        p->setPlainText(text);
    } else if (auto* d = qobject_cast<QDialog*>(w)) {
        d->setWindowTitle(text);
    }
}

vyn_string vyn_string::GetWindowText(QWidget* w) {
    QString text;
    if (auto* l = qobject_cast<QLabel*>(w))
        text = l->text();
    else if (auto* b = qobject_cast<QAbstractButton*>(w))
        text = b->text();
    else if (auto* g = qobject_cast<QGroupBox*>(w))
        text = g->title();
    else if (auto* e = qobject_cast<QLineEdit*>(w))
        text = e->text();
    else if (auto* t = qobject_cast<QTextEdit*>(w))
        text = t->toPlainText();
    else if (auto* p = qobject_cast<QPlainTextEdit*>(w))
        text = p->toPlainText();
    else if (auto* c = qobject_cast<QComboBox*>(w))
        text = c->currentText();
    else if (auto* d = qobject_cast<QDialog*>(w))
        text = d->windowTitle();
    return vyn_string(text.toUtf8().toStdString());
}

shown_text text_to_show(QString const& text) {
    QString one_line = text;
    one_line.replace('\r', ' ').replace('\n', ' ');
    if (!Qt::mightBeRichText(one_line)) return {text, Qt::PlainText};
    QString rich = text;
    rich.replace("\r\n", "<br>").replace('\r', "<br>").replace('\n', "<br>");
    return {rich, Qt::RichText};
}

} // namespace tovan
