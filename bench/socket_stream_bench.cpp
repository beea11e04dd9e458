// Stream throughput over loopback: one rptSocket sending to another, both
// driven by the poller, against iperf3 moving the same number of bytes on the
// same machine in the same run. The closing line gives the time ratio
// (ours / iperf3): at most 2.0 is half of iperf3's throughput or better.
#include "bench/loopback_pair.h"
#include "bench/ratio_main.h"
#include "rulo/init.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int64_t block = 1 << 20;
constexpr int64_t blocks = 256; // 256 MiB per iteration

// Counts what arrives and wakes the sender's thread when a target is reached.
class counting_sink : public rptTransportSink {
public:
    void received(netbuf const& data) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bytes += data.size();
        if (m_bytes >= m_target) m_done.notify_all();
    }
    void broken() override {}
    void queue_empty() override {}
    void wait_for(int64_t total) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_target = total;
        m_done.wait(lock, [&] { return m_bytes >= m_target; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_done;
    int64_t m_bytes = 0;
    int64_t m_target = INT64_MAX;
};

class idle_sink : public rptTransportSink {
public:
    void received(netbuf const&) override {}
    void broken() override {}
    void queue_empty() override {}
};

void BM_rptSocket_stream(benchmark::State& state) {
    rulo::object<counting_sink> receiver(new counting_sink);
    bench_support::loopback_pair pair{rulo::object<rptTransportSink>(new idle_sink), receiver};
    netbuf const data = netbuf::from_string(std::string(block, 'x'));
    int64_t total = 0;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < blocks; ++i) pair.client->send(data); // queued; the poller pushes it out
        total += block * blocks;
        receiver->wait_for(total);
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    state.SetBytesProcessed(state.iterations() * block * blocks);
}

// The value after "key": in iperf3's JSON report, searched from the section.
double json_number(std::string const& json, std::string const& section, std::string const& key) {
    auto at = json.find("\"" + section + "\"");
    if (at == std::string::npos) return 0;
    at = json.find("\"" + key + "\"", at);
    if (at == std::string::npos) return 0;
    return std::atof(json.c_str() + json.find(':', at) + 1);
}

std::string run_output(std::string const& command) {
    std::string out;
    FILE* p = ::popen(command.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    ::pclose(p);
    return out;
}

// An iperf3 server on 127.0.0.1 for one client; stopped and reaped when the object goes.
class iperf3_server {
public:
    explicit iperf3_server(int port) {
        std::string const p = std::to_string(port);
        char const* argv[] = {"iperf3", "-s", "-1", "-B", "127.0.0.1", "-p", p.c_str(), nullptr};
        posix_spawn_file_actions_t quiet;
        posix_spawn_file_actions_init(&quiet);
        posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&quiet, 2, "/dev/null", O_WRONLY, 0);
        if (posix_spawnp(&m_pid, "iperf3", &quiet, nullptr, const_cast<char* const*>(argv), environ) != 0)
            m_pid = -1;
        posix_spawn_file_actions_destroy(&quiet);
    }
    ~iperf3_server() {
        if (m_pid <= 0) return;
        ::kill(m_pid, SIGTERM);
        ::waitpid(m_pid, nullptr, 0);
    }
    bool started() const { return m_pid > 0; }

private:
    pid_t m_pid = -1;
};

void BM_iperf3_stream(benchmark::State& state) {
    if (std::system("command -v iperf3 >/dev/null 2>&1") != 0) {
        state.SkipWithError("iperf3 is not installed (scripts/deps.sh)");
        return;
    }
    int const port = 20000 + (::getpid() % 20000);
    for (auto _ : state) {
        iperf3_server server(port);
        if (!server.started()) {
            state.SkipWithError("iperf3 server");
            return;
        }
        // The client tries again until the server listens (a few tries at most).
        std::string json;
        for (int tries = 0; tries < 100 && json.find("sum_received") == std::string::npos; ++tries) {
            if (tries) ::usleep(20000);
            json = run_output("iperf3 -c 127.0.0.1 -p " + std::to_string(port) + " -n " +
                              std::to_string(block * blocks) + " -J 2>/dev/null");
        }
        double const bps = json_number(json, "sum_received", "bits_per_second");
        if (bps <= 0) {
            state.SkipWithError("no iperf3 result");
            return;
        }
        state.SetIterationTime(double(block * blocks) * 8 / bps);
    }
    state.SetBytesProcessed(state.iterations() * block * blocks);
}

BENCHMARK(BM_rptSocket_stream)->Unit(benchmark::kMillisecond)->UseManualTime()->MinTime(2.0);
BENCHMARK(BM_iperf3_stream)->Unit(benchmark::kMillisecond)->UseManualTime()->MinTime(2.0);

} // namespace

int main(int argc, char** argv) {
    static rulo::init* api = new rulo::init(nullptr);
    (void)api;
    return bench_support::run_with_ratio(argc, argv, "BM_rptSocket_stream", "BM_iperf3_stream",
                                         "rptSocket stream time / iperf3 (goal <= 2.0)");
}
