// A client's start when its plugin package is already in its cache, as a
// user sees it: from the client's exec to its auto-start plugin's lib_init,
// against, in the same runs, the exec to the session being up (the client's
// log says "connection state 6"). The desk and the client are the real
// programs in a session through tovan_relay, which serves the catalogue and
// the package, on a private Xvfb. A first, untimed meeting fills the client's
// HOME cache; every timed run starts the desk and then the client afresh in
// the same run directories. Goal: lib_init at most 300 ms beyond session up.
#include "bench/tovan/run_dir.h"
#include "tests/support/relay_process.h"
#include "tests/tovan/xvfb_server.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using clock_type = std::chrono::steady_clock;

using bench_support::field;
using bench_support::read_all;

int count_of(std::string const& text, std::string const& part) {
    int n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

struct times {
    double to_lib_init = -1, to_session_up = -1;
};

struct stand {
    std::string root = make_root();
    tovan_test::xvfb_server server{1024, 768};
    test_support::relay_process relay{relay_options(root)};
    std::string const fifo = root + "/lib_init.fifo";
    int fifo_fd = -1;
    std::vector<pid_t> pids;

    static std::string make_root() {
        char pattern[] = "/tmp/cached_start.XXXXXX";
        if (!::mkdtemp(pattern)) throw std::runtime_error("mkdtemp");
        return pattern;
    }
    // The package (signed with the build's key) and its catalogue, made before the relay starts.
    static std::vector<std::string> relay_options(std::string const& root) {
        fs::create_directories(root + "/served");
        std::string const make =
            std::string(PLUGIN_PACK) + " --output " + root +
            "/served/bpinit_1_0.plugin --dir bpinit_1_0 --file libbpinit.so=" + BENCH_PLUGIN +
            " --head name=bpinit --head version=1.0 --head platform=linux64"
            " --head lib=libbpinit.so --head download_ticket=bpinit_1_0.plugin"
            " --head auto_start=true --sign " +
            TOVAN_PLUGIN_KEY_FILE;
        if (std::system(make.c_str()) != 0) throw std::runtime_error("plugin_pack failed");
        std::ofstream(root + "/catalogue.ini") << "name=bpinit\nversion=1.0\nplatform=linux64\n"
                                                  "lib=libbpinit.so\ndownload_ticket=bpinit_1_0.plugin\n"
                                                  "auto_start=true\n";
        return {"--files", root + "/served", "--catalogue", root + "/catalogue.ini"};
    }

    stand() {
        for (char const* name : {"tovan_desk", "tovan_client"}) bench_support::make_run_dir(root, name);
        if (::mkfifo(fifo.c_str(), 0600) != 0) throw std::runtime_error("mkfifo");
        // Read-write, so the plugin's non-blocking open always finds a reader.
        fifo_fd = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fifo_fd < 0) throw std::runtime_error("fifo");
    }
    ~stand() {
        stop();
        ::close(fifo_fd);
        std::error_code ec;
        fs::remove_all(root, ec);
    }
    pid_t start(std::string const& name, std::vector<std::string> const& args, bool stamp) {
        std::string const dir = root + "/" + name;
        std::string const home = std::getenv("HOME") ? std::getenv("HOME") : "";
        setenv("HOME", (dir + "/home").c_str(), 1);
        if (stamp) setenv("BP_INIT_FIFO", fifo.c_str(), 1);
        pid_t const pid = tovan_test::spawn(server.display(), dir, dir + "/" + name, args, "/dev/null");
        setenv("HOME", home.c_str(), 1);
        unsetenv("BP_INIT_FIFO");
        pids.push_back(pid);
        return pid;
    }
    void stop() {
        for (pid_t pid : pids) ::kill(pid, SIGKILL);
        for (pid_t pid : pids) tovan_test::wait_exit(pid, std::chrono::seconds(10));
        pids.clear();
        // What the killed programs had unpacked (a clean exit removes it).
        for (char const* name : {"tovan_desk", "tovan_client"})
            for (auto const& entry : fs::directory_iterator(fs::path(root) / name))
                if (entry.path().filename().string().rfind("bpinit_1_0", 0) == 0)
                    fs::remove_all(entry.path());
    }

    // One meeting: the desk up with its code, then the client started; the
    // seconds from the client's exec to lib_init and to its session being up.
    times meet() {
        std::string const proxy = "127.0.0.1:" + std::to_string(relay.port());
        std::vector<std::string> const common = {"--vynwex", "--proxy-address", proxy, "--force-transport",
                                                 "direct"};
        std::string const client_log = root + "/tovan_client/VYNClient.out";
        ::unlink(client_log.c_str());
        int const sessions = count_of(relay.log_text(), "\"event\":\"session\"");
        auto desk = common;
        for (char const* a : {"--username", "u", "--password", "p", "--get-code"}) desk.push_back(a);
        start("tovan_desk", desk, false);
        std::string session;
        for (auto const limit = clock_type::now() + std::chrono::seconds(60); session.empty();) {
            if (clock_type::now() > limit) throw std::runtime_error("no session");
            relay.wait_log({"\"event\":\"session\""}, std::chrono::milliseconds(100));
            std::string const log = relay.log_text();
            if (count_of(log, "\"event\":\"session\"") > sessions) {
                auto const at = log.rfind("\"event\":\"session\"");
                session = log.substr(log.rfind('\n', at) + 1, log.find('\n', at) - log.rfind('\n', at) - 1);
            }
        }
        char drain[64];
        while (::read(fifo_fd, drain, sizeof drain) > 0) {
        }
        int const notify = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        ::inotify_add_watch(notify, (root + "/tovan_client").c_str(), IN_MODIFY | IN_CREATE);
        auto client = common;
        client.push_back("--connect");
        client.push_back(field(session, "code"));
        times t;
        auto const t0 = clock_type::now();
        start("tovan_client", client, true);
        auto const deadline = t0 + std::chrono::seconds(60);
        while ((t.to_lib_init < 0 || t.to_session_up < 0) && clock_type::now() < deadline) {
            pollfd p[2] = {{fifo_fd, POLLIN, 0}, {notify, POLLIN, 0}};
            ::poll(p, 2, 50);
            auto const now = clock_type::now();
            if ((p[0].revents & POLLIN) && ::read(fifo_fd, drain, sizeof drain) > 0 && t.to_lib_init < 0)
                t.to_lib_init = std::chrono::duration<double>(now - t0).count();
            if (p[1].revents & POLLIN) {
                char events[4096];
                while (::read(notify, events, sizeof events) > 0) {
                }
            }
            if (t.to_session_up < 0 && read_all(client_log).find("connection state 6\n") != std::string::npos)
                t.to_session_up = std::chrono::duration<double>(now - t0).count();
        }
        ::close(notify);
        stop();
        return t;
    }
};

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void BM_CachedClientStart(benchmark::State& state) {
    stand s;
    // Untimed: the client downloads the package into its HOME's cache.
    times const first = s.meet();
    if (first.to_lib_init < 0 || first.to_session_up < 0) {
        state.SkipWithError("the first meeting did not load the plugin");
        return;
    }
    std::vector<double> init, up;
    for (auto _ : state) {
        times const t = s.meet();
        if (t.to_lib_init < 0 || t.to_session_up < 0) {
            std::fprintf(stderr, "%s\n", read_all(s.root + "/tovan_client/VYNClient.out").c_str());
            state.SkipWithError("the client did not load its plugin or reach the session");
            break;
        }
        state.SetIterationTime(t.to_lib_init);
        init.push_back(t.to_lib_init);
        up.push_back(t.to_session_up);
    }
    if (init.empty()) return;
    state.counters["lib_init_median_ms"] = median(init) * 1000;
    state.counters["session_up_median_ms"] = median(up) * 1000;
    state.counters["beyond_ms"] = (median(init) - median(up)) * 1000;
}

} // namespace

int main(int argc, char** argv) {
    benchmark::RegisterBenchmark("BM_CachedClientStart", BM_CachedClientStart)
        ->Iterations(std::getenv("BENCH_SHORT") ? 1 : 10)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
