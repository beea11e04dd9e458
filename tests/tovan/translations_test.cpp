// The language table: loading, look-ups with their fall-backs and fix-ups,
// locale matching, the language list, widget trees and concurrent plugin
// translations.
#include "tovan/lang/translations.h"
#include "tovan/window/main_window.h"
#include "tovan/window/window_language.h"

#include "rulo/exception.h"

#include <QCoreApplication>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <regex>
#include <set>
#include <thread>

namespace {

using namespace tovan;

std::string write_file(QTemporaryDir const& dir, std::string const& name, std::string const& content) {
    std::string path = dir.path().toStdString() + "/" + name;
    std::ofstream(path, std::ios::binary) << content;
    return path;
}

class Translations : public ::testing::Test {
protected:
    void SetUp() override {
        set_language_table({});
        std::string path = write_file(dir, "LangAll.ini",
                                      "[en]\n"
                                      "generic_HELLO=Hello\n"
                                      "generic_ONLY_EN=English only\n"
                                      "generic_LINES=a\\nb\n"
                                      "generic_MARKUP=x<br/>y <font color=\"ff0000\">r</font> <img "
                                      "src=\"desktop-icon\"/> <font color=0>k\n"
                                      "generic_OK=OK\n"
                                      "TARGET=aliased\n"
                                      "__NAME=English\n"
                                      "[de]\n"
                                      "generic_HELLO=Hallo\n"
                                      "generic_ONLY_EN=\n"
                                      "generic_OK=Gut\n"
                                      "__NAME=German\n"
                                      "__NATIVE=Deutsch\n"
                                      "__MATCH_LINUX=0x1f|de\n");
        ASSERT_TRUE(read_language_file(path, true));
        SetSelectedLanguage("de");
    }
    QTemporaryDir dir;
};

TEST_F(Translations, LookupsFallBacksAndFixUps) {
    struct {
        char const* key;
        bool generic, no_fallback;
        char const* text;
    } const cases[] = {
        {"HELLO", true, false, "Hallo"},
        {"ONLY_EN", true, false, "English only"},
        {"ONLY_EN", true, true, ""},
        {"MISSING", true, false, ""},
        {"generic_HELLO", false, false, "Hallo"},
        {"[alias=TARGET|x=1]ignored", true, false, "aliased"},
        {"LINES", true, false, "a\r\nb"},
        {"MARKUP", true, false,
         "x<br>y <font color=\"#ff0000\">r</font> <img src=\":desktop-icon\"/> <font color=000000>k"},
    };
    for (auto const& c : cases)
        EXPECT_EQ(get_lang_string(c.key, c.generic, c.no_fallback).toStdString(), c.text) << c.key;
    EXPECT_EQ(get_language_string("xx", "HELLO", true, false).toStdString(), "Hello") << "unknown language";
    EXPECT_EQ(get_lang_string_raw("de", "__NATIVE"), "Deutsch");
}

TEST_F(Translations, NewlinesOnlyWithTheFlag) {
    ini_sections t;
    std::string path = write_file(dir, "n.ini", "[s]\nk=a\\nb\n");
    ASSERT_TRUE(read_ini_file(path, t, true, false));
    EXPECT_EQ(t["s"]["k"], "a\\nb");
    ASSERT_TRUE(read_ini_file(path, t, true, true));
    EXPECT_EQ(t["s"]["k"], "a\r\nb");
    ASSERT_TRUE(read_ini_file(path, t, false, true));
    EXPECT_EQ(t["s"].count("k"), 0u);
    EXPECT_FALSE(read_ini_file(dir.path().toStdString() + "/none.ini", t, true, true));
}

TEST_F(Translations, HeadersNamesFactorsAndIds) {
    std::string text = "[a=1|b=2|a=3]rest";
    EXPECT_EQ(extract_cstring_from_raw(&text), (ini_section{{"a", "1 :: 3"}, {"b", "2"}}));
    EXPECT_EQ(text, "rest");
    EXPECT_EQ(GetLanguageNativeName("de"), "Deutsch (German)");
    EXPECT_EQ(GetLanguageNativeName("en"), "English");
    EXPECT_EQ(GetLanguageNativeName("zz"), "");
    EXPECT_EQ(GetLanguageFontFactor(), 100);
    // The first token "0x1f" is read as hexadecimal.
    EXPECT_EQ(g_language_id, 0x1f);
    SetSelectedLanguage("en");
    EXPECT_EQ(g_language_id, -1) << "no tokens";
}

// Every key the sources under tovan/ ask for by name: the literals of a look-up ("generic_" unless a
// false flag follows; one followed by "+" only begins a key) and the entries of tables named ..._keys.
std::set<std::string> asked_keys() {
    std::regex const calls(R"((?:^|[^\w:])(?:(?:get_lang_string|get_utf8_string|MessageBoxU|message_box|tr|)"
                           R"(translate|system_line|system_message|msg_box_in_main|set_keyed_text|)"
                           R"(set_keyed_tip|keyed_entry)\(|box =)([^;]*))"),
        tables(R"(\w_keys(?:\[\])? ?=? ?\{([^;]*))"), key_shape("[A-Z]+_[A-Z0-9_]+"),
        literal(R"x("(\w[\w ]*)"(?!\s*\+)(\s*,\s*false)?)x");
    std::set<std::string> keys;
    for (auto const& file : std::filesystem::recursive_directory_iterator(TOVAN_SOURCE_DIR "/tovan")) {
        if (!file.is_regular_file()) continue;
        std::ifstream in(file.path(), std::ios::binary);
        std::string const text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        for (auto const& [statements, table] : {std::pair{&calls, false}, std::pair{&tables, true}})
            for (std::sregex_iterator s(text.begin(), text.end(), *statements), end; s != end; ++s) {
                std::string const statement = (*s)[1];
                for (std::sregex_iterator k(statement.begin(), statement.end(), literal); k != end; ++k)
                    if (!table || std::regex_match((*k)[1].str(), key_shape))
                        keys.insert(((*k)[2].matched ? "" : "generic_") + (*k)[1].str());
            }
    }
    return keys;
}

// The shipped file: every key the program looks up is there in English,
// every language has exactly the English keys, and the file is plain UTF-8.
TEST(ShippedTranslations, CompleteInEveryLanguage) {
    std::ifstream in(SHIPPED_LANGALL, std::ios::binary);
    std::string const text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(text.empty());
    EXPECT_NE(text.substr(0, 3), "\xEF\xBB\xBF") << "no byte-order mark";
    EXPECT_EQ(QString::fromUtf8(text.c_str()).toUtf8().toStdString(), text) << "valid UTF-8";
    ini_sections t;
    std::vector<std::string> skipped;
    parse_ini_text(text, t, &skipped);
    EXPECT_TRUE(skipped.empty());
    // Keys the sources do not spell out: status texts, composed keys, properties.
    char const* const used[] = {"generic_IDC_ACTION",
                                "generic_IDC_DESCRIPTION_TEXT",
                                "generic_LOAD_PLUGIN",
                                "generic_PLUGIN_UNSUPORTED_video",
                                "generic_PLUGIN_UNSUPORTED_audio",
                                "generic_PLUGIN_UNSUPORTED_file_transfer",
                                "generic_TIP_desktop",
                                "generic_TIP_audio",
                                "generic_TIP_video",
                                "generic_TIP_file_transfer",
                                "cli_dis_IDC_DESCRIPTION_TEXT",
                                "cli_dis_IDC_ACTION",
                                "cli_dis_IDC_STATIC_TEXT",
                                "cli_con_IDC_DESCRIPTION_TEXT",
                                "cli_con_IDC_ACTION",
                                "cli_con_IDC_STATIC_TEXT",
                                "cli_str_IDC_DESCRIPTION_TEXT",
                                "cli_str_IDC_ACTION",
                                "cli_str_IDC_STATIC_TEXT",
                                "cli_ctr_IDC_DESCRIPTION_TEXT",
                                "cli_ctr_IDC_ACTION",
                                "cli_ctr_IDC_STATIC_TEXT",
                                "dsk_dis_IDC_DESCRIPTION_TEXT",
                                "dsk_dis_IDC_ACTION",
                                "dsk_dis_IDC_STATIC_TEXT",
                                "dsk_prg_IDC_DESCRIPTION_TEXT",
                                "dsk_prg_IDC_ACTION",
                                "dsk_prg_IDC_STATIC_TEXT",
                                "dsk_con_IDC_DESCRIPTION_TEXT",
                                "dsk_con_IDC_ACTION",
                                "dsk_con_IDC_STATIC_TEXT",
                                "dsk_str_IDC_DESCRIPTION_TEXT",
                                "dsk_str_IDC_ACTION",
                                "dsk_str_IDC_STATIC_TEXT",
                                "dsk_ctr_IDC_DESCRIPTION_TEXT",
                                "dsk_ctr_IDC_ACTION",
                                "dsk_ctr_IDC_STATIC_TEXT",
                                "dsk_vie_IDC_DESCRIPTION_TEXT",
                                "dsk_vie_IDC_ACTION",
                                "dsk_vie_IDC_STATIC_TEXT",
                                "gen_rec_IDC_DESCRIPTION_TEXT",
                                "gen_rec_IDC_ACTION",
                                "gen_rec_IDC_STATIC_TEXT",
                                "__NAME",
                                "__NATIVE",
                                "__PRIORITY",
                                "__MATCH_LINUX"};
    for (char const* key : used) EXPECT_FALSE(get_ini_string(t, "en", key).empty()) << key;
    // Captions in words of their own, and the error detail the file leaves empty.
    std::set<std::string> const not_asked{"generic_Error", "generic_Tovan Error", "generic_ERROR_E_NO_H225"};
    for (auto const& key : asked_keys())
        EXPECT_TRUE(not_asked.count(key) || !get_ini_string(t, "en", key).empty()) << key;
    std::set<std::string> english;
    for (auto const& [key, value] : t["en"])
        if (key.rfind("__", 0) != 0) english.insert(key);
    for (char const* code : {"de", "fr", "pt", "ptbr", "sr", "srl", "no"}) {
        ASSERT_EQ(t.count(code), 1u) << code;
        std::set<std::string> keys;
        for (auto const& [key, value] : t[code])
            if (key.rfind("__", 0) != 0) keys.insert(key);
        EXPECT_EQ(keys, english) << code;
    }
    EXPECT_EQ(languages_of(t), (std::vector<std::string>{"de", "en", "fr", "pt", "-", "no", "sr", "srl"}));
    EXPECT_EQ(match_locale(t, "nb_NO.UTF-8"), "no");
    EXPECT_EQ(match_locale(t, "pt_BR.UTF-8"), "ptbr");
    EXPECT_EQ(match_locale(t, "sr_RS@latin"), "srl");
    // The language list names each language once and nests no brackets.
    set_language_table(t);
    for (auto const& code : get_ini_sections(t))
        EXPECT_FALSE(std::regex_search(GetLanguageNativeName(code), std::regex(R"(\(.*\(|^$)"))) << code;
    EXPECT_EQ(GetLanguageNativeName("srl"), "Srpski (Serbian, Latin)");
    set_language_table({});
}

TEST(ErrorTexts, ConnectionAndControlRpc) {
    set_language_table({{"en",
                         {{"generic_ERROR_E_START", "Cannot reach @server@ (@server@): "},
                          {"generic_ERROR_E_RUNNING", "Lost @server@: "},
                          {"generic_ERROR_E_PASSWORD", "bad password"},
                          {"generic_ERROR_E_ERROR", "error"}}}});
    SetSelectedLanguage("en");
    rulo::exception refused("connection refused");
    EXPECT_EQ(get_lang_description("srv", refused, true), "Cannot reach srv (srv): connection refused");
    EXPECT_EQ(get_lang_description("srv", refused, false), "Lost srv: ");
    struct {
        int code;
        char const* text;
    } const codes[] = {
        {8, "Lost srv: bad password"}, {2, "Lost srv: error"}, {99, "Lost srv: error"}, {11, "Lost srv: "}};
    for (auto const& c : codes) EXPECT_EQ(get_lang_description("srv", c.code), c.text) << c.code;
    set_language_table({});
    EXPECT_EQ(get_lang_description("srv", 8), "-");

    // The shipped texts as the reader gives them (values trimmed): one blank
    // between the text and its detail, in every language.
    std::ifstream in(SHIPPED_LANGALL, std::ios::binary);
    std::string const file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ini_sections shipped;
    parse_ini_text(file, shipped, nullptr);
    set_language_table(shipped);
    struct {
        char const* language;
        char const* running;
        char const* start;
    } const shipped_texts[] = {
        {"en", "The connection to srv failed: the service is unavailable",
         "Could not connect to srv: connection refused"},
        {"de", "Die Verbindung zu srv ist fehlgeschlagen: der Dienst ist nicht verf\xC3\xBCgbar",
         "Keine Verbindung zu srv: connection refused"},
        {"fr",
         "La connexion \xC3\xA0"
         " srv a \xC3\xA9"
         "chou\xC3\xA9 : le service est indisponible",
         "Connexion impossible \xC3\xA0"
         " srv : connection refused"},
    };
    for (auto const& t : shipped_texts) {
        SetSelectedLanguage(t.language);
        EXPECT_EQ(get_lang_description("srv", 12), t.running) << t.language;
        EXPECT_EQ(get_lang_description("srv", refused, true), t.start) << t.language;
    }
    set_language_table({});
}

TEST(LocaleMatching, LocalesToLanguages) {
    ini_sections t{{"de", {{"__MATCH_LINUX", "de"}}},
                   {"en", {{"__MATCH_LINUX", "en"}}},
                   {"fr", {{"__MATCH_LINUX", "fr"}}},
                   {"no", {{"__MATCH_LINUX", "no|nb"}}},
                   {"pt", {{"__MATCH_LINUX", "pt"}, {"__MATCH_LINUX_AFTER", "ptbr"}}},
                   {"ptbr", {{"__MATCH_LINUX", "pt_BR"}}},
                   {"sr", {{"__MATCH_LINUX", "sr"}, {"__MATCH_LINUX_AFTER", "srl"}}},
                   {"srl", {{"__MATCH_LINUX", "sr_RS@latin"}}}};
    struct {
        char const* locale;
        char const* language;
    } const cases[] = {{"de_DE.UTF-8", "de"},
                       {"pt_BR.UTF-8", "ptbr"},
                       {"pt_PT.UTF-8", "pt"},
                       {"pt_BR", "ptbr"},
                       {"sr_RS@latin", "srl"},
                       {"sr_RS", "sr"},
                       {"nb_NO.UTF-8", "no"},
                       {"no", "no"},
                       {"fr", "fr"},
                       {"C", "en"},
                       {"POSIX", "en"},
                       {"ptx", "en"},
                       {"", "en"}};
    for (auto const& c : cases) EXPECT_EQ(match_locale(t, c.locale), c.language) << c.locale;
}

TEST(LocaleMatching, LcAllOverLang) {
    set_language_table({{"de", {{"__MATCH_LINUX", "de"}}}, {"fr", {{"__MATCH_LINUX", "fr"}}}});
    struct {
        char const* lc_all;
        char const* lang;
        char const* language;
    } const cases[] = {{"", "fr_FR.UTF-8", "fr"}, {"de_AT", "fr_FR.UTF-8", "de"}, {nullptr, nullptr, "en"}};
    for (auto const& c : cases) {
        c.lc_all ? setenv("LC_ALL", c.lc_all, 1) : unsetenv("LC_ALL");
        c.lang ? setenv("LANG", c.lang, 1) : unsetenv("LANG");
        EXPECT_EQ(get_default_language(), c.language);
    }
}

TEST(LanguageList, PrioritiesAndSeparator) {
    using list = std::vector<std::string>;
    struct {
        ini_sections table;
        list want;
    } const cases[] = {
        {{{"en", {{"__PRIORITY", "100"}}},
          {"de", {{"__PRIORITY", "100"}}},
          {"ptbr", {{"__PRIORITY", "50"}}},
          {"pt", {{"__PRIORITY", "50"}}},
          {"zz", {}}},
         {"de", "en", "-", "pt", "zz"}},
        {{{"a", {{"__PRIORITY", "50"}}}, {"b", {{"__PRIORITY", "50"}}}}, {"a", "b"}},
        {{{"a", {{"__PRIORITY", "100"}}}, {"b", {{"__PRIORITY", "100"}}}}, {"a", "b"}},
        {{{"a", {{"__PRIORITY", "200"}}},
          {"b", {{"__PRIORITY", "100"}}},
          {"c", {{"__PRIORITY", "99"}}},
          {"d", {{"__PRIORITY", "1"}}}},
         {"a", "b", "-", "c", "d"}},
    };
    for (auto const& c : cases) EXPECT_EQ(languages_of(c.table), c.want);
}

TEST_F(Translations, WidgetTreesTranslateOnceAndQtTextsSurvive) {
    QDialog d;
    d.setWindowTitle("HELLO");
    auto* label = new QLabel("HELLO", &d);
    auto* button = new QPushButton("OK", &d);
    auto* edit = new QLineEdit("NO_SUCH_KEY", &d);
    SetWindowLanguage(&d);
    EXPECT_EQ(label->text(), "Hallo");
    EXPECT_EQ(button->text(), "Gut");
    EXPECT_EQ(edit->text(), "NO_SUCH_KEY");
    EXPECT_EQ(d.windowTitle(), "Hallo");
    SetWindowLanguage(&d);
    EXPECT_EQ(label->text(), "Hallo") << "translating twice changes nothing";
    EXPECT_EQ(button->text(), "Gut");

    // Under the translator Qt keeps its own texts where the table has none.
    CVYNTranslator translator(nullptr);
    EXPECT_TRUE(translator.translate("QPlatformTheme", "Close").isNull());
    EXPECT_EQ(translator.translate("any", "HELLO"), "Hallo");
    QCoreApplication::installTranslator(&translator);
    QMessageBox box;
    box.setStandardButtons(QMessageBox::Save | QMessageBox::Discard);
    EXPECT_FALSE(box.button(QMessageBox::Save)->text().isEmpty());
    EXPECT_FALSE(box.button(QMessageBox::Discard)->text().isEmpty());
    QCoreApplication::removeTranslator(&translator);
}

TEST_F(Translations, StatusGroupsGeneralThenRole) {
    set_language_table(
        {{"en",
          {{"gen_con_IDC_ACTION", "general"},
           {"cli_con_IDC_ACTION", "client"},
           {"gen_con_IDC_DESCRIPTION_TEXT", "see\r\n<img src=\"desktop-icon\"/> and <img src=\":x\"/>"},
           {"generic_IDC_STATIC_TEXT", "static"}}}});
    SetSelectedLanguage("en");
    QDialog d;
    auto* description = new QLabel(&d);
    auto* action = new QPushButton(&d);
    auto* stat = new QLabel(&d);
    fixIDs[0] = {description, "_IDC_DESCRIPTION_TEXT"};
    fixIDs[1] = {action, "_IDC_ACTION"};
    fixIDs[2] = {stat, "_IDC_STATIC_TEXT"};
    fixIDs[3] = {nullptr, nullptr};
    RetranslateLanguageStatus(&d, "cli_con");
    EXPECT_EQ(action->text(), "client");
    // Markup past the first line still makes rich text, and the line break stays.
    EXPECT_EQ(description->textFormat(), Qt::RichText);
    EXPECT_EQ(description->text(), "see<br><img src=\":desktop-icon\"/> and <img src=\":x\"/>");
    RetranslateLanguageStatus(&d, nullptr);
    EXPECT_EQ(stat->text(), "static");
    for (auto& row : fixIDs) row = {nullptr, nullptr};
}

// Look-ups race a plugin's translation file being added and removed.
TEST_F(Translations, LookupsRaceAPluginsAddAndRemove) {
    std::string plugin = write_file(dir, "plugin.ini", "[de]\nplugin_KEY=Stecker\n[en]\nplugin_KEY=plug\n");
    std::atomic<bool> stop{false};
    std::atomic<int> odd{0};
    std::vector<std::thread> readers;
    for (int i = 0; i < 4; ++i) {
        readers.emplace_back([&] {
            while (!stop) {
                QString t = get_language_string("de", "plugin_KEY", false, false);
                if (!t.isEmpty() && t != "Stecker" && t != "plug") ++odd;
                if (get_language_string("de", "HELLO", true, false) != "Hallo") ++odd;
            }
        });
    }
    for (int i = 0; i < 300; ++i) {
        ASSERT_TRUE(read_all_languages(plugin, true));
        ASSERT_TRUE(read_all_languages(plugin, false));
    }
    stop = true;
    for (auto& t : readers) t.join();
    EXPECT_EQ(odd, 0);
    EXPECT_TRUE(get_language_string("de", "plugin_KEY", false, false).isEmpty());
}

} // namespace
