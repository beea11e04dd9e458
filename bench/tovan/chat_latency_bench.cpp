// A typed line to the other end, as a user sees it: Return pressed in the
// client's chat input (xdotool, on a private Xvfb) until the desk reports the
// line in its live chat to tovan_relay (its log). The desk and the client
// are the real programs in a session through the relay. Goal: median at most
// 200 ms, 95th percentile at most 300 ms (the GUI tick is 250 ms).
#include "bench/tovan/run_dir.h"
#include "tests/support/relay_process.h"
#include "tests/tovan/x_windows.h"
#include "tests/tovan/xvfb_server.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/inotify.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using clock_type = std::chrono::steady_clock;

using bench_support::field;
using bench_support::read_all;

// The relay, the desk and the client in one session on a private display.
struct stand {
    tovan_test::xvfb_server server{1024, 768};
    tovan_test::x_windows x{server.display()};
    test_support::relay_process relay{{"--require-login", "u:p"}};
    std::string root;
    std::vector<pid_t> pids;
    std::string client_win;

    stand() {
        char pattern[] = "/tmp/chat_latency.XXXXXX";
        if (!::mkdtemp(pattern)) throw std::runtime_error("mkdtemp");
        root = pattern;
        std::string const proxy = "127.0.0.1:" + std::to_string(relay.port());
        std::vector<std::string> const common = {
            "--vynwex", "--proxy-address",   proxy, "--force-transport", "direct",
            "--silent", "--session-message", "a=b"};
        auto desk = common;
        for (char const* a : {"--username", "u", "--password", "p", "--get-code"}) desk.push_back(a);
        start("tovan_desk", desk);
        std::string const session = relay.wait_log({"\"event\":\"session\""}, std::chrono::seconds(60));
        if (session.empty()) throw std::runtime_error("no session");
        auto client = common;
        client.push_back("--connect");
        client.push_back(field(session, "code"));
        start("tovan_client", client);
        // Both ends in chat mode: their logs say they are connected.
        auto const met = clock_type::now() + std::chrono::seconds(60);
        auto connected = [&](char const* dir, char const* log) {
            return read_all(root + "/" + dir + "/" + log).find("connection state 6\n") != std::string::npos;
        };
        while (!(connected("tovan_desk", "VYNDesk.out") && connected("tovan_client", "VYNClient.out"))) {
            if (clock_type::now() > met) throw std::runtime_error("the ends did not meet");
            relay.wait_log({"legs-joined"}, std::chrono::seconds(1));
        }
        uint32_t const w = x.wait_viewable("Tovan Client", std::chrono::seconds(60));
        if (!w || !x.focus(w, std::chrono::seconds(60))) throw std::runtime_error("no client window");
        client_win = tovan_test::x_windows::id(w);
        relay.admin("server-call " + field(session, "sid") + " desk send_chat_live");
        if (relay.wait_log({"\"rpc-result\""}).empty()) throw std::runtime_error("no live chat");
    }
    ~stand() {
        for (pid_t pid : pids) ::kill(pid, SIGKILL);
        for (pid_t pid : pids) tovan_test::wait_exit(pid, std::chrono::seconds(10));
        std::error_code ec;
        fs::remove_all(root, ec);
    }
    void start(std::string const& name, std::vector<std::string> const& args) {
        fs::path const dir = bench_support::make_run_dir(root, name);
        std::string const home = std::getenv("HOME") ? std::getenv("HOME") : "";
        setenv("HOME", (dir / "home").c_str(), 1);
        pids.push_back(
            tovan_test::spawn(server.display(), dir.string(), (dir / name).string(), args, "/dev/null"));
        setenv("HOME", home.c_str(), 1);
    }
    // Seconds from Return to the desk's live-chat line; negative when it
    // does not come within 10 s.
    double one_line(int n) {
        std::string const word = "line" + std::to_string(n) + "end";
        x.focus(uint32_t(std::stoul(client_win)), std::chrono::seconds(10));
        tovan_test::shell(server.display(), "xdotool type " + word);
        std::size_t const before = relay.log_text().size();
        auto const t0 = clock_type::now();
        tovan_test::shell(server.display(), "xdotool key Return");
        auto const deadline = t0 + std::chrono::seconds(10);
        int const notify = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        struct closer {
            int fd;
            ~closer() { ::close(fd); }
        } const close_notify{notify};
        ::inotify_add_watch(notify, relay.log_path().c_str(), IN_MODIFY);
        while (clock_type::now() < deadline) {
            std::string const log = read_all(relay.log_path());
            for (std::size_t at = log.find(word, before); at != std::string::npos;
                 at = log.find(word, at + 1)) {
                std::size_t const start = log.rfind('\n', at) + 1;
                std::string const line = log.substr(start, log.find('\n', at) - start);
                if (line.find("\"event\":\"chat_live\"") != std::string::npos &&
                    line.find("\"role\":\"desk\"") != std::string::npos)
                    return std::chrono::duration<double>(clock_type::now() - t0).count();
            }
            // The relay appends to its log: wait for the next write.
            char events[4096];
            pollfd p{notify, POLLIN, 0};
            if (::poll(&p, 1, 100) > 0) (void)!::read(notify, events, sizeof events);
        }
        return -1;
    }
};

void BM_TypedLineToTheOtherEnd(benchmark::State& state) {
    stand s;
    std::vector<double> times;
    int n = 0;
    for (auto _ : state) {
        double const t = s.one_line(n++);
        if (t < 0) {
            std::fprintf(stderr, "%s\n", s.relay.log_text().c_str());
            state.SkipWithError("a line did not arrive");
            break;
        }
        state.SetIterationTime(t);
        times.push_back(t);
    }
    if (times.empty()) return;
    std::sort(times.begin(), times.end());
    state.counters["median_ms"] = times[times.size() / 2] * 1000;
    state.counters["p95_ms"] = times[std::min(times.size() - 1, times.size() * 95 / 100)] * 1000;
}

} // namespace

int main(int argc, char** argv) {
    int const lines = std::getenv("BENCH_SHORT") ? 3 : 50;
    benchmark::RegisterBenchmark("BM_TypedLineToTheOtherEnd", BM_TypedLineToTheOtherEnd)
        ->Iterations(lines)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
