// Packed launchers whose appendix is damaged: each ends with the one error line
// and SIGKILL, and deletes nothing that an earlier archive unpacked. Also the
// LZMA-alone header rules against streams written by xz itself.
#include "launcher/appendix_format.h"
#include "tests/launcher/launch_process.h"
#include "tools/packer/lzma_alone.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

using launch_test::temp_dir;

std::string record(std::uint8_t type, std::string const& body) {
    std::string s;
    launcher::append_record(s, type, body);
    return s;
}

std::string container(std::string const& dir, std::string const& name, std::string const& data) {
    std::string s;
    launcher::append_archive_header(s, dir, 1);
    launcher::append_archive_entry(s, name, data);
    return s;
}

std::string with_size(std::string stream, std::uint64_t size) {
    for (int i = 0; i < 8; ++i) stream[5 + i] = static_cast<char>(size >> (8 * i));
    return stream;
}

std::string const image = launch_test::read_file(LAUNCHER_IMAGE);
std::string const marker = [] {
    std::string s;
    launcher::append_marker(s);
    return s;
}();
// The first archive claims the slot and writes keep.txt, which an error after
// it must leave in place.
std::string const first_archive = record(launcher::record_archive, container("app", "keep.txt", "kept"));

// Runs `file_bytes` as a packed launcher with `root` as its cache prefix.
launch_test::outcome launch(temp_dir const& root, std::string const& file_bytes) {
    std::string const path = root.path + "/packed";
    launch_test::write_file(path, file_bytes, 0755);
    return launch_test::run(path, {path}, {"DESK_LAUNCHER_ROOT=" + root.path});
}

std::string slot(temp_dir const& root) {
    return launch_test::slot_path(root.path, "app");
}

// xz writes the .lzma header with the size unknown and an end marker.
std::string xz_stream(std::string const& plain) {
    temp_dir work;
    launch_test::write_file(work.path + "/plain", plain);
    EXPECT_EQ(std::system(("xz --format=lzma -c '" + work.path + "/plain' > '" + work.path + "/s'").c_str()),
              0);
    return launch_test::read_file(work.path + "/s");
}

TEST(launcher_malformed, each_fault_gives_one_error_line_and_deletes_nothing) {
    ASSERT_FALSE(image.empty());
    std::string const plain = container("more", "x.txt", std::string(3000, 'x'));
    std::string const good = packer::lzma_alone_compress(plain);
    std::string props225 = good;
    props225[0] = static_cast<char>(225);
    std::string const a = marker + first_archive; // then the fault
    // A stream that refers back 5000 bytes while its header states 4 KiB.
    std::string noise(5000, '\0');
    for (std::size_t i = 0; i < noise.size(); ++i) noise[i] = char(i * 2654435761u >> 13);
    std::string const far = container("more", "far.bin", noise + noise);
    std::string understated = with_size(xz_stream(far), far.size());
    for (int i = 0; i < 4; ++i) understated[std::size_t(1 + i)] = char(4096u >> (8 * i));

    struct {
        const char* what;
        std::string appendix;    // what follows the launcher image
        bool slotted;            // the first archive ran, so keep.txt must stay
        const char* detail = ""; // the line before the error line, where it matters
    } const cases[] = {
        {"no marker", "", false},
        {"empty payload", marker, false},
        {"unknown record type", a + record(10, ""), true},
        {"length past the end", a + std::string("\x02\x64\0\0\0abc", 8), true}, // 100 bytes said
        {"lzma record of 12 bytes", a + record(7, good.substr(0, 12)), true},
        {"properties byte 225", a + record(7, props225), true},
        {"stream that decodes short", a + record(7, with_size(good, plain.size() + 10)), true},
        {"unknown unpacked size", a + record(7, with_size(good, ~std::uint64_t(0))), true},
        {"unpacked size of 4 GiB", a + record(7, with_size(good, std::uint64_t(1) << 32)), true},
        {"stream as xz wrote it", a + record(7, xz_stream(plain)), true},
        {"dictionary understated", a + record(7, understated), true,
         "LZMA stream refused: data refer back further than the stated dictionary"},
        {"absolute start name", a + record(5, "/bin/true"), true},
        // Leads back to the slot's own file, but by way of its parent.
        {"start name leaving the slot", a + record(2, "../1/keep.txt"), true},
        {"start name of no written file", a + record(5, "nothere"), true},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.what);
        temp_dir root;
        auto const r = launch(root, image + c.appendix);
        EXPECT_EQ(r.signal, SIGKILL) << r.err;
        auto const lines = launch_test::lines_with(r.err, "Error running launch");
        ASSERT_EQ(lines.size(), 1u) << r.err;
        std::string const head = "Error running launch, last system error: '";
        EXPECT_TRUE(lines[0].rfind(head, 0) == 0 && lines[0].find('\'', head.size()) == lines[0].size() - 1)
            << lines[0];
        if (*c.detail) {
            EXPECT_EQ(launch_test::lines_with(r.err, c.detail).size(), 1u) << r.err;
        }
        if (c.slotted)
            EXPECT_EQ(launch_test::read_file(slot(root) + "/keep.txt"), "kept");
        else // before any archive there is no slot: nothing may be created at all
            EXPECT_EQ(launch_test::tree(root.path), std::vector<std::string>{"packed"});
    }
}

// The first archive's stream decoded straight into its files: cut at every
// sixteenth of its length, stating more than it holds, or holding more than
// it states, it is refused with the one error line, and what it had written
// is gone again: the cache holds the claimed slot's two files and nothing else.
TEST(launcher_malformed, a_stream_that_breaks_off_half_way_leaves_nothing_behind) {
    std::string files;
    launcher::append_archive_header(files, "app", 3);
    std::string noise(40000, '\0');
    std::uint32_t seed = 99;
    for (auto& c : noise) c = char((seed = seed * 1103515245 + 12345) >> 16);
    launcher::append_archive_entry(files, "one.bin", noise);
    launcher::append_archive_entry(files, "sub/two.txt", std::string(60000, 't'));
    launcher::append_archive_entry(files, "three.bin", noise + noise);
    std::string const stream = packer::lzma_alone_compress(files);

    std::vector<std::pair<std::string, std::string>> cases = {
        {"states more than it holds", with_size(stream, files.size() + 1000)},
        {"holds more than it states", with_size(stream, files.size() - 1000)},
    };
    for (std::size_t k = 1; k < 16; ++k)
        cases.emplace_back("cut at " + std::to_string(k) + "/16", stream.substr(0, stream.size() * k / 16));
    std::string const root = "SepraCache_" + std::to_string(::geteuid()) + "_0/";
    std::vector<std::string> const left = {
        root,    root + "app/", root + "app/1/", root + "app/1/remove.dir", root + "app/1/writeacc.dat",
        "packed"};
    for (auto const& [what, body] : cases) {
        SCOPED_TRACE(what);
        temp_dir prefix;
        auto const r = launch(prefix, image + marker + record(7, body) + record(5, "one.bin"));
        EXPECT_EQ(r.signal, SIGKILL) << r.err;
        EXPECT_EQ(launch_test::lines_with(r.err, "Error running launch").size(), 1u) << r.err;
        EXPECT_EQ(launch_test::lines_with(r.err, "LZMA stream refused").size(), 1u) << r.err;
        auto const tree = launch_test::tree(prefix.path);
        // Before the header is decoded nothing is made at all.
        if (tree.size() > 1) {
            EXPECT_EQ(tree, left);
        }
    }
}

// The xz stream refused above is taken once its real size is filled in.
TEST(launcher_malformed, xz_stream_is_taken_with_its_size_patched) {
    std::string const plain = container("more", "x.txt", std::string(5000, 'y'));
    temp_dir root;
    auto const r =
        launch(root, image + marker + first_archive + record(7, with_size(xz_stream(plain), plain.size())));
    EXPECT_EQ(r.signal, SIGKILL);
    EXPECT_TRUE(launch_test::lines_with(r.err, "Error running launch").empty()) << r.err;
    EXPECT_NE(r.err.find("more/x.txt (5000 bytes)"), std::string::npos) << r.err;
    // The normal end deleted both archives' files.
    EXPECT_EQ(launch_test::tree(slot(root)), (std::vector<std::string>{"remove.dir", "writeacc.dat"}));
}

} // namespace
