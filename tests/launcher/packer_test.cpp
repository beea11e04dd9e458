// The packer on its own: its LZMA-alone streams decode with xz and Python's lzma,
// it refuses the names and record orders the launcher would refuse, and images
// holding the marker.
#include "launcher/appendix_format.h"
#include "rulo/lzma_alone.h"
#include "tests/launcher/launch_process.h"
#include "tools/packer/appendix_writer.h"
#include "tools/packer/lzma_alone.h"
#include "tools/packer/manifest.h"
#include "tools/packer/pack_error.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

using launch_test::read_file;
using launch_test::temp_dir;
using launch_test::write_file;

TEST(packer, lzma_streams_decode_with_xz_and_state_their_real_size) {
    std::mt19937 rng(12345);
    std::string noise(1 << 20, '\0'); // barely compresses
    for (auto& c : noise) c = char(rng());
    temp_dir dir;
    std::string const in_out = " '" + dir.path + "/s' > '" + dir.path + "/out'";
    // xz's own decoder (liblzma's .lzma reader), and Python's lzma where present.
    std::vector<std::string> decoders = {"xz --format=lzma -dc"};
    if (std::system("python3 -c 'import lzma' >/dev/null 2>&1") == 0)
        decoders.push_back("python3 -c \"import lzma,sys; sys.stdout.buffer.write(lzma.decompress("
                           "open(sys.argv[1],'rb').read(), format=lzma.FORMAT_ALONE))\"");
    for (std::string const& data : {std::string(), noise, std::string(3 << 20, 'z')}) {
        SCOPED_TRACE(data.size());
        std::string const stream = packer::lzma_alone_compress(data);
        rulo::lzma_alone::header h;
        ASSERT_EQ(rulo::lzma_alone::parse_header(stream, h), rulo::lzma_alone::fault::none);
        EXPECT_EQ(h.unpacked_size, data.size());
        write_file(dir.path + "/s", stream);
        for (auto const& d : decoders) {
            ASSERT_EQ(std::system((d + in_out).c_str()), 0) << d;
            EXPECT_TRUE(read_file(dir.path + "/out") == data) << d;
        }
    }
}

// Manifests the launcher would refuse at run time, and near misses it accepts.
TEST(packer, refuses_what_the_launcher_refuses) {
    std::string const long_name(launcher::max_name_length, 'n');
    struct {
        std::string manifest;
        const char* error; // part of the error text; "": accepted
    } const cases[] = {
        {"archive a/b x s", "unsafe archive directory name"},
        {"archive \"\" x s", "unsafe archive directory name"},
        {"archive a remove.dir s", "unsafe entry name"},
        {"archive a writeacc.dat s", "unsafe entry name"},
        {"archive a x/../../y s", "unsafe entry name"},
        {"archive a " + long_name + "x s", "unsafe entry name"},
        {"archive a " + long_name + " s", ""},
        {"archive a sub/remove.dir s", ""},
        {"archive a x s\nrun /x", "unsafe start name"},
        {"archive a x s\nrun y", "names no file written"},
        {"run x\narchive a x s", "names no file written"},
        // A later archive's files lie in its directory under the slot.
        {"archive a x s\narchive b y s\nrun y", "names no file written"},
        {"archive a x s\narchive b y s\nseal\nstart-library b/y", ""},
        {"archive a x s\nseal\narchive b y s\nrun b/y", "written after the seal"},
        {"seal\narchive a x s", "seal before the first archive"},
        {"copy-self me\narchive a x s", "copy before the first archive"},
        {"archive a x s\ncopy-self remove.dir", "unsafe copy name"},
        {"archive a x s\ncopy-self me\nrun-library me", ""},
    };
    for (auto const& c : cases) {
        std::string error;
        try {
            packer::check_records(packer::parse_manifest(c.manifest));
        } catch (packer::pack_error const& e) {
            error = e.what();
        }
        EXPECT_EQ(error.empty(), *c.error == 0) << c.manifest << ": " << error;
        EXPECT_NE(error.find(c.error), std::string::npos) << c.manifest << ": " << error;
    }
}

TEST(packer, manifest_syntax) {
    auto const records = packer::parse_manifest(
        "# c\n\n lzma \"Tovan Desk\" \"a b\" \"q\\\"s\\\\\"\nseal\nend \"pad x\"\n", "/base");
    ASSERT_TRUE(records.size() == 3 && records[0].entries.size() == 1);
    auto const& r = records[0];
    EXPECT_TRUE(r.type == launcher::record_lzma_archive && r.line == 3);
    EXPECT_EQ(r.name + "|" + r.entries[0].name + "|" + r.entries[0].source + "|" + records[2].name,
              "Tovan Desk|a b|/base/q\"s\\|pad x");
    for (const char* bad : {"unpack a x s", "archive a x", "seal now", "run \"x", "run a\"b\"", "end\nseal"})
        EXPECT_THROW(packer::parse_manifest(bad), packer::pack_error) << bad;
}

// The appendix read back with the launcher's own reader: every record in order,
// then the closing type 0 with the padding.
TEST(packer, appendix_reads_back_with_the_launchers_reader) {
    auto records = packer::parse_manifest("lzma app prog s\nrun prog\nseal\narchive conf c.ini s\nend pad");
    records[0].entries[0].data = std::string(5000, 'q');
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
            ASSERT_TRUE(launcher::read_archive_header(a, h) && launcher::read_archive_entry(a, e));
            EXPECT_EQ(std::string(h.directory) + "|" + std::string(e.name) + "|" + std::string(e.data),
                      "conf|c.ini|k=v\n");
            EXPECT_TRUE(h.entry_count == 1 && a.left == 0);
        }
        EXPECT_TRUE(rec.type != launcher::record_exe_at_end || rec.body == "prog");
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
    write_file(dir.path + "/bad_image", "\177ELF..." + marker + "...");
    std::string const good_image = "\177ELF..." + std::string(launcher::marker_word) + "...";
    write_file(dir.path + "/good_image", good_image);
    write_file(dir.path + "/x", "payload");
    write_file(dir.path + "/m", "archive a x x\nrun x\n");

    auto pack = [&](const char* image) {
        int const st =
            std::system((DESK_PACK_PATH " --launcher '" + dir.path + "/" + image + "' --manifest '" +
                         dir.path + "/m' --output '" + dir.path + "/out' 2>/dev/null")
                            .c_str());
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    };
    EXPECT_EQ(pack("bad_image"), 1);
    EXPECT_NE(::access((dir.path + "/out").c_str(), F_OK), 0);

    EXPECT_EQ(pack("good_image"), 0);
    std::string const out = read_file(dir.path + "/out");
    EXPECT_EQ(out.find(marker), good_image.size());
    struct stat st;
    ASSERT_EQ(::stat((dir.path + "/out").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
    EXPECT_THROW(packer::pack_launcher("a" + marker, {}), packer::pack_error);
}

} // namespace
