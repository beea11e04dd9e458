// Cache slots seen from outside, each launch a packed launcher run as its own
// process: launches running at once get slots of their own, a stale slot is
// wiped without following its links, and nothing the launcher does not own
// (a slot without its marker, a cache directory of another user or open to
// others' writes) is wiped or written to.
#include "tests/launcher/launch_process.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using launch_test::read_file;
using launch_test::temp_dir;
using launch_test::tree;
using launch_test::write_file;
using strings = std::vector<std::string>;

std::string const euid = std::to_string(::geteuid());

std::string root_dir(std::string const& prefix, int n) {
    return prefix + "/SepraCache_" + euid + "_" + std::to_string(n);
}

// The payload's first archive is "payload".
std::string slot_dir(std::string const& prefix, int root, int slot) {
    return root_dir(prefix, root) + "/payload/" + std::to_string(slot);
}

// The working directory the payload reported ("cwd <hex>").
std::string reported_cwd(std::string const& report_path) {
    std::istringstream in(read_file(report_path));
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("cwd ", 0) != 0) continue;
        std::string s;
        for (std::size_t i = 4; i + 1 < line.size(); i += 2)
            s += static_cast<char>(std::stoi(line.substr(i, 2), nullptr, 16));
        return s;
    }
    return "(no report)";
}

void make_dir(std::string const& path, mode_t mode = 0700) {
    ASSERT_EQ(::mkdir(path.c_str(), mode), 0) << path;
    ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path; // past the umask
}

// A slot as an earlier launch left it: marker, lock file, nobody holding it.
void make_stale_slot(std::string const& dir) {
    make_dir(dir);
    write_file(dir + "/remove.dir", "", 0600);
    write_file(dir + "/writeacc.dat", "", 0600);
}

// One launch of the packed payload under `prefix`, and where its payload ran.
struct launch_result {
    launch_test::outcome res;
    std::string cwd;
};

launch_result launch(std::string const& prefix, strings extra_env = {}) {
    temp_dir io;
    strings env = {"DESK_LAUNCHER_ROOT=" + prefix, "DESK_PAYLOAD_REPORT=" + io.path + "/report"};
    env.insert(env.end(), extra_env.begin(), extra_env.end());
    launch_result r;
    r.res = launch_test::run(PACKED_PAYLOAD, {PACKED_PAYLOAD}, env);
    r.cwd = reported_cwd(io.path + "/report");
    return r;
}

void expect_normal_end(launch_test::outcome const& res) {
    EXPECT_EQ(res.signal, SIGKILL) << res.err;
    EXPECT_TRUE(launch_test::lines_with(res.err, "Error running launch").empty()) << res.err;
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
        // Opening a FIFO for writing waits for its reader, the payload, which
        // then reads until every writer is closed. Close-on-exec, so the
        // other launch never holds a write end.
        writers[i] = ::open(r.hold.c_str(), O_WRONLY | O_CLOEXEC);
    }
    for (int fd : writers)
        if (fd >= 0) ::close(fd);
    for (auto& r : runs) {
        r.waiter.join();
        if (r.release >= 0) ::close(r.release);
    }
    ASSERT_GE(writers[0], 0);
    ASSERT_GE(writers[1], 0);

    for (auto& r : runs) expect_normal_end(r.res);
    EXPECT_EQ(reported_cwd(runs[0].report), slot_dir(prefix.path, 0, 1));
    EXPECT_EQ(reported_cwd(runs[1].report), slot_dir(prefix.path, 0, 2));
    EXPECT_EQ(launch_test::lines_with(runs[1].res.err,
                                      "Cannot lock: " + slot_dir(prefix.path, 0, 1) + "/writeacc.dat")
                  .size(),
              1u)
        << runs[1].res.err;
    for (int slot : {1, 2}) EXPECT_EQ(tree(slot_dir(prefix.path, 0, slot)), cleaned_slot);
}

TEST(launcher_slots, a_stale_slot_is_wiped_without_following_links) {
    temp_dir prefix, outside;
    make_dir(root_dir(prefix.path, 0));
    make_dir(root_dir(prefix.path, 0) + "/payload");
    std::string const slot = slot_dir(prefix.path, 0, 1);
    make_stale_slot(slot);
    write_file(slot + "/old.bin", "left by a killed program");
    make_dir(slot + "/sub");
    make_dir(slot + "/sub/deep");
    write_file(slot + "/sub/deep/log.txt", "log");
    write_file(outside.path + "/target.txt", "not the launcher's");
    make_dir(outside.path + "/dir");
    write_file(outside.path + "/dir/keep.txt", "not the launcher's either");
    ASSERT_EQ(::symlink((outside.path + "/target.txt").c_str(), (slot + "/link").c_str()), 0);
    ASSERT_EQ(::symlink((outside.path + "/dir").c_str(), (slot + "/sub/dirlink").c_str()), 0);

    auto const r = launch(prefix.path);
    expect_normal_end(r.res);
    EXPECT_EQ(r.cwd, slot);
    EXPECT_EQ(tree(slot), cleaned_slot);
    EXPECT_EQ(tree(outside.path), (strings{"dir/", "dir/keep.txt", "target.txt"}));
    EXPECT_EQ(read_file(outside.path + "/target.txt"), "not the launcher's");
}

TEST(launcher_slots, a_slot_without_its_marker_is_never_wiped) {
    struct {
        char const* what;
        bool as_link; // slot 1 is a symbolic link to the prepared directory
        bool marked;
    } const cases[] = {
        {"directory without remove.dir", false, false},
        {"symbolic link to a marked slot", true, true},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.what);
        temp_dir prefix, outside;
        make_dir(root_dir(prefix.path, 0));
        make_dir(root_dir(prefix.path, 0) + "/payload");
        std::string const slot1 = slot_dir(prefix.path, 0, 1);
        std::string const dir = c.as_link ? outside.path + "/slot" : slot1;
        if (c.marked)
            make_stale_slot(dir);
        else
            make_dir(dir);
        write_file(dir + "/keep.txt", "keep");
        if (c.as_link) {
            ASSERT_EQ(::symlink(dir.c_str(), slot1.c_str()), 0);
        }
        strings const before = tree(dir);

        auto const r = launch(prefix.path);
        expect_normal_end(r.res);
        EXPECT_EQ(r.cwd, slot_dir(prefix.path, 0, 2));
        // Not wiped, and no lock file planted in it either.
        EXPECT_EQ(tree(dir), before);
        if (c.as_link) {
            struct stat st;
            EXPECT_TRUE(::lstat(slot1.c_str(), &st) == 0 && S_ISLNK(st.st_mode));
        }
    }
}

// Runs `prepare` on a fresh prefix, then a launch, which must pass over root 0
// (leaving what `prepare` made as it was) and run in root 1.
void expect_root_passed_over(
    std::function<void(std::string const& prefix, std::string const& outside)> prepare) {
    temp_dir prefix, outside;
    prepare(prefix.path, outside.path);
    if (testing::Test::HasFatalFailure()) return;
    strings const before_root = tree(root_dir(prefix.path, 0)), before_outside = tree(outside.path);

    auto const r = launch(prefix.path);
    expect_normal_end(r.res);
    EXPECT_EQ(r.cwd, slot_dir(prefix.path, 1, 1));
    EXPECT_EQ(launch_test::lines_with(r.res.err, "Not a private directory").size(), 1u) << r.res.err;
    EXPECT_EQ(tree(root_dir(prefix.path, 0)), before_root);
    EXPECT_EQ(tree(outside.path), before_outside);
}

TEST(launcher_slots, a_cache_directory_open_to_others_is_passed_over) {
    struct {
        char const* what;
        std::function<void(std::string const&, std::string const&)> prepare;
    } const cases[] = {
        {"root writable by others", [](auto& p, auto&) { make_dir(root_dir(p, 0), 0777); }},
        {"root writable by its group", [](auto& p, auto&) { make_dir(root_dir(p, 0), 0770); }},
        {"root is a symbolic link to a private directory",
         [](auto& p, auto& o) {
             make_dir(o + "/elsewhere");
             ASSERT_EQ(::symlink((o + "/elsewhere").c_str(), root_dir(p, 0).c_str()), 0);
         }},
        {"archive directory writable by others",
         [](auto& p, auto&) {
             make_dir(root_dir(p, 0));
             make_dir(root_dir(p, 0) + "/payload", 0703);
         }},
        {"archive directory is a regular file",
         [](auto& p, auto&) {
             make_dir(root_dir(p, 0));
             write_file(root_dir(p, 0) + "/payload", "", 0600);
         }},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.what);
        expect_root_passed_over(c.prepare);
    }
}

TEST(launcher_slots, a_cache_directory_of_another_user_is_passed_over) {
    if (::geteuid() != 0) GTEST_SKIP() << "handing a directory to another user needs root";
    passwd const* nobody = ::getpwnam("nobody");
    uid_t const other = nobody ? nobody->pw_uid : 65534;
    gid_t const other_group = nobody ? nobody->pw_gid : 65534;
    auto give_away = [=](std::string const& path) {
        ASSERT_EQ(::chown(path.c_str(), other, other_group), 0) << path;
    };
    struct {
        char const* what;
        std::function<void(std::string const&, std::string const&)> prepare;
    } const cases[] = {
        {"root owned by nobody",
         [&](auto& p, auto&) {
             make_dir(root_dir(p, 0));
             give_away(root_dir(p, 0));
         }},
        {"archive directory owned by nobody",
         [&](auto& p, auto&) {
             make_dir(root_dir(p, 0));
             make_dir(root_dir(p, 0) + "/payload");
             give_away(root_dir(p, 0) + "/payload");
         }},
    };
    for (auto const& c : cases) {
        SCOPED_TRACE(c.what);
        expect_root_passed_over(c.prepare);
    }

    // A marked slot of another user is neither wiped nor used; the next one is.
    temp_dir prefix;
    make_dir(root_dir(prefix.path, 0));
    make_dir(root_dir(prefix.path, 0) + "/payload");
    std::string const slot1 = slot_dir(prefix.path, 0, 1);
    make_stale_slot(slot1);
    write_file(slot1 + "/keep.txt", "keep");
    give_away(slot1);
    auto const r = launch(prefix.path);
    expect_normal_end(r.res);
    EXPECT_EQ(r.cwd, slot_dir(prefix.path, 0, 2));
    EXPECT_EQ(tree(slot1), (strings{"keep.txt", "remove.dir", "writeacc.dat"}));
}

} // namespace
