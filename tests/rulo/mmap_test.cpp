// File mappings: lengths for writing and reading, and files too large for
// the record's 32-bit length.
#include "rulo/exception.h"
#include "rulo/xfile.h"

#include "tests/support/shell.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <string>

namespace {

std::string mmap_error(std::string const& path, long flags, long size) {
    try {
        rulo::mmap_close(rulo::mmap_open(path.c_str(), flags, size));
    } catch (rulo::exception const& e) {
        return e.what();
    }
    return "";
}

TEST(mmap, lengths_and_limits) {
    test_support::scratch_dir scratch;
    std::string const f = scratch.file("f");

    // Write-only is widened to read-write; the file ends at the mapped length on close.
    rulo::_mmap* w = rulo::mmap_open(f.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 5);
    ASSERT_EQ(w->len, 5u);
    std::memcpy(w->addr, "hello", 5);
    rulo::mmap_close(w);
    EXPECT_EQ(test_support::read_file(f), "hello");

    rulo::_mmap* r = rulo::mmap_open(f.c_str(), O_RDONLY, 0);
    EXPECT_EQ(std::string(static_cast<char const*>(r->addr), r->len), "hello");
    rulo::mmap_close(r);

    rulo::mmap_close(rulo::mmap_open(f.c_str(), O_RDWR, -1));
    EXPECT_EQ(std::filesystem::file_size(f), 4194304u);

    // A sparse file of 4 GiB + 1 costs no space, but its length does not fit.
    std::filesystem::resize_file(f, (uintmax_t(1) << 32) + 1);
    std::string const refused = ":Error in '_mmap_open'";
    EXPECT_EQ(mmap_error(f, O_RDONLY, 0), refused);
    EXPECT_EQ(mmap_error(f, O_RDWR, long((uintmax_t(1) << 32) + 1)), refused);
    EXPECT_EQ(mmap_error(f, O_RDWR, 0), refused);
    EXPECT_EQ(std::filesystem::file_size(f), (uintmax_t(1) << 32) + 1); // refused before any change
}

} // namespace
