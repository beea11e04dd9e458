// Download throughput of one file from the relay server's "PLUGINS" service
// (tovan_relay, a process of its own, serving --files DIR) through the relay
// mux client's downloader, against socat streaming the same file over a plain
// TCP connection, in the same run. The file is 256 MiB (16 MiB in a short
// pass, --benchmark_min_time below 0.1 s). The closing line gives the time
// ratio (socat / ours, so above 1 is faster): goal at least 0.5.
#include "bench/bench_peers.h"
#include "bench/ratio_main.h"
#include "bench/relay_stand.h"
#include "rulo-rpt/rpc/SRDownloader.h"
#include "rulo/init.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

char const* const file_name = "plugin.bin";
int64_t file_size = int64_t(256) << 20;

// The served directory and its one file of pseudo-random bytes, made on
// first use for the run and removed by main; empty when it cannot be made.
std::string served_dir;

std::string const& served() {
    static bool tried = false;
    if (!tried) {
        tried = true;
        char pattern[] = "/tmp/relay_download_bench_XXXXXX";
        if (!::mkdtemp(pattern)) return served_dir;
        served_dir = pattern;
        std::ofstream out(served_dir + "/" + file_name, std::ios::binary);
        std::string chunk(1 << 20, '\0');
        uint64_t x = 88172645463325252ull;
        for (int64_t at = 0; at < file_size; at += int64_t(chunk.size())) {
            for (std::size_t i = 0; i < chunk.size(); i += 8) {
                x ^= x << 13, x ^= x >> 7, x ^= x << 17;
                std::memcpy(&chunk[i], &x, 8);
            }
            out.write(chunk.data(), std::streamsize(chunk.size()));
        }
    }
    return served_dir;
}

// Counts what arrives of a download and wakes the waiter when it ends.
class counting_downloads : public rulo::SRDownloaderSink {
public:
    void download_packet(std::string, netbuf const& data) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bytes += int64_t(data.size());
    }
    void download_error(std::string, std::string text) override { end("error: " + text); }
    void download_cancelled(std::string) override { end("cancelled"); }
    void download_complete(std::string) override { end("complete"); }

    // Clears the count and the outcome before a download.
    void reset() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bytes = 0;
        m_outcome.clear();
    }
    // The outcome of the download, with the byte count, once it has ended
    // (at most 120 s).
    std::string wait(int64_t& bytes) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_ended.wait_for(lock, std::chrono::seconds(120), [&] { return !m_outcome.empty(); });
        bytes = m_bytes;
        return m_outcome.empty() ? "no end within 120 s" : m_outcome;
    }

private:
    void end(std::string outcome) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_outcome = std::move(outcome);
        m_ended.notify_all();
    }
    std::mutex m_mutex;
    std::condition_variable m_ended;
    int64_t m_bytes = 0;
    std::string m_outcome;
};

void BM_relay_download(benchmark::State& state) {
    if (served().empty()) {
        state.SkipWithError("no directory for the file");
        return;
    }
    bench_support::relay_stand stand({"--files", served()});
    if (!stand.connected()) {
        state.SkipWithError("no session with the relay");
        return;
    }
    rulo::object<counting_downloads> sink(new counting_downloads);
    rulo::object<rulo::SRDownloader> downloader = stand.sr->create_downloader(sink);
    for (auto _ : state) {
        sink->reset();
        auto const start = std::chrono::steady_clock::now();
        downloader->download(file_name, uint64_t(file_size), 0);
        int64_t bytes = 0;
        std::string const outcome = sink->wait(bytes);
        if (outcome != "complete" || bytes != file_size) {
            state.SkipWithError(("download: " + outcome).c_str());
            break;
        }
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    state.SetBytesProcessed(state.iterations() * file_size);
}

// socat sends the file to the one client it accepts and ends; the client
// reads until the end of the stream. Timed from the connection on.
void BM_socat_file_stream(benchmark::State& state) {
    if (!bench_support::have_programs("socat")) {
        state.SkipWithError("socat is not installed (scripts/deps.sh)");
        return;
    }
    if (served().empty()) {
        state.SkipWithError("no directory for the file");
        return;
    }
    std::string const path = served() + "/" + file_name;
    std::string buf(1 << 20, '\0');
    for (auto _ : state) {
        bench_support::loopback_listener probe;
        ::close(probe.fd);
        bench_support::background sender(
            {"socat", "-u", "OPEN:" + path + ",rdonly",
             "TCP-LISTEN:" + std::to_string(probe.port) + ",bind=127.0.0.1,reuseaddr"});
        int fd = -1;
        // Tried again while socat starts (at most 10 s).
        for (int tries = 0; fd < 0 && tries < 1000; ++tries) {
            fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            a.sin_port = htons(probe.port);
            if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
                ::close(fd);
                fd = -1;
                ::usleep(10000);
            }
        }
        if (fd < 0) {
            state.SkipWithError("socat did not listen");
            break;
        }
        auto const start = std::chrono::steady_clock::now();
        int64_t bytes = 0;
        for (ssize_t n; (n = ::recv(fd, buf.data(), buf.size(), 0)) > 0;) bytes += n;
        auto const end = std::chrono::steady_clock::now();
        ::close(fd);
        if (bytes != file_size) {
            state.SkipWithError("socat sent a short file");
            break;
        }
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
    }
    state.SetBytesProcessed(state.iterations() * file_size);
}

BENCHMARK(BM_relay_download)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK(BM_socat_file_stream)->Unit(benchmark::kMillisecond)->UseManualTime();

} // namespace

int main(int argc, char** argv) {
    static rulo::init* api = new rulo::init(nullptr);
    (void)api;
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], "--benchmark_min_time=", 21) == 0 && std::atof(argv[i] + 21) < 0.1)
            file_size = int64_t(16) << 20;
    int const status = bench_support::run_with_ratio(argc, argv, "BM_socat_file_stream", "BM_relay_download",
                                                     "relay download / socat file stream (goal >= 0.5)");
    std::error_code ec;
    if (!served_dir.empty()) std::filesystem::remove_all(served_dir, ec);
    return status;
}
