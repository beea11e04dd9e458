#include "tovan/look/chat_text.h"

#include "rulo/text.h"

#include <QRegularExpression>

#include <cstdio>
#include <utility>

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

namespace {

// The length of the tag that opens at html[at] (a "<" and then a letter,
// "/", "!" or "?") up to its ">", a quoted value passed over whole; 0 when
// no tag opens there or it never closes.
int tag_length(QString const& html, int at) {
    if (at + 1 >= html.size()) return 0;
    QChar const first = html[at + 1];
    if (!first.isLetter() && first != '/' && first != '!' && first != '?') return 0;
    QChar quote, last;
    for (int i = at + 1; i < html.size(); ++i) {
        QChar const c = html[i];
        if (!quote.isNull()) {
            if (c == quote) quote = QChar();
        } else if (c == '>') {
            return i + 1 - at;
        } else if ((c == '"' || c == '\'') && last == '=') {
            quote = c;
        }
        if (!c.isSpace()) last = c;
    }
    return 0;
}

// The character that the reference at html[at] ("&name;", "&#N;", "&#xH;")
// stands for, into out, and the reference's length; 0 when it is none.
int reference_length(QString const& html, int at, QString& out) {
    int const end = html.indexOf(';', at + 1);
    if (end < 0 || end - at > 10) return 0;
    QString const name = html.mid(at + 1, end - at - 1);
    static std::pair<char const*, char const*> const named[] = {{"amp", "&"},   {"lt", "<"},   {"gt", ">"},
                                                                {"quot", "\""}, {"apos", "'"}, {"nbsp", " "}};
    for (auto const& [n, c] : named)
        if (name == QLatin1String(n)) {
            out = QLatin1String(c);
            return end + 1 - at;
        }
    if (!name.startsWith('#') || name.size() < 2) return 0;
    bool const hex = name[1] == 'x' || name[1] == 'X';
    QString const digits = name.mid(hex ? 2 : 1);
    for (QChar d : digits)
        if (!(d.isDigit() || (hex && QString("abcdefABCDEF").contains(d)))) return 0;
    bool ok = false;
    uint const code = digits.toUInt(&ok, hex ? 16 : 10);
    if (!ok || code == 0 || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
    out = QString::fromUcs4(&code, 1);
    return end + 1 - at;
}

} // namespace

QString plain_text(QString const& html) {
    QString out;
    out.reserve(html.size());
    for (int i = 0; i < html.size();) {
        QChar const c = html[i];
        int n = 0;
        QString ch;
        if (c == '<' && (n = tag_length(html, i)) > 0) {
            i += n;
        } else if (c == '&' && (n = reference_length(html, i, ch)) > 0) {
            out += ch;
            i += n;
        } else {
            out += c;
            ++i;
        }
    }
    return out;
}

chat_line format_chat_line(QString text, QString const& stamp) {
    chat_line l;
    text = unquote_font_tags(text);
    l.plain = stamp + " " + plain_text(text) + "\n";
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
