// Scale: 10,000 idle connections registered with the poller (34 poller
// threads). Reports the memory each one costs the process (resident set
// growth over the registration, counter "rss_bytes_per_socket") and the time
// one send on one of them takes. The peers are connections left in the accept
// queues of three listeners, so they hold no descriptor of this process.
#include "bench/bench_peers.h"
#include "rulo-rpt/net/rptSocket.h"
#include "rulo/errlog.h"
#include "rulo/init.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <fstream>
#include <memory>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int connections = 10000;

using bench_support::idle_sink;

int64_t resident_bytes() {
    std::ifstream statm("/proc/self/statm");
    int64_t pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * ::sysconf(_SC_PAGESIZE);
}

struct idle_connections {
    std::vector<int> listeners;
    std::vector<rulo::object<rulo::rptSocket>> sockets;
    double rss_per_socket = 0;

    idle_connections() {
        rlimit files{};
        ::getrlimit(RLIMIT_NOFILE, &files);
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
        std::vector<tIProcessId> addresses;
        for (int i = 0; i < 3; ++i) {
            bench_support::loopback_listener l(4096);
            listeners.push_back(l.fd);
            addresses.emplace_back(INADDR_LOOPBACK, l.port);
        }
        rulo::object<rptTransportSink> sink(new idle_sink);
        int64_t const before = resident_bytes();
        for (int i = 0; i < connections; ++i) {
            rulo::object<rulo::socket> s(new rulo::socket(rulo::socket::tcp, addresses[i % 3]));
            s->connect(10);
            rulo::object<rulo::rptSocket> t(new rulo::rptSocket);
            t->start(sink, s);
            sockets.push_back(t);
        }
        rss_per_socket = double(resident_bytes() - before) / connections;
    }
    ~idle_connections() {
        for (auto& t : sockets) t->disconnect();
        for (int l : listeners) ::close(l);
    }
};

void BM_send_on_one_of_10000_idle(benchmark::State& state) {
    std::unique_ptr<idle_connections> idle;
    try {
        idle = std::make_unique<idle_connections>();
    } catch (std::exception const& e) {
        state.SkipWithError(e.what());
        return;
    }
    netbuf const message = netbuf::from_string(std::string(64, 'm'));
    std::size_t next = 0;
    for (auto _ : state) {
        idle->sockets[next]->send(message);
        next = (next + 1) % idle->sockets.size();
    }
    state.counters["rss_bytes_per_socket"] = idle->rss_per_socket;
    state.counters["pollers"] = double(rulo::module->poller_count());
}

BENCHMARK(BM_send_on_one_of_10000_idle)->Unit(benchmark::kMicrosecond)->Iterations(200000);

} // namespace

int main(int argc, char** argv) {
    static rulo::init* api = new rulo::init(nullptr);
    (void)api;
    rulo::errlog::set_vlevel(-1); // 20,000 socket count lines would measure the log
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
