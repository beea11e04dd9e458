// The chat's text transforms: a typed line cut to its limit, links made
// anchors, a received line made the log's HTML and plain line, the Latin-1
// copies for old peers and the server's live chat, and the session clock.
// Pure functions of their arguments (the time stamp and clock are given).
#pragma once

#include <QString>

#include <cstdint>
#include <ctime>
#include <string>

namespace tovan::look {

// The longest a typed line may be, in bytes.
constexpr std::size_t max_typed_line = 512;

// text cut to at most max bytes, at the last whole UTF-8 character.
std::string cut_utf8(std::string const& text, std::size_t max);

// The typed text as text, not markup: "&", "<" and ">" as "&amp;", "&lt;"
// and "&gt;", so every end shows it as it was typed.
std::string escape_typed(std::string text);

// Every "http://" link (up to the next blank or the end) in its anchor form,
// its colour closed with it so the rest of the line keeps its own.
std::string link_anchors(std::string line);

// A link in the chat log that a click opens: a web address only. The
// remote end's lines are shown as they came, so a link there can name
// anything; handing a file or another scheme to the desktop's opener on a
// click would let that end pick what runs here.
bool opens_from_chat(std::string const& link);

// Latin-1 bytes of text; a character outside Latin-1 is written as a
// numeric character reference ("&#1046;") so nothing turns into "?".
std::string latin1_html(QString const& text);

// Every quoted coloured-font tag (<font color="ff0000">, any case) without
// its double quotes, in one pass.
QString unquote_font_tags(QString const& text);

// What a person reads of a line of the log's HTML: no tag is left (a link
// is the text it shows, its address), and character references are the
// characters again ("&lt;" "<", "&#1046;" "\u0416", "&nbsp;" a blank). A
// "<" that opens no tag, or a tag that never closes, stays as text.
QString plain_text(QString const& html);

struct chat_line {
    QString html;  // one paragraph: grey stamp, then the line
    QString plain; // stamp, blank, the line as plain_text reads it, line feed
};
// A received or typed line (already decoded) as the log shows it, with the
// local time stamp given as "HH:MM:SS".
chat_line format_chat_line(QString text, QString const& stamp);

// The session clock's label for a count of seconds: "<b>HH:MM:SS</b>", with
// " days " and a three-digit day count in front from 24 hours on.
std::string clock_text(int64_t seconds);

// One clock step at wall-clock time now: the time since the last step is
// added (never a backward jump), and the step time moves to now.
void advance_clock(int64_t& session_seconds, std::time_t& clock_time, std::time_t now);

} // namespace tovan::look
