// The packer on its own: its LZMA-alone streams decode with xz (and Python's
// lzma module where present), it refuses every name and record order the
// launcher would refuse, and it refuses a launcher image holding the marker.
#include "launcher/appendix_format.h"
#include "tools/packer/appendix_writer.h"
#include "tools/packer/lzma_alone.h"
#include "tools/packer/manifest.h"
#include "tools/packer/pack_error.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

namespace {

struct temp_dir {
    std::string path;
    temp_dir() {
        std::string t = ::testing::TempDir() + "packer_test_XXXXXX";
        path = ::mkdtemp(t.data()) ? t : "";
    }
    ~temp_dir() { std::system(("rm -rf '" + path + "'").c_str()); }
};

void write_file(std::string const& path, std::string const& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string read_file(std::string const& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Deterministic bytes that barely compress (a linear congruential sequence).
std::string noise(std::size_t n) {
    std::string s(n, '\0');
    std::uint32_t x = 12345;
    for (auto& c : s) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 24);
    }
    return s;
}

TEST(packer, lzma_streams_decode_with_xz_and_state_their_real_size) {
    bool const have_python = std::system("python3 -c 'import lzma' >/dev/null 2>&1") == 0;
    struct {
        const char* what;
        std::string data;
    } const cases[] = {
        {"empty", ""},
        {"one byte", "x"},
        {"text", std::string(100, 'a') + "hello \xc3\xa9\n"},
        {"incompressible 1 MiB", noise(1 << 20)},
        {"repetitive 3 MiB", std::string(3 << 20, 'z')},
    };
    temp_dir dir;
    for (auto const& c : cases) {
        SCOPED_TRACE(c.what);
        std::string const stream = packer::lzma_alone_compress(c.data);
        launcher::lzma_header h;
        ASSERT_EQ(launcher::parse_lzma_header(stream, h), launcher::lzma_header_status::ok);
        EXPECT_EQ(h.unpacked_size, c.data.size());

        // xz's own decoder (liblzma's .lzma reader) is the reference here.
        write_file(dir.path + "/s.lzma", stream);
        ASSERT_EQ(
            std::system(("xz --format=lzma -dc '" + dir.path + "/s.lzma' > '" + dir.path + "/out'").c_str()),
            0);
        EXPECT_TRUE(read_file(dir.path + "/out") == c.data);
        if (have_python) {
            std::string const py =
                "python3 -c \"import lzma,sys; d=open(sys.argv[1],'rb').read(); "
                "open(sys.argv[2],'wb').write(lzma.decompress(d, format=lzma.FORMAT_ALONE))\" '" +
                dir.path + "/s.lzma' '" + dir.path + "/py'";
            ASSERT_EQ(std::system(py.c_str()), 0);
            EXPECT_TRUE(read_file(dir.path + "/py") == c.data);
        }
    }
}

// Manifests the launcher would refuse at run time, and near misses it accepts.
TEST(packer, refuses_what_the_launcher_refuses) {
    std::string const long_name(launcher::max_name_length, 'n');
    struct {
        std::string manifest;
        const char* error; // nullptr: accepted
    } const cases[] = {
        {"archive a/b x s", "unsafe archive directory name"},
        {"archive .a x s", "unsafe archive directory name"},
        {"archive \"\" x s", "unsafe archive directory name"},
        {"archive a remove.dir s", "unsafe entry name"},
        {"archive a writeacc.dat s", "unsafe entry name"},
        {"archive a /etc/passwd s", "unsafe entry name"},
        {"archive a x/../../y s", "unsafe entry name"},
        {"archive a .profile s", "unsafe entry name"},
        {"archive a " + long_name + "x s", "unsafe entry name"},
        {"archive a " + long_name + " s", nullptr},
        {"archive a sub/remove.dir s", nullptr},
        {"archive a x s\nrun /x", "unsafe start name"},
        {"archive a x s\nstart ../a/x", "unsafe start name"},
        {"archive a x s\nrun y", "names no file written"},
        {"run x\narchive a x s", "names no file written"},
        // A later archive's files lie in its directory under the slot.
        {"archive a x s\narchive b y s\nrun y", "names no file written"},
        {"archive a x s\narchive b y s\nrun b/y", nullptr},
        {"archive a x s\nseal\narchive b y s\nrun b/y", "written after the seal"},
        {"archive a x s\nseal\narchive b y s\nrun x", nullptr},
        {"archive a x s\narchive b y s\nseal\nstart-library b/y", nullptr},
        {"seal\narchive a x s", "seal before the first archive"},
        {"copy-self me\narchive a x s", "copy before the first archive"},
        {"archive a x s\ncopy-self remove.dir", "unsafe copy name"},
        {"archive a x s\ncopy-self me\nrun-library me", nullptr},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.manifest);
        auto records = packer::parse_manifest(c.manifest);
        if (!c.error) {
            EXPECT_NO_THROW(packer::check_records(records));
            continue;
        }
        try {
            packer::check_records(records);
            ADD_FAILURE() << "accepted";
        } catch (packer::pack_error const& e) {
            EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << e.what();
        }
    }
}

TEST(packer, manifest_syntax) {
    auto const records = packer::parse_manifest(
        "# c\n\n lzma \"Tovan Desk\" \"a b\" \"q\\\"s\\\\\"\nseal\nend \"pad x\"\n", "/base");
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].type, launcher::record_lzma_archive);
    EXPECT_EQ(records[0].name, "Tovan Desk");
    ASSERT_EQ(records[0].entries.size(), 1u);
    EXPECT_EQ(records[0].entries[0].name, "a b");
    EXPECT_EQ(records[0].entries[0].source, "/base/q\"s\\");
    EXPECT_EQ(records[0].line, 3u);
    EXPECT_EQ(records[2].name, "pad x");

    for (const char* bad : {"unpack a x s", "archive a x", "run", "seal now", "run \"x", "run a\"b\"",
                            "end\nseal", "start a b"}) {
        SCOPED_TRACE(bad);
        EXPECT_THROW(packer::parse_manifest(bad), packer::pack_error);
    }
}

// The appendix read back with the launcher's own reader: every record in order,
// then the closing type 0 with the padding.
TEST(packer, appendix_reads_back_with_the_launchers_reader) {
    auto records = packer::parse_manifest("lzma app prog s\nrun prog\nseal\narchive conf c.ini s\nend pad");
    records[0].entries[0].data = noise(5000);
    records[3].entries[0].data = "k=v\n";
    std::string const appendix = packer::build_appendix(records);

    launcher::byte_reader r(appendix);
    launcher::record rec;
    std::size_t padding = 0;
    std::string types;
    while (launcher::next_record(r, rec, padding) == launcher::record_status::ok) {
        types += char('0' + rec.type);
        if (rec.type == launcher::record_archive) {
            launcher::byte_reader a(rec.body);
            launcher::archive_header h;
            launcher::archive_entry e;
            ASSERT_TRUE(launcher::read_archive_header(a, h));
            EXPECT_EQ(h.directory, "conf");
            EXPECT_EQ(h.entry_count, 1u);
            ASSERT_TRUE(launcher::read_archive_entry(a, e));
            EXPECT_EQ(e.name, "c.ini");
            EXPECT_EQ(e.data, "k=v\n");
            EXPECT_EQ(a.left, 0u);
        }
        if (rec.type == launcher::record_exe_at_end) {
            EXPECT_EQ(rec.body, "prog");
        }
    }
    EXPECT_EQ(types, "7541");
    EXPECT_EQ(padding, 3u);
    EXPECT_EQ(std::string_view(reinterpret_cast<const char*>(r.pos), r.left), "pad");
}

// An image that already holds the marker would have its appendix found inside
// its own code; desk_pack refuses it and leaves no output behind.
TEST(packer, refuses_an_image_holding_the_marker) {
    temp_dir dir;
    std::string marker;
    launcher::append_marker(marker);
    write_file(dir.path + "/bad_image", "\x7f"
                                        "ELF..." +
                                            marker + "...");
    std::string const good_image = "\x7f"
                                   "ELF..." +
                                   std::string(launcher::marker_word) + "...";
    write_file(dir.path + "/good_image", good_image);
    write_file(dir.path + "/x", "payload");
    write_file(dir.path + "/m", "archive a x x\nrun x\n");

    auto pack = [&](const char* image) {
        std::string const cmd = std::string(DESK_PACK_PATH) + " --launcher '" + dir.path + "/" + image +
                                "' --manifest '" + dir.path + "/m' --output '" + dir.path +
                                "/out' 2>/dev/null";
        int const st = std::system(cmd.c_str());
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    };
    EXPECT_EQ(pack("bad_image"), 1);
    struct stat st;
    EXPECT_NE(::stat((dir.path + "/out").c_str(), &st), 0);

    EXPECT_EQ(pack("good_image"), 0);
    std::string const out = read_file(dir.path + "/out");
    EXPECT_EQ(out.find(marker), good_image.size());
    ASSERT_EQ(::stat((dir.path + "/out").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
    EXPECT_THROW(packer::pack_launcher("a" + marker, {}), packer::pack_error);
}

} // namespace
