#include "tests/support/private_network.h"

#include "tests/support/shell.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <net/if.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace test_support {
namespace {

char const inside_variable[] = "TOVAN_PRIVATE_NETWORK";

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

netns in_private_network(std::string const& test_name) {
    if (std::getenv(inside_variable)) {
        loopback_up();
        return netns::run_body;
    }
    if (run_command("unshare --net true 2>/dev/null").status != 0) return netns::unavailable;
    std::string self = std::filesystem::read_symlink("/proc/self/exe");
    command_output run = run_command(std::string(inside_variable) + "=1 unshare --net " + shell_quote(self) +
                                     " --gtest_filter=" + shell_quote(test_name) + " --gtest_color=no");
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.out.find("[  PASSED  ] 1 test"), std::string::npos) << run.out;
    return netns::ran_there;
}

} // namespace test_support
