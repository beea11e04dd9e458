// Cache slots, each launch a packed launcher run as its own process: launches at
// once get slots of their own, a stale slot is wiped without following links, and
// nothing the launcher does not own is wiped or written to.
#include "tests/launcher/launch_process.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <thread>
#include <vector>

namespace {

using launch_test::read_file;
using launch_test::root_path;
using launch_test::temp_dir;
using launch_test::tree;
using launch_test::write_file;
using strings = std::vector<std::string>;

// The payload's first archive is "payload".
std::string slot_dir(std::string const& prefix, int root, int slot) {
    return launch_test::slot_path(prefix, "payload", root, slot);
}

// The working directory the payload reported ("" without a report).
std::string reported_cwd(std::string const& report_path) {
    for (auto const& [key, value] : launch_test::read_report(report_path))
        if (key == "cwd") return value;
    return "";
}

void make_dir(std::string const& path, mode_t mode = 0700) {
    ASSERT_EQ(::mkdir(path.c_str(), mode), 0) << path;
    ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path; // past the umask
}

// Root 0 with its archive directory, and slot 1 as an earlier launch left it:
// marker, lock file, nobody holding it.
std::string make_stale_slot(std::string const& prefix, std::string dir = "") {
    make_dir(root_path(prefix, 0));
    make_dir(root_path(prefix, 0) + "/payload");
    if (dir.empty()) dir = slot_dir(prefix, 0, 1);
    make_dir(dir);
    write_file(dir + "/remove.dir", "", 0600);
    write_file(dir + "/writeacc.dat", "", 0600);
    return dir;
}

// Launches the packed payload under `prefix`; returns where its payload ran.
std::string launch(std::string const& prefix, launch_test::outcome& res) {
    temp_dir io;
    res = launch_test::run(PACKED_PAYLOAD, {PACKED_PAYLOAD},
                           {"DESK_LAUNCHER_ROOT=" + prefix, "DESK_PAYLOAD_REPORT=" + io.path + "/report"});
    EXPECT_EQ(res.signal, SIGKILL) << res.err;
    EXPECT_TRUE(launch_test::lines_with(res.err, "Error running launch").empty()) << res.err;
    return reported_cwd(io.path + "/report");
}

// What a slot holds after a normal end of this payload.
strings const cleaned_slot = {"docs/", "remove.dir", "writeacc.dat"};

TEST(launcher_slots, two_launches_running_at_once_get_two_slots) {
    temp_dir prefix, io;
    struct running {
        std::string hold, report;
        launch_test::outcome res;
        int release = -1;
        std::thread waiter;
    } runs[2];
    int writers[2] = {-1, -1};
    // The second launch starts only once the first one's payload runs, so it
    // meets slot 1 marked and held, and must be refused by the lock.
    for (int i = 0; i < 2; ++i) {
        auto& r = runs[i];
        r.hold = io.path + "/hold" + std::to_string(i);
        r.report = io.path + "/report" + std::to_string(i);
        ASSERT_EQ(::mkfifo(r.hold.c_str(), 0600), 0);
        r.waiter = std::thread([&prefix, &r] {
            r.res = launch_test::run(PACKED_PAYLOAD, {PACKED_PAYLOAD},
                                     {"DESK_LAUNCHER_ROOT=" + prefix.path, "DESK_PAYLOAD_REPORT=" + r.report,
                                      "DESK_PAYLOAD_HOLD=" + r.hold});
            // A launch that failed before its payload opened the FIFO must not
            // leave the test waiting for a reader: be one.
            r.release = ::open(r.hold.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        });
        // Waits for the payload to open its end; it then reads until every
        // writer is closed. Close-on-exec: the other launch holds no write end.
        writers[i] = ::open(r.hold.c_str(), O_WRONLY | O_CLOEXEC);
    }
    for (int fd : writers)
        if (fd >= 0) ::close(fd);
    for (auto& r : runs) {
        r.waiter.join();
        if (r.release >= 0) ::close(r.release);
        EXPECT_EQ(r.res.signal, SIGKILL) << r.res.err;
    }
    ASSERT_TRUE(writers[0] >= 0 && writers[1] >= 0);
    EXPECT_EQ(reported_cwd(runs[0].report), slot_dir(prefix.path, 0, 1));
    EXPECT_EQ(reported_cwd(runs[1].report), slot_dir(prefix.path, 0, 2));
    std::string const refused = "Cannot lock: " + slot_dir(prefix.path, 0, 1) + "/writeacc.dat";
    EXPECT_EQ(launch_test::lines_with(runs[1].res.err, refused).size(), 1u) << runs[1].res.err;
    for (int slot : {1, 2}) EXPECT_EQ(tree(slot_dir(prefix.path, 0, slot)), cleaned_slot);
}

TEST(launcher_slots, a_stale_slot_is_wiped_and_reused_without_following_links) {
    temp_dir prefix, outside;
    std::string const slot = make_stale_slot(prefix.path);
    make_dir(slot + "/sub");
    write_file(slot + "/sub/log.txt", "left by a killed program");
    write_file(outside.path + "/target.txt", "not the launcher's");
    make_dir(outside.path + "/dir");
    write_file(outside.path + "/dir/keep.txt", "not the launcher's either");
    ASSERT_EQ(::symlink((outside.path + "/target.txt").c_str(), (slot + "/link").c_str()), 0);
    ASSERT_EQ(::symlink((outside.path + "/dir").c_str(), (slot + "/sub/dirlink").c_str()), 0);

    launch_test::outcome res;
    EXPECT_EQ(launch(prefix.path, res), slot);
    EXPECT_EQ(tree(slot), cleaned_slot);
    EXPECT_EQ(tree(outside.path), (strings{"dir/", "dir/keep.txt", "target.txt"}));
    EXPECT_EQ(read_file(outside.path + "/target.txt"), "not the launcher's");
}

uid_t const nobody_uid = ::getpwnam("nobody") ? ::getpwnam("nobody")->pw_uid : 65534;
gid_t const nobody_gid = ::getpwnam("nobody") ? ::getpwnam("nobody")->pw_gid : 65534;

void give_away(std::string const& path) {
    ASSERT_EQ(::chown(path.c_str(), nobody_uid, nobody_gid), 0) << path;
}

// Slot 1 is not the launcher's to wipe: it is used neither, slot 2 is.
TEST(launcher_slots, a_slot_not_ours_is_never_wiped) {
    struct {
        char const* what;
        bool marked, linked, given_away;
    } const cases[] = {
        {"directory without remove.dir", false, false, false},
        {"symbolic link to a marked slot", true, true, false},
        {"marked slot owned by nobody", true, false, true},
    };
    for (auto const& c : cases) {
        if (c.given_away && ::geteuid() != 0) continue; // handing a directory away needs root
        SCOPED_TRACE(c.what);
        temp_dir prefix, outside;
        std::string const slot1 = slot_dir(prefix.path, 0, 1);
        std::string const dir = make_stale_slot(prefix.path, c.linked ? outside.path + "/slot" : slot1);
        if (!c.marked) ::unlink((dir + "/remove.dir").c_str());
        ASSERT_TRUE(!c.linked || ::symlink(dir.c_str(), slot1.c_str()) == 0);
        write_file(dir + "/keep.txt", "keep");
        if (c.given_away) give_away(dir);
        strings const before = tree(dir);

        launch_test::outcome res;
        EXPECT_EQ(launch(prefix.path, res), slot_dir(prefix.path, 0, 2));
        EXPECT_EQ(tree(dir), before); // not wiped, and no lock file planted in it either
        struct stat st;
        EXPECT_TRUE(!c.linked || (::lstat(slot1.c_str(), &st) == 0 && S_ISLNK(st.st_mode)));
    }
}

// A cache root or archive directory that is not a private directory of ours is
// passed over, left as it was, and the launch runs in root 1.
TEST(launcher_slots, a_cache_directory_not_private_to_us_is_passed_over) {
    struct {
        char const* what;
        char root, archive_dir; // 'd' directory, 'l' link, 'f' file, '-' none
        mode_t mode;            // of the last one made
        bool given_away;        // the last one made is nobody's
    } const cases[] = {
        {"root writable by its group", 'd', '-', 0770, false},
        {"root is a symbolic link to a private directory", 'l', '-', 0700, false},
        {"archive directory writable by others", 'd', 'd', 0703, false},
        {"archive directory is a regular file", 'd', 'f', 0600, false},
        {"root owned by nobody", 'd', '-', 0700, true},
        {"archive directory owned by nobody", 'd', 'd', 0700, true},
    };
    for (auto const& c : cases) {
        if (c.given_away && ::geteuid() != 0) continue;
        SCOPED_TRACE(c.what);
        temp_dir prefix, outside;
        std::string const root = root_path(prefix.path, 0);
        std::string const last = c.archive_dir == '-' ? root : root + "/payload";
        if (c.root == 'l') {
            make_dir(outside.path + "/elsewhere");
            ASSERT_EQ(::symlink((outside.path + "/elsewhere").c_str(), root.c_str()), 0);
        } else {
            make_dir(root, last == root ? c.mode : 0700);
        }
        if (c.archive_dir == 'd') make_dir(last, c.mode);
        if (c.archive_dir == 'f') write_file(last, "", c.mode);
        if (c.given_away) give_away(last);
        strings const before_root = tree(root), before_outside = tree(outside.path);

        launch_test::outcome res;
        EXPECT_EQ(launch(prefix.path, res), slot_dir(prefix.path, 1, 1));
        EXPECT_EQ(launch_test::lines_with(res.err, "Not a private directory").size(), 1u) << res.err;
        EXPECT_EQ(tree(root), before_root);
        EXPECT_EQ(tree(outside.path), before_outside);
    }
}

} // namespace
