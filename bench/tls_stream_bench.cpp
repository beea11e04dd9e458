// TLS stream throughput over loopback: an rptXYSSL client on one rptSocket
// sending to an rptXYSSL server on another, against iperf3 tunnelled through
// a pair of stunnel4 processes (OpenSSL) moving the same number of bytes in
// the same run, both with AES-256-CBC and SHA-1 records. The closing line
// gives the time ratio (ours / stunnel): at most 1.0 is as fast or faster.
#include "bench/loopback_pair.h"
#include "bench/ratio_main.h"
#include "rulo-rpt/tls/rptXYSSL.h"
#include "rulo-rpt/tls/xyssl_ctx.h"
#include "rulo/init.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int64_t block = 1 << 20;
constexpr int64_t blocks = 128; // 128 MiB per iteration

// Counts what arrives and wakes the sender's thread when a target is reached.
class counting_sink : public rptTransportSink {
public:
    void received(netbuf const& data) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bytes += data.size();
        if (m_bytes >= m_target) m_done.notify_all();
    }
    void broken() override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_broken = true;
        m_done.notify_all();
    }
    void queue_empty() override {}
    // False when the connection broke first.
    bool wait_for(int64_t total) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_target = total;
        m_done.wait(lock, [&] { return m_bytes >= m_target || m_broken; });
        return m_bytes >= m_target;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_done;
    int64_t m_bytes = 0;
    int64_t m_target = INT64_MAX;
    bool m_broken = false;
};

class idle_sink : public rptTransportSink {
public:
    void received(netbuf const&) override {}
    void broken() override {}
    void queue_empty() override {}
};

std::string run_output(std::string const& command) {
    std::string out;
    FILE* p = ::popen(command.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    ::pclose(p);
    return out;
}

// A certificate and key made for this run, removed with the object.
struct bench_cert {
    bench_cert() {
        char pattern[] = "/tmp/tls_bench_XXXXXX";
        dir = ::mkdtemp(pattern) ? pattern : "";
        cert = dir + "/cert.pem";
        key = dir + "/key.pem";
        run_output("openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=bench -days 1 -keyout " + key +
                   " -out " + cert + " 2>/dev/null");
    }
    ~bench_cert() { run_output("rm -rf '" + dir + "'"); }
    bool made() const { return std::ifstream(key).good(); }
    std::string dir, cert, key;
};

bench_cert& certificate() {
    static bench_cert c;
    return c;
}

void BM_rptXYSSL_stream(benchmark::State& state) {
    if (!certificate().made()) {
        state.SkipWithError("openssl could not make a certificate");
        return;
    }
    rulo::object<rulo::xyssl_ctx> client_ctx(new rulo::xyssl_ctx), server_ctx(new rulo::xyssl_ctx);
    client_ctx->set_verify_peer(false);
    server_ctx->set_verify_peer(false);
    server_ctx->set_cert(certificate().cert, certificate().key, "");
    rulo::object<counting_sink> receiver(new counting_sink);
    rulo::object<rulo::rptXYSSL> client(
        new rulo::rptXYSSL(rulo::object<rptTransportSink>(new idle_sink), client_ctx, false));
    rulo::object<rulo::rptXYSSL> server(new rulo::rptXYSSL(receiver, server_ctx, true));
    {
        bench_support::loopback_pair pair{client, server};
        server->start(pair.server);
        client->start(pair.client);
        netbuf const data = netbuf::from_string(std::string(block, 'x'));
        int64_t total = 0;
        for (auto _ : state) {
            auto start = std::chrono::steady_clock::now();
            for (int i = 0; i < blocks; ++i) client->send(data); // encrypted here, queued on the socket
            total += block * blocks;
            if (!receiver->wait_for(total)) {
                state.SkipWithError("the TLS connection broke");
                break;
            }
            state.SetIterationTime(
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        }
        client->disconnect();
        server->disconnect();
    }
    state.SetBytesProcessed(state.iterations() * block * blocks);
}

// A program run in the background for the length of one measurement; stopped
// and reaped when the object goes.
class background {
public:
    explicit background(std::vector<std::string> const& args) {
        std::vector<char*> argv;
        for (std::string const& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        posix_spawn_file_actions_t quiet;
        posix_spawn_file_actions_init(&quiet);
        posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&quiet, 2, "/dev/null", O_WRONLY, 0);
        if (posix_spawnp(&m_pid, argv[0], &quiet, nullptr, argv.data(), environ) != 0) m_pid = -1;
        posix_spawn_file_actions_destroy(&quiet);
    }
    ~background() {
        if (m_pid <= 0) return;
        ::kill(m_pid, SIGTERM);
        ::waitpid(m_pid, nullptr, 0);
    }
    bool started() const { return m_pid > 0; }

private:
    pid_t m_pid = -1;
};

// One stunnel4 end in the foreground of its process, from a configuration file.
std::vector<std::string> stunnel(std::string const& name, std::string const& accept,
                                 std::string const& connect, bool client) {
    std::string const file = certificate().dir + "/" + name + ".conf";
    std::ofstream conf(file);
    conf << "foreground = yes\npid =\n[" << name << "]\naccept = " << accept << "\nconnect = " << connect
         << "\nciphers = AES256-SHA\nsslVersion = TLSv1.2\n";
    if (client)
        conf << "client = yes\n";
    else
        conf << "cert = " << certificate().cert << "\nkey = " << certificate().key << "\n";
    return {"stunnel4", file};
}

// The value after "key": in iperf3's JSON report, searched from the section.
double json_number(std::string const& json, std::string const& section, std::string const& key) {
    auto at = json.find("\"" + section + "\"");
    if (at == std::string::npos) return 0;
    at = json.find("\"" + key + "\"", at);
    if (at == std::string::npos) return 0;
    return std::atof(json.c_str() + json.find(':', at) + 1);
}

void BM_stunnel_iperf3_stream(benchmark::State& state) {
    if (std::system("command -v iperf3 >/dev/null 2>&1 && command -v stunnel4 >/dev/null 2>&1") != 0) {
        state.SkipWithError("iperf3 or stunnel4 is not installed (scripts/deps.sh)");
        return;
    }
    if (!certificate().made()) {
        state.SkipWithError("openssl could not make a certificate");
        return;
    }
    int const base = 20000 + (::getpid() % 15000) * 3;
    std::string const iperf_port = std::to_string(base), tls_port = std::to_string(base + 1),
                      plain_port = std::to_string(base + 2);
    for (auto _ : state) {
        background server({"iperf3", "-s", "-B", "127.0.0.1", "-p", iperf_port});
        background tls_server(
            stunnel("tls_server", "127.0.0.1:" + tls_port, "127.0.0.1:" + iperf_port, false));
        background tls_client(
            stunnel("tls_client", "127.0.0.1:" + plain_port, "127.0.0.1:" + tls_port, true));
        if (!server.started() || !tls_server.started() || !tls_client.started()) {
            state.SkipWithError("iperf3 or stunnel4 did not start");
            return;
        }
        // The client tries again until the whole chain listens (a few tries at most).
        std::string json;
        for (int tries = 0; tries < 100 && json.find("sum_received") == std::string::npos; ++tries) {
            if (tries) ::usleep(50000);
            json = run_output("iperf3 -c 127.0.0.1 -p " + plain_port + " -n " +
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

BENCHMARK(BM_rptXYSSL_stream)->Unit(benchmark::kMillisecond)->UseManualTime()->MinTime(2.0);
BENCHMARK(BM_stunnel_iperf3_stream)->Unit(benchmark::kMillisecond)->UseManualTime()->MinTime(2.0);

} // namespace

int main(int argc, char** argv) {
    static rulo::init* api = new rulo::init(nullptr);
    (void)api;
    return bench_support::run_with_ratio(argc, argv, "BM_rptXYSSL_stream", "BM_stunnel_iperf3_stream",
                                         "rptXYSSL stream time / stunnel4 with iperf3 (goal <= 1.0)");
}
