// Directory locks against flock(1), the tool the launcher's protocol matches.
#include "rulo/exception.h"
#include "rulo/lock_directory.h"
#include "rulo/xfile.h"

#include "tests/support/shell.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <poll.h>
#include <string>
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

} // namespace
