// The archive container: LZMA-alone streams written by xz, and containers whose
// names or lengths try to reach outside the target directory.
#include "rulo/archive.h"
#include "rulo/lock_directory.h"
#include "rulo/xfile.h"

#include "tests/support/shell.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

using test_support::read_file;
using entries = std::vector<std::pair<std::string, std::string>>;

std::string u32(uint32_t v) {
    return {char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
}

std::string container(std::string const& dir, entries const& files) {
    std::string out = u32(uint32_t(dir.size())) + dir + u32(uint32_t(files.size()));
    for (auto const& [name, data] : files)
        out += u32(uint32_t(name.size())) + name + u32(uint32_t(data.size())) + data;
    return out;
}

// xz writes "size unknown" (eight 0xFF bytes) and an end marker.
std::string xz_lzma(std::string const& bytes) {
    return test_support::filter_command("xz --format=lzma -c", bytes);
}

std::string with_size(std::string stream, uint64_t size) {
    for (int i = 0; i < 8; ++i) stream[size_t(5 + i)] = char(size >> (8 * i));
    return stream;
}

TEST(archive, lzma_alone_streams_from_xz) {
    std::string content;
    for (int i = 0; i < 2000; ++i)
        content += "line " + std::to_string(i * 7919 % 1000) + std::string(1, char(i));
    std::string const raw = xz_lzma(content);
    ASSERT_EQ(raw.substr(5, 8), std::string(8, '\xff'));
    std::string const patched = with_size(raw, content.size());

    std::string out = "kept";
    EXPECT_FALSE(rulo::extract_lz_buffer(raw, out));
    EXPECT_EQ(out, "kept");
    EXPECT_TRUE(rulo::extract_lz_buffer(patched, out));
    EXPECT_EQ(out, content);

    std::string props225 = patched;
    props225[0] = char(225);
    std::pair<char const*, std::string> const refused[] = {
        {"truncated", patched.substr(0, patched.size() - 8)},
        {"properties 225", props225},
        {"announced one byte more", with_size(raw, content.size() + 1)},
        {"announced one byte less", with_size(raw, content.size() - 1)},
        {"non-zero high word", with_size(raw, content.size() + (uint64_t(1) << 32))},
        {"over the size cap", with_size(raw, uint64_t(rulo::max_unpacked_size) + 1)},
        {"bytes behind the stream", patched + "x"},
    };
    for (auto const& [what, stream] : refused) {
        EXPECT_FALSE(rulo::extract_lz_buffer(stream, out)) << what;
        EXPECT_EQ(out, content);
    }
}

TEST(archive, extracts_into_locked_directory) {
    test_support::scratch_dir scratch;
    std::string const base = scratch.path();
    std::string const binary("\0\x01\xff", 3);
    std::string const content = container("pkg", {{"a.txt", "alpha"}, {"x/y/z.bin", binary}, {"empty", ""}});
    std::string const data = with_size(xz_lzma(content), content.size());

    std::set<std::string> files;
    std::unique_ptr<rulo::lock_directory> lock(rulo::extract_lz_files_ex(base, data, &files));
    ASSERT_TRUE(lock);
    std::string const dir = lock->get_directory();
    EXPECT_EQ(dir, base + "/pkg");
    EXPECT_EQ(files, (std::set<std::string>{dir + "/a.txt", dir + "/x/y/z.bin", dir + "/empty"}));
    EXPECT_EQ(read_file(dir + "/a.txt") + read_file(dir + "/x/y/z.bin"), "alpha" + binary);
    EXPECT_TRUE(rulo::file_exists(dir + "/empty"));

    lock.reset();
    EXPECT_FALSE(rulo::file_exists(dir + "/writeacc.dat"));
    EXPECT_TRUE(rulo::file_exists(dir + "/a.txt")); // the holder deletes its files, not the lock
}

TEST(archive, hostile_containers_write_nothing) {
    test_support::scratch_dir scratch;
    std::string const root = scratch.path();
    std::string const base = root + "/t/u", outside = root + "/outside";
    std::filesystem::create_directories(base);
    std::filesystem::create_directories(outside);

    std::string const good = container("pkg", {{"f", "hello"}});
    std::pair<char const*, std::string> const rows[] = {
        {"parent part", container("pkg", {{"../x", "1"}})},
        {"absolute name", container("pkg", {{outside + "/abs", "1"}})},
        {"empty part", container("pkg", {{"a//b", "1"}})},
        {"NUL in name", container("pkg", {{std::string("x\0y", 3), "1"}})},
        {"directory upwards", container("../up", {{"x", "1"}})},
        {"absolute directory", container(outside + "/d", {{"x", "1"}})},
        {"empty directory", container("", {{"x", "1"}})},
        {"short data", good.substr(0, good.size() - 1)},
        {"count beyond entries", u32(3) + "pkg" + u32(2) + good.substr(11)},
        {"trailing bytes", good + "x"},
        {"size beyond end", u32(3) + "pkg" + u32(1) + u32(1) + "f" + u32(0xffffffff) + "data"},
        {"directory length beyond end", u32(0xffffffff) + "pkg"},
    };
    for (auto const& [what, content] : rows) {
        SCOPED_TRACE(what);
        std::set<std::string> files;
        rulo::lock_directory* lock = nullptr;
        EXPECT_EQ(rulo::extract_tar_files(base, content, &files, &lock, ""), rulo::extract_bad_container);
        EXPECT_EQ(lock, nullptr);
        EXPECT_EQ(rulo::extract_tar_files(base, content, &files, nullptr, ""), rulo::extract_bad_container);
        EXPECT_TRUE(files.empty());
    }
    // A write that fails (a file where a directory must go) fails both
    // attempts; each removes what it wrote and its directory.
    std::string const clash = container("pkg", {{"a", "1"}, {"a/b", "2"}});
    std::set<std::string> files;
    EXPECT_EQ(rulo::extract_lz_files_ex(base, with_size(xz_lzma(clash), clash.size()), &files), nullptr);
    EXPECT_TRUE(files.empty());

    // On disk: the two directories made above, and nothing else anywhere.
    std::vector<std::string> found;
    for (auto const& e : std::filesystem::recursive_directory_iterator(root)) found.push_back(e.path());
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found, (std::vector<std::string>{outside, root + "/t", base}));
}

std::vector<std::string> tree(std::string const& root) {
    std::vector<std::string> found;
    for (auto const& e : std::filesystem::recursive_directory_iterator(root)) found.push_back(e.path());
    std::sort(found.begin(), found.end());
    return found;
}

// A write that fails half-way (a file size limit standing in for a full
// disk): each attempt removes the files, the partly written one too, and
// the directories it made.
TEST(archive, failed_attempts_leave_nothing) {
    test_support::scratch_dir scratch;
    std::string const base = scratch.path();
    std::string const content = container("pkg", {{"x/a", "small"}, {"x/y/big", std::string(100000, 'b')}});
    std::string const data = with_size(xz_lzma(content), content.size());

    pid_t const child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::signal(SIGXFSZ, SIG_IGN); // the write then fails with EFBIG
        rlimit limit{50000, 50000};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        std::set<std::string> files;
        ::_exit(rulo::extract_lz_files_ex(base, data, &files) == nullptr && files.empty() ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(tree(base), std::vector<std::string>{});
}

// Links in the target tree, placed by whoever can write to the base, lead
// nothing outside it.
TEST(archive, symbolic_links_lead_nowhere) {
    namespace fs = std::filesystem;
    test_support::scratch_dir scratch;
    std::string const base = scratch.file("base"), outside = scratch.file("outside");
    fs::create_directories(base + "/pkg");
    fs::create_directories(outside);
    fs::create_directory_symlink(outside, base + "/pkg/sub");
    fs::create_directory_symlink(outside, base + "/linked");
    std::string const through_sub = container("pkg", {{"sub/evil", "1"}});
    std::string const into_linked = container("linked", {{"evil", "1"}});

    // Without a lock: refused, and the existing tree is left as it was.
    std::set<std::string> files;
    EXPECT_THROW(rulo::extract_tar_files(base, through_sub, &files, nullptr, ""), std::exception);
    EXPECT_EQ(rulo::extract_tar_files(base, into_linked, &files, nullptr, ""), rulo::extract_no_directory);
    EXPECT_TRUE(files.empty());

    // Locked: each lands in a directory of its own beneath the base.
    for (auto const& [stem, content] : {std::pair{"pkg", through_sub}, std::pair{"linked", into_linked}}) {
        SCOPED_TRACE(stem);
        std::unique_ptr<rulo::lock_directory> lock(
            rulo::extract_lz_files_ex(base, with_size(xz_lzma(content), content.size()), &files));
        ASSERT_TRUE(lock);
        std::string const dir = lock->get_directory();
        EXPECT_EQ(dir.compare(0, base.size() + 1, base + "/"), 0);
        EXPECT_EQ(fs::path(dir).filename().string().rfind(std::string(stem) + "_", 0), 0u);
        EXPECT_FALSE(fs::is_symlink(dir));
        for (auto const& f : files) EXPECT_EQ(f.compare(0, dir.size() + 1, dir + "/"), 0) << f;
        files.clear();
    }
    EXPECT_EQ(tree(outside), std::vector<std::string>{});
}

} // namespace
