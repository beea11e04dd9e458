// What the plugin package and download tests share: a scratch HOME and
// working directory, and packages made by plugin_pack with the build's key.
#pragma once

#include "tests/support/shell.h"
#include "tovan/plugins/plugin_def.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <gtest/gtest.h>
#include <string>

namespace tovan_test {

using test_support::read_file;
using test_support::run_command;
using test_support::scratch_dir;
using test_support::write_file;

inline bool exists(std::string const& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// A scratch HOME and working directory for one test; the unpacked table is
// emptied at its end, as the program does before it exits.
class package_env {
public:
    package_env() {
        char cwd[4096];
        m_old_cwd = ::getcwd(cwd, sizeof cwd) ? cwd : "/";
        m_old_home = std::getenv("HOME") ? std::getenv("HOME") : "";
        ::mkdir(home().c_str(), 0755);
        ::mkdir(work().c_str(), 0755);
        ::setenv("HOME", home().c_str(), 1);
        EXPECT_EQ(::chdir(work().c_str()), 0);
        tovan::note_start_directory(); // packages unpack below it
    }
    ~package_env() {
        tovan::plugin_extracted::remove_all();
        (void)::chdir(m_old_cwd.c_str());
        tovan::note_start_directory();
        ::setenv("HOME", m_old_home.c_str(), 1);
    }
    std::string home() const { return m_dir.file("home"); }
    std::string work() const { return m_dir.file("work"); }
    std::string file(std::string const& name) const { return m_dir.file(name); }

    // Runs plugin_pack with the arguments (the output added) and returns the package.
    std::string pack(std::string const& args) {
        std::string const out = file("p" + std::to_string(m_count++) + ".plugin");
        auto r = run_command(std::string(PLUGIN_PACK) + " --output " + out + " " + args + " 2>&1");
        EXPECT_EQ(r.status, 0) << r.out;
        return read_file(out);
    }
    // A plain file to pack (loading is not needed here).
    std::string source(std::string const& name, std::string const& bytes) {
        write_file(file(name), bytes);
        return file(name);
    }

private:
    scratch_dir m_dir;
    std::string m_old_cwd, m_old_home;
    int m_count = 0;
};

inline std::string const key = TOVAN_PLUGIN_KEY_FILE;

} // namespace tovan_test
