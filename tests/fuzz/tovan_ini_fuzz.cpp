// The desk program's readers of its own files on hostile text: the ini reader
// of the configuration and translation files, the language choices made from
// a translation table, and the command line read from an extra-argument file.
//
// Invariants: nothing is thrown; no stored key is empty or carries blanks at
// its ends; the language list only names sections of the table, each once;
// every locale match is a section of the table or "en".
#include "tests/fuzz/fuzz_support.h"
#include "tovan/config/command_line.h"
#include "tovan/config/ini_file.h"
#include "tovan/lang/translations.h"

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

using fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, std::size_t size) {
    std::string const text(reinterpret_cast<char const*>(data), size);

    tovan::ini_sections ini;
    std::vector<std::string> skipped;
    tovan::parse_ini_text(text, ini, &skipped);
    std::string const blanks = " \t\r\n";
    for (auto const& [section, keys] : ini) {
        for (auto const& [key, value] : keys) {
            check(!key.empty());
            check(blanks.find(key.front()) == std::string::npos &&
                  blanks.find(key.back()) == std::string::npos);
        }
    }

    std::set<std::string> listed;
    for (auto const& code : tovan::languages_of(ini)) {
        if (code == "-") continue;
        check(ini.count(code) == 1 && code.size() < 4);
        check(listed.insert(code).second);
    }
    for (auto const& locale : {"de_DE.UTF-8", "pt_BR", "sr_RS@latin", "C", ""}) {
        std::string match = tovan::match_locale(ini, locale);
        check(match == "en" || ini.count(match) == 1);
    }

    tovan::command_line_input in;
    in.cmdline_txt = text;
    in.is_client = size % 2 == 0;
    in.read_file = [&](std::string const&) -> std::optional<std::string> { return text; };
    tovan::command_line out = tovan::parse_command_line(in);
    check(!out.options.empty() && out.options.front().first == "load");
    return 0;
}
