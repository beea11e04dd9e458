#include "tests/rulo-rpt/choose/choose_kit.h"

#include "rulo/errlog.h"
#include "tests/support/shell.h"

#include <QSettings>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <net/if.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace choose_kit {
namespace {

char const inside_variable[] = "TOVAN_PRIVATE_NETWORK";

std::mutex g_mutex;
std::vector<std::string> g_lines;
bool g_capturing = false;

void record(char const* line) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_capturing) g_lines.emplace_back(line);
}

void loopback_up() {
    int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) throw std::runtime_error("socket for the loopback interface");
    ifreq request{};
    std::strcpy(request.ifr_name, "lo");
    bool ok = ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags |= IFF_UP;
    ok = ok && ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    ::close(fd);
    if (!ok) throw std::runtime_error("cannot bring the loopback interface up");
}

} // namespace

std::string fresh_home() {
    static test_support::scratch_dir base;
    static int serial = 0;
    if (serial == 0) {
        std::filesystem::create_directories(base.file("config"));
        ::setenv("XDG_CONFIG_HOME", base.file("config").c_str(), 1);
    }
    std::string home = base.file("home" + std::to_string(++serial));
    std::filesystem::create_directories(home);
    ::setenv("HOME", home.c_str(), 1);
    ::unsetenv("HTTP_PROXY");
    QSettings additional(QStringLiteral("Sepra"), QStringLiteral("AutoTransport additional servers"));
    additional.clear();
    additional.sync();
    return home;
}

log_capture::log_capture() {
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_lines.clear();
        g_capturing = true;
    }
    rulo::errlog::set_logline_callback_all(record);
}

log_capture::~log_capture() {
    rulo::errlog::set_logline_callback_all(nullptr);
    std::lock_guard<std::mutex> lock(g_mutex);
    g_capturing = false;
}

std::vector<std::string> log_capture::lines() const {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_lines;
}

int log_capture::count(std::string const& text) const {
    std::lock_guard<std::mutex> lock(g_mutex);
    return int(std::count(g_lines.begin(), g_lines.end(), text));
}

netns in_private_network(std::string const& test_name) {
    if (std::getenv(inside_variable)) {
        loopback_up();
        return netns::run_body;
    }
    if (test_support::run_command("unshare --net true 2>/dev/null").status != 0) return netns::unavailable;
    std::string self = std::filesystem::read_symlink("/proc/self/exe");
    test_support::command_output run = test_support::run_command(
        std::string(inside_variable) + "=1 unshare --net " + test_support::shell_quote(self) +
        " --gtest_filter=" + test_support::shell_quote(test_name) + " --gtest_color=no");
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.out.find("[  PASSED  ] 1 test"), std::string::npos) << run.out;
    return netns::ran_there;
}

} // namespace choose_kit
