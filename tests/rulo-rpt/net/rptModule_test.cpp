// The socket poller: poller threads follow the number of registered sockets,
// every 900th removal packs them together, registration errors, and the
// main poller runs the queued piggyback tasks. This binary registers no
// other sockets, so the module's counts are this file's alone.
#include "rulo-rpt/net/rptModule.h"
#include "rulo/errlog.h"
#include "tests/support/framework_env.h"
#include "tests/support/shell.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using test_support::thrown;

class idle_sink : public rptModuleSink {
public:
    void event(int) override {}
};

std::vector<std::unique_ptr<rulo::socket>> udp_sockets(int n) {
    std::vector<std::unique_ptr<rulo::socket>> out;
    for (int i = 0; i < n; ++i) out.emplace_back(new rulo::socket(rulo::socket::udp, tIProcessId()));
    return out;
}

// Thread ends have no event to wait on: look again until the limit.
bool eventually(std::function<bool()> const& done) {
    auto const limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!done()) {
        if (std::chrono::steady_clock::now() > limit) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

TEST(RptModule, PollerThreadsFollowTheSocketsAndCompactionPacksThem) {
    rptModule& m = *rulo::module;
    ASSERT_EQ(m.registered(), 0u);
    rulo::object<rptModuleSink> sink(new idle_sink);
    auto sockets = udp_sockets(302);
    for (int i = 0; i < 300; ++i) m.add(sockets[i].get(), sink, rptModule::read_only);
    EXPECT_EQ(m.poller_count(), 1u);
    ASSERT_TRUE(eventually([] { return rptModule::running_threads() == 1; }));

    // The 301st finds every poller full and starts the second one, which ends with its last socket.
    m.add(sockets[300].get(), sink, rptModule::read_only);
    EXPECT_EQ(m.poller_count(), 2u);
    EXPECT_EQ(rptModule::running_threads(), 2);
    m.remove(sockets[300]->descriptor());
    EXPECT_EQ(m.poller_count(), 1u);
    EXPECT_TRUE(eventually([] { return rptModule::running_threads() == 1; }));

    // Main poller 299, second poller 1; cycles of a scratch socket (it joins
    // the emptier second poller) bring the count to 899 removals.
    m.add(sockets[300].get(), sink, rptModule::read_only);
    m.remove(sockets[0]->descriptor());
    ASSERT_EQ(m.poller_count(), 2u);
    while (m.removals_since_compaction() != rptModule::compact_every - 1) {
        m.add(sockets[301].get(), sink, rptModule::read_write);
        m.remove(sockets[301]->descriptor());
    }
    ASSERT_EQ(m.poller_count(), 2u);

    test_support::scratch_dir dir;
    rulo::errlog::set_log_file(dir.file("log.txt"));
    m.remove(sockets[1]->descriptor()); // the 900th: the second poller's socket moves to the main one
    rulo::errlog::set_log_file("");
    EXPECT_NE(test_support::read_file(dir.file("log.txt"))
                  .find("socket poller: *** status: compacted 1 sockets, removed 1 selectors"),
              std::string::npos);
    EXPECT_EQ(m.removals_since_compaction(), 0);
    EXPECT_EQ(m.poller_count(), 1u);
    EXPECT_TRUE(eventually([] { return rptModule::running_threads() == 1; }));
    EXPECT_EQ(thrown([&] { m.change(sockets[300]->descriptor(), rptModule::write_only); }), "");

    for (int i = 2; i <= 300; ++i) m.remove(sockets[i]->descriptor());
    EXPECT_EQ(m.registered(), 0u);
    EXPECT_EQ(m.poller_count(), 1u); // the main poller stays
    EXPECT_EQ(rptModule::running_threads(), 1);
}

TEST(RptModule, RegistrationErrorsNameTheOperation) {
    rptModule& m = *rulo::module;
    rulo::object<rptModuleSink> sink(new idle_sink);
    rulo::socket s(rulo::socket::udp, tIProcessId());
    m.add(&s, sink, rptModule::read_only);
    EXPECT_EQ(thrown([&] { m.add(&s, sink, rptModule::read_only); }), ":Error in 'add'");
    m.remove(s.descriptor());
    EXPECT_EQ(thrown([&] { m.remove(s.descriptor()); }), ":Error in 'remove'");
    EXPECT_EQ(thrown([&] { m.change(s.descriptor(), rptModule::read_only); }), ":Error in 'change'");
    EXPECT_EQ(m.registered(), 0u);
}

// Queued work runs on the main poller thread, under the framework lock,
// without waiting out the poll time-out.
TEST(RptModule, MainPollerRunsQueuedTasks) {
    struct task {
        std::promise<std::thread::id> ran;
        void run() { ran.set_value(std::this_thread::get_id()); }
    };
    auto* t = new task;
    std::future<std::thread::id> ran = t->ran.get_future();
    rulo::module->execute(rulo::runnable_f<task>::make(t));
    ASSERT_EQ(ran.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_NE(ran.get(), std::this_thread::get_id());
}

// The process's read-family system calls so far (recv on a socket is not one of them).
long long read_calls() {
    std::ifstream io("/proc/self/io");
    std::string key;
    long long value = -1;
    while (io >> key >> value)
        if (key == "syscr:") return value;
    return -1;
}

// A pass woken by a socket alone leaves the wake-up pipe unread: reading it
// empty would cost every event a system call that finds nothing.
TEST(RptModule, ASocketEventDoesNotReadTheWakeUpPipe) {
    if (read_calls() < 0) GTEST_SKIP() << "no /proc/self/io";
    struct counting_sink : rptModuleSink {
        std::mutex m;
        std::condition_variable cv;
        int events = 0;
        void event(int fd) override {
            char byte;
            while (::recv(fd, &byte, 1, MSG_DONTWAIT) > 0) {
            }
            std::lock_guard<std::mutex> lock(m);
            ++events;
            cv.notify_all();
        }
    };
    int const fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length), 0);
    rulo::socket s(fd, tIProcessId());
    int const sender = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    auto* sink = new counting_sink;
    rulo::object<rptModuleSink> held(sink);
    rulo::module->add(&s, held, rptModule::read_only);

    constexpr int datagrams = 200;
    long long const before = read_calls();
    for (int i = 0; i < datagrams; ++i) {
        ASSERT_EQ(::sendto(sender, "x", 1, 0, reinterpret_cast<sockaddr*>(&a), sizeof a), 1);
        std::unique_lock<std::mutex> lock(sink->m);
        ASSERT_TRUE(sink->cv.wait_for(lock, std::chrono::seconds(10), [&] { return sink->events > i; }));
    }
    long long const reads = read_calls() - before;
    rulo::module->remove(s.descriptor());
    ::close(sender);
    // One event a pass; the count itself takes a few reads of /proc.
    EXPECT_LT(reads, datagrams / 4) << "read calls during " << datagrams << " socket events";
}

} // namespace
