#include "tests/support/squid_proxy.h"

#include "rulo/text.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace test_support {

namespace {

int const step_ms = 50, start_limit_ms = 60000, stop_limit_ms = 20000;

// Throws what failed with errno's text, closing fd first when given one.
[[noreturn]] void fail(std::string const& what, int fd = -1) {
    std::string const why = std::strerror(errno);
    if (fd >= 0) ::close(fd);
    throw std::runtime_error(what + ": " + why);
}

struct scheme_setup {
    char const* name;
    char const* helper; // with its arguments; "@DIR@" stands for the scratch directory
    char const* more;   // further lines for the scheme
};
scheme_setup const setups[] = {
    {"basic", "/usr/lib/squid/basic_ncsa_auth @DIR@passwd", "auth_param basic realm rulo-test\n"},
    {"digest", "/usr/lib/squid/digest_file_auth @DIR@passwd", "auth_param digest realm rulo-test\n"},
    // NTLM authenticates the connection: its three messages must share one.
    {"ntlm", "/usr/lib/squid/ntlm_fake_auth", "auth_param ntlm keep_alive on\n"},
};

// Loopback only, no cache, nothing written outside the scratch directory, and
// only authenticated CONNECTs to the one tunnel port let through.
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
@USER@@AUTH@acl tunnel_port port @TUNNEL@
acl CONNECT method CONNECT
acl tunnel_methods method CONNECT @METHODS@
http_access deny !to_localhost
http_access deny !tunnel_methods
http_access deny !tunnel_port
http_access allow @WHO@
http_access deny all
)";

// Started as root, squid drops to user "proxy", which must be able to reach
// the scratch directory (mkdtemp makes it 0700) and write its logs.
std::string hand_over_to_squid_user(std::string const& dir) {
    if (::geteuid() != 0) return "";
    if (run_command("chown -R proxy: " + shell_quote(dir)).status != 0)
        throw std::runtime_error("running as root, but cannot hand " + dir + " to user 'proxy'");
    return "cache_effective_user proxy\n";
}

} // namespace

bool squid_proxy::installed(scheme s) {
    if (s == scheme::none) return ::access(binary, X_OK) == 0;
    std::string const helper = setups[int(s)].helper;
    return ::access(binary, X_OK) == 0 && ::access(helper.substr(0, helper.find(' ')).c_str(), X_OK) == 0;
}

squid_proxy::squid_proxy(scheme s, int tunnel_port, std::string const& user, std::string const& password,
                         std::string const& extra_config, bool plain_http) {
    // squid names its shared-memory segments after the service name: one of
    // its own for every instance, so that parallel tests do not collide.
    static int count = 0;
    m_service = "rulotest" + std::to_string(::getpid()) + "n" + std::to_string(++count);
    // The password files are "user:password" lines; Basic's holds a crypt hash.
    std::string secret = password + "\n";
    if (s == scheme::basic) secret = run_command("openssl passwd -apr1 " + shell_quote(password)).out;
    if (secret.empty()) throw std::runtime_error("openssl passwd failed");
    write_file(m_dir.file("passwd"), user + ":" + secret);

    std::string const dir = m_dir.file("");
    std::string config = config_template + extra_config + "\n";
    std::string auth;
    if (s != scheme::none)
        auth = std::string("auth_param @SCHEME@ program @HELPER@\nauth_param @SCHEME@ children 1\n") +
               setups[int(s)].more + "acl authed proxy_auth REQUIRED\n";
    for (auto const& [from, to] :
         {std::pair<char const*, std::string>{"@USER@", hand_over_to_squid_user(dir)},
          {"@AUTH@", auth},
          {"@WHO@", s == scheme::none ? "all" : "authed"},
          {"@METHODS@", plain_http ? "GET POST" : ""},
          {"@SCHEME@", s == scheme::none ? "" : setups[int(s)].name},
          {"@HELPER@", s == scheme::none ? "" : setups[int(s)].helper},
          {"@TUNNEL@", std::to_string(tunnel_port)},
          {"@DIR@", dir}})
        rulo::replace_all(config, from, to);

    // A free port may be taken by another process before squid binds it: retry.
    std::string why;
    for (int attempt = 0; attempt < 3; ++attempt) {
        m_port = loopback_socket(0).port();
        std::string with_port = config;
        rulo::replace_all(with_port, "@PORT@", std::to_string(m_port));
        why = start_once(with_port);
        if (why.empty()) return;
        if (why.find("Address already in use") == std::string::npos) break;
    }
    throw std::runtime_error(why);
}

std::string squid_proxy::diagnostics() const {
    return run_command("cd " + shell_quote(m_dir.file("")) +
                       " && for f in squid.out cache.log; do echo \"--- $f ---\"; cat $f 2>&1; done")
        .out;
}

std::string squid_proxy::start_once(std::string const& config_text) {
    std::string const config = m_dir.file("squid.conf"), out = m_dir.file("squid.out");
    write_file(config, config_text);
    // The subshell keeps squid's standard error, where it complains, in the output.
    command_output parsed = run_command("(" + std::string(binary) + " -n " + m_service + " -k parse -f " +
                                        shell_quote(config) + " 2>&1)");
    if (parsed.status != 0) return "squid refuses its configuration:\n" + parsed.out + diagnostics();

    m_pid = ::fork();
    if (m_pid < 0) fail("fork");
    if (m_pid == 0) { // only async-signal-safe calls until exec
        int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(fd, 1);
        ::dup2(fd, 2);
        ::execl(binary, binary, "-N", "-n", m_service.c_str(), "-f", config.c_str(), nullptr);
        ::_exit(127);
    }
    for (int waited = 0; waited < start_limit_ms; waited += step_ms) {
        if (::waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
            m_pid = -1;
            stop(); // clears its shared memory
            return "squid exited during start-up\n" + diagnostics();
        }
        try { // its own word first, then a connection: another process may hold the port
            if (diagnostics().find("Accepting HTTP Socket connections") != std::string::npos) {
                loopback_socket probe(m_port);
                return "";
            }
        } catch (std::runtime_error const&) {
        }
        ::usleep(step_ms * 1000);
    }
    std::string const why = "squid did not listen on port " + std::to_string(m_port) + " in time\n";
    stop();
    return why + diagnostics();
}

// SIGTERM, then SIGKILL if squid outlives the limit; reaps it either way.
void squid_proxy::stop() {
    if (m_pid > 0) {
        ::kill(m_pid, SIGTERM);
        for (int waited = 0; ::waitpid(m_pid, nullptr, WNOHANG) != m_pid; waited += step_ms) {
            if (waited == stop_limit_ms) ::kill(m_pid, SIGKILL);
            ::usleep(step_ms * 1000);
        }
        m_pid = -1;
    }
    // A squid that was killed or failed leaves its shared-memory segments behind.
    run_command("rm -f /dev/shm/" + m_service + "-*");
}

loopback_socket::loopback_socket(int port) : m_fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    if (m_fd < 0) fail("socket");
    timeval limit{15, 0};
    for (int option : {SO_RCVTIMEO, SO_SNDTIMEO})
        ::setsockopt(m_fd, SOL_SOCKET, option, &limit, sizeof limit);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    auto const* address = reinterpret_cast<sockaddr const*>(&a);
    if (port != 0 && ::connect(m_fd, address, sizeof a) != 0)
        fail("connect to port " + std::to_string(port), m_fd);
    if (port == 0 && (::bind(m_fd, address, sizeof a) != 0 || ::listen(m_fd, 4) != 0)) fail("listen", m_fd);
}

loopback_socket::~loopback_socket() {
    ::close(m_fd);
}

int loopback_socket::port() const {
    sockaddr_in a{};
    socklen_t length = sizeof a;
    if (::getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &length) != 0) fail("getsockname");
    return ntohs(a.sin_port);
}

void loopback_socket::send(std::string const& bytes) {
    for (size_t done = 0; done < bytes.size();) {
        ssize_t n = ::send(m_fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) fail("send");
        done += size_t(n);
    }
}

std::string loopback_socket::receive(size_t n) {
    std::string got;
    do {
        char buffer[65536];
        ssize_t r = ::recv(m_fd, buffer, n ? std::min(sizeof buffer, n - got.size()) : sizeof buffer, 0);
        if (r < 0) fail("receive");
        if (r == 0 && n)
            throw std::runtime_error("peer closed after " + std::to_string(got.size()) + " bytes");
        got.append(buffer, size_t(r));
    } while (got.size() < n);
    return got;
}

std::string loopback_socket::echo_one_line() {
    int fd = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC); // the time limit holds here too
    if (fd < 0) fail("accept");
    std::string line;
    char c;
    while ((line.empty() || line.back() != '\n') && ::recv(fd, &c, 1, 0) == 1) line += c;
    ::send(fd, line.data(), line.size(), MSG_NOSIGNAL); // the peer's receive checks it came back
    ::close(fd);
    return line;
}

} // namespace test_support
