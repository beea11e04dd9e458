// Directory locks against flock(1), the tool the launcher's protocol matches.
#include "rulo/exception.h"
#include "rulo/lock_directory.h"
#include "rulo/xfile.h"

#include "tests/support/shell.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using test_support::shell_quote;

// A flock(1) process holding an exclusive lock on a file until destroyed.
class flock_holder {
public:
    explicit flock_holder(std::string const& path) {
        std::string const command = "exec flock " + shell_quote(path) + " sh -c 'echo $$; exec sleep 600'";
        m_pipe = ::popen(command.c_str(), "r");
        if (!m_pipe) return;
        // The child prints its id once flock(1) holds the lock.
        pollfd p{::fileno(m_pipe), POLLIN, 0};
        char line[32];
        if (::poll(&p, 1, 30000) == 1 && ::fgets(line, sizeof line, m_pipe)) m_pid = std::atoi(line);
    }
    ~flock_holder() {
        if (m_pid > 0) ::kill(m_pid, SIGTERM);
        if (m_pipe) ::pclose(m_pipe);
    }
    bool holding() const { return m_pid > 0; }

private:
    FILE* m_pipe = nullptr;
    pid_t m_pid = 0;
};

// stem followed by eight lowercase hex digits, the form of a fresh directory name.
bool random_suffixed(std::string const& name, std::string const& stem) {
    return name.size() == stem.size() + 8 && name.compare(0, stem.size(), stem) == 0 &&
           name.find_first_not_of("0123456789abcdef", stem.size()) == std::string::npos;
}

bool locked_elsewhere(std::string const& path) {
    return test_support::run_command("flock -n " + shell_quote(path) + " true").status == 1;
}

TEST(lock_directory, against_a_flock_process) {
    test_support::scratch_dir scratch;
    std::string const base = scratch.file("slot");
    rulo::create_directory(base);
    std::string const taken = base + "/writeacc.dat";
    std::string empty_dir, kept_dir;
    {
        flock_holder holder(taken);
        ASSERT_TRUE(holder.holding());
        {
            rulo::lock_directory second(base, "p");
            empty_dir = second.get_directory();
            EXPECT_TRUE(random_suffixed(empty_dir, base + "p_"));
            EXPECT_TRUE(locked_elsewhere(empty_dir + "/writeacc.dat"));

            rulo::lock_directory third(base, "p");
            kept_dir = third.get_directory();
            EXPECT_NE(kept_dir, empty_dir);
            rulo::put_file(kept_dir + "/keep", "x");
        }
        // Each release deletes its lock file; only the empty directory goes.
        EXPECT_FALSE(rulo::file_exists(empty_dir));
        EXPECT_FALSE(rulo::file_exists(kept_dir + "/writeacc.dat"));
        EXPECT_TRUE(rulo::file_exists(kept_dir + "/keep"));
        EXPECT_TRUE(rulo::file_exists(taken)); // the other process's lock is not ours to delete
    }
    EXPECT_EQ(rulo::lock_directory(base, "p").get_directory(), base); // free again: the base itself

    // No directory can be made under a missing parent: a bounded search, then a failure.
    EXPECT_THROW(rulo::lock_directory(scratch.file("none/dir"), "p"), rulo::exception);
}

TEST(lock_directory, lock_file_release) {
    test_support::scratch_dir scratch;
    std::string const path = scratch.file("writeacc.dat");
    auto held = std::make_unique<rulo::lock_file>(path);
    ASSERT_TRUE(held->held());
    EXPECT_FALSE(rulo::lock_file(path).held()); // a second open file of this process is excluded too
    ::unlink(path.c_str());
    held.reset(); // the file vanished under the holder; the lock goes all the same
    EXPECT_TRUE(rulo::lock_file(path).held());
}

// Runs f in a child process and gives its exit status, or -1 when it did not
// end within a generous limit (it is then killed).
int status_in_child(std::function<int()> const& f) {
    int ends[2];
    if (::pipe(ends) != 0) return -1;
    pid_t const child = ::fork();
    if (child == 0) {
        ::close(ends[0]);
        ::_exit(f());
    }
    ::close(ends[1]);
    pollfd p{ends[0], POLLIN, 0};
    bool const ended = ::poll(&p, 1, 30000) == 1; // the child's end closes when it exits
    ::close(ends[0]);
    if (!ended) ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// What sits at the lock file's name is never truncated, followed or waited on.
TEST(lock_directory, lock_file_takes_only_a_plain_file) {
    test_support::scratch_dir scratch;
    std::string const victim = scratch.file("victim"), missing = scratch.file("missing");
    test_support::write_file(victim, "keep");
    struct {
        char const* what;
        std::function<void(std::string const&)> make;
        bool held;
    } const cases[] = {
        {"existing file", [](std::string const& p) { test_support::write_file(p, "old"); }, true},
        {"link to a file", [&](std::string const& p) { ASSERT_EQ(::symlink(victim.c_str(), p.c_str()), 0); },
         false},
        {"link to nothing",
         [&](std::string const& p) { ASSERT_EQ(::symlink(missing.c_str(), p.c_str()), 0); }, false},
        {"FIFO", [](std::string const& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0644), 0); }, false},
        {"directory", [](std::string const& p) { rulo::create_directory(p); }, false},
    };
    int n = 0;
    for (auto const& c : cases) {
        SCOPED_TRACE(c.what);
        std::string const dir = scratch.file("d" + std::to_string(n++)), path = dir + "/writeacc.dat";
        rulo::create_directory(dir);
        c.make(path);
        EXPECT_EQ(status_in_child([&] {
                      rulo::lock_file lock(path);
                      bool const intact = !c.held || test_support::read_file(path) == "old";
                      return lock.held() == c.held && intact ? 0 : 1;
                  }),
                  0);
    }
    EXPECT_EQ(test_support::read_file(victim), "keep");
    EXPECT_FALSE(rulo::file_exists(missing));

    // A directory that is a link is passed over: its target gets no lock file.
    std::string const link = scratch.file("link");
    ASSERT_EQ(::symlink(scratch.file("d0").c_str(), link.c_str()), 0);
    {
        rulo::lock_directory locked(link, "");
        EXPECT_TRUE(random_suffixed(locked.get_directory(), link + "_"));
        EXPECT_FALSE(rulo::file_exists(scratch.file("d0/writeacc.dat")));
    }
}

} // namespace
