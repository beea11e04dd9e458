// The whole session path: desk and client reliable channels over session
// channels, the end-to-end TLS (desk the server, DH suites) and one relay
// connection each through the multiplexer to tovan_relay, which joins the
// two legs. Measured in two shapes:
//   - two processes, as deployed: the desk here, the client in a process of
//     its own (session_far_end), so each end's TLS work runs beside the
//     other's as on two machines;
//   - one process: both ends here, under the one framework lock.
// Against, in the same run:
//   - throughput: iperf3 through a stunnel4 pair with socat forwarding plain
//     TCP between them (the relay's place), the same bytes; both paths
//     settle on TLS 1.2 DHE-RSA-AES256-SHA (AES-256-CBC, HMAC-SHA1 records),
//     the suite the desk prefers and the first of the two stunnel4 is
//     allowed (goal <= 1.0 in time, i.e. at least as fast);
//   - round trip of a 64-byte message: a raw TCP ping-pong through the same
//     forwarder (goal <= 1.5);
//   - recovery: from the relay dropping the client's connection to a message
//     answered again (the host reconnects on "broken"); and from the client
//     asking for a new connection while its own still works to a message
//     answered again, less the reconnect pause taken on that path only.
#include "bench/bench_peers.h"
#include "bench/ratio_main.h"
#include "rulo/init.h"
#include "rulo/lock.h"
#include "tests/rulo-rpt/channel/relay_link.h"
#include "tests/rulo-rpt/channel/safe_channel_kit.h"
#include "tests/support/tls_certs.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/tcp.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int64_t stream_bytes = 32 << 20; // per iteration
constexpr int block = 64 << 10;
constexpr int message = 64;
constexpr int stream_index = 1, echo_index = 2;

// What the client end has received, for the bench thread to wait on. Lives
// as long as the session. The bench thread is woken once the delivering
// thread has let go of the framework lock, which it would otherwise meet on
// its way to the next send.
struct arrivals {
    std::mutex m;
    std::condition_variable cv;
    int64_t bytes = 0;
    int64_t replies = 0;
    void add(int index, std::size_t n) {
        {
            std::lock_guard<std::mutex> lock(m);
            if (index == echo_index)
                ++replies;
            else
                bytes += int64_t(n);
        }
        rulo::after_framework_unlock([this] { cv.notify_all(); });
    }
    template <class F>
    bool wait(F done, int64_t ms = 60000) {
        std::unique_lock<std::mutex> lock(m);
        return cv.wait_for(lock, std::chrono::milliseconds(ms), done);
    }
};

// One relay and two connected ends, made on first use and kept for the run.
struct session {
    test_support::relay_process relay{{"--pair-unbound"}};
    safe_kit::relay_link link{relay};
    arrivals got;
    std::unique_ptr<safe_kit::end> ends[2]; // client, desk

    session() {
        for (auto& e : ends) {
            e = std::make_unique<safe_kit::end>();
            e->host->keep_packets = false;
            e->host->auto_reconnect = true;
        }
        ends[0]->host->on_packet = [this](int index, netbuf const& data) { got.add(index, data.size()); };
        rulo::rptSafeChannel* desk = ends[1]->channel.get();
        ends[1]->host->on_packet = [desk](int index, netbuf const& data) {
            if (index == echo_index) desk->send(echo_index, data);
        };
        ends[0]->channel->start(link.factory(0), true, safe_kit::initial_index, netbuf());
        ends[1]->channel->start(link.factory(1), false, safe_kit::initial_index, netbuf());
    }
    ~session() {
        link.shutdown();
        ends[0].reset();
        ends[1].reset();
    }
    bool ready() {
        return ends[0]->host->wait_status("connected") && ends[1]->host->wait_status("connected");
    }
    // One message to the desk and back.
    bool round_trip(netbuf const& ping) {
        int64_t want;
        {
            std::lock_guard<std::mutex> lock(got.m);
            want = got.replies + 1;
        }
        ends[0]->channel->send(echo_index, ping);
        return got.wait([&] { return got.replies >= want; });
    }
};

// Made on first use only: a run filtered to other benchmarks starts no relay for it.
session* made_session = nullptr;

session* the_session() {
    static session* s = [] {
        try {
            return made_session = new session;
        } catch (...) {
            return static_cast<session*>(nullptr);
        }
    }();
    return s;
}

// The deployed shape: the desk end here, the client end in session_far_end
// through its own relay. The client echoes what arrives on echo_index; the
// channel keeps order across indexes, so an echo that comes back after a
// stream tells that the whole stream has arrived.
struct split_session {
    test_support::relay_process relay{{"--pair-unbound"}};
    safe_kit::relay_link link{relay}; // the scratch HOME, inherited by the far end
    arrivals got;
    std::unique_ptr<safe_kit::end> desk = std::make_unique<safe_kit::end>();
    std::unique_ptr<bench_support::background> client;
    // While set, each echo is sent out again at once from the thread that
    // received it, as the program answers a message; pings counts every send.
    std::atomic<bool> chain{false};
    std::atomic<int64_t> pings{0};

    split_session() {
        desk->host->keep_packets = false;
        desk->host->auto_reconnect = true;
        rulo::rptSafeChannel* channel = desk->channel.get();
        desk->host->on_packet = [this, channel](int index, netbuf const& data) {
            if (index == echo_index && chain) {
                ++pings;
                channel->send(echo_index, data);
            }
            got.add(index, data.size());
        };
        desk->channel->start(link.factory(1), false, safe_kit::initial_index, netbuf());
        client = std::make_unique<bench_support::background>(std::vector<std::string>{
            SESSION_FAR_END, std::to_string(relay.port()), test_support::tls_certs::get().ca_cert,
            test_support::tls_certs::server_name, std::to_string(echo_index)});
    }
    ~split_session() {
        link.shutdown();
        client.reset();
        desk.reset();
    }
    bool ready() { return client->started() && desk->host->wait_status("connected"); }
    bool round_trip(netbuf const& ping) {
        int64_t want;
        {
            std::lock_guard<std::mutex> lock(got.m);
            want = got.replies + 1;
        }
        ++pings;
        desk->channel->send(echo_index, ping);
        return got.wait([&] { return got.replies >= want; });
    }
    // Ends a chain: waits until every ping sent has come back.
    bool stop_chain() {
        chain = false;
        return got.wait([&] { return got.replies >= pings; });
    }
};

split_session* made_split_session = nullptr;

split_session* the_split_session() {
    static split_session* s = [] {
        try {
            return made_split_session = new split_session;
        } catch (...) {
            return static_cast<split_session*>(nullptr);
        }
    }();
    return s;
}

// Sends stream_bytes from the desk, keeping the reliable channel's queue to
// a few blocks of fragments; returns at once.
void send_stream(rulo::rptSafeChannel& desk, netbuf const& data) {
    for (int64_t sent = 0; sent < stream_bytes; sent += block) {
        while (desk.queued() > 4 * (block / rulo::rptSafeChannel::fragment_size))
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        desk.send(stream_index, data);
    }
}

// The session a benchmark runs on, or null with the benchmark skipped when
// it did not come up.
template <class Session>
Session* up(Session* s, benchmark::State& state) {
    if (s && s->ready()) return s;
    state.SkipWithError("the session through the relay did not come up");
    return nullptr;
}

// One 64-byte message out and its echo back per iteration.
template <class Session>
void round_trips(Session& s, benchmark::State& state) {
    netbuf const ping = netbuf::from_string(std::string(message, 'p'));
    for (auto _ : state)
        if (!s.round_trip(ping)) {
            state.SkipWithError("no answer");
            break;
        }
}

void BM_session_stream_two_processes(benchmark::State& state) {
    split_session* s = up(the_split_session(), state);
    if (!s) return;
    netbuf const data = netbuf::from_string(std::string(block, 'x'));
    netbuf const mark = netbuf::from_string(std::string(message, 'm'));
    for (auto _ : state) {
        auto const start = std::chrono::steady_clock::now();
        send_stream(*s->desk->channel.get(), data);
        if (!s->round_trip(mark)) {
            state.SkipWithError("the stream stalled");
            break;
        }
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    state.SetBytesProcessed(state.iterations() * stream_bytes);
}

void BM_session_round_trip_two_processes(benchmark::State& state) {
    split_session* s = up(the_split_session(), state);
    if (!s) return;
    round_trips(*s, state);
}

// The same round trip without the hop from the thread that received the
// echo to the benchmark's thread: the echo is sent out again from the
// receiving thread, as the program's handlers answer a message, and the
// benchmark's thread only counts.
void BM_session_round_trip_chained_two_processes(benchmark::State& state) {
    split_session* s = up(the_split_session(), state);
    if (!s) return;
    netbuf const ping = netbuf::from_string(std::string(message, 'p'));
    int64_t want;
    {
        std::lock_guard<std::mutex> lock(s->got.m);
        want = s->got.replies;
    }
    s->chain = true;
    ++s->pings;
    s->desk->channel->send(echo_index, ping);
    for (auto _ : state)
        if (!s->got.wait([&] { return s->got.replies >= want + 1; })) {
            state.SkipWithError("no answer");
            break;
        } else {
            ++want;
        }
    if (!s->stop_chain()) state.SkipWithError("no answer");
}

void BM_session_stream(benchmark::State& state) {
    session* s = up(the_session(), state);
    if (!s) return;
    netbuf const data = netbuf::from_string(std::string(block, 'x'));
    for (auto _ : state) {
        int64_t target;
        {
            std::lock_guard<std::mutex> lock(s->got.m);
            target = s->got.bytes + stream_bytes;
        }
        auto const start = std::chrono::steady_clock::now();
        send_stream(*s->ends[1]->channel.get(), data);
        if (!s->got.wait([&] { return s->got.bytes >= target; })) {
            state.SkipWithError("the stream stalled");
            break;
        }
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    state.SetBytesProcessed(state.iterations() * stream_bytes);
}

void BM_session_round_trip(benchmark::State& state) {
    session* s = up(the_session(), state);
    if (!s) return;
    round_trips(*s, state);
}

void BM_session_recovery(benchmark::State& state) {
    session* s = up(the_session(), state);
    if (!s) return;
    netbuf const ping = netbuf::from_string(std::string(message, 'p'));
    for (auto _ : state) {
        int const connects = s->ends[0]->host->status_count("connected");
        auto const start = std::chrono::steady_clock::now();
        s->link.break_link(0); // the relay drops the client's connection
        if (!s->round_trip(ping) || !s->ends[0]->host->wait_status("connected", connects + 1)) {
            state.SkipWithError("no recovery");
            break;
        }
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
}

// From the client asking for a new connection while its own works (its held
// connection is stopped, the specified pause taken, a fresh one made) to a
// message answered again, less that pause.
void BM_session_reconnect_recovery(benchmark::State& state) {
    session* s = up(the_session(), state);
    if (!s) return;
    netbuf const ping = netbuf::from_string(std::string(message, 'p'));
    double const pause = double(rulo::rptSafeChannel::timing{}.reconnect_pause_ms) / 1000.0;
    for (auto _ : state) {
        int const connects = s->ends[0]->host->status_count("connected");
        auto const start = std::chrono::steady_clock::now();
        s->ends[0]->channel->reconnect();
        if (!s->ends[0]->host->wait_status("connected", connects + 1) || !s->round_trip(ping)) {
            state.SkipWithError("no recovery");
            break;
        }
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() - pause);
    }
}

// --- The outside path: stunnel4 - socat - stunnel4 ------------------------

struct bench_cert {
    bench_cert() {
        char pattern[] = "/tmp/session_bench_XXXXXX";
        dir = ::mkdtemp(pattern) ? pattern : "";
        cert = dir + "/cert.pem";
        key = dir + "/key.pem";
        bench_support::run_output(
            "openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=bench -days 1 -keyout " + key + " -out " +
            cert + " 2>/dev/null");
    }
    ~bench_cert() { bench_support::run_output("rm -rf '" + dir + "'"); }
    bool made() const { return std::ifstream(key).good(); }
    std::string dir, cert, key;
};

bench_cert& certificate() {
    static bench_cert c;
    return c;
}

std::vector<std::string> stunnel(std::string const& name, std::string const& accept,
                                 std::string const& connect, bool client) {
    std::string const file = certificate().dir + "/" + name + ".conf";
    std::ofstream conf(file);
    conf << "foreground = yes\npid =\n[" << name << "]\naccept = " << accept << "\nconnect = " << connect
         << "\nciphers = DHE-RSA-AES256-SHA:AES256-SHA\nsslVersion = TLSv1.2\n";
    if (client)
        conf << "client = yes\n";
    else
        conf << "cert = " << certificate().cert << "\nkey = " << certificate().key << "\n";
    return {"stunnel4", file};
}

std::vector<std::string> forwarder(int accept, int connect) {
    return {"socat", "TCP-LISTEN:" + std::to_string(accept) + ",bind=127.0.0.1,reuseaddr,fork",
            "TCP:127.0.0.1:" + std::to_string(connect) + ",nodelay"};
}

void BM_stunnel_socat_iperf3_stream(benchmark::State& state) {
    if (!bench_support::have_programs("iperf3 stunnel4 socat")) {
        state.SkipWithError("iperf3, stunnel4 or socat is not installed (scripts/deps.sh)");
        return;
    }
    if (!certificate().made()) {
        state.SkipWithError("openssl could not make a certificate");
        return;
    }
    using bench_support::listening_program;
    for (auto _ : state) {
        listening_program server([](uint16_t port) {
            return std::vector<std::string>{"iperf3", "-s", "-B", "127.0.0.1", "-p", std::to_string(port)};
        });
        listening_program tls_server([&](uint16_t port) {
            return stunnel("tls_server", "127.0.0.1:" + std::to_string(port), server.address(), false);
        });
        listening_program relay([&](uint16_t port) { return forwarder(port, tls_server.port()); });
        listening_program tls_client([&](uint16_t port) {
            return stunnel("tls_client", "127.0.0.1:" + std::to_string(port), relay.address(), true);
        });
        if (!server.started() || !tls_server.started() || !relay.started() || !tls_client.started()) {
            state.SkipWithError("iperf3, stunnel4 or socat did not listen");
            return;
        }
        double const seconds = bench_support::iperf3_seconds(tls_client.port(), stream_bytes);
        if (seconds <= 0) {
            state.SkipWithError("no iperf3 result");
            return;
        }
        state.SetIterationTime(seconds);
    }
    state.SetBytesProcessed(state.iterations() * stream_bytes);
}

void BM_socat_ping_pong(benchmark::State& state) {
    if (!bench_support::have_programs("socat")) {
        state.SkipWithError("socat is not installed (scripts/deps.sh)");
        return;
    }
    bench_support::loopback_listener listener;
    bench_support::listening_program relay([&](uint16_t port) { return forwarder(port, listener.port); });
    if (!relay.started()) {
        state.SkipWithError("socat did not listen");
        return;
    }
    bench_support::ping_pong_through(state, listener, relay.port(), message);
}

BENCHMARK(BM_session_stream_two_processes)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK(BM_stunnel_socat_iperf3_stream)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK(BM_session_round_trip_two_processes)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_session_round_trip_chained_two_processes)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_socat_ping_pong)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_session_stream)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK(BM_session_round_trip)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_session_recovery)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);
BENCHMARK(BM_session_reconnect_recovery)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);

} // namespace

int main(int argc, char** argv) {
    static rulo::init* api = new rulo::init(nullptr);
    (void)api;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    bench_support::ratio_reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    auto ratio = [&](char const* ours, char const* theirs, char const* label) {
        double const a = reporter.median(ours), b = reporter.median(theirs);
        if (a > 0 && b > 0) std::printf("%s: %.2f\n", label, a / b);
    };
    ratio("BM_session_stream_two_processes", "BM_stunnel_socat_iperf3_stream",
          "session stream time, two processes / stunnel4-socat-stunnel4 with iperf3 (goal <= 1.0)");
    ratio("BM_session_round_trip_two_processes", "BM_socat_ping_pong",
          "session round trip, two processes, waited for by a user thread / TCP ping-pong through socat "
          "(goal <= 1.5)");
    ratio("BM_session_round_trip_chained_two_processes", "BM_socat_ping_pong",
          "session round trip, two processes, answered where it arrives / TCP ping-pong through socat (goal "
          "<= 1.5)");
    ratio("BM_session_stream", "BM_stunnel_socat_iperf3_stream",
          "session stream time, one process / stunnel4-socat-stunnel4 with iperf3");
    ratio("BM_session_round_trip", "BM_socat_ping_pong",
          "session round trip, one process / TCP ping-pong through socat");
    double const recovery = reporter.median("BM_session_recovery");
    // A dropped connection is gone before the host asks again: no pause is held there.
    if (recovery > 0) std::printf("recovery from a dropped relay connection: %.0f ms\n", recovery * 1000);
    double const asked = reporter.median("BM_session_reconnect_recovery");
    if (asked != 0)
        std::printf("recovery after reconnect() on a working connection, less the %lld ms pause: %.0f ms\n",
                    static_cast<long long>(rulo::rptSafeChannel::timing{}.reconnect_pause_ms), asked * 1000);
    delete made_split_session;
    delete made_session;
    benchmark::Shutdown();
    return 0;
}
