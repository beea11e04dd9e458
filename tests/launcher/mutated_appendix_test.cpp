// The packed test launcher with bytes of its appendix changed (a fixed seed,
// so a failure repeats): whatever the launcher makes of it, it ends by its own
// SIGKILL (or a plain exit 0), never by a crash or a hang, and it writes
// nothing outside its cache slot: its home, working directory, temporary
// directory and its own folder look the same afterwards, and inside the
// private cache prefix only cache roots, archive directories and numbered
// slots appear above whatever was unpacked.
#include "launcher/appendix_format.h"
#include "tests/launcher/launch_process.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

extern char** environ;

namespace {

using launch_test::temp_dir;

constexpr unsigned mutant_count = 150;
constexpr unsigned running_at_once = 6;
constexpr int time_limit_ms = 60'000;

// Offsets worth mutating more often than the rest: record headers, the
// LZMA-alone header and the first bytes of each body, where the lengths and
// names sit. The compressed data fills most of the appendix and would
// otherwise take nearly every mutation.
std::vector<std::size_t> structure_offsets(std::string_view appendix, std::size_t base) {
    std::vector<std::size_t> out;
    launcher::byte_reader r(appendix);
    while (r.left > 0) {
        std::size_t at = appendix.size() - r.left;
        launcher::record rec;
        std::size_t padding = 0;
        auto st = launcher::next_record(r, rec, padding);
        for (std::size_t i = 0; i < launcher::record_header_size && at + i < appendix.size(); ++i)
            out.push_back(base + at + i);
        if (st != launcher::record_status::ok) break;
        std::size_t body = at + launcher::record_header_size;
        for (std::size_t i = 0; i < std::min<std::size_t>(rec.body.size(), 48); ++i)
            out.push_back(base + body + i);
    }
    return out;
}

std::string mutate(std::string file, std::size_t appendix_at, std::vector<std::size_t> const& hot,
                   std::mt19937& rng) {
    static constexpr unsigned char interesting[] = {0, 1,  2,    3,    4,    5,    6,    7,    8,
                                                    9, 10, 0x2e, 0x2f, 0x7f, 0x80, 0xe0, 0xe1, 0xff};
    auto pick = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng); };
    unsigned changes = 1 + unsigned(pick(3));
    for (unsigned c = 0; c < changes; ++c) {
        std::size_t at = pick(3) < 2 ? hot[pick(hot.size())] : appendix_at + pick(file.size() - appendix_at);
        switch (pick(4)) {
        case 0:
            file[at] = char(file[at] ^ (1 << pick(8)));
            break;
        case 1:
            file[at] = char(pick(256));
            break;
        case 2:
            file[at] = char(interesting[pick(sizeof interesting)]);
            break;
        default: // cut the file short (but keep the marker)
            if (pick(4) == 0) file.resize(std::max(appendix_at, at));
            break;
        }
    }
    return file;
}

// One launch: its own home, working directory and temporary directory, all
// watched, and a private cache prefix.
struct launch {
    temp_dir home, cwd, tmp, root, own;
    std::string program, err_path;
    std::vector<std::string> home_before, cwd_before, tmp_before;
    pid_t pid = -1;
    int pidfd = -1;
    int status = 0;
};

bool start(launch& l, std::string const& bytes) {
    l.program = l.own.path + "/packed";
    l.err_path = l.own.path + "/stderr";
    launch_test::write_file(l.program, bytes, 0755);
    l.home_before = launch_test::tree(l.home.path);
    l.cwd_before = launch_test::tree(l.cwd.path);
    l.tmp_before = launch_test::tree(l.tmp.path);

    std::vector<std::string> envs;
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "LD_LIBRARY_PATH=", 16) && std::strncmp(*e, "HOME=", 5) &&
            std::strncmp(*e, "TMPDIR=", 7))
            envs.push_back(*e);
    envs.push_back("HOME=" + l.home.path);
    envs.push_back("TMPDIR=" + l.tmp.path);
    envs.push_back("DESK_LAUNCHER_ROOT=" + l.root.path);
    std::vector<char*> envp;
    for (auto& e : envs) envp.push_back(e.data());
    envp.push_back(nullptr);
    char* argv[] = {l.program.data(), nullptr};

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 2, l.err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addchdir_np(&fa, l.cwd.path.c_str());
    int rc = ::posix_spawn(&l.pid, l.program.c_str(), &fa, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) return false;
    l.pidfd = int(::syscall(SYS_pidfd_open, l.pid, 0));
    return l.pidfd >= 0;
}

// Waits for the end within the time limit; a launch still running then is
// killed and reported as a hang (status 0 is never a signal end).
bool finish(launch& l) {
    pollfd p{l.pidfd, POLLIN, 0};
    int n;
    while ((n = ::poll(&p, 1, time_limit_ms)) < 0 && errno == EINTR) {
    }
    bool ended = n == 1;
    if (!ended) ::kill(l.pid, SIGKILL);
    while (::waitpid(l.pid, &l.status, 0) < 0 && errno == EINTR) {
    }
    ::close(l.pidfd);
    return ended;
}

// Inside the prefix: "SepraCache_<euid>_<n>/", then an archive directory, then
// numbered slots; only inside a slot may anything else appear.
std::string outside_slot(std::vector<std::string> const& root_tree) {
    std::string const cache = "SepraCache_" + std::to_string(::geteuid()) + "_";
    auto numeric = [](std::string const& s) {
        return !s.empty() && s.find_first_not_of("0123456789") == s.npos;
    };
    for (auto const& path : root_tree) {
        bool const dir = path.back() == '/';
        std::vector<std::string> parts;
        for (std::size_t at = 0; at < path.size();) {
            std::size_t slash = std::min(path.find('/', at), path.size());
            parts.push_back(path.substr(at, slash - at));
            at = slash + 1;
        }
        bool ok = parts[0].rfind(cache, 0) == 0 && numeric(parts[0].substr(cache.size()));
        if (parts.size() <= 3) ok = ok && dir;
        if (parts.size() >= 3) ok = ok && numeric(parts[2]);
        if (!ok) return path;
    }
    return {};
}

TEST(launcher_mutated_appendix, ends_by_its_own_kill_and_writes_only_into_the_slot) {
    std::string const original = launch_test::read_file(PACKED_PAYLOAD);
    std::string marker(launcher::marker_word);
    marker += launcher::marker_tail;
    std::size_t const at = original.find(marker);
    ASSERT_NE(at, std::string::npos);
    std::size_t const appendix_at = at + launcher::marker_size;
    ASSERT_LT(appendix_at, original.size());
    auto const hot = structure_offsets(std::string_view(original).substr(appendix_at), appendix_at);
    ASSERT_FALSE(hot.empty());

    std::mt19937 rng(20240611);
    unsigned signalled = 0, exited = 0;
    for (unsigned first = 0; first < mutant_count; first += running_at_once) {
        std::vector<std::unique_ptr<launch>> batch;
        for (unsigned i = first; i < std::min(first + running_at_once, mutant_count); ++i) {
            batch.push_back(std::make_unique<launch>());
            ASSERT_TRUE(start(*batch.back(), mutate(original, appendix_at, hot, rng))) << "mutant " << i;
        }
        for (unsigned i = 0; i < batch.size(); ++i) {
            launch& l = *batch[i];
            std::string const which = "mutant " + std::to_string(first + i);
            bool const ended = finish(l);
            std::string const err = launch_test::read_file(l.err_path);
            EXPECT_TRUE(ended) << which << " still ran after " << time_limit_ms << " ms\n" << err;
            bool const killed = WIFSIGNALED(l.status) && WTERMSIG(l.status) == SIGKILL;
            bool const clean_exit = WIFEXITED(l.status) && WEXITSTATUS(l.status) == 0;
            signalled += killed;
            exited += clean_exit;
            EXPECT_TRUE(killed || clean_exit) << which << " status " << l.status << "\n" << err;
            EXPECT_EQ(launch_test::tree(l.home.path), l.home_before) << which;
            EXPECT_EQ(launch_test::tree(l.cwd.path), l.cwd_before) << which;
            EXPECT_EQ(launch_test::tree(l.tmp.path), l.tmp_before) << which;
            // Its own folder: the mutant (which a delete-self record may remove) and its error log.
            for (auto const& f : launch_test::tree(l.own.path))
                EXPECT_TRUE(f == "packed" || f == "stderr") << which << " wrote " << f << " beside itself";
            EXPECT_EQ(outside_slot(launch_test::tree(l.root.path)), "") << which << "\n" << err;
        }
    }
    EXPECT_EQ(signalled + exited, mutant_count);
}

} // namespace
