#include "tovan/look/chat_text.h"

#include "rulo/text.h"

#include <QRegularExpression>

#include <cstdio>

namespace tovan::look {

std::string cut_utf8(std::string const& text, std::size_t max) {
    if (text.size() <= max) return text;
    std::size_t end = max;
    // Back off over continuation bytes to the start of the cut character.
    for (int back = 0; end > 0 && back < 4 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80; ++back)
        --end;
    return text.substr(0, end);
}

std::string escape_typed(std::string text) {
    // "&" first: the entities the other two bring are not escaped again.
    rulo::replace_all(text, "&", "&amp;");
    rulo::replace_all(text, "<", "&lt;");
    rulo::replace_all(text, ">", "&gt;");
    return text;
}

std::string link_anchors(std::string line) {
    for (std::size_t at = line.find("http://"); at != std::string::npos; at = line.find("http://", at)) {
        std::size_t end = line.find(' ', at);
        if (end == std::string::npos) end = line.size();
        std::string const link = line.substr(at, end - at);
        std::string const anchor = "<font color=0000ff><a href=\"" + link + "\">" + link + "</a></font>";
        line.replace(at, link.size(), anchor);
        at += anchor.size();
    }
    return line;
}

bool opens_from_chat(std::string const& link) {
    std::string const l = xstd::lc(link);
    return (rulo::starts_with(l, "http://") && l.size() > 7) ||
           (rulo::starts_with(l, "https://") && l.size() > 8);
}

std::string latin1_html(QString const& text) {
    std::string out;
    out.reserve(static_cast<std::size_t>(text.size()));
    for (uint c : text.toUcs4()) {
        if (c < 256) {
            out += static_cast<char>(c);
        } else {
            char ref[16];
            std::snprintf(ref, sizeof ref, "&#%u;", c);
            out += ref;
        }
    }
    return out;
}

QString unquote_font_tags(QString const& text) {
    static QRegularExpression const quoted("<font color=\"[A-F|0-9]{1,6}\">",
                                           QRegularExpression::CaseInsensitiveOption);
    QString out;
    int from = 0;
    auto it = quoted.globalMatch(text);
    while (it.hasNext()) {
        auto const m = it.next();
        out += text.midRef(from, m.capturedStart() - from);
        out += m.captured().remove('"');
        from = m.capturedEnd();
    }
    if (from == 0) return text;
    out += text.midRef(from);
    return out;
}

chat_line format_chat_line(QString text, QString const& stamp) {
    static QRegularExpression const markup("<font color=[\"]{0,1}[A-F|0-9]{1,6}[\"]{0,1}>|<b>|</b>|</font>",
                                           QRegularExpression::CaseInsensitiveOption);
    chat_line l;
    text = unquote_font_tags(text);
    QString plain = text;
    plain.remove(markup);
    // Back to the typed characters; "&amp;" last, so a typed "&lt;" stays one.
    plain.replace("&lt;", "<").replace("&gt;", ">").replace("&amp;", "&");
    l.plain = stamp + " " + plain + "\n";
    text = "<font color=C0C0C0 size=\"-2\">" + stamp + " </font>" + text;
    text = "<p style=\" margin-top:0px; margin-bottom:0px; margin-left:0px; margin-right:0px; "
           "-qt-block-indent:0; text-indent:0px;\">" +
           text + "</p>";
    // Image sources name the program's compiled-in pictures; colour values
    // get the "#" the rich-text engine wants.
    text.replace("<img src=\"", "<img src=\":");
    text.replace("<font color=0>", "<font color=000000>");
    text.replace("<font color=", "<font color=#");
    l.html = std::move(text);
    return l;
}

std::string clock_text(int64_t seconds) {
    std::time_t const secs = static_cast<std::time_t>(seconds);
    std::tm tm{};
    if (!gmtime_r(&secs, &tm)) return "NA";
    char hms[32];
    std::strftime(hms, sizeof hms, "%H:%M:%S", &tm);
    char buf[128];
    int64_t const days = seconds / 86400;
    if (days == 0)
        std::snprintf(buf, sizeof buf, "<b>%s</b>", hms);
    else
        std::snprintf(buf, sizeof buf, "<b>%03lld days %s</b>", static_cast<long long>(days), hms);
    return buf;
}

void advance_clock(int64_t& session_seconds, std::time_t& clock_time, std::time_t now) {
    if (clock_time < now) session_seconds += now - clock_time;
    clock_time = now;
}

} // namespace tovan::look
