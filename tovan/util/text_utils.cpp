#include "tovan/util/text_utils.h"

#include <cerrno>
#include <cstring>

namespace tovan {

namespace {

struct bom {
    std::size_t length;
    unsigned char bytes[3];
    int code;
};

bom const BOMLOOK[] = {
    {2, {0xFE, 0xFF, 0}, format_utf16be},
    {2, {0xFF, 0xFE, 0}, format_utf16le},
    {3, {0xEF, 0xBB, 0xBF}, format_utf8},
    {3, {0xBF, 0xBB, 0xEF}, format_utf8},
};

QString utf16(char const* bytes, std::size_t count, bool big_endian) {
    QString out;
    out.reserve(static_cast<int>(count / 2));
    for (std::size_t i = 0; i + 1 < count; i += 2) {
        auto hi = static_cast<unsigned char>(bytes[big_endian ? i : i + 1]);
        auto lo = static_cast<unsigned char>(bytes[big_endian ? i + 1 : i]);
        out.append(QChar(static_cast<char16_t>(hi << 8 | lo)));
    }
    return out;
}

} // namespace

int detect_file_format(std::size_t* mark_length, char const* bytes, std::size_t count) {
    for (auto const& b : BOMLOOK) {
        if (b.length <= count && std::memcmp(bytes, b.bytes, b.length) == 0) {
            *mark_length = b.length;
            return b.code;
        }
    }
    *mark_length = 0;
    return format_plain;
}

QString convert_text(int code, char const* bytes, std::size_t count) {
    switch (code) {
    case format_plain:
        return QString::fromLatin1(bytes, static_cast<int>(count));
    case format_utf8:
        return QString::fromUtf8(bytes, static_cast<int>(count));
    case format_utf16be:
        return utf16(bytes, count, true);
    case format_utf16le:
        return utf16(bytes, count, false);
    default:
        return {};
    }
}

QString unknown_to_unicode(char const* bytes, std::size_t count) {
    std::size_t mark = 0;
    int code = detect_file_format(&mark, bytes, count);
    return convert_text(code, bytes + mark, count - mark);
}

std::string unicode_to_utf8(QString const& text, bool with_mark) {
    std::string out = with_mark ? "\xEF\xBB\xBF" : "";
    return out + text.toUtf8().toStdString();
}

int GetLastError() {
    return errno;
}

std::string replace_all2(std::string text, std::string const& search, std::string const& replacement) {
    if (search.empty()) return text;
    for (std::size_t pos = text.find(search); pos != std::string::npos;
         pos = text.find(search, pos + replacement.size())) {
        text.replace(pos, search.size(), replacement);
    }
    return text;
}

bool replace_all(std::string& text, std::string const& search, std::string const& replacement) {
    if (search.empty()) return false;
    std::string out;
    bool any = false;
    std::size_t from = 0;
    for (std::size_t pos = text.find(search); pos != std::string::npos; pos = text.find(search, from)) {
        out.append(text, from, pos - from);
        out += replacement;
        from = pos + search.size();
        any = true;
    }
    if (!any) return false;
    out.append(text, from, std::string::npos);
    text = std::move(out);
    return true;
}

void replace_all(std::string& text, std::vector<std::pair<std::string, std::string>> const& pairs,
                 int max_passes) {
    for (int pass = 0; pass < max_passes; ++pass) {
        bool any = false;
        for (auto const& [search, replacement] : pairs) any |= replace_all(text, search, replacement);
        if (!any) break;
    }
}

} // namespace tovan
