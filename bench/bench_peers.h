// What the comparison benchmarks share: sinks that count what arrives, a
// loopback listener, outside programs (iperf3, stunnel4, socat) run in the
// background for one measurement, and reading iperf3's report.
#pragma once

#include "rulo-rpt/rptTransport.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace bench_support {

// Counts the bytes that arrive and wakes a waiting sender when a target is
// reached or the transport breaks.
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
    // Waits until total bytes have arrived in all; false when the transport
    // broke first or a minute passed, so a stalled way fails its benchmark
    // instead of hanging the run.
    bool wait_for(int64_t total) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_target = total;
        m_done.wait_for(lock, std::chrono::minutes(1), [&] { return m_bytes >= m_target || m_broken; });
        return m_bytes >= m_target;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_done;
    int64_t m_bytes = 0;
    int64_t m_target = INT64_MAX;
    bool m_broken = false;
};

// A sink for the end whose input nobody measures.
class idle_sink : public rptTransportSink {
public:
    void received(netbuf const&) override {}
    void broken() override {}
    void queue_empty() override {}
};

// A listening TCP socket on 127.0.0.1 and a port the system chose; fd is -1
// when it could not be made.
struct loopback_listener {
    int fd = -1;
    uint16_t port = 0;

    explicit loopback_listener(int backlog = 1) {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof a;
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::listen(fd, backlog) != 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) != 0) {
            if (fd >= 0) ::close(fd);
            fd = -1;
            return;
        }
        port = ntohs(a.sin_port);
    }
    // The listener stays open: the caller closes fd when it has accepted what it needs.
};

// The standard output of a shell command.
inline std::string run_output(std::string const& command) {
    std::string out;
    FILE* p = ::popen(command.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    ::pclose(p);
    return out;
}

// True when every named program is on the PATH.
inline bool have_programs(std::string const& names) {
    return std::system(
               ("for p in " + names + "; do command -v $p >/dev/null 2>&1 || exit 1; done").c_str()) == 0;
}

// A certificate and key made for this run with openssl, removed with the object.
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
    bench_cert(bench_cert const&) = delete;
    bench_cert& operator=(bench_cert const&) = delete;
    bool made() const { return std::ifstream(key).good(); }
    std::string dir, cert, key;
};

// The command line of one stunnel4 end in the foreground of its process,
// from a configuration file written beside the certificate: TLS 1.2 with
// AES-256-CBC and SHA-1 records, the server end with that certificate.
inline std::vector<std::string> stunnel(bench_cert const& certificate, std::string const& name,
                                        std::string const& accept, std::string const& connect, bool client) {
    std::string const file = certificate.dir + "/" + name + ".conf";
    std::ofstream conf(file);
    conf << "foreground = yes\npid =\n[" << name << "]\naccept = " << accept << "\nconnect = " << connect
         << "\nciphers = AES256-SHA\nsslVersion = TLSv1.2\n";
    if (client)
        conf << "client = yes\n";
    else
        conf << "cert = " << certificate.cert << "\nkey = " << certificate.key << "\n";
    return {"stunnel4", file};
}

// A program run in the background, quiet, for the length of one measurement;
// stopped with SIGTERM and reaped when the object goes.
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
    background(background const&) = delete;
    background& operator=(background const&) = delete;
    bool started() const { return m_pid > 0; }
    // True while the program runs; an ended program is reaped here.
    bool running() {
        if (m_pid <= 0) return false;
        if (::waitpid(m_pid, nullptr, WNOHANG) != m_pid) return true;
        m_pid = -1;
        return false;
    }
    // User plus system CPU seconds the program has used so far; 0 when it
    // cannot be read.
    double cpu_seconds() const {
        std::ifstream in("/proc/" + std::to_string(m_pid) + "/stat");
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::size_t const end_of_name = text.rfind(')');
        if (m_pid <= 0 || end_of_name == std::string::npos) return 0;
        std::istringstream fields(text.substr(end_of_name + 2));
        std::string field;
        double ticks = 0;
        // After the name: state is the first field; utime and stime the 12th and 13th.
        for (int i = 0; i < 13 && fields >> field; ++i)
            if (i >= 11) ticks += std::stod(field);
        return ticks / double(::sysconf(_SC_CLK_TCK));
    }

private:
    pid_t m_pid = -1;
};

// A port on 127.0.0.1 that was free a moment ago, for a program to listen on.
inline uint16_t free_port() {
    loopback_listener probe;
    if (probe.fd >= 0) ::close(probe.fd);
    return probe.port;
}

// True when a socket listens on 127.0.0.1:port, as the kernel's table of TCP
// sockets shows it (no probe connection that the program would take for a client).
inline bool listening_on(uint16_t port) {
    char local[32];
    std::snprintf(local, sizeof local, "0100007F:%04X", unsigned(port));
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line); // the heading
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, address, remote, state;
        fields >> slot >> address >> remote >> state;
        if (address == local && state == "0A") return true;
    }
    return false;
}

// An outside program listening on 127.0.0.1, at a port the system picked;
// command(port) gives its command line. A port that was free a moment ago
// can be taken before the program binds it: any loopback connection on the
// machine holds its port against a listener, also for a minute in TIME_WAIT
// after it closed, so with other tests running a fixed or remembered port
// fails now and then. When the program ends without listening, a fresh port
// is tried (five times at most); started() is true once it listens.
class listening_program {
public:
    template <class Command>
    explicit listening_program(Command const& command) {
        for (int attempt = 0; attempt < 5 && !m_listening; ++attempt) {
            m_port = free_port();
            m_program = std::make_unique<background>(command(m_port));
            // Up to 10 s for a program that starts slowly on a loaded machine.
            for (int polls = 0; polls < 2000 && m_program->running(); ++polls) {
                if (listening_on(m_port)) {
                    m_listening = true;
                    break;
                }
                ::usleep(5000);
            }
        }
    }
    bool started() const { return m_listening; }
    uint16_t port() const { return m_port; }
    std::string address() const { return "127.0.0.1:" + std::to_string(m_port); }
    double cpu_seconds() const { return m_program ? m_program->cpu_seconds() : 0; }

private:
    std::unique_ptr<background> m_program;
    uint16_t m_port = 0;
    bool m_listening = false;
};

// The number after "key": in iperf3's JSON report, searched from the section; 0 when missing.
inline double json_number(std::string const& json, std::string const& section, std::string const& key) {
    auto at = json.find("\"" + section + "\"");
    if (at == std::string::npos) return 0;
    at = json.find("\"" + key + "\"", at);
    if (at == std::string::npos) return 0;
    return std::atof(json.c_str() + json.find(':', at) + 1);
}

// Runs an iperf3 client moving bytes to 127.0.0.1:port, trying again while
// the server (or a chain in front of it) is still starting; the seconds the
// transfer took by iperf3's own count, or 0 when it gave no result.
inline double iperf3_seconds(int port, int64_t bytes) {
    std::string json;
    for (int tries = 0; tries < 100 && json.find("sum_received") == std::string::npos; ++tries) {
        if (tries) ::usleep(50000);
        json = run_output("iperf3 -c 127.0.0.1 -p " + std::to_string(port) + " -n " + std::to_string(bytes) +
                          " -J 2>/dev/null");
    }
    double const bps = json_number(json, "sum_received", "bits_per_second");
    return bps > 0 ? double(bytes) * 8 / bps : 0;
}

// Sends or receives exactly n bytes; false when the connection ended first.
inline bool exact(int fd, char* data, int n, bool sending) {
    for (int at = 0; at < n;) {
        ssize_t k = sending ? ::send(fd, data + at, n - at, MSG_NOSIGNAL) : ::recv(fd, data + at, n - at, 0);
        if (k <= 0) return false;
        at += int(k);
    }
    return true;
}

// The baseline of the round-trip benchmarks: a message of size bytes (at
// most 4096) sent on client and echoed by a blocking thread on server, once
// per iteration, with TCP_NODELAY on both. Takes and closes both descriptors.
// Context switches of this process (every thread, voluntary and not) from
// its construction until report(), which sets the counter "ctx_switches" per
// iteration. Another process in the path (a relay, socat) is not counted.
class switch_counter {
public:
    switch_counter() : m_start(now()) {}
    void report(benchmark::State& state) const {
        if (state.iterations() == 0) return;
        state.counters["ctx_switches"] = double(now() - m_start) / double(state.iterations());
    }

private:
    static long now() {
        rusage u{};
        ::getrusage(RUSAGE_SELF, &u);
        return u.ru_nvcsw + u.ru_nivcsw;
    }
    long const m_start;
};

inline void ping_pong(benchmark::State& state, int client, int server, int size) {
    int one = 1;
    ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::thread echo([server, size] {
        char buf[4096];
        while (exact(server, buf, size, false) && exact(server, buf, size, true)) {
        }
    });
    char buf[4096] = {};
    switch_counter switches;
    for (auto _ : state) {
        if (!exact(client, buf, size, true) || !exact(client, buf, size, false)) {
            state.SkipWithError("ping-pong");
            break;
        }
    }
    switches.report(state);
    ::close(client); // the echo thread sees the end
    echo.join();
    ::close(server);
}

// A connected pair of descriptors over a loopback listener: {client, server},
// both -1 when it failed.
inline std::pair<int, int> loopback_connection() {
    loopback_listener listener;
    if (listener.fd < 0) return {-1, -1};
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(listener.port);
    int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (client < 0 || ::connect(client, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        if (client >= 0) ::close(client);
        ::close(listener.fd);
        return {-1, -1};
    }
    int server = ::accept4(listener.fd, nullptr, nullptr, SOCK_CLOEXEC);
    ::close(listener.fd);
    return {client, server};
}

// The ping-pong through a forwarder that listens on front and connects to
// listener: connects to front (a forwarder listens a moment after it starts,
// so for up to 5 s), takes the forwarded connection and plays. Closes the
// listener.
inline void ping_pong_through(benchmark::State& state, loopback_listener& listener, int front, int size) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(uint16_t(front));
    int client = -1;
    for (int tries = 0; tries < 100; ++tries) {
        client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (::connect(client, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) break;
        ::close(client);
        client = -1;
        ::usleep(50000);
    }
    int const server = client < 0 ? -1 : ::accept4(listener.fd, nullptr, nullptr, SOCK_CLOEXEC);
    ::close(listener.fd);
    listener.fd = -1;
    if (client < 0) {
        state.SkipWithError("the forwarder did not listen");
        return;
    }
    ping_pong(state, client, server, size);
}

} // namespace bench_support
