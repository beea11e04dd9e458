#include "tovan/lang/translations.h"

#include "rulo/errlog.h"
#include "rulo/exception.h"
#include "rulo/lock.h"
#include "rulo/text.h"
#include "rulo/xfile.h"
#include "tovan/util/log_message.h"

#include <algorithm>
#include <cstdlib>
#include <map>

namespace tovan {

int64_t g_language_id = 0;

namespace {

ini_sections& table() {
    static ini_sections* t = new ini_sections;
    return *t;
}

std::string& selected() {
    static std::string* s = new std::string;
    return *s;
}

std::string value_of(std::string const& language, std::string const& key) {
    return get_ini_string(table(), language, key);
}

} // namespace

rulo::rec_mutex& language_lock() {
    static rulo::rec_mutex* m = new rulo::rec_mutex;
    return *m;
}

void init_language() {
    language_lock();
    std::string path;
    try {
        path = rulo::expand_filename("translations/LangAll.ini");
    } catch (rulo::exception const&) {
        LogMessage(
            "*Error* - unable to load translations from LangAll.ini, continuing without translations.");
        return;
    }
    read_language_file(path, true);
}

namespace {

void merge_ini(ini_sections& loaded, ini_sections& t, bool add, bool newline) {
    for (auto& [section, keys] : loaded) {
        for (auto& [key, value] : keys) {
            if (!add) {
                auto s = t.find(section);
                if (s != t.end()) s->second.erase(key);
                continue;
            }
            if (newline) rulo::replace_all(value, "\\n", "\r\n");
            t[section][key] = value;
        }
        if (add) t[section];
    }
}

} // namespace

bool read_ini_file(std::string const& path, ini_sections& t, bool add, bool newline) {
    ini_sections loaded;
    std::vector<std::string> skipped;
    if (!load_ini_file(path, loaded, &skipped, nullptr)) return false;
    rulo::fmt_dbg("ini").fmt_verbose("ini file %1%", path);
    for (auto const& line : skipped) LogMessage2("skipping a line without a key in " + path + ": " + line);
    merge_ini(loaded, t, add, newline);
    return true;
}

void add_language_text(std::string const& text) {
    ini_sections loaded;
    parse_ini_text(text, loaded, nullptr);
    rulo::rec_lock lock(language_lock());
    merge_ini(loaded, table(), true, true);
}

bool read_language_file(std::string const& path, bool add) {
    rulo::rec_lock lock(language_lock());
    return read_ini_file(path, table(), add, true);
}

bool read_all_languages(std::string const& path, bool add) {
    return read_language_file(path, add);
}

std::string get_ini_string(ini_sections const& t, std::string const& section, std::string const& key) {
    return ini_value(t, section, key);
}

std::vector<std::string> get_ini_sections(ini_sections const& t) {
    std::vector<std::string> out;
    for (auto const& s : t) out.push_back(s.first);
    return out;
}

std::string get_lang_string_raw(std::string const& language, std::string const& key) {
    rulo::rec_lock lock(language_lock());
    return value_of(language, key);
}

ini_section extract_cstring_from_raw(std::string* text) {
    ini_section out;
    if (text->empty() || (*text)[0] != '[') return out;
    std::size_t close = text->find(']');
    if (close == std::string::npos) return out;
    std::string header = text->substr(1, close - 1);
    text->erase(0, close + 1);
    std::size_t pos = 0;
    while (pos <= header.size()) {
        std::size_t bar = header.find('|', pos);
        std::string item = header.substr(pos, bar == std::string::npos ? std::string::npos : bar - pos);
        std::size_t eq = item.find('=');
        if (eq != std::string::npos) {
            std::string name = item.substr(0, eq), value = item.substr(eq + 1);
            auto it = out.find(name);
            if (it == out.end())
                out[name] = value;
            else
                it->second += " :: " + value;
        }
        if (bar == std::string::npos) break;
        pos = bar + 1;
    }
    return out;
}

QString fixup_lang(QString text) {
    text.replace("<br/>", "<br>");
    text.replace("<font color=\"", "<font color=\"#");
    text.replace("<img src=\"", "<img src=\":");
    text.replace("<font color=0>", "<font color=000000>");
    return text;
}

QString get_language_string(std::string const& language, std::string const& key, bool generic,
                            bool no_fallback) {
    std::string lookup;
    if (rulo::starts_with(key, "[alias=")) {
        std::string rest = key;
        lookup = extract_cstring_from_raw(&rest)["alias"];
    } else {
        lookup = generic ? "generic_" + key : key;
    }
    std::string text;
    {
        rulo::rec_lock lock(language_lock());
        text = value_of(language, lookup);
        if (text.empty() && !no_fallback) text = value_of("en", lookup);
    }
    return fixup_lang(QString::fromUtf8(text.data(), static_cast<int>(text.size())));
}

QString get_lang_string(std::string const& key, bool generic, bool no_fallback) {
    return get_language_string(GetSelectedLanguage(), key, generic, no_fallback);
}

std::string get_utf8_string(std::string const& key, bool generic, bool no_fallback) {
    return get_lang_string(key, generic, no_fallback).toUtf8().toStdString();
}

namespace {

// "Serbian (Latin)" as "Serbian, Latin": a name that goes inside brackets
// carries none of its own.
std::string without_brackets(std::string const& name) {
    std::string flat;
    for (char c : name) {
        if (c == ')') continue;
        if (c == '(') {
            while (!flat.empty() && flat.back() == ' ') flat.pop_back();
            flat += ", ";
        } else {
            flat += c;
        }
    }
    while (!flat.empty() && (flat.back() == ' ' || flat.back() == ',')) flat.pop_back();
    return flat;
}

} // namespace

std::string GetLanguageNativeName(std::string const& language) {
    rulo::rec_lock lock(language_lock());
    std::string const name = value_of(language, "__NAME");
    std::string const native = value_of(language, "__NATIVE");
    // Each name once, the English one in brackets after the native one.
    if (native.empty() || native == name) return name;
    if (name.empty()) return native;
    return without_brackets(native) + " (" + without_brackets(name) + ")";
}

int GetLanguageFontFactor() {
    std::string f = get_lang_string_raw(GetSelectedLanguage(), "FONT_FACTOR");
    if (f.empty()) return 100;
    return rulo::atoi(f);
}

bool is_valid_language(std::string const& code) {
    rulo::rec_lock lock(language_lock());
    return table().count(code) != 0;
}

std::string GetSelectedLanguage() {
    // The connection thread reads it for the server while the menu may change it.
    rulo::rec_lock lock(language_lock());
    return selected();
}

void SetSelectedLanguage(std::string const& code) {
    {
        rulo::rec_lock lock(language_lock());
        selected() = code;
    }
    std::vector<std::string> tokens;
    rulo::get_tokens(&tokens, get_lang_string_raw(code, "__MATCH_LINUX"), "|");
    if (tokens.empty()) {
        g_language_id = -1;
        return;
    }
    std::string const& t = tokens.front();
    if (t.size() > 2 && t[0] == '0' && t[1] == 'x' && std::isxdigit(static_cast<unsigned char>(t[2]))) {
        g_language_id = static_cast<int64_t>(static_cast<uint32_t>(std::strtoul(t.c_str() + 2, nullptr, 16)));
    }
}

namespace {

// The chain of a code: the chains of the codes it must come after, then itself.
std::vector<std::string> after_chain(std::map<std::string, std::string> const& after,
                                     std::string const& code) {
    std::vector<std::string> chain{code};
    std::string cur = code;
    for (int depth = 0; depth < 1000; ++depth) {
        auto it = after.find(cur);
        if (it == after.end() || it->second.empty()) break;
        cur = it->second;
        chain.insert(chain.begin(), cur);
    }
    return chain;
}

bool locale_matches(std::string const& locale, std::string const& token) {
    if (locale == token) return true;
    if (locale.size() <= token.size() || locale.compare(0, token.size(), token) != 0) return false;
    char next = locale[token.size()];
    return next == '_' || next == '.' || next == '@';
}

} // namespace

std::string match_locale(ini_sections const& t, std::string const& locale) {
    rulo::fmt_dbg log("system locale (linux)");
    if (locale.empty()) {
        log.fmt_verbose("failed to get locale info from system");
        log.fmt_verbose("... no match, using default: %1%", "en");
        return "en";
    }
    log.fmt_verbose("using '%1%'", locale);
    std::map<std::string, std::string> after, match;
    for (auto const& [code, keys] : t) {
        after[code] = get_ini_string(t, code, "__MATCH_LINUX_AFTER");
        match[code] = get_ini_string(t, code, "__MATCH_LINUX");
    }
    std::vector<std::pair<std::vector<std::string>, std::string>> order;
    for (auto const& [code, unused] : t) order.emplace_back(after_chain(after, code), code);
    std::sort(order.begin(), order.end());
    std::vector<std::string> codes;
    for (auto const& o : order) codes.push_back(o.second);
    log.fmt_verbose("matching language from list: [%1%]", rulo::join_tokens(", ", codes));
    for (auto const& code : codes) {
        std::vector<std::string> tokens;
        rulo::get_tokens(&tokens, match[code], "|");
        for (auto const& token : tokens) {
            if (locale_matches(locale, token)) {
                log.fmt_verbose("... ok, match found: %1%", code);
                return code;
            }
        }
    }
    log.fmt_verbose("... no match, using default: %1%", "en");
    return "en";
}

std::string get_default_language() {
    char const* lc_all = std::getenv("LC_ALL");
    char const* lang = std::getenv("LANG");
    rulo::fmt_dbg("system locale (linux)")
        .fmt_verbose("LC_ALL='%1%', LANG='%2%'", lc_all ? lc_all : "", lang ? lang : "");
    std::string locale = lc_all && *lc_all ? lc_all : lang ? lang : "";
    ini_sections copy;
    {
        rulo::rec_lock lock(language_lock());
        for (auto const& [code, keys] : table()) {
            copy[code]["__MATCH_LINUX"] = get_ini_string(table(), code, "__MATCH_LINUX");
            copy[code]["__MATCH_LINUX_AFTER"] = get_ini_string(table(), code, "__MATCH_LINUX_AFTER");
        }
    }
    return match_locale(copy, locale);
}

std::vector<std::string> languages_of(ini_sections const& t) {
    std::map<int, std::vector<std::string>, std::greater<int>> by_priority;
    for (auto const& [code, keys] : t)
        by_priority[rulo::atoi(get_ini_string(t, code, "__PRIORITY"))].push_back(code);
    std::vector<std::string> out;
    bool high_seen = false, separated = false;
    for (auto const& [priority, codes] : by_priority) {
        if (priority > 99)
            high_seen = true;
        else if (high_seen && !separated) {
            out.push_back("-");
            separated = true;
        }
        for (auto const& code : codes)
            if (code.size() < 4) out.push_back(code);
    }
    return out;
}

std::vector<std::string> get_languages() {
    rulo::rec_lock lock(language_lock());
    return languages_of(table());
}

namespace {
// The error texts end in ": " in the file, but the ini reader trims every
// value: the blank before the detail is put back here, never doubled.
std::string joined(std::string head, std::string const& detail) {
    if (!head.empty() && !detail.empty() && head.back() != ' ' && head.back() != '\t') head += ' ';
    return head + detail;
}
} // namespace

std::string get_lang_description(std::string const& server, rulo::exception const& e, bool starting) {
    std::string text = get_utf8_string(starting ? "ERROR_E_START" : "ERROR_E_RUNNING", true, false);
    rulo::replace_all(text, "@server@", server);
    return starting ? joined(text, e.description()) : text;
}

std::string get_lang_description(std::string const& server, int code) {
    static std::map<int, char const*> const code_keys{
        {1, "ERROR_E_PROTOCOL"},     {2, "ERROR_E_ERROR"},       {4, "ERROR_E_NOT_EXISTING"},
        {5, "ERROR_E_RESOLVE"},      {6, "ERROR_E_NOT_ALLOWED"}, {7, "ERROR_E_ALREADY"},
        {8, "ERROR_E_PASSWORD"},     {9, "ERROR_E_WANT_TUNNEL"}, {11, "ERROR_E_NO_H225"},
        {12, "ERROR_E_UNAVAILABLE"}, {13, "ERROR_E_NO_ADMIN"},   {14, "ERROR_E_MUST_LOGIN"},
        {15, "ERROR_E_DISABLED"},    {16, "ERROR_E_NO_SESSION"}};
    std::string text = get_utf8_string("ERROR_E_RUNNING", true, false);
    if (text.empty()) text = "-";
    rulo::replace_all(text, "@server@", server);
    auto key = code_keys.find(code);
    std::string const detail =
        get_utf8_string(key == code_keys.end() ? "ERROR_E_ERROR" : key->second, true, false);
    return text == "-" ? text + detail : joined(text, detail);
}

void set_language_table(ini_sections t) {
    rulo::rec_lock lock(language_lock());
    table() = std::move(t);
}

} // namespace tovan
