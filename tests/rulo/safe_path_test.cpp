// The writer beneath a base on trees that try to lead out of it: links to
// directories and files, hard links, files where directories must go.
#include "rulo/safe_path.h"

#include "tests/support/shell.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <iterator>
#include <string>
#include <unistd.h>

namespace {

TEST(safe_path, stays_beneath_the_base) {
    namespace fs = std::filesystem;
    test_support::scratch_dir scratch;
    std::string const base = scratch.file("base"), outside = scratch.file("outside");
    fs::create_directories(base + "/real");
    fs::create_directories(outside);
    fs::create_directory_symlink(outside, base + "/link");
    test_support::write_file(outside + "/victim", "keep");
    fs::create_symlink(outside + "/victim", base + "/real/to_victim");
    fs::create_hard_link(outside + "/victim", base + "/real/hard");
    test_support::write_file(base + "/file", "x");

    int const base_fd = rulo::safe_path::open_base(base, false);
    ASSERT_GE(base_fd, 0);
    rulo::safe_path::made_list made;
    char const* const refused[] = {"link/evil", "link/sub/evil", "file/evil", "real/../x",
                                   "/abs",      "real//x",       "real/",     "real"};
    for (char const* name : refused) {
        EXPECT_EQ(rulo::safe_path::create_file(base_fd, name, 0644, 0755, true, made), -1) << name;
        EXPECT_TRUE(made.empty()) << name;
    }
    EXPECT_EQ(rulo::safe_path::create_file(base_fd, "real/hard", 0644, 0755, false, made), -1);
    EXPECT_EQ(errno, EEXIST);
    // Replaced, not written through: the links' targets keep their content.
    for (char const* name : {"real/to_victim", "real/hard", "n/e/w"}) {
        int fd = rulo::safe_path::create_file(base_fd, name, 0644, 0755, true, made);
        ASSERT_GE(fd, 0) << name;
        EXPECT_TRUE(rulo::safe_path::write_all(fd, "new", 3));
        ::close(fd);
    }
    EXPECT_EQ(test_support::read_file(outside + "/victim"), "keep");
    EXPECT_EQ(test_support::read_file(base + "/real/hard"), "new");
    EXPECT_EQ(made.size(), 5u); // two replaced files, n, n/e, n/e/w

    EXPECT_TRUE(rulo::safe_path::remove_made(base_fd, made));
    EXPECT_FALSE(fs::exists(base + "/n"));
    EXPECT_FALSE(fs::exists(base + "/real/hard"));
    ::close(base_fd);

    // The base's own last part is not followed when the caller says so.
    EXPECT_EQ(rulo::safe_path::open_base(base + "/link", false), -1);
    EXPECT_EQ(std::distance(fs::directory_iterator(outside), fs::directory_iterator()), 1); // victim only
}

} // namespace
