// The configuration stores under a temporary home directory. The system-wide
// location is only computed, never written.
#include "rulo/config_store.h"
#include "tests/support/shell.h"

#include <QSettings>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

namespace {

namespace fs = std::filesystem;
using namespace xstd;

// HOME points at a fresh directory for the test and is restored afterwards.
class Stores : public ::testing::Test {
protected:
    void SetUp() override {
        if (char const* h = std::getenv("HOME")) m_saved = h, m_had_home = true;
        fs::create_directory(home);
        setenv("HOME", home.c_str(), 1);
    }
    void TearDown() override {
        if (m_had_home)
            setenv("HOME", m_saved.c_str(), 1);
        else
            unsetenv("HOME");
    }

    test_support::scratch_dir scratch;
    std::string const home = scratch.file("home");

private:
    std::string m_saved;
    bool m_had_home = false;
};

TEST_F(Stores, PerKeyPathsStayUnderTheBase) {
    struct row {
        StorageLocation where;
        char const* key;
        std::string path;
    } const table[] = {
        {storage_user, "Grid\\Peer//3", home + "/.sepra/Grid/Peer/3"},
        {storage_user, "", home + "/.sepra/_"},
        {storage_user, "..\\../escaped", home + "/.sepra/%2e%2e/%2e%2e/escaped"},
        {storage_user, "a b/c.d", home + "/.sepra/a+b/c%2ed"},
        {storage_system, "AutoTransport/Last public IP/x", "/etc/sepra/AutoTransport/Last+public+IP/x"},
        {StorageLocation(7), "k", "k"},
    };
    for (auto const& r : table) {
        EXPECT_EQ(config_key_path(r.where, r.key), r.path) << r.key;
        if (r.where != storage_user) continue;
        set_config_string_ex(r.where, r.key, std::string("v:") + r.key, storage_disk);
        EXPECT_EQ(get_config_string_ex(r.where, r.key), std::string("v:") + r.key);
        EXPECT_EQ(test_support::read_file(r.path), std::string("v:") + r.key);
    }
    // Nothing was created beside the home directory.
    for (auto const& entry : fs::directory_iterator(fs::path(home).parent_path()))
        EXPECT_EQ(entry.path().filename(), "home");
}

TEST_F(Stores, WithoutHomeThePasswordDatabaseGivesTheUserDirectory) {
    // The home directory as the system's own tools read it from the password database.
    std::string dir = test_support::run_command("getent passwd \"$(id -u)\" | cut -d: -f6").out;
    if (!dir.empty() && dir.back() == '\n') dir.pop_back();
    std::string const want = dir.empty() ? "" : dir + "/.sepra/k";
    for (char const* value : {static_cast<char const*>(nullptr), "relative/home", ""}) {
        if (value)
            setenv("HOME", value, 1);
        else
            unsetenv("HOME");
        EXPECT_EQ(config_key_path(storage_user, "k"), want) << (value ? value : "(unset)");
    }
}

TEST_F(Stores, MemoryOverridesShadowDiskWrites) {
    std::string const file = config_key_path(storage_user, "ovr");
    set_config_string_ex(storage_user, "ovr", "disk1", storage_disk);
    EXPECT_EQ(get_config_string_ex(storage_user, "ovr"), "disk1");
    set_config_string_ex(storage_user, "ovr", "mem", storage_memory);
    EXPECT_EQ(get_config_string_ex(storage_user, "ovr"), "mem");
    set_config_string_ex(storage_user, "ovr", "disk2", storage_disk); // the override stays in force
    EXPECT_EQ(get_config_string_ex(storage_user, "ovr"), "mem");
    EXPECT_EQ(test_support::read_file(file), "disk2");
    set_config_string_ex(storage_user, "ovr", "", storage_memory); // an empty override is still one
    EXPECT_EQ(get_config_string_ex(storage_user, "ovr"), "");

    set_config_storage("disk:" + scratch.file("ini"));
    set_config_string("G", "k", "file", storage_disk);
    EXPECT_EQ(get_config_string("G", "k"), "file");
    set_config_string("G", "k", "mem", storage_memory);
    EXPECT_EQ(get_config_string("G", "k"), "mem");
    set_config_string("G", "k", "", storage_memory); // lifts the override
    EXPECT_EQ(get_config_string("G", "k"), "file");
    set_config_string("G", "k", "mem", storage_memory);
    set_config_string("G", "k", "file2", storage_disk); // a disk write drops the override
    EXPECT_EQ(get_config_string("G", "k"), "file2");
}

TEST_F(Stores, IniFileIsReadableByQtItself) {
    set_config_storage("disk:" + scratch.file("ini"));
    QString const file = QString::fromStdString(scratch.file("ini/storage.ini"));
    std::string const value = "caf\xc3\xa9 \xff\x01 = ;\"q\"\\"; // UTF-8, high and control bytes, ini syntax
    set_config_string("Grid", "Peer", value, storage_disk);
    {
        QSettings independent(file, QSettings::IniFormat);
        QByteArray got = independent.value("Grid/Peer").toString().toLatin1();
        EXPECT_EQ(std::string(got.constData(), size_t(got.size())), value);
        independent.setValue("Other/k", QString::fromLatin1(value.data(), int(value.size())));
    }
    EXPECT_EQ(get_config_string("Other", "k"), value);
}

} // namespace
