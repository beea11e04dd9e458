#include "tests/support/squid_proxy.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace test_support {

namespace {

int const start_limit_ms = 60000;
int const stop_limit_ms = 20000;
int const poll_step_ms = 20;

// squid names its shared-memory segments after the service name: one of its
// own for every instance, so that parallel tests do not collide.
std::string unique_service_name() {
    static std::atomic<int> count{0};
    return "rulotest" + std::to_string(::getpid()) + "n" + std::to_string(++count);
}

[[noreturn]] void fail_errno(std::string const& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

sockaddr_in loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

int tcp_socket() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) fail_errno("socket");
    return fd;
}

void set_timeouts(int fd, int ms) {
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

int bound_port(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) fail_errno("getsockname");
    return ntohs(a.sin_port);
}

// A port nobody listens on right now; another process could take it before
// squid binds it, which start-up notices and retries.
int free_loopback_port() {
    int fd = tcp_socket();
    sockaddr_in a = loopback(0);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) fail_errno("bind");
    int port = bound_port(fd);
    ::close(fd);
    return port;
}

bool accepts_connections(int port) {
    int fd = tcp_socket();
    sockaddr_in a = loopback(port);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

struct scheme_setup {
    char const* name;
    char const* helper;
    char const* helper_args; // "@DIR@" stands for the scratch directory
    char const* more;        // further lines for the scheme
};
scheme_setup const setups[] = {
    {"basic", "/usr/lib/squid/basic_ncsa_auth", " @DIR@passwd", "auth_param basic realm rulo-test\n"},
    {"digest", "/usr/lib/squid/digest_file_auth", " @DIR@passwd", "auth_param digest realm rulo-test\n"},
    // NTLM authenticates the connection: its three messages must share one.
    {"ntlm", "/usr/lib/squid/ntlm_fake_auth", "", "auth_param ntlm keep_alive on\n"},
};

// Loopback only, no cache, nothing written outside the scratch directory, and
// only authenticated CONNECTs to the one tunnel port let through. DNS, should
// squid ever ask, goes to the loopback too.
char const config_template[] = R"(http_port 127.0.0.1:@PORT@
visible_hostname rulo-test
dns_nameservers 127.0.0.1
pid_filename @DIR@squid.pid
cache_log @DIR@cache.log
access_log stdio:@DIR@access.log
cache_store_log none
coredump_dir @DIR@
netdb_filename none
pinger_enable off
digest_generation off
cache deny all
cache_mem 4 MB
shutdown_lifetime 0 seconds
@USER@auth_param @SCHEME@ program @HELPER@
auth_param @SCHEME@ children 1
@MORE@acl tunnel_port port @TUNNEL@
acl CONNECT method CONNECT
acl authed proxy_auth REQUIRED
http_access deny !to_localhost
http_access deny !CONNECT
http_access deny !tunnel_port
http_access allow authed
http_access deny all
)";

std::string replace_all(std::string text, std::string const& from, std::string const& to) {
    for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
        text.replace(at, from.size(), to);
    return text;
}

// Started as root, squid drops to an unprivileged user, which must be able to
// reach the scratch directory (mkdtemp makes it 0700) and write its logs.
std::string hand_over_to_squid_user(std::string const& dir) {
    if (::geteuid() != 0) return "";
    passwd const* pw = ::getpwnam("proxy");
    if (!pw) pw = ::getpwnam("nobody");
    if (!pw) throw std::runtime_error("running as root, but neither user 'proxy' nor 'nobody' exists");
    std::string name = pw->pw_name;
    if (run_command("chown -R " + std::to_string(pw->pw_uid) + ":" + std::to_string(pw->pw_gid) + " " +
                    shell_quote(dir))
            .status != 0)
        throw std::runtime_error("cannot hand " + dir + " to user " + name);
    return "cache_effective_user " + name + "\n";
}

std::string echo_one_line_on(int fd) {
    std::string line;
    char c;
    while (line.empty() || line.back() != '\n') {
        ssize_t n = ::recv(fd, &c, 1, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) fail_errno("echo listener receive");
        if (n == 0) break;
        line += c;
    }
    if (::send(fd, line.data(), line.size(), MSG_NOSIGNAL) != ssize_t(line.size()))
        fail_errno("echo listener send");
    return line;
}

} // namespace

bool squid_proxy::installed(scheme s) {
    return ::access(binary, X_OK) == 0 && ::access(setups[int(s)].helper, X_OK) == 0;
}

squid_proxy::squid_proxy(scheme s, int tunnel_port, std::string const& user, std::string const& password,
                         std::string const& extra_config)
    : m_service(unique_service_name()) {
    // The password files are "user:password" lines.
    if (user.find_first_of(":\n") != std::string::npos || password.find_first_of(":\n") != std::string::npos)
        throw std::invalid_argument("squid_proxy: a ':' or newline in the user or password");
    std::string secret = password + "\n";
    if (s == scheme::basic) {
        command_output hash = run_command("openssl passwd -apr1 " + shell_quote(password));
        if (hash.status != 0 || hash.out.empty()) throw std::runtime_error("openssl passwd failed");
        secret = hash.out;
    }
    write_file(m_dir.file("passwd"), user + ":" + secret);
    std::string dir = m_dir.file("");
    scheme_setup const& setup = setups[int(s)];
    std::string config = config_template;
    for (auto const& [from, to] :
         {std::pair<char const*, std::string>{"@USER@", hand_over_to_squid_user(dir)},
          {"@SCHEME@", setup.name},
          {"@HELPER@", std::string(setup.helper) + setup.helper_args},
          {"@MORE@", setup.more},
          {"@TUNNEL@", std::to_string(tunnel_port)},
          {"@DIR@", dir}})
        config = replace_all(config, from, to);
    config += extra_config + "\n";

    // Retried only when another process took the port between probe and bind.
    std::string why;
    for (int attempt = 0; attempt < 3; ++attempt) {
        m_port = free_loopback_port();
        if (start_once(replace_all(config, "@PORT@", std::to_string(m_port)), why)) return;
        if (why.find("Address already in use") == std::string::npos) break;
    }
    throw std::runtime_error(why);
}

squid_proxy::~squid_proxy() {
    stop();
}

std::string squid_proxy::diagnostics() const {
    std::string text;
    for (char const* name : {"squid.out", "cache.log"}) {
        std::string content;
        try {
            content = read_file(m_dir.file(name));
        } catch (std::exception const&) {
            content = "(none)";
        }
        text += std::string("\n--- ") + name + " ---\n" + content;
    }
    return text;
}

bool squid_proxy::start_once(std::string const& config_text, std::string& why) {
    std::string config = m_dir.file("squid.conf");
    write_file(config, config_text);

    // The subshell keeps squid's standard error, where it reports, in the output.
    command_output parsed = run_command("(" + std::string(binary) + " -n " + m_service + " -k parse -f " +
                                        shell_quote(config) + " 2>&1)");
    if (parsed.status != 0) {
        why = "squid refuses its configuration:\n" + parsed.out + diagnostics();
        return false;
    }

    std::string out = m_dir.file("squid.out");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::string program = binary;
    std::string foreground = "-N", n = "-n", f = "-f";
    char* argv[] = {program.data(), foreground.data(), n.data(), m_service.data(),
                    f.data(),       config.data(),     nullptr};
    int rc = posix_spawn(&m_pid, binary, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        m_pid = -1;
        why = std::string("cannot start squid: ") + std::strerror(rc);
        return false;
    }

    for (int waited = 0; waited < start_limit_ms; waited += poll_step_ms) {
        int status = 0;
        if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
            reaped();
            why = "squid exited during start-up (status " + std::to_string(status) + ")" + diagnostics();
            return false;
        }
        // Its own word first: another process may hold the port squid failed to bind.
        if (diagnostics().find("Accepting HTTP Socket connections") != std::string::npos &&
            accepts_connections(m_port))
            return true;
        ::poll(nullptr, 0, poll_step_ms);
    }
    why = "squid did not listen on port " + std::to_string(m_port) + " within " +
          std::to_string(start_limit_ms / 1000) + " s" + diagnostics();
    stop();
    return false;
}

void squid_proxy::stop() {
    if (m_pid <= 0) return;
    ::kill(m_pid, SIGTERM);
    for (int waited = 0; waited < stop_limit_ms; waited += poll_step_ms) {
        if (::waitpid(m_pid, nullptr, WNOHANG) == m_pid) return reaped();
        ::poll(nullptr, 0, poll_step_ms);
    }
    ::kill(m_pid, SIGKILL);
    ::waitpid(m_pid, nullptr, 0);
    reaped();
}

void squid_proxy::reaped() {
    m_pid = -1;
    // A squid that was killed or failed leaves its shared-memory segments behind.
    run_command("rm -f /dev/shm/" + m_service + "-*");
}

loopback_client::loopback_client(int port, int timeout_ms) {
    m_fd = tcp_socket();
    set_timeouts(m_fd, timeout_ms);
    sockaddr_in a = loopback(port);
    if (::connect(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        int e = errno;
        ::close(m_fd);
        errno = e;
        fail_errno("connect to 127.0.0.1:" + std::to_string(port));
    }
}

loopback_client::~loopback_client() {
    ::close(m_fd);
}

void loopback_client::send(std::string const& bytes) {
    for (size_t done = 0; done < bytes.size();) {
        ssize_t n = ::send(m_fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) fail_errno("send");
        done += size_t(n);
    }
}

std::string loopback_client::receive_some() {
    char buffer[65536];
    for (;;) {
        ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
        if (n >= 0) return std::string(buffer, size_t(n));
        if (errno != EINTR) fail_errno("receive");
    }
}

std::string loopback_client::receive_exactly(size_t n) {
    std::string got;
    while (got.size() < n) {
        std::string more = receive_some();
        if (more.empty())
            throw std::runtime_error("peer closed after " + std::to_string(got.size()) + " bytes");
        got += more;
    }
    if (got.size() > n)
        throw std::runtime_error("peer sent more than the " + std::to_string(n) + " bytes expected");
    return got;
}

echo_listener::echo_listener(int timeout_ms) : m_timeout_ms(timeout_ms) {
    m_fd = tcp_socket();
    sockaddr_in a = loopback(0);
    if (::bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(m_fd, 4) != 0) {
        ::close(m_fd);
        fail_errno("listen on 127.0.0.1");
    }
    m_port = bound_port(m_fd);
}

echo_listener::~echo_listener() {
    ::close(m_fd);
}

std::string echo_listener::echo_one_line() {
    pollfd p{m_fd, POLLIN, 0};
    int ready = ::poll(&p, 1, m_timeout_ms);
    if (ready == 0) throw std::runtime_error("echo listener: no connection within the limit");
    if (ready < 0) fail_errno("echo listener poll");
    int fd = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) fail_errno("echo listener accept");
    set_timeouts(fd, m_timeout_ms);
    try {
        std::string line = echo_one_line_on(fd);
        ::close(fd);
        return line;
    } catch (...) {
        ::close(fd);
        throw;
    }
}

} // namespace test_support
