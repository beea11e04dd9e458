// The launcher's pure parts: name checks, refused records and archives, and
// the container read piece by piece as a decoder hands it on.
#include "launcher/appendix_format.h"

#include <gtest/gtest.h>

#include <string>

using namespace launcher;

namespace {

std::string bytes(std::initializer_list<int> b) {
    std::string s;
    for (int c : b) s.push_back(static_cast<char>(c));
    return s;
}

} // namespace

TEST(AppendixFormat, Names) {
    struct {
        std::string name;
        bool safe, directory, entry;
    } cases[] = {
        {"tovan_desk", true, true, true},
        {"conf/VYNConfiguration.ini", true, false, true},
        {"", false, false, false},
        {".hidden", false, false, false},
        {"/etc/passwd", false, false, false},
        {"a/../b", false, false, false},
        {std::string("ok\0/x", 5), false, false, false},
        {"remove.dir", true, true, false},
        {"writeacc.dat", true, true, false},
        {"sub/remove.dir", true, false, true},
        {std::string(254, 'n'), true, true, true},
        {std::string(255, 'n'), true, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(rulo::archive_names::is_safe_path(c.name), c.safe);
        EXPECT_EQ(is_safe_directory_name(c.name), c.directory);
        EXPECT_EQ(is_safe_entry_name(c.name), c.entry);
    }
}

// Reading well-formed records and archives back is checked through the packer.
TEST(AppendixFormat, MalformedRecords) {
    // Each is refused and leaves the cursor in place.
    const std::string bad[] = {
        bytes({10, 0, 0, 0, 0}),            // unknown type
        bytes({1, 5, 0, 0, 0, 'a', 'b'}),   // length past the end
        bytes({1, 0, 0}),                   // short length
        bytes({2, 0xff, 0xff, 0xff, 0xff}), // 4 GiB length
    };
    record rec;
    std::size_t padding = 0;
    for (const auto& b : bad) {
        byte_reader br(b);
        EXPECT_EQ(next_record(br, rec, padding), record_status::malformed);
        EXPECT_EQ(br.left, b.size());
    }
}

TEST(AppendixFormat, MalformedArchives) {
    auto archive = [](std::string_view dir, std::string_view name, std::uint32_t count = 1) {
        std::string s;
        append_archive_header(s, dir, count);
        append_archive_entry(s, name, "data");
        return s;
    };
    EXPECT_TRUE(is_valid_archive(archive("conf", "sub/x")));
    const std::string bad[] = {
        archive("conf", "x", 2),             // fewer entries than counted
        archive("conf", "x").substr(0, 20),  // data cut short
        archive("a/b", "x"),                 // "/" in the directory name
        archive("conf", "remove.dir"),       // the slot's own files
        archive("conf", "writeacc.dat"),     //
        archive("conf", "../escape"),        //
        archive(std::string(255, 'd'), "x"), // name does not fit its buffer
    };
    for (const auto& b : bad) EXPECT_FALSE(is_valid_archive(b));
}

// The container cut into pieces at every split point gives the same entries
// as reading it whole; a cut container asks for more, a long name is refused.
TEST(AppendixFormat, ContainerInPieces) {
    std::string c;
    append_archive_header(c, "dir", 3);
    append_archive_entry(c, "a", "first");
    append_archive_entry(c, "sub/b", "");
    append_archive_entry(c, "c", std::string(300, 'z'));
    auto read = [](std::string_view data, std::size_t piece, bool& done) {
        container_parser p;
        std::string seen;
        done = false;
        for (std::size_t at = 0; at < data.size() && !done; at += piece) {
            byte_reader in(data.substr(at, piece));
            std::string_view bytes;
            for (bool more = true; more;) {
                switch (p.next(in, bytes)) {
                case container_parser::event::need_more:
                    more = false;
                    break;
                case container_parser::event::header:
                    seen += std::string(p.directory()) + ":" + std::to_string(p.entry_count()) + ";";
                    break;
                case container_parser::event::entry:
                    seen += std::string(p.name()) + "(" + std::to_string(p.size()) + ")=";
                    break;
                case container_parser::event::data:
                    seen += bytes;
                    break;
                case container_parser::event::entry_end:
                    seen += ";";
                    break;
                case container_parser::event::done:
                    done = true;
                    more = false;
                    break;
                case container_parser::event::malformed:
                    return std::string("malformed");
                }
            }
        }
        return seen;
    };
    std::string const whole = "dir:3;a(5)=first;sub/b(0)=;c(300)=" + std::string(300, 'z') + ";";
    bool done = false;
    for (std::size_t piece = 1; piece <= c.size(); ++piece) {
        EXPECT_EQ(read(c, piece, done), whole) << piece;
        EXPECT_TRUE(done) << piece;
    }
    read(std::string_view(c).substr(0, c.size() - 1), 7, done);
    EXPECT_FALSE(done);
    std::string long_name;
    append_archive_header(long_name, std::string(255, 'd'), 1);
    EXPECT_EQ(read(long_name, 3, done), "malformed");
}
