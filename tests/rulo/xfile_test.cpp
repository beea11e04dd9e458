// The file layer: xfile open modes and failures, whole-file operations and the
// path functions (expand_filename against realpath).
#include "rulo/exception.h"
#include "rulo/xfile.h"

#include "tests/support/framework_env.h"
#include "tests/support/shell.h"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using test_support::thrown;

// A scratch directory dir (resolved: canonical); the current directory is restored afterwards.
class xfile_dir : public ::testing::Test {
protected:
    ~xfile_dir() override { rulo::change_current_dir(start_dir); }
    test_support::scratch_dir scratch;
    std::string const dir = scratch.path();
    std::string const canonical = std::filesystem::canonical(dir);
    std::string const start_dir = rulo::get_current_dir();
};

TEST_F(xfile_dir, open_modes_and_whole_files) {
    std::string const f = dir + "/f";
    EXPECT_FALSE(rulo::xfile(f, rulo::xfile::read_write, false)); // update needs an existing file
    rulo::xfile(f, rulo::xfile::create_write).write("hello");
    rulo::xfile(f, rulo::xfile::append_create).writeline(" world");
    rulo::xfile(f, rulo::xfile::read_write).write("J");
    EXPECT_TRUE(rulo::xfile(f, rulo::xfile::read_write_create)); // an existing file is kept, not truncated
    EXPECT_EQ(test_support::read_file(f), "Jello world\n");

    std::string data;
    for (int i = 0; i < 200000; ++i) data += char(i * 7 + i / 256); // every byte value, past 64 KiB
    rulo::put_file(f, data);
    std::string out = "stale";
    rulo::get_file(out, f);
    EXPECT_EQ(out, data);
}

TEST_F(xfile_dir, failures_name_function_and_file) {
    std::string const name = dir + "/no/such/file";
    EXPECT_EQ(thrown([&] { rulo::xfile(name, 0); }),
              ":2 (No such file or directory) function=fopen file=" + name);
    for (auto [mode, function] : {std::pair{4, "freopen"}, {-1, "invalid_mode"}}) {
        std::string const text = thrown([&] { rulo::xfile(name, mode); });
        EXPECT_NE(text.find(std::string(") function=") + function + " file=" + name), std::string::npos)
            << text;
        EXPECT_FALSE(rulo::xfile(name, mode, false)) << mode;
    }

    rulo::xfile closed(dir + "/c", 1);
    closed.close();
    EXPECT_NE(thrown([&] { closed.write("x"); }).find("function=fwrite"), std::string::npos);
    rulo::xfile quiet(dir + "/d", 1, false); // a file made without exceptions never throws
    quiet.close();
    EXPECT_NO_THROW(quiet.write("x"));
}

TEST_F(xfile_dir, directories_and_moves) {
    std::string const d = dir + "/sub";
    rulo::create_directory(d);
    EXPECT_NO_THROW(rulo::create_directory(d));
    rulo::put_file(d + "/f", "x");
    EXPECT_EQ(thrown([&] { rulo::remove_directory(d); }), ":Error in 'remove_directory'");
    rulo::delete_file(d + "/f");
    EXPECT_EQ(thrown([&] { rulo::delete_file(d + "/f"); }), ":Error in 'delete_file'");

    std::string const a = dir + "/a", b = dir + "/b", c = dir + "/c";
    rulo::put_file(a, "A");
    rulo::move_file(a, b);
    EXPECT_FALSE(rulo::file_exists(a));
    rulo::put_file(c, "C");
    EXPECT_EQ(thrown([&] { rulo::move_file(b, c); }), ":Error in 'move_file'"); // target exists: both stay
    EXPECT_EQ(test_support::read_file(b) + test_support::read_file(c), "AC");

    rulo::change_current_dir(dir);
    EXPECT_EQ(rulo::get_current_dir(), canonical);
    EXPECT_EQ(thrown([&] { rulo::change_current_dir(dir + "/none"); }), ":Error in 'change_current_dir'");
}

TEST(xfile_paths, dirname_and_basename) {
    // Both "/" and "\" separate parts.
    std::vector<std::array<char const*, 3>> const rows = {
        {"file", ".", "file"},  {"/", "/", ""},         {"a/b/", "a/b", ""}, {"C:\\a\\b", "C:\\a", "b"},
        {"C:\\x", "C:\\", "x"}, {"/a\\b/c", "/a", "c"}, {"\\x", "", "x"},
    };
    for (auto const& [path, dir, base] : rows) {
        EXPECT_EQ(rulo::dirname(path), dir) << path;
        EXPECT_EQ(rulo::basename(path), base) << path;
    }
}

TEST_F(xfile_dir, expand_filename_against_realpath) {
    std::filesystem::create_directory(dir + "/real");
    std::filesystem::create_directory_symlink("real", dir + "/link");
    rulo::put_file(dir + "/real/file", "x");
    rulo::change_current_dir(dir + "/link");

    // Where the missing part holds no "." or ".." parts; "\" is an ordinary byte in a name.
    for (std::string const& n :
         {std::string("nope/deeper/name.txt"), std::string("../real/file"), dir + "/link/missing/x",
          dir + "/real/a\\b/c", dir + "/./link/../real/new"}) {
        std::string expected =
            test_support::run_command("realpath -m -- " + test_support::shell_quote(n)).out;
        EXPECT_EQ(rulo::expand_filename(n) + "\n", expected) << n;
    }
    // The missing part is kept as written.
    EXPECT_EQ(rulo::expand_filename("nope/../x"), canonical + "/real/nope/../x");
    EXPECT_EQ(rulo::expand_filename(dir + "/gone/"), canonical + "/gone/");
    EXPECT_EQ(rulo::expand_filename(""), canonical + "/real/");
    // A NUL would hand the system a shorter name than the one given.
    for (std::string const& n : {dir + std::string("/real\0/file", 11), std::string("nope\0x", 6)})
        EXPECT_THROW(rulo::expand_filename(n), rulo::exception);
}

} // namespace
