// The process-wide language table: every text the user sees, by language
// code and key, loaded from translations/LangAll.ini and extended by plugin
// translations.
//
// Threads: any thread may look texts up; every read and change of the table
// takes the translation-table lock (recursive, so a holder may look up
// again), which plugins take too through the host's translate entry. The
// selected language and g_language_id are written by the GUI thread only.
#pragma once

#include "tovan/config/ini_file.h"

#include <QString>

#include <cstdint>
#include <string>
#include <vector>

namespace rulo {
class exception;
class rec_mutex;
} // namespace rulo

namespace tovan {

// Exported beside the selected language for plugins, which link it by
// this plain name (the program's dynamic list names it).
extern "C" int64_t g_language_id;

// The translation-table lock; made on first use, never destroyed.
rulo::rec_mutex& language_lock();

// Makes the lock and loads translations/LangAll.ini (relative to the working
// directory). A missing file leaves the table empty.
void init_language();

// Adds (add) or removes (!add) every section/key of the file in table; with
// newline every backslash-n pair of a value becomes CR LF. False when the
// file cannot be read.
bool read_ini_file(std::string const& path, ini_sections& table, bool add, bool newline);
bool read_language_file(std::string const& path, bool add);
bool read_all_languages(std::string const& path, bool add);
// Adds every section/key of ini text (a plugin's stored translations), as
// read_language_file adds a file's.
void add_language_text(std::string const& text);

// The stored text; empty when section or key is missing. No lock.
std::string get_ini_string(ini_sections const& table, std::string const& section, std::string const& key);
std::vector<std::string> get_ini_sections(ini_sections const& table);

std::string get_lang_string_raw(std::string const& language, std::string const& key);
// The central lookup: "[alias=...]" headers, the "generic_" prefix, the
// English fall-back, UTF-8 decoding and the fix-ups.
QString get_language_string(std::string const& language, std::string const& key, bool generic,
                            bool no_fallback);
// Keys the code names are checked against the shipped file by its test,
// which finds them as literals at the look-up calls or in tables whose
// names end in "_keys".
QString get_lang_string(std::string const& key, bool generic, bool no_fallback);
std::string get_utf8_string(std::string const& key, bool generic, bool no_fallback);

// The four literal replacements applied to every finished text.
QString fixup_lang(QString text);

// "name=value|..." of a leading "[...]" header; a name given twice keeps
// both values joined by " :: ". The header is cut from *text.
ini_section extract_cstring_from_raw(std::string* text);

// The language list's name of a language: "Deutsch (German)", the native
// name then the English one in brackets, each flattened so that no bracket
// nests ("Srpski (Serbian, Latin)"); a name alone when the other is missing or
// the same ("English"); empty when both are missing. Undecoded bytes.
std::string GetLanguageNativeName(std::string const& language);
int GetLanguageFontFactor();
bool is_valid_language(std::string const& code);
std::string GetSelectedLanguage();
void SetSelectedLanguage(std::string const& code);

// The language matching a locale text (LC_ALL if non-empty, else LANG), "en"
// without a match; pure over the table given.
std::string match_locale(ini_sections const& table, std::string const& locale);
std::string get_default_language();

// The language menu's list: by priority, highest first, byte order within
// one; codes of 4 characters or more left out; "-" once before the first
// priority of 99 or below when a higher one came before it.
std::vector<std::string> languages_of(ini_sections const& table);
std::vector<std::string> get_languages();

// The text for a failure of the connection sequence: the starting or the
// running error text with "@server@" replaced, and when starting the
// failure's reason appended.
std::string get_lang_description(std::string const& server, rulo::exception const& e, bool starting);
// The text for an error answer of the control RPC by its code.
std::string get_lang_description(std::string const& server, int control_rpc_code);

// Test access: replaces the whole table.
void set_language_table(ini_sections table);

} // namespace tovan
