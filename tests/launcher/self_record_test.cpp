// The records that act on the launcher's own file: a copy of the whole file is
// written into the slot (and removed with everything else at the end), and
// the launcher deletes its own file.
#include "tests/launcher/launch_process.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <csignal>
#include <string>
#include <vector>

namespace {

using strings = std::vector<std::string>;

TEST(launcher_self_records, copy_and_delete_the_launchers_own_file) {
    launch_test::temp_dir prefix, home;
    // A copy of its own: the run deletes the file it was started from.
    std::string const self = home.path + "/launcher";
    std::string const image = launch_test::read_file(PACKED_SELF);
    launch_test::write_file(self, image, 0755);

    auto const res = launch_test::run(self, {self}, {"DESK_LAUNCHER_ROOT=" + prefix.path});
    EXPECT_EQ(res.signal, SIGKILL) << res.err;
    EXPECT_TRUE(launch_test::lines_with(res.err, "Error running launch").empty()) << res.err;
    EXPECT_EQ(launch_test::lines_with(res.err, "Deleting myself: " + self).size(), 1u) << res.err;
    EXPECT_NE(::access(self.c_str(), F_OK), 0) << "the launcher's own file is still there";

    // The copy was written into the slot and, like every written file, deleted at the end.
    std::string const slot = launch_test::slot_path(prefix.path, "self");
    EXPECT_EQ(launch_test::tree(slot), (strings{"remove.dir", "writeacc.dat"}));
    // It held the whole file, image and appendix.
    EXPECT_EQ(launch_test::lines_with(res.err, "Writing file " + slot + "/launcher.copy (" +
                                                   std::to_string(image.size()) + " bytes)")
                  .size(),
              1u)
        << res.err;
}

} // namespace
