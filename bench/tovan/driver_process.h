// A session end run in a process of its own (client_start_driver), its
// standard output read line by line through a pipe; stopped and reaped with
// the object. Used from one benchmark thread.
#pragma once

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace bench_support {

class driver_process {
public:
    explicit driver_process(std::vector<std::string> args) {
        int p[2];
        if (::pipe2(p, O_CLOEXEC) != 0) return;
        m_out = p[0];
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, p[1], 1);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        if (posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(p[1]);
    }
    ~driver_process() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGTERM);
            ::waitpid(m_pid, nullptr, 0);
        }
        if (m_out >= 0) ::close(m_out);
    }
    driver_process(driver_process const&) = delete;
    driver_process& operator=(driver_process const&) = delete;

    // The driver's next line; "" when it ended or said nothing within the limit.
    std::string line(int limit_ms = 30000) {
        if (m_pid <= 0) return "";
        auto const deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
        while (m_text.find('\n') == std::string::npos) {
            int const left = int(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     deadline - std::chrono::steady_clock::now())
                                     .count());
            if (left <= 0) return "";
            pollfd p{m_out, POLLIN, 0};
            if (::poll(&p, 1, left) <= 0) continue;
            char buf[256];
            ssize_t const n = ::read(m_out, buf, sizeof buf);
            if (n <= 0) return "";
            m_text.append(buf, std::size_t(n));
        }
        std::string const first = m_text.substr(0, m_text.find('\n'));
        m_text.erase(0, first.size() + 1);
        return first;
    }

private:
    pid_t m_pid = -1;
    int m_out = -1;
    std::string m_text; // read and not yet returned
};

} // namespace bench_support
