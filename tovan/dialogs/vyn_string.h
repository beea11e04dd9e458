// A byte string (UTF-8 where it holds widget text) with the window-text
// accessors of the dialog code. GUI thread only for the widget calls.
#pragma once

#include <QString>
#include <Qt>

#include <string>

class QWidget;

namespace tovan {

class vyn_string {
public:
    vyn_string() = default;
    vyn_string(char const* text) : m_text(text ? text : "") {}
    vyn_string(std::string text) : m_text(std::move(text)) {}

    char* GetBufferSetLength(std::size_t n);
    // printf-style, of any length.
    void Format(char const* format, ...) __attribute__((format(printf, 2, 3)));
    void Trim();

    // The widget's text by its class (label, button without markup, group
    // box, one-line and multi-line edit, dialog title); others: nothing.
    void SetWindowText(QWidget* widget) const;
    // The widget's text by the same classes (a combo box: its current text).
    static vyn_string GetWindowText(QWidget* widget);

    std::string const& str() const { return m_text; }
    char const* c_str() const { return m_text.c_str(); }
    bool empty() const { return m_text.empty(); }

private:
    std::string m_text;
};

// How a text shows in a label or a message box. Qt takes a text for rich
// text only when its first line holds a tag, and rich text drops the line
// breaks: a text with markup in any line is rich, its line breaks made
// "<br>"; any other text is plain.
struct shown_text {
    QString text;
    Qt::TextFormat format;
};
shown_text text_to_show(QString const& text);

} // namespace tovan
