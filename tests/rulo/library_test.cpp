// Loading libraries: from their own directory, with the working directory
// restored, and failures that log the loader's own words.
#include "rulo/errlog.h"
#include "rulo/exception.h"
#include "rulo/library.h"
#include "rulo/xfile.h"

#include "tests/support/framework_env.h"
#include "tests/support/shell.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <filesystem>
#include <string>

namespace {

namespace fs = std::filesystem;
using test_support::thrown;

class library_dir : public ::testing::Test {
protected:
    ~library_dir() override { rulo::change_current_dir(start_dir); }

    test_support::scratch_dir scratch;
    std::string const dir = fs::canonical(scratch.path());
    std::string const start_dir = rulo::get_current_dir();
};

TEST_F(library_dir, loads_from_its_own_directory_and_restores_the_working_one) {
    fs::create_directory(dir + "/sub");
    fs::copy_file(LIBRARY_PROBE_PATH, dir + "/sub/probe.so");
    rulo::change_current_dir(dir);

    xstd::auto_lib lib("sub/probe.so", true); // relative to where we stand, not to sub
    auto const* load_dir = static_cast<char const*>(lib.symbol("probe_load_dir"));
    ASSERT_NE(load_dir, nullptr);
    EXPECT_EQ(std::string(load_dir), dir + "/sub");
    EXPECT_EQ(rulo::get_current_dir(), dir);
    EXPECT_EQ(lib.symbol("no_such_symbol"), nullptr);
}

TEST_F(library_dir, missing_library_logs_the_loaders_text_and_throws) {
    std::string const previous_log = rulo::errlog::log_file();
    rulo::errlog::set_log_file(dir + "/log.txt");
    rulo::change_current_dir(dir);
    for (std::string const& path : {dir + "/missing.so", dir + "/no/such/dir/missing.so"}) {
        for (bool own_directory : {true, false}) {
            EXPECT_EQ(thrown([&] { xstd::auto_lib lib(path.c_str(), own_directory); }),
                      ":Error in 'auto_lib'")
                << path;
            EXPECT_EQ(rulo::get_current_dir(), dir) << path;
        }
        std::string const log = test_support::read_file(dir + "/log.txt");
        EXPECT_NE(log.find("dlopen: error loading " + path + ": " + path +
                           ": cannot open shared object file: No such file or directory"),
                  std::string::npos)
            << log;
    }
    rulo::errlog::set_log_file(previous_log);
}

TEST(library_get_proc, finds_exported_symbols_and_names_the_failure) {
    void* self = dlopen(nullptr, RTLD_NOW);
    ASSERT_NE(self, nullptr);
    void* (*alloc)(size_t) = nullptr;
    xstd::get_proc(alloc, self, "malloc");
    EXPECT_EQ(alloc, &malloc);
    EXPECT_EQ(thrown([&] { xstd::get_proc(alloc, self, "no_such_symbol_anywhere"); }),
              ":Error in 'get_proc'");
    dlclose(self);
}

} // namespace
