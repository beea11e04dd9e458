#include "rulo/process.h"

#include "rulo/clock.h"
#include "rulo/exception.h"
#include "rulo/thread.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <fcntl.h>
#include <mutex>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace rulo {

namespace {

// Everything the child needs, prepared before the fork: after it the child
// may not allocate, lock or call anything that is not async-signal-safe,
// because another thread of this process may have held the allocator's or
// the loader's lock at the moment of the fork.
class exec_plan {
public:
    exec_plan(std::string const& file, std::string const& arg0, std::vector<std::string> const& args)
        : m_strings(1, arg0) {
        m_strings.insert(m_strings.end(), args.begin(), args.end());
        for (auto& s : m_strings) m_argv.push_back(s.data());
        m_argv.push_back(nullptr);
        find_candidates(file);
        m_envp = environ;

        // Bound of the fallback close loop, for kernels without close_range.
        rlimit lim{};
        m_max_fd = ::getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY
                       ? int(std::min<rlim_t>(lim.rlim_cur, 1 << 20))
                       : 1 << 16;
        sigemptyset(&m_no_signals);
        m_default_action.sa_handler = SIG_DFL;
        sigemptyset(&m_default_action.sa_mask);
    }
    // The argument and path pointers point into the members.
    exec_plan(exec_plan const&) = delete;
    exec_plan& operator=(exec_plan const&) = delete;

    // In the child: only descriptors 0-2 survive.
    void close_inherited() const noexcept {
        if (::close_range(3, ~0U, 0) == 0) return;
        for (int fd = 3; fd < m_max_fd; ++fd) ::close(fd);
    }

    // In the child: runs the program or ends the child with status.
    [[noreturn]] void exec(int status) const noexcept {
        // A program must not start with the signal mask of whichever thread
        // forked, nor with SIGPIPE ignored the way network code sets it.
        ::sigprocmask(SIG_SETMASK, &m_no_signals, nullptr);
        ::sigaction(SIGPIPE, &m_default_action, nullptr);
        for (char const* path : m_candidates) ::execve(path, m_argv.data(), m_envp);
        ::_exit(status);
    }

private:
    // The search execvp does, done here because execvp itself is not
    // async-signal-safe.
    void find_candidates(std::string const& file) {
        if (file.empty()) return;
        if (file.find('/') != std::string::npos) {
            m_paths.push_back(file);
        } else {
            char const* env = ::getenv("PATH");
            std::string path = env ? env : "/bin:/usr/bin";
            size_t start = 0;
            for (;;) {
                size_t end = path.find(':', start);
                std::string dir =
                    path.substr(start, end == std::string::npos ? std::string::npos : end - start);
                m_paths.push_back((dir.empty() ? std::string(".") : dir) + "/" + file);
                if (end == std::string::npos) break;
                start = end + 1;
            }
        }
        for (auto const& p : m_paths) m_candidates.push_back(p.c_str());
    }

    std::vector<std::string> m_strings;
    std::vector<char*> m_argv;
    std::vector<std::string> m_paths;
    std::vector<char const*> m_candidates;
    char** m_envp = nullptr;
    int m_max_fd = 0;
    sigset_t m_no_signals;
    struct sigaction m_default_action {};
};

// Waits for the end of pid, whatever signals arrive meanwhile.
pid_t reap(pid_t pid, int& status) {
    pid_t r;
    do r = ::waitpid(pid, &status, 0);
    while (r < 0 && errno == EINTR);
    return r;
}

void run_detached(exec_plan const& plan) {
    pid_t pid = ::fork();
    if (pid < 0) throw exception::function("system");
    if (pid == 0) {
        plan.close_inherited();
        ::setsid();
        // _Fork runs no fork handlers: nothing of this process's libraries
        // may run here. The middle process ends at once, so the program is
        // re-parented and never waits as a zombie of the caller.
        pid_t grandchild = ::_Fork();
        if (grandchild != 0) ::_exit(grandchild < 0 ? 1 : 0);
        plan.exec(1);
    }
    int status = 0;
    if (reap(pid, status) < 0) throw exception::function("system");
}

void run_timed(exec_plan const& plan, long long timeout) {
    // Milliseconds, so that a limit of n seconds is never cut short by the
    // rounding of a whole-second clock.
    int64_t const deadline = add_saturated(relative_time(), seconds_to_ms(int64_t(timeout)));

    pid_t pid = ::fork();
    if (pid < 0) throw exception::function("system");
    if (pid == 0) {
        plan.close_inherited();
        plan.exec(1);
    }
    // Short programs are common: poll soon at first, then every 100 ms.
    for (int64_t pause = 1;; pause = std::min<int64_t>(pause * 2, 100)) {
        int status = 0;
        pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r < 0 && errno != EINTR) throw exception::function("system");
        // Without WUNTRACED only an exit or a killing signal is reported.
        if (r == pid) return;
        int64_t left = deadline - relative_time();
        if (left <= 0) break;
        ::Sleep(unsigned(std::min(left, pause)));
    }
    ::kill(pid, SIGKILL);
    int status = 0;
    reap(pid, status);
    throw exception::function("system");
}

std::mutex g_opener_mutex;
std::vector<std::string> g_opener{"/usr/bin/env", "xdg-open"};

} // namespace

void process::system(std::string file, std::vector<std::string> const& args, long long timeout) {
    exec_plan const plan(file, file, args);
    if (timeout == -1)
        run_detached(plan);
    else
        run_timed(plan, timeout);
}

std::string get_command_result(char const* command) {
    if (!command) return "";
    exec_plan const plan("/bin/sh", "sh", {"-c", command});
    int fds[2];
    // Close-on-exec, so that programs other threads start meanwhile do not
    // hold the write end open and keep the read below from ever ending.
    if (::pipe2(fds, O_CLOEXEC) != 0) return "";
    pid_t pid = ::fork();
    if (pid < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        return "";
    }
    if (pid == 0) {
        if (fds[1] == STDOUT_FILENO)
            ::fcntl(STDOUT_FILENO, F_SETFD, 0);
        else if (::dup2(fds[1], STDOUT_FILENO) < 0)
            ::_exit(127);
        plan.close_inherited();
        plan.exec(127);
    }
    ::close(fds[1]);

    std::string out;
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fds[0], buf, sizeof buf);
        if (n > 0)
            out.append(buf, size_t(n));
        else if (n == 0 || errno != EINTR)
            break;
    }
    ::close(fds[0]);
    int status = 0;
    reap(pid, status);

    if (!out.empty() && out.back() == '\n') out.pop_back();
    if (!out.empty() && out.back() == '\r') out.pop_back();
    return out;
}

void set_desktop_opener(std::vector<std::string> command) {
    std::lock_guard<std::mutex> lock(g_opener_mutex);
    g_opener = command.empty() ? std::vector<std::string>{"/usr/bin/env", "xdg-open"} : std::move(command);
}

void generic_open(std::string target) {
    std::vector<std::string> command;
    {
        std::lock_guard<std::mutex> lock(g_opener_mutex);
        command = g_opener;
    }
    std::string file = command.front();
    command.erase(command.begin());
    command.push_back(std::move(target));
    process::system(std::move(file), command, -1);
}

void open_link(std::string url, bool) {
    generic_open(std::move(url));
}

int get_current_process_id() {
    return int(::getpid());
}

} // namespace rulo

namespace xstd {

void get_hostname(std::string& host, std::string& domain) {
    char buf[512];
    if (::gethostname(buf, sizeof buf) != 0) throw rulo::exception::function("get_hostname");
    buf[sizeof buf - 1] = 0;
    std::string name = buf;
    size_t dot = name.find('.');
    if (dot == std::string::npos) {
        host = name;
        domain.clear();
    } else {
        host = name.substr(0, dot);
        domain = name.substr(dot + 1);
    }
}

} // namespace xstd
