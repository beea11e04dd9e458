// Packed launchers whose appendix is damaged: each ends with the one error line
// and SIGKILL, and deletes nothing that an earlier archive unpacked. Also the
// LZMA-alone header rules against streams written by xz itself.
#include "launcher/appendix_format.h"
#include "tests/launcher/launch_process.h"
#include "tools/packer/lzma_alone.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

namespace {

using launch_test::temp_dir;

std::string u32(std::uint32_t v) {
    std::string s;
    launcher::append_u32(s, v);
    return s;
}

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

std::string marker() {
    std::string s;
    launcher::append_marker(s);
    return s;
}

// The first archive: it claims the slot and writes keep.txt, which an error
// after it must leave in place.
std::string const first_archive = record(launcher::record_archive, container("app", "keep.txt", "kept"));

std::string with_size(std::string stream, std::uint64_t size) {
    for (int i = 0; i < 8; ++i) stream[5 + i] = static_cast<char>(size >> (8 * i));
    return stream;
}

struct result {
    launch_test::outcome run;
    std::string slot;
};

// Writes the packed file under `root` and runs it with `root` as its cache prefix.
result launch(temp_dir const& root, std::string const& file_bytes) {
    std::string const path = root.path + "/packed";
    launch_test::write_file(path, file_bytes, 0755);
    result r;
    r.run = launch_test::run(path, {path}, {"DESK_LAUNCHER_ROOT=" + root.path});
    r.slot = root.path + "/SepraCache_" + std::to_string(::geteuid()) + "_0/app/1";
    return r;
}

void expect_error_end(launch_test::outcome const& o) {
    EXPECT_EQ(o.signal, SIGKILL) << o.err;
    auto const lines = launch_test::lines_with(o.err, "Error running launch");
    ASSERT_EQ(lines.size(), 1u) << o.err;
    EXPECT_TRUE(std::regex_match(lines[0], std::regex("Error running launch, last system error: '[^']*'")))
        << lines[0];
}

TEST(launcher_malformed, each_fault_gives_one_error_line_and_deletes_nothing) {
    std::string const image = launch_test::read_file(LAUNCHER_IMAGE);
    ASSERT_FALSE(image.empty());
    std::string const plain = container("more", "x.txt", std::string(3000, 'x'));
    std::string const good = packer::lzma_alone_compress(plain);
    std::string props225 = good;
    props225[0] = static_cast<char>(225);

    struct {
        const char* what;
        std::string appendix; // after the marker
    } const cases[] = {
        {"unknown record type", first_archive + record(10, "")},
        {"length past the end", first_archive + "\x02" + u32(100) + "abc"},
        {"lzma record of 12 bytes", first_archive + record(7, good.substr(0, 12))},
        {"properties byte 225", first_archive + record(7, props225)},
        {"stream that decodes short", first_archive + record(7, with_size(good, plain.size() + 10))},
        {"unknown unpacked size", first_archive + record(7, with_size(good, ~std::uint64_t(0)))},
        {"unpacked size of 4 GiB", first_archive + record(7, with_size(good, std::uint64_t(1) << 32))},
        {"absolute start name", first_archive + record(5, "/bin/true")},
        {"start name with ..", first_archive + record(5, "a/../keep.txt")},
        {"start name leaving the slot", first_archive + record(2, "../1/keep.txt")},
        {"hidden start name", first_archive + record(5, ".keep.txt")},
        {"start name of no written file", first_archive + record(5, "nothere")},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.what);
        temp_dir root;
        auto const r = launch(root, image + marker() + c.appendix);
        expect_error_end(r.run);
        EXPECT_EQ(launch_test::read_file(r.slot + "/keep.txt"), "kept");
    }

    // Before any archive there is no slot: nothing may be created at all.
    for (auto const& [what, file] :
         {std::pair{"no marker", image}, std::pair{"empty payload", image + marker()}}) {
        SCOPED_TRACE(what);
        temp_dir root;
        auto const r = launch(root, file);
        expect_error_end(r.run);
        EXPECT_EQ(launch_test::tree(root.path), std::vector<std::string>{"packed"});
    }
}

// xz writes the .lzma header with the size unknown and an end marker; the
// launcher refuses such a stream, and takes it once the real size is filled in.
TEST(launcher_malformed, xz_stream_needs_its_size_patched) {
    temp_dir work;
    std::string const plain = container("more", "x.txt", std::string(5000, 'y'));
    launch_test::write_file(work.path + "/plain", plain);
    ASSERT_EQ(std::system(("xz --format=lzma -c '" + work.path + "/plain' > '" + work.path + "/s'").c_str()),
              0);
    std::string const xz_stream = launch_test::read_file(work.path + "/s");
    ASSERT_GT(xz_stream.size(), launcher::lzma_header_size);
    std::string const image = launch_test::read_file(LAUNCHER_IMAGE);

    {
        temp_dir root;
        auto const r = launch(root, image + marker() + first_archive + record(7, xz_stream));
        expect_error_end(r.run);
        EXPECT_EQ(launch_test::read_file(r.slot + "/keep.txt"), "kept");
    }
    {
        temp_dir root;
        auto const r =
            launch(root, image + marker() + first_archive + record(7, with_size(xz_stream, plain.size())));
        EXPECT_EQ(r.run.signal, SIGKILL);
        EXPECT_TRUE(launch_test::lines_with(r.run.err, "Error running launch").empty()) << r.run.err;
        EXPECT_NE(r.run.err.find("more/x.txt (5000 bytes)"), std::string::npos) << r.run.err;
        // The normal end deleted both archives' files.
        EXPECT_EQ(launch_test::tree(r.slot), (std::vector<std::string>{"remove.dir", "writeacc.dat"}));
    }
}

} // namespace
