#include "tests/tovan/xvfb_server.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace tovan_test {

xvfb_server::xvfb_server(int width, int height) {
    int fds[2];
    if (::pipe(fds) != 0) throw std::runtime_error("pipe");
    std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
    m_pid = ::fork();
    if (m_pid == 0) {
        ::close(fds[0]);
        int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::dup2(null, 2);
        std::string fd = std::to_string(fds[1]);
        ::execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", screen.c_str(), "-nolisten", "tcp",
                 "-noreset", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(fds[1]);
    // The server writes its display number once it accepts clients.
    std::string number;
    auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (number.find('\n') == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        pollfd p{fds[0], POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        char c;
        if (::read(fds[0], &c, 1) != 1) break;
        number += c;
    }
    ::close(fds[0]);
    if (number.find('\n') == std::string::npos) {
        ::kill(m_pid, SIGTERM);
        ::waitpid(m_pid, nullptr, 0);
        throw std::runtime_error("Xvfb did not start");
    }
    number.pop_back();
    m_display = ":" + number;
}

xvfb_server::~xvfb_server() {
    if (m_pid > 0) {
        ::kill(m_pid, SIGTERM);
        if (wait_exit(m_pid, std::chrono::seconds(10)) == -1) ::waitpid(m_pid, nullptr, 0);
    }
}

window_manager::window_manager(std::string const& display)
    : m_pid(spawn(display, "/", "/usr/bin/openbox", {"--sm-disable"}, "/dev/null")) {
    if (m_pid < 0) throw std::runtime_error("fork");
    // A window manager that has taken the screen names its check window on the root.
    auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (shell(display, "xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null").find("window id") ==
           std::string::npos) {
        if (std::chrono::steady_clock::now() > deadline || ::waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
            wait_exit(m_pid, std::chrono::seconds(0)); // kills it unless it has ended
            throw std::runtime_error("openbox did not take the screen");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

window_manager::~window_manager() {
    ::kill(m_pid, SIGTERM);
    wait_exit(m_pid, std::chrono::seconds(10));
}

std::string shell(std::string const& display, std::string const& command) {
    std::string full = "DISPLAY=" + display + " " + command;
    std::FILE* p = ::popen(full.c_str(), "r");
    if (!p) return {};
    std::string out;
    char buf[512];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    ::pclose(p);
    return out;
}

pid_t spawn(std::string const& display, std::string const& dir, std::string const& program,
            std::vector<std::string> const& args, std::string const& stderr_path) {
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    return spawn_argv(display, dir, program, argv, stderr_path);
}

pid_t spawn_argv(std::string const& display, std::string const& dir, std::string const& program,
                 std::vector<std::string> const& args, std::string const& stderr_path) {
    std::vector<char*> argv;
    for (auto const& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        if (::chdir(dir.c_str()) != 0) ::_exit(126);
        ::setenv("DISPLAY", display.c_str(), 1);
        // The platform and its GL integration are the program's own choice.
        ::unsetenv("QT_QPA_PLATFORM");
        ::unsetenv("QT_XCB_GL_INTEGRATION");
        int err = ::open(stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (err >= 0) {
            ::dup2(err, 2);
            ::dup2(err, 1);
        }
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    return pid;
}

void fill_run_dir(std::string const& from, std::string const& dir, std::string const& name, bool conf) {
    namespace fs = std::filesystem;
    fs::create_directories(fs::path(dir) / "home");
    for (std::string part : {"conf", "conf_static", "translations", "dialogs.ini", "dh.pem", "server.pem"})
        if (conf || part != "conf")
            fs::copy(fs::path(from) / part, fs::path(dir) / part, fs::copy_options::recursive);
    std::error_code linked;
    if (!name.empty()) fs::create_hard_link(fs::path(from) / name, fs::path(dir) / name, linked);
    if (linked) fs::copy_file(fs::path(from) / name, fs::path(dir) / name);
}

int wait_exit(pid_t pid, std::chrono::seconds limit) {
    auto const deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        int status = 0;
        pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) return status;
        if (r < 0) return -1;
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

} // namespace tovan_test
