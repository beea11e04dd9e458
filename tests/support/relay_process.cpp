#include "tests/support/relay_process.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef TOVAN_RELAY_PATH
#error "TOVAN_RELAY_PATH names the relay binary"
#endif

namespace test_support {

namespace {

bool has(std::vector<std::string> const& v, char const* option) {
    return std::find(v.begin(), v.end(), option) != v.end();
}

int remaining_ms(std::chrono::steady_clock::time_point deadline) {
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::max<long long>(0, left.count()));
}

} // namespace

relay_process::relay_process(std::vector<std::string> options, std::string dir,
                             std::chrono::milliseconds limit)
    : m_dir(std::move(dir)) {
    if (m_dir.empty()) {
        char const* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/relay_test.XXXXXX";
        if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp");
        m_dir = pattern;
        m_own_dir = true;
    }
    std::vector<std::string> argv{TOVAN_RELAY_PATH};
    if (!has(options, "--log")) argv.insert(argv.end(), {"--log", log_path()});
    if (!has(options, "--cert"))
        argv.insert(argv.end(), {"--cert", cert_path(), "--key", m_dir + "/key.pem"});
    argv.insert(argv.end(), options.begin(), options.end());
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);

    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    pid_t const parent = ::getpid();
    m_pid = ::fork();
    if (m_pid < 0) throw std::runtime_error("fork");
    if (m_pid == 0) { // async-signal-safe calls only until exec
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(126);
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    m_in = in[1];
    m_out = out[0];
    std::string line;
    auto const deadline = std::chrono::steady_clock::now() + limit;
    if (!read_line(m_out, m_buffer, line, deadline) || line.rfind("listening ", 0) != 0) {
        stop();
        throw std::runtime_error("relay did not start: '" + line + "'");
    }
    m_port = static_cast<unsigned short>(std::stoi(line.substr(line.rfind(':') + 1)));
    if (has(options, "--admin")) {
        if (!read_line(m_out, m_buffer, line, deadline) || line.rfind("admin ", 0) != 0) {
            stop();
            throw std::runtime_error("relay did not name its admin port: '" + line + "'");
        }
        m_admin_port = static_cast<unsigned short>(std::stoi(line.substr(line.rfind(':') + 1)));
    }
}

relay_process::~relay_process() {
    stop();
    if (m_out >= 0) ::close(m_out);
    if (m_admin >= 0) ::close(m_admin);
    std::error_code ec;
    if (m_own_dir) std::filesystem::remove_all(m_dir, ec);
}

bool relay_process::read_line(int fd, std::string& buffer, std::string& line,
                              std::chrono::steady_clock::time_point deadline) {
    while (true) {
        auto nl = buffer.find('\n');
        if (nl != std::string::npos) {
            line = buffer.substr(0, nl);
            buffer.erase(0, nl + 1);
            return true;
        }
        pollfd p{fd, POLLIN, 0};
        int r = ::poll(&p, 1, remaining_ms(deadline));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        char buf[4096];
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) return false;
        buffer.append(buf, static_cast<std::size_t>(n));
    }
}

std::string relay_process::admin(std::string const& command, std::chrono::milliseconds limit) {
    std::string text = command + "\n";
    if (m_admin_port && m_admin < 0) {
        m_admin = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(m_admin_port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(m_admin, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
            throw std::runtime_error("relay admin: cannot connect");
    }
    int const to = m_admin_port ? m_admin : m_in;
    int const from = m_admin_port ? m_admin : m_out;
    std::string& buffer = m_admin_port ? m_admin_buffer : m_buffer;
    ssize_t const written = m_admin_port ? ::send(to, text.data(), text.size(), MSG_NOSIGNAL)
                            : to >= 0    ? ::write(to, text.data(), text.size())
                                         : -1;
    if (written != static_cast<ssize_t>(text.size()))
        throw std::runtime_error("relay admin: cannot write '" + command + "'");
    auto const deadline = std::chrono::steady_clock::now() + limit;
    std::string reply, line;
    while (read_line(from, buffer, line, deadline)) {
        if (line == "ok") return reply;
        if (line.rfind("error", 0) == 0) throw std::runtime_error("relay admin '" + command + "': " + line);
        reply += line + "\n";
    }
    throw std::runtime_error("relay admin '" + command + "': no reply");
}

unsigned long long relay_process::connection_of(unsigned short local_port) {
    std::istringstream in(admin("list"));
    std::string line, needle = " 127.0.0.1:" + std::to_string(local_port) + " ";
    while (std::getline(in, line))
        if (line.find(needle) != std::string::npos) return std::stoull(line.substr(5));
    return 0;
}

std::string relay_process::log_text() const {
    std::ifstream in(log_path());
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string relay_process::wait_log(std::vector<std::string> const& parts,
                                    std::chrono::milliseconds limit) const {
    auto const deadline = std::chrono::steady_clock::now() + limit;
    // Woken by each write to the log (the relay flushes every line); the
    // watch is set before the first look so no line slips between them.
    int const watch = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (watch >= 0) ::inotify_add_watch(watch, log_path().c_str(), IN_MODIFY);
    std::string found;
    while (true) {
        std::istringstream in(log_text());
        std::string line;
        while (found.empty() && std::getline(in, line)) {
            bool all = true;
            for (auto const& p : parts) all = all && line.find(p) != std::string::npos;
            if (all) found = line;
        }
        if (!found.empty() || std::chrono::steady_clock::now() >= deadline) break;
        pollfd p{watch, POLLIN, 0};
        // Without a watch, look again every 50 ms.
        int r =
            ::poll(watch >= 0 ? &p : nullptr, watch >= 0 ? 1 : 0, watch >= 0 ? remaining_ms(deadline) : 50);
        if (r > 0) {
            char events[4096];
            while (::read(watch, events, sizeof events) > 0) {
            }
        }
    }
    if (watch >= 0) ::close(watch);
    return found;
}

bool relay_process::running() {
    if (m_pid < 0) return false;
    int status = 0;
    if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
        m_pid = -1;
        return false;
    }
    return true;
}

int relay_process::stop(std::chrono::milliseconds limit) {
    if (m_pid < 0) return -1;
    if (m_in >= 0) {
        ::close(m_in);
        m_in = -1;
    }
    ::kill(m_pid, SIGTERM);
    // A process descriptor becomes readable when the process ends.
    int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, m_pid, 0));
    if (pidfd >= 0) {
        pollfd p{pidfd, POLLIN, 0};
        int r;
        do r = ::poll(&p, 1, static_cast<int>(limit.count()));
        while (r < 0 && errno == EINTR);
        ::close(pidfd);
        if (r == 0) ::kill(m_pid, SIGKILL);
    } else {
        ::kill(m_pid, SIGKILL);
    }
    int status = 0;
    while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
    }
    m_pid = -1;
    return status;
}

} // namespace test_support
