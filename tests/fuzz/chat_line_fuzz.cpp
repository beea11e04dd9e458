// Chat lines as the remote end sends them, through the log's transforms:
// every line ends in one paragraph, and unquoting the font tags in one pass
// gives what repeating the search from the start gives.
#include "tovan/look/chat_text.h"
#include "tovan/util/text_utils.h"

#include <QRegularExpression>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

// The search repeated from the start until no quoted tag is left, each
// found tag replaced everywhere by its unquoted form.
QString unquote_by_search(QString text) {
    static QRegularExpression const quoted("(<font color=\"[A-F|0-9]{1,6}\">)",
                                           QRegularExpression::CaseInsensitiveOption);
    for (;;) {
        QRegularExpressionMatch const m = quoted.match(text);
        if (!m.hasMatch()) return text;
        QString const tag = m.captured(1);
        QString bare = tag;
        bare.remove('"');
        text.replace(tag, bare, Qt::CaseSensitive);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, std::size_t size) {
    // Long inputs only make the reference loop slow.
    if (size > 4096) return 0;
    QString const text = tovan::unknown_to_unicode(reinterpret_cast<char const*>(data), size);
    if (tovan::look::unquote_font_tags(text) != unquote_by_search(text)) std::abort();
    tovan::look::chat_line const l = tovan::look::format_chat_line(text, "12:00:00");
    if (!l.html.endsWith("</p>") || !l.plain.endsWith("\n")) std::abort();
    std::string const latin = tovan::look::latin1_html(l.html);
    (void)latin;
    std::string const bytes(reinterpret_cast<char const*>(data), size);
    std::string const cut = tovan::look::cut_utf8(bytes, 512);
    if (cut.size() > 512 || bytes.compare(0, cut.size(), cut) != 0) std::abort();
    return 0;
}
