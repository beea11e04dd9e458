// The server log-in's saved credentials: the scrambling (every length up to
// and past its 127 bytes, texts it did not make) and the log-in window
// loading, saving and keeping them in a storage.ini private to the user.
#include "rulo/config_store.h"
#include "tests/support/shell.h"
#include "tovan/dialogs/credentials.h"
#include "tovan/dialogs/proxy_settings.h"
#include "tovan/lang/translations.h"

#include <QCheckBox>
#include <QLineEdit>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <vector>

namespace {

using tovan::scramble_setting;
using tovan::unscramble_setting;

TEST(Credentials, ScrambleRoundTrips) {
    // Start byte 0x5A: k = 0x5A, 0x5B, 0x5D, 0x60 for the first zero bytes.
    EXPECT_EQ(scramble_setting("").substr(0, 8), "KFLFNFAG");
    std::string const non_ascii = "J\xc3\xbcrgen \xd0\x96\xe2\x82\xac";
    for (std::size_t n : {0u, 1u, 126u, 127u, 128u, 200u}) {
        std::string value;
        for (std::size_t i = 0; i < n; ++i) value += static_cast<char>(1 + (i * 37) % 255);
        std::string const text = scramble_setting(value);
        ASSERT_EQ(text.size(), 256u);
        EXPECT_EQ(text.find_first_not_of("ABCDEFGHIJKLMNOP"), std::string::npos);
        EXPECT_EQ(unscramble_setting(text), value.substr(0, 127)) << n;
    }
    EXPECT_EQ(unscramble_setting(scramble_setting(non_ascii)), non_ascii);
    // Texts it did not make still decode to bytes, never past 128 of them.
    for (std::string const& foreign :
         std::vector<std::string>{"", "A", "zzzz", std::string(600, 'Q'), std::string("\xff\x00\x80", 3)})
        EXPECT_LE(unscramble_setting(foreign).size(), 128u);
}

TEST(Credentials, LogInWindowLoadsSavesAndKeeps) {
    test_support::scratch_dir dir;
    xstd::set_config_storage("disk:" + dir.path() + "/store");
    std::string const ini = dir.path() + "/store/storage.ini";

    // Nothing saved: empty, unticked. "TRUE" is not "true".
    xstd::set_config_string("", "TestSaved", "TRUE", xstd::storage_disk);
    tovan::CProxyServerSettings first(nullptr);
    first.m_prefix = "Test";
    first.OnInitDialog();
    EXPECT_FALSE(first.m_saved);
    EXPECT_EQ(first.m_user, "");

    std::string const password(127, 'p');
    first.findChild<QLineEdit*>("IDC_USERNAME")->setText(QString::fromUtf8("J\xc3\xbcrgen"));
    first.findChild<QLineEdit*>("IDC_PASSWORD")->setText(QString::fromStdString(password));
    first.findChild<QCheckBox*>("IDC_CHECKSAVE")->setChecked(true);
    first.OnOK();
    EXPECT_EQ(first.result(), QDialog::Accepted);
    EXPECT_EQ(tovan::unscramble_setting(xstd::get_config_string("", "TestPassword")), password);
    EXPECT_EQ(xstd::get_config_string("", "TestSaved"), "true");
    struct stat st {};
    ASSERT_EQ(stat(ini.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(stat((dir.path() + "/store").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    // Shown again: the same texts; unticked, only "Saved" changes.
    tovan::CProxyServerSettings second(nullptr);
    second.m_prefix = "Test";
    second.OnInitDialog();
    EXPECT_EQ(second.findChild<QLineEdit*>("IDC_USERNAME")->text(), QString::fromUtf8("J\xc3\xbcrgen"));
    EXPECT_EQ(second.m_password, password);
    EXPECT_TRUE(second.m_saved);
    second.findChild<QCheckBox*>("IDC_CHECKSAVE")->setChecked(false);
    second.findChild<QLineEdit*>("IDC_USERNAME")->setText("other");
    second.OnOK();
    tovan::saved_credentials const kept = tovan::load_credentials("Test");
    EXPECT_EQ(kept.user, "J\xc3\xbcrgen");
    EXPECT_FALSE(kept.saved);

    // The box asking to save shows its whole text, in every shipped
    // language, and the buttons below it stay clear of it.
    ASSERT_TRUE(tovan::read_language_file(SHIPPED_LANGALL, true));
    for (auto const& code : tovan::get_languages()) {
        if (code == "-") continue;
        tovan::SetSelectedLanguage(code);
        tovan::CProxyServerSettings shown(nullptr);
        shown.OnInitDialog();
        auto const* box = shown.findChild<QCheckBox*>("IDC_CHECKSAVE");
        EXPECT_TRUE(box->size().expandedTo(box->sizeHint()) == box->size() &&
                    box->geometry().bottom() < shown.findChild<QWidget*>("IDC_OK")->y())
            << code;
    }
    tovan::SetSelectedLanguage("en");
}

} // namespace
