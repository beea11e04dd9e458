// Text marks and conversions against iconv's output, window texts by widget
// class, the replace helpers, and the log file.
#include "tovan/dialogs/vyn_string.h"
#include "tovan/util/log_message.h"
#include "tovan/util/text_utils.h"

#include "rulo/errlog.h"

#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QWidget>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <gtest/gtest.h>
#include <set>
#include <sstream>
#include <thread>

namespace {

using namespace tovan;

std::string read_all(std::string const& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The bytes iconv(1) makes of a UTF-8 text in another encoding.
std::string iconv_to(char const* encoding, std::string const& utf8) {
    QTemporaryDir dir;
    std::string in = dir.path().toStdString() + "/in";
    std::ofstream(in, std::ios::binary) << utf8;
    std::string cmd = std::string("iconv -f UTF-8 -t ") + encoding + " " + in;
    std::FILE* p = ::popen(cmd.c_str(), "r");
    std::string out;
    char buf[256];
    for (size_t n; p && (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    if (p) ::pclose(p);
    return out;
}

TEST(TextFormats, MarksAgainstIconv) {
    std::string const text = "Grüße, Đorđe: 日本";
    QString const want = QString::fromUtf8(text.c_str());
    struct {
        char const* what;
        std::string bytes;
        int code;
        size_t mark;
    } const cases[] = {
        {"UTF-16BE with mark", "\xFE\xFF" + iconv_to("UTF-16BE", text), format_utf16be, 2},
        {"UTF-16LE with mark", "\xFF\xFE" + iconv_to("UTF-16LE", text), format_utf16le, 2},
        {"UTF-8 with mark", "\xEF\xBB\xBF" + text, format_utf8, 3},
        {"UTF-8 reversed mark", "\xBF\xBB\xEF" + text, format_utf8, 3},
    };
    for (auto const& c : cases) {
        size_t mark = 99;
        EXPECT_EQ(detect_file_format(&mark, c.bytes.data(), c.bytes.size()), c.code) << c.what;
        EXPECT_EQ(mark, c.mark) << c.what;
        EXPECT_EQ(unknown_to_unicode(c.bytes.data(), c.bytes.size()), want) << c.what;
    }
    // iconv's own "UTF-16" writes its mark itself.
    std::string own = iconv_to("UTF-16", text);
    EXPECT_EQ(unknown_to_unicode(own.data(), own.size()), want);
    // No mark: 8-bit text, as Latin-1.
    std::string latin1 = iconv_to("LATIN1", "Grüße");
    size_t mark = 99;
    EXPECT_EQ(detect_file_format(&mark, latin1.data(), latin1.size()), format_plain);
    EXPECT_EQ(mark, 0u);
    EXPECT_EQ(unknown_to_unicode(latin1.data(), latin1.size()), QString::fromUtf8("Grüße"));
    EXPECT_EQ(unknown_to_unicode("\xEF\xBB\xBF"
                                 "A",
                                 4),
              "A");
    EXPECT_EQ(unknown_to_unicode("\xFE", 1), QString::fromLatin1("\xFE")) << "a mark cut short is text";
    EXPECT_TRUE(convert_text(9, "abc", 3).isEmpty());
    EXPECT_EQ(unicode_to_utf8(want, true), "\xEF\xBB\xBF" + text);
}

TEST(TextReplace, OnePassAndRepeatedLists) {
    EXPECT_EQ(replace_all2("aXa", "X", "XX"), "aXXa");
    EXPECT_EQ(replace_all2("aaa", "", "b"), "aaa");
    EXPECT_EQ(replace_all2("abab", "ab", "b"), "bb");
    std::string s = "aXbX";
    EXPECT_TRUE(replace_all(s, "X", "YX"));
    EXPECT_EQ(s, "aYXbYX");
    EXPECT_FALSE(replace_all(s, "Q", "R"));
    std::string swing = "a";
    replace_all(swing, {{"a", "b"}, {"b", "a"}}, 1000); // never settles: ends after 1000 passes
    EXPECT_EQ(swing, "a");
    std::string settle = "aaaa";
    replace_all(settle, {{"aa", "a"}}, 1000);
    EXPECT_EQ(settle, "a");
}

TEST(WindowTexts, ByWidgetClass) {
    QDialog d;
    auto* label = new QLabel(&d);
    auto* button = new QPushButton(&d);
    auto* group = new QGroupBox(&d);
    auto* line = new QLineEdit(&d);
    auto* multi = new QTextEdit(&d);
    auto* combo = new QComboBox(&d);
    auto* plain = new QWidget(&d);
    combo->addItems({"eins", "zwei"});
    combo->setCurrentIndex(1);
    struct {
        QWidget* w;
        char const* set;
        char const* get;
    } const cases[] = {
        {label, "Grüße <b>fett</b>", "Grüße <b>fett</b>"},
        {button, "Save <b>now</b>", "Save "},
        {group, "Gruppe", "Gruppe"},
        {line, "Zeile", "Zeile"},
        {multi, "a\nb", "a\nb"},
        {&d, "Titel", "Titel"},
        {plain, "ignored", ""},
    };
    for (auto const& c : cases) {
        vyn_string(c.set).SetWindowText(c.w);
        EXPECT_EQ(vyn_string::GetWindowText(c.w).str(), c.get) << c.set;
    }
    EXPECT_EQ(vyn_string::GetWindowText(combo).str(), "zwei");
    vyn_string f;
    f.Format("%s-%05d", std::string(5000, 'x').c_str(), 42);
    EXPECT_EQ(f.str().size(), 5006u);
    vyn_string t(" \t a b \r\n");
    t.Trim();
    EXPECT_EQ(t.str(), "a b");
}

TEST(LogFile, StampsAreCtimeText) {
    std::time_t const times[] = {0, 86400 * 365, 1700000000, 2000000000};
    for (std::time_t t : times) {
        char buf[32];
        ASSERT_NE(::ctime_r(&t, buf), nullptr);
        std::string want(buf);
        want.pop_back();
        EXPECT_EQ(ctime_stamp(t), want);
    }
}

class LogFileInDir : public ::testing::Test {
protected:
    void SetUp() override {
        old = QDir::currentPath();
        ASSERT_TRUE(QDir::setCurrent(dir.path()));
        path = dir.path().toStdString() + "/VYNDesk.out";
    }
    void TearDown() override {
        close_log_file();
        QDir::setCurrent(old);
    }
    QTemporaryDir dir;
    QString old;
    std::string path;
};

TEST_F(LogFileInDir, ASecondStartMovesTheOldFileAside) {
    ASSERT_TRUE(open_log_file(path, "100"));
    LogMessage2("first run");
    close_log_file();
    std::string first = read_all(path);
    ASSERT_NE(first.find(" : first run\n"), std::string::npos);
    // The stamp parses back as ctime text.
    std::tm tm{};
    EXPECT_NE(::strptime(first.c_str(), "%a %b %d %H:%M:%S %Y", &tm), nullptr) << first;

    ASSERT_TRUE(open_log_file(path, "200"));
    LogMessage2("second run");
    close_log_file();
    EXPECT_EQ(read_all(path + "_200"), first) << "moved aside byte for byte";
    EXPECT_EQ(read_all(path).find("first run"), std::string::npos);

    // A colliding suffix: the move fails and the log is appended to.
    std::ofstream(path + "_300") << "occupied";
    ASSERT_TRUE(open_log_file(path, "300"));
    LogMessage2("third run");
    close_log_file();
    std::string third = read_all(path);
    EXPECT_NE(third.find("second run"), std::string::npos);
    EXPECT_NE(third.find("third run"), std::string::npos);
    EXPECT_EQ(read_all(path + "_300"), "occupied");
}

TEST_F(LogFileInDir, AFileThatCannotBeOpenedLeavesTheLogSilent) {
    testing::internal::CaptureStderr();
    EXPECT_FALSE(open_log_file(dir.path().toStdString() + "/no/such/dir/VYNDesk.out", "1"));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("no/such/dir/VYNDesk.out"), std::string::npos);
    EXPECT_NE(err.find("No such file"), std::string::npos);
    LogMessage2("dropped");
}

// Eight threads log while the log switches to the framework's debug log:
// every line arrives whole, in the one file.
TEST_F(LogFileInDir, LinesStayWholeAcrossTheSwitchToDebug) {
    ASSERT_TRUE(open_log_file(path, "1"));
    std::atomic<int> started{0};
    std::vector<std::thread> writers;
    for (int t = 0; t < 8; ++t) {
        writers.emplace_back([t, &started] {
            ++started;
            for (int i = 0; i < 1000; ++i)
                LogMessage2("line " + std::to_string(t) + " " + std::to_string(i) + " end");
        });
    }
    while (started < 8) std::this_thread::yield();
    ASSERT_TRUE(switch_log_to_debug(path));
    EXPECT_FALSE(switch_log_to_debug(path)) << "a second switch does nothing";
    for (auto& w : writers) w.join();
    rulo::errlog::set_log_file("");

    std::set<std::string> seen;
    std::istringstream lines(read_all(path));
    for (std::string line; std::getline(lines, line);) {
        size_t at = line.find("line ");
        if (at == std::string::npos) continue;
        std::string body = line.substr(at);
        ASSERT_EQ(body.substr(body.size() - 4), " end") << line;
        ASSERT_EQ(line.find("line ", at + 1), std::string::npos) << "two lines ran together: " << line;
        seen.insert(body);
    }
    EXPECT_EQ(seen.size(), 8000u);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files).size(), 1) << "one file";
}

} // namespace
