// The network helpers: forbidden descriptor numbers, address texts, option
// texts, the interface lists (against what the kernel shows in /sys and
// /proc), the wait on one descriptor and the MTU limits.
#include "rulo-rpt/net/make_socket.h"
#include "rulo-rpt/net/net_util.h"
#include "rulo-rpt/net/process_id.h"
#include "rulo-rpt/net/socket.h"
#include "tests/support/framework_env.h"
#include "tests/support/shell.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <climits>
#include <dirent.h>
#include <fstream>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

namespace {

using test_support::thrown;

// The lowest free descriptor number, as the system hands it out.
int lowest_free() {
    int fd = ::dup(0);
    ::close(fd);
    return fd;
}

TEST(MakeSocket, ForbiddenNumbersAreSkippedAndFreedAgain) {
    int const forbidden = rulo::make_forbidden_socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(forbidden, 0);
    ::close(forbidden); // closed, but still not to be handed out
    ASSERT_EQ(lowest_free(), forbidden);
    int const other = rulo::make_socket(AF_INET, SOCK_DGRAM, 0);
    EXPECT_NE(other, forbidden);
    EXPECT_EQ(lowest_free(), forbidden); // the refused number was closed again
    // Through the API table, as a plugin's copy calls it: every creation entry is filled.
    rulo_api_t const& api = test_support::host_api();
    EXPECT_TRUE(api.make_forbidden_socket && api.remove_forbidden_socket && api.make_socket2 &&
                api.make_forbidden_socket2 && api.make_socket3);
    int const from_table = api.make_socket3(AF_INET, SOCK_DGRAM, 0, nullptr, nullptr);
    EXPECT_NE(from_table, forbidden);
    ::close(from_table);

    rulo::remove_forbidden_socket(forbidden + 1000); // unknown: changes nothing
    rulo::remove_forbidden_socket(forbidden);
    int const again = rulo::make_socket(AF_INET, SOCK_DGRAM, 0);
    EXPECT_EQ(again, forbidden);
    ::close(again);
    ::close(other);
    EXPECT_EQ(rulo::make_socket(AF_INET + 1000, SOCK_DGRAM, 0), -1);
}

TEST(ProcessId, ResolvesHostAndPortTexts) {
    struct row {
        char const* text;
        unsigned short default_port;
        char const* expected; // address text, or the error
    };
    for (row r : {
             // A port is never wrapped or guessed.
             row{"127.0.0.1:70000", 80,
                 "Bad address [127.0.0.1:70000]: the port is not a number from 1 to 65535"},
             row{"127.0.0.1", 8080, "127.0.0.1:8080"},
             row{"127.0.0.1:", 99, "Bad address [127.0.0.1:]: the port is not a number from 1 to 65535"},
             row{"127.0.0.1:x", 99, "Bad address [127.0.0.1:x]: the port is not a number from 1 to 65535"},
             row{"127.0.0.1:0", 99, "Bad address [127.0.0.1:0]: the port is not a number from 1 to 65535"},
             row{"localhost:25", 1, "127.0.0.1:25"},
             row{"127.0.0.1:65535", 1, "127.0.0.1:65535"},
             row{"10.1.2.3:443:80", 1,
                 "Bad address [10.1.2.3:443:80]: the port is not a number from 1 to 65535"},
             row{"nohost.invalid:80", 1, "Unknown host nohost.invalid"},
             row{":80", 1, "Unknown host "},
         }) {
        std::string got;
        std::string const error =
            thrown([&] { got = rulo::addr_as_string(rulo::get_procid(r.text, r.default_port)); });
        EXPECT_EQ(error.empty() ? got : error, r.expected) << r.text;
    }

    struct ports_row {
        char const* text;
        char const* host;
        std::vector<unsigned short> ports; // after 7, which was there before
        bool fails;
    };
    for (ports_row const& r : {
             ports_row{"relay.lan:80, 443", "relay.lan", {7, 80, 443}, false},
             ports_row{"h:1,,65535", "h", {7, 1, 65535}, false},
             ports_row{"h:1,,70000 x", "", {7}, true},
             ports_row{"h:0", "", {7}, true},
             ports_row{"no port", "", {7}, true},
             ports_row{"h: , ,", "", {7}, true},
         }) {
        std::string host;
        std::vector<unsigned short> ports{7};
        std::string const error = thrown([&] { rulo::get_procid(r.text, host, ports); });
        EXPECT_TRUE(r.fails ? error.rfind(get_procid_e, 0) == 0 : error.empty()) << r.text << ": " << error;
        EXPECT_EQ(host, r.host) << r.text;
        EXPECT_EQ(ports, r.ports) << r.text;
    }
}

TEST(ProcessId, TextsAndOptions) {
    for (auto [text, ip] : std::vector<std::pair<char const*, bool>>{
             {"300.1.2.3", true}, {"1.2.3.4x", true}, {"1.2.3", false}, {"", false}, {"a.b.c.d", false}}) {
        EXPECT_EQ(rulo::is_ip(text), ip) << text;
    }
    EXPECT_EQ(rulo::addr_as_string(tIProcessId(0xC0000207, 65535)), "192.0.2.7:65535");
    EXPECT_EQ(rulo::addr_as_string(0u), "0.0.0.0");

    std::map<std::string, std::string> options{{"keep", "mine"}};
    rulo::unpack_search_params(options, "keep=theirs&new=a%20b&=x&plus=1+2");
    EXPECT_EQ(options,
              (std::map<std::string, std::string>{{"keep", "mine"}, {"new", "a b"}, {"plus", "1 2"}}));
}

// What the kernel says, read by other means than the code under test.
std::vector<std::string> sys_hardware_addresses() {
    std::vector<std::string> out;
    DIR* d = ::opendir("/sys/class/net");
    while (dirent* e = d ? ::readdir(d) : nullptr) {
        std::string const name = e->d_name;
        if (name == "." || name == ".." || name == "lo") continue;
        std::string address = test_support::read_file("/sys/class/net/" + name + "/address");
        address.resize(std::min<std::size_t>(address.size(), 17));
        std::transform(address.begin(), address.end(), address.begin(), ::toupper);
        out.push_back(address);
    }
    if (d) ::closedir(d);
    std::sort(out.begin(), out.end());
    return out;
}

TEST(Interfaces, ListsMatchWhatTheKernelShows) {
    std::vector<std::string> const all = rulo::get_nifs(false);
    EXPECT_NE(std::find(all.begin(), all.end(), "127.0.0.1"), all.end());
    for (std::string const& a : rulo::get_nifs(true)) EXPECT_NE(a.substr(0, 4), "127.") << a;

    std::vector<std::string> hw = rulo::get_nifs_hw();
    std::sort(hw.begin(), hw.end());
    EXPECT_EQ(hw, sys_hardware_addresses());
}

// The thread's scheduler state from /proc: 'S' while it sleeps in a wait.
char thread_state(long tid) {
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto close = stat.rfind(')');
    return close == std::string::npos || close + 2 >= stat.size() ? '?' : stat[close + 2];
}

TEST(WaitForEvent, ZeroPollsOnceAndHugeTimeOutsStayLong) {
    int p[2];
    ASSERT_EQ(::pipe(p), 0);
    bool readable = true, error = true;
    rulo::wait_for_event(p[0], &readable, nullptr, &error, 0);
    EXPECT_FALSE(readable);
    EXPECT_FALSE(error);

    // 2^29 seconds in milliseconds is a multiple of 2^32: unclamped, poll()
    // would get a time-out of 0 and return at once without the byte.
    for (long seconds : {536870912L, LONG_MAX}) {
        std::atomic<long> tid{0};
        std::atomic<bool> returned{false};
        bool got = false;
        std::thread waiter([&] {
            tid = ::syscall(SYS_gettid);
            rulo::wait_for_event(p[0], &got, nullptr, nullptr, seconds);
            returned = true;
        });
        while (!returned && (tid == 0 || thread_state(tid) != 'S')) std::this_thread::yield();
        EXPECT_EQ(::write(p[1], "x", 1), 1);
        waiter.join();
        EXPECT_TRUE(got) << seconds;
        char byte;
        ASSERT_EQ(::read(p[0], &byte, 1), 1);
    }
    ::close(p[0]);
    ::close(p[1]);
    bool invalid = false;
    rulo::wait_for_event(p[0], nullptr, nullptr, &invalid, 0); // closed by now
    EXPECT_TRUE(invalid);
}

TEST(SetMtu, LimitsSendsAndTheSendBuffer) {
    rulo::socket s(rulo::socket::tcp, tIProcessId());
    rulo::set_mtu(s, 0);
    rulo::set_mtu(s, -5);
    EXPECT_EQ(s.max_send(), 0x7fffffff);
    EXPECT_EQ(s.min_max_send_buf(), 0);
    rulo::set_mtu(s, 1400);
    EXPECT_EQ(s.max_send(), 1400);
    EXPECT_EQ(s.min_max_send(), 1400);
    EXPECT_EQ(s.min_max_send_buf(), 2100);
    int value = 0;
    socklen_t length = sizeof value;
    ::getsockopt(s.descriptor(), SOL_SOCKET, SO_SNDBUF, &value, &length);
    EXPECT_EQ(value, 4608); // the kernel doubles and raises it to its minimum
}

} // namespace
