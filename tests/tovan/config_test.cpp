// The configuration file: the ini text as read, truth values, the send-size
// setting, paths beside the program and the application information.
#include "tovan/config/configuration.h"
#include "tovan/config/ini_file.h"

#include "rulo/exception.h"
#include "rulo/kv_container.h"
#include "rulo/xfile.h"

#include <QSettings>
#include <QTemporaryDir>

#include <fstream>
#include <gtest/gtest.h>

namespace {

using namespace tovan;

std::string write_file(QTemporaryDir const& dir, std::string const& name, std::string const& content) {
    std::string path = dir.path().toStdString() + "/" + name;
    std::ofstream(path, std::ios::binary) << content;
    return path;
}

// What Qt's own ini reader makes of the same file: the reference nobody here wrote.
ini_sections read_with_qsettings(std::string const& path) {
    QSettings qs(QString::fromStdString(path), QSettings::IniFormat);
    ini_sections out;
    for (QString const& group : qs.childGroups()) {
        qs.beginGroup(group);
        for (QString const& key : qs.childKeys()) {
            // Qt lists a line with an empty key but refuses to read it.
            if (key.isEmpty()) continue;
            out[group.toStdString()][key.toStdString()] = qs.value(key).toString().toStdString();
        }
        qs.endGroup();
    }
    return out;
}

TEST(ConfigurationFile, ReadsLikeQtsIniReader) {
    struct {
        char const* what;
        std::string text;
    } const cases[] = {
        {"LF", "[A]\nk=v\nProxyHost=host:443\n[B]\nx=1\n"},
        {"CRLF", "[A]\r\nk=v\r\nProxyHost=host:443\r\n[B]\r\nx=1\r\n"},
        {"byte-order mark", "\xEF\xBB\xBF[A]\nk=v\n"},
        {"blanks round key and value", "[A]\n  k  =  v  \n"},
        {"an empty key keeps the rest", "[A]\nk=v\n=x\nm=w\n[B]\nx=1\n"},
        {"an empty key of blanks keeps the rest", "[A]\nk=v\n  =x\nm=w\n"},
        {"line without =", "[A]\nnothing here\nk=v\n"},
    };
    QTemporaryDir dir;
    for (auto const& c : cases) {
        std::string path = write_file(dir, "c.ini", c.text);
        ini_sections ours;
        std::vector<std::string> skipped;
        ASSERT_TRUE(load_ini_file(path, ours, &skipped, nullptr)) << c.what;
        EXPECT_EQ(ours, read_with_qsettings(path)) << c.what;
    }
}

TEST(ConfigurationFile, AnEmptyKeyIsReportedNotFatal) {
    QTemporaryDir dir;
    std::string path = write_file(dir, "c.ini", "[VYNDeskLite]\nUseSSL=TRUE\n=x\nTouchPad=TRUE\n");
    // The framework's strict reader gives up on the whole file.
    std::map<std::string, std::map<std::string, std::string>> strict;
    EXPECT_THROW(rulo::kvs_load_file(path, strict), rulo::exception);
    ini_sections ini;
    std::vector<std::string> skipped;
    ASSERT_TRUE(load_ini_file(path, ini, &skipped, nullptr));
    EXPECT_EQ(skipped, std::vector<std::string>{"=x"});
    configuration c = read_configuration(ini, "VYNDeskLite", "/", "", "");
    EXPECT_TRUE(c.use_ssl);
    EXPECT_TRUE(c.touch_pad);
}

TEST(ConfigurationFile, DuplicateKeysTheLaterWins) {
    QTemporaryDir dir;
    std::string path = write_file(dir, "c.ini", "[A]\nk=1\nk=2\n");
    ini_sections ini;
    ASSERT_TRUE(load_ini_file(path, ini, nullptr, nullptr));
    EXPECT_EQ(ini["A"]["k"], "2");
}

TEST(ConfigurationFile, MissingOrHugeFilesAreRefused) {
    QTemporaryDir dir;
    ini_sections ini{{"kept", {{"a", "b"}}}};
    std::string error;
    EXPECT_FALSE(load_ini_file(dir.path().toStdString() + "/none.ini", ini, nullptr, &error));
    EXPECT_NE(error.find("none.ini"), std::string::npos);
    EXPECT_FALSE(load_ini_file(dir.path().toStdString(), ini, nullptr, &error)); // a directory
    EXPECT_EQ(ini.size(), 1u);
}

TEST(Configuration, TruthValuesAndPacketSizes) {
    struct {
        char const* text;
        bool truth;
    } const truths[] = {{"TRUE", true}, {"true", false}, {"True", false},
                        {"1", false},   {"", false},     {"TRUE ", false}};
    for (auto const& t : truths) EXPECT_EQ(truth_value(t.text), t.truth) << t.text;

    struct {
        char const* text;
        std::optional<int> size;
    } const sizes[] = {{"50", std::nullopt},  {"51", 51},         {"1399", 1399}, {"1400", std::nullopt},
                       {"abc", std::nullopt}, {"", std::nullopt}, {"700x", 700}};
    for (auto const& s : sizes) EXPECT_EQ(max_packet_size(s.text), s.size) << s.text;
}

TEST(Configuration, RoleSectionAndDefaults) {
    ini_sections ini{{"Tovan", {{"DefaultLanguage", "de"}}},
                     {"VYNDeskLite",
                      {{"ProxyServer", "old:1"},
                       {"UseSSL", "TRUE"},
                       {"Cert", "server.pem"},
                       {"TransportHttptPort", ""},
                       {"DisableTopMostWindow", "TRUE"},
                       {"LogoImage", ""}}},
                     {"VYNClientLite", {{"ProxyHost", "client:1"}, {"TransportHttptPort", "80"}}}};
    configuration desk = read_configuration(ini, "VYNDeskLite", "/opt/t", "", "");
    EXPECT_EQ(desk.default_language, "de");
    EXPECT_EQ(desk.proxy_host, "old:1");
    EXPECT_TRUE(desk.use_ssl);
    EXPECT_EQ(desk.cert_file, "/opt/t/server.pem");
    EXPECT_EQ(desk.ca_file, rulo::expand_filename("/opt/t/"));
    EXPECT_EQ(desk.dh_file, "/opt/t/dh.pem");
    EXPECT_EQ(desk.httpt_port, "7615");
    EXPECT_FALSE(desk.topmost);
    EXPECT_EQ(desk.logo, "/opt/t/conf/logo.bmp");

    configuration client = read_configuration(ini, "VYNClientLite", "/opt/t", "", "");
    EXPECT_EQ(client.proxy_host, "client:1");
    EXPECT_EQ(client.httpt_port, "80");
    EXPECT_TRUE(client.topmost);
    // Values already held (from an earlier read) are kept.
    configuration kept = read_configuration(ini, "VYNClientLite", "/opt/t", "mine:2", "99");
    EXPECT_EQ(kept.proxy_host, "mine:2");
    EXPECT_EQ(kept.httpt_port, "99");
}

TEST(Configuration, ApplicationInformationAndBranch) {
    struct {
        char const* branch_txt; // null: no file
        std::map<std::string, std::string> extra;
    } const cases[] = {
        {nullptr, {{"branch", "any"}}},
        {"", {{"branch", "any"}}},
        {"branch=beta&flavor=x", {{"branch", "beta"}, {"flavor", "x"}}},
        {"version=9&product=other&branch=", {{"branch", "any"}}},
    };
    for (auto const& c : cases) {
        std::string text = c.branch_txt ? c.branch_txt : "";
        auto info = app_info(c.branch_txt ? &text : nullptr);
        std::map<std::string, std::string> want{
            {"platform", "linux64"}, {"product", "Tovan"}, {"version", "3.3.2"}, {"plugin_interface", "5-7"}};
        want.insert(c.extra.begin(), c.extra.end());
        EXPECT_EQ(info, want) << (c.branch_txt ? c.branch_txt : "(none)");
    }
}

} // namespace
