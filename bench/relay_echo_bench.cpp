// Echo throughput through the relay server (tovan_relay, a process of its
// own): the relay mux client sends blocks on an "ECHO" channel and counts
// what comes back, on a plain channel and on a secure one (inside the TLS
// control link). The same bytes make the same round through outside
// programs in the same run: plainly through a socat forwarder to an echo
// thread, and through a stunnel4 client and server pair (OpenSSL, AES-256-CBC
// with SHA-1 records) to the same echo thread. The closing lines give the
// time ratios (theirs / ours, so above 1 is faster): goals at least 0.5 for
// the plain channel against socat and at least 1.0 for the secure channel
// against stunnel4.
#include "bench/bench_peers.h"
#include "bench/ratio_main.h"
#include "bench/relay_stand.h"
#include "rulo/init.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <chrono>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using bench_support::counting_sink;
using bench_support::listening_program;
using bench_support::loopback_listener;

constexpr int64_t block = 256 * 1024;
constexpr int64_t blocks = 128; // 32 MiB out and back per iteration

void relay_echo(benchmark::State& state, bool secure) {
    bench_support::relay_stand stand;
    if (!stand.connected()) {
        state.SkipWithError("no session with the relay");
        return;
    }
    rulo::object<counting_sink> echoed(new counting_sink);
    rulo::object<rptTransport> channel = stand.sr->get_transport("ECHO", echoed, secure);
    netbuf const data = netbuf::from_string(std::string(block, 'e'));
    int64_t total = 0;
    for (auto _ : state) {
        auto const start = std::chrono::steady_clock::now();
        for (int i = 0; i < blocks; ++i) channel->send(data); // queued on the multiplexer
        total += block * blocks;
        if (!echoed->wait_for(total)) {
            state.SkipWithError("the relay connection broke");
            break;
        }
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    channel->disconnect();
    state.SetBytesProcessed(state.iterations() * block * blocks * 2);
}

void BM_relay_echo_plain(benchmark::State& state) {
    relay_echo(state, false);
}

void BM_relay_echo_secure(benchmark::State& state) {
    relay_echo(state, true);
}

bool all_bytes(int fd, char* data, int64_t n, bool sending) {
    for (int64_t at = 0; at < n;) {
        ssize_t const k = sending ? ::send(fd, data + at, size_t(n - at), MSG_NOSIGNAL)
                                  : ::recv(fd, data + at, size_t(n - at), 0);
        if (k <= 0) return false;
        at += k;
    }
    return true;
}

// Sends back what it reads, one connection after the other, each until it ends.
class echo_thread {
public:
    echo_thread() {
        m_thread = std::thread([this] {
            std::string buf(block, '\0');
            for (int fd; (fd = ::accept(m_listener.fd, nullptr, nullptr)) >= 0;) {
                for (ssize_t n; (n = ::recv(fd, buf.data(), buf.size(), 0)) > 0;)
                    if (!all_bytes(fd, buf.data(), n, true)) break;
                ::close(fd);
            }
        });
    }
    ~echo_thread() {
        // Unblocks an accept still waiting; a connection made ends with its client.
        ::shutdown(m_listener.fd, SHUT_RDWR);
        m_thread.join();
        ::close(m_listener.fd);
    }
    uint16_t port() const { return m_listener.port; }

private:
    loopback_listener m_listener;
    std::thread m_thread;
};

// A connection to 127.0.0.1:port, tried again while the program that
// listens there is starting (at most 10 s); -1 when none came up.
int connect_when_listening(uint16_t port) {
    for (int tries = 0; tries < 1000; ++tries) {
        int const fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
        ::close(fd);
        ::usleep(10000);
    }
    return -1;
}

// The same bytes as relay_echo, out and back over a TCP connection to a chain
// of outside programs ending at the echo thread, one connection for the run.
void echo_through(benchmark::State& state, int fd) {
    if (fd < 0) {
        state.SkipWithError("the outside program did not listen");
        return;
    }
    std::string out(block * blocks, 'e'), in(block * blocks, '\0');
    for (auto _ : state) {
        auto const start = std::chrono::steady_clock::now();
        std::thread sender([&] { all_bytes(fd, out.data(), int64_t(out.size()), true); });
        bool const back = all_bytes(fd, in.data(), int64_t(in.size()), false);
        sender.join();
        if (!back) {
            state.SkipWithError("the connection ended");
            break;
        }
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    ::close(fd);
    state.SetBytesProcessed(state.iterations() * block * blocks * 2);
}

void BM_socat_echo(benchmark::State& state) {
    if (!bench_support::have_programs("socat")) {
        state.SkipWithError("socat is not installed (scripts/deps.sh)");
        return;
    }
    echo_thread echo;
    listening_program forwarder([&](uint16_t port) {
        return std::vector<std::string>{"socat",
                                        "TCP-LISTEN:" + std::to_string(port) + ",bind=127.0.0.1,reuseaddr",
                                        "TCP:127.0.0.1:" + std::to_string(echo.port())};
    });
    echo_through(state, forwarder.started() ? connect_when_listening(forwarder.port()) : -1);
}

void BM_stunnel_echo(benchmark::State& state) {
    if (!bench_support::have_programs("stunnel4")) {
        state.SkipWithError("stunnel4 is not installed (scripts/deps.sh)");
        return;
    }
    bench_support::bench_cert certificate;
    if (!certificate.made()) {
        state.SkipWithError("openssl could not make a certificate");
        return;
    }
    echo_thread echo;
    listening_program server([&](uint16_t port) {
        return bench_support::stunnel(certificate, "tls_server", "127.0.0.1:" + std::to_string(port),
                                      "127.0.0.1:" + std::to_string(echo.port()), false);
    });
    listening_program client([&](uint16_t port) {
        return bench_support::stunnel(certificate, "tls_client", "127.0.0.1:" + std::to_string(port),
                                      server.address(), true);
    });
    bool const up = server.started() && client.started();
    echo_through(state, up ? connect_when_listening(client.port()) : -1);
}

BENCHMARK(BM_relay_echo_plain)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK(BM_socat_echo)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK(BM_relay_echo_secure)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK(BM_stunnel_echo)->Unit(benchmark::kMillisecond)->UseManualTime();

} // namespace

int main(int argc, char** argv) {
    static rulo::init* api = new rulo::init(nullptr);
    (void)api;
    return bench_support::run_with_ratios(argc, argv,
                                          {{"BM_socat_echo", "BM_relay_echo_plain",
                                            "relay echo, plain channel / socat forwarder (goal >= 0.5)"},
                                           {"BM_stunnel_echo", "BM_relay_echo_secure",
                                            "relay echo, secure channel / stunnel4 pair (goal >= 1.0)"}});
}
