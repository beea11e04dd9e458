// The one archive name rule, on the names the launcher and the framework
// disagreed about.
#include "rulo/archive_names.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace rulo::archive_names;

TEST(archive_names, one_rule) {
    struct {
        std::string name;
        bool directory, entry;
    } const cases[] = {
        {"tovan_desk", true, true},
        {"conf/VYNConfiguration.ini", false, true},
        {"a/.hidden", false, true},
        {"a\\b", true, true}, // "\" is an ordinary byte
        {"", false, false},
        {".hidden", false, false},
        {".", false, false},
        {"/etc/passwd", false, false},
        {"a//b", false, false},
        {"a/", false, false},
        {"a/./b", false, false},
        {"a/.", false, false},
        {"a/../b", false, false},
        {"a/..", false, false},
        {"a..b", false, false},
        {std::string("ok\0/x", 5), false, false},
        {"writeacc.dat", true, false},
        {"remove.dir", true, false},
        {"sub/writeacc.dat", false, true},
        {std::string(254, 'n'), true, true},
        {std::string(255, 'n'), false, false},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(is_safe_directory_name(c.name), c.directory);
        EXPECT_EQ(is_safe_entry_name(c.name), c.entry);
    }
}

} // namespace
