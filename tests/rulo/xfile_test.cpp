// The file layer: xfile open modes and failures, whole-file operations and
// the path functions.
#include "rulo/exception.h"
#include "rulo/xfile.h"

#include "tests/support/shell.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using test_support::shell_quote;

// What a command printed, without its final newline.
std::string run(std::string const& command) {
    std::string out = test_support::run_command(command).out;
    if (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

// The function exception text of a call, or "" when it does not throw one.
template <class F>
std::string thrown(F&& f) {
    try {
        f();
    } catch (rulo::exception const& e) {
        return e.what();
    }
    return "";
}

class xfile_dir : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/xfile_test.XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir = pattern;
        canonical = std::filesystem::canonical(dir).string();
        start_dir = rulo::get_current_dir();
    }
    void TearDown() override {
        rulo::change_current_dir(start_dir);
        std::filesystem::remove_all(dir);
    }
    std::string read(std::string const& name) {
        std::string out;
        rulo::get_file(out, name);
        return out;
    }

    std::string dir;
    std::string canonical;
    std::string start_dir;
};

TEST_F(xfile_dir, open_modes) {
    std::string const f = dir + "/f";
    EXPECT_FALSE(rulo::xfile(f, 0, false));
    EXPECT_FALSE(rulo::xfile(f, 3, false)); // update needs an existing file
    {
        rulo::xfile w(f, 1, true);
        w.write("hello");
    }
    EXPECT_EQ(read(f), "hello");
    {
        rulo::xfile a(f, 2, true);
        a.writeline(" world");
    }
    EXPECT_EQ(read(f), "hello world\n");
    {
        rulo::xfile u(f, 3, true);
        u.write("J");
    }
    EXPECT_EQ(read(f), "Jello world\n");
    {
        rulo::xfile u(f, 4, true); // existing file: kept, not truncated
        std::string got;
        EXPECT_TRUE(u.read(got));
        EXPECT_EQ(got, "Jello world\n");
        EXPECT_FALSE(u.read(got));
    }
    {
        rulo::xfile w(f, 1, true); // truncates
    }
    EXPECT_EQ(read(f), "");

    std::string const created = dir + "/created";
    {
        rulo::xfile u(created, rulo::xfile::read_write_create, true);
        ASSERT_TRUE(u);
        EXPECT_EQ(u.name(), created);
        u.write("abc");
        ASSERT_EQ(std::fseek(u, 1, SEEK_SET), 0);
        std::string got;
        EXPECT_TRUE(u.read(got));
        EXPECT_EQ(got, "bc");
    }
    EXPECT_EQ(read(created), "abc");
}

TEST_F(xfile_dir, failures) {
    std::string const missing = dir + "/missing";
    struct row {
        int mode;
        std::string name;
        std::string function;
    };
    std::vector<row> const rows = {
        {0, missing, "fopen"},        {3, missing, "fopen"},         {4, dir + "/no/such/dir", "freopen"},
        {5, missing, "invalid_mode"}, {-1, missing, "invalid_mode"},
    };
    for (auto const& r : rows) {
        std::string text = thrown([&] { rulo::xfile(r.name, r.mode, true); });
        EXPECT_EQ(text.rfind(":", 0), 0u) << text;
        EXPECT_NE(text.find(") function=" + r.function + " file=" + r.name), std::string::npos) << text;
        rulo::xfile quiet(r.name, r.mode, false);
        EXPECT_FALSE(quiet) << r.mode;
    }
    EXPECT_FALSE(rulo::file_exists(missing));
    EXPECT_EQ(thrown([&] { rulo::xfile(missing, 0, true); }),
              ":2 (No such file or directory) function=fopen file=" + missing);

    rulo::xfile closed(dir + "/c", 1, true);
    closed.close();
    EXPECT_NE(thrown([&] { closed.write("x"); }).find("function=fwrite"), std::string::npos);
    std::string out = "keep";
    EXPECT_FALSE(closed.read(out));
    EXPECT_EQ(out, "keep");
    rulo::xfile quiet_closed(dir + "/d", 1, false);
    quiet_closed.close();
    EXPECT_NO_THROW(quiet_closed.write("x"));
    EXPECT_NO_THROW(quiet_closed.close());
}

TEST_F(xfile_dir, whole_file_round_trip) {
    std::string data;
    for (int i = 0; i < 200000; ++i) data += char(i * 7 + i / 256); // every byte value, past 64 KiB
    std::string const f = dir + "/blob";
    rulo::put_file(f, data);
    EXPECT_EQ(std::filesystem::file_size(f), data.size());
    std::string out = "stale";
    rulo::get_file(out, f);
    EXPECT_EQ(out, data);
    rulo::put_file(f, "");
    rulo::get_file(out, f);
    EXPECT_EQ(out, "");
    std::string const missing = dir + "/none";
    std::string text = thrown([&] { rulo::get_file(out, missing); });
    EXPECT_NE(text.find("function=fopen file=" + missing), std::string::npos) << text;
    EXPECT_NE(thrown([&] { rulo::put_file(dir + "/no/such", "x"); }).find("function=fopen"),
              std::string::npos);
}

TEST_F(xfile_dir, directories_and_files) {
    std::string const d = dir + "/sub";
    rulo::create_directory(d);
    EXPECT_NO_THROW(rulo::create_directory(d));
    EXPECT_TRUE(std::filesystem::is_directory(d));
    rulo::put_file(d + "/f", "x");
    EXPECT_EQ(thrown([&] { rulo::create_directory(d + "/f"); }), ":Error in 'create_directory'");
    EXPECT_EQ(thrown([&] { rulo::create_directory(dir + "/a/b"); }), ":Error in 'create_directory'");
    EXPECT_EQ(thrown([&] { rulo::remove_directory(d); }), ":Error in 'remove_directory'");
    EXPECT_TRUE(rulo::file_exists(d + "/f"));
    rulo::delete_file(d + "/f");
    EXPECT_FALSE(rulo::file_exists(d + "/f"));
    EXPECT_EQ(thrown([&] { rulo::delete_file(d + "/f"); }), ":Error in 'delete_file'");
    rulo::remove_directory(d);
    EXPECT_FALSE(rulo::file_exists(d));
    EXPECT_EQ(thrown([&] { rulo::delete_locked_file(dir); }), ":Error in 'delete_locked_file'");
}

TEST_F(xfile_dir, move_file) {
    std::string const a = dir + "/a", b = dir + "/b", c = dir + "/c";
    rulo::put_file(a, "A");
    rulo::move_file(a, b);
    EXPECT_FALSE(rulo::file_exists(a));
    EXPECT_EQ(read(b), "A");
    rulo::put_file(c, "C");
    int code = 0;
    try {
        rulo::move_file(b, c); // the target exists
    } catch (int e) {
        code = e;
    }
    EXPECT_EQ(code, 1);
    EXPECT_EQ(read(b), "A");
    EXPECT_EQ(read(c), "C");
    EXPECT_THROW(rulo::move_file(dir + "/none", dir + "/x"), int);
}

TEST_F(xfile_dir, process_paths) {
    EXPECT_EQ(rulo::get_exe_path(), std::filesystem::read_symlink("/proc/self/exe").string());
    rulo::change_current_dir(dir);
    EXPECT_EQ(rulo::get_current_dir(), canonical);
    EXPECT_EQ(run("pwd -P"), canonical);
    EXPECT_EQ(thrown([&] { rulo::change_current_dir(dir + "/none"); }), ":Error in 'change_current_dir'");
}

TEST(xfile_paths, dirname) {
    struct row {
        char const* in;
        char const* out;
    };
    std::vector<row> const rows = {
        {"file", "."},         {"", "."},        {"/x", "/"},     {"/", "/"},
        {"/a/b/c", "/a/b"},    {"a/b", "a"},     {"a/b/", "a/b"}, {"C:\\x", "C:\\"},
        {"C:\\a\\b", "C:\\a"}, {"a\\b", "a"},    {"\\x", ""},     {"/a\\b/c", "/a"},
        {"/a/b\\c", "/a"},     {"C:/x", "C:\\"}, {"C:x", "."},
    };
    for (auto const& r : rows) EXPECT_EQ(rulo::dirname(r.in), r.out) << "dirname of " << r.in;
}

TEST(xfile_paths, basename) {
    struct row {
        char const* in;
        char const* out;
    };
    std::vector<row> const rows = {
        {"file", "file"}, {"/a/b", "b"},    {"a/", ""}, {"C:\\dir\\f.txt", "f.txt"},
        {"/a/b\\c", "c"}, {"/a\\b/c", "c"}, {"", ""},   {"/", ""},
    };
    for (auto const& r : rows) EXPECT_EQ(rulo::basename(r.in), r.out) << "basename of " << r.in;
}

TEST_F(xfile_dir, expand_filename) {
    std::filesystem::create_directory(dir + "/real");
    std::filesystem::create_directory_symlink("real", dir + "/link");
    rulo::put_file(dir + "/real/file", "x");
    rulo::change_current_dir(dir + "/link");

    // Compared with coreutils realpath -m where the missing part holds no "." or ".." parts.
    std::vector<std::string> const names = {
        "nope",
        "nope/deeper/name.txt",
        "file",
        "../real/file",
        dir + "/link/missing/x",
        dir + "/real/a\\b/c",
        dir + "/./link/../real/new",
        "/",
    };
    for (auto const& n : names) {
        std::string expected = run("realpath -m -- " + shell_quote(n));
        EXPECT_EQ(rulo::expand_filename(n), expected) << n;
    }
    EXPECT_EQ(rulo::expand_filename("nope"), canonical + "/real/nope");
    // The missing part is kept as written.
    EXPECT_EQ(rulo::expand_filename("nope/../x"), canonical + "/real/nope/../x");
    EXPECT_EQ(rulo::expand_filename(dir + "/gone/"), canonical + "/gone/");
    EXPECT_EQ(rulo::expand_filename(""), canonical + "/real/");
}

} // namespace
