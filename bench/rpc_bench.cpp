// RPC calls per second over the control channel's stack (packet layer and
// wrapper at both ends, the answering end replying at once from the
// scheduler pool): over the in-memory pair with 1 and 8 calling threads, and
// over two rptSockets on loopback against a plain blocking TCP ping-pong of
// the same size, in the same run. Then the whole way the desk calls: the
// relay mux client's procedure channel, inside the TLS control link, to the
// relay server run as a process, which answers every call at once, with 1
// and 8 calling threads. The closing lines give the time ratios of a loopback
// call and of a call through the relay to the raw round trip (ours / plain),
// goal at most 2.
#include "bench/bench_peers.h"
#include "bench/loopback_pair.h"
#include "bench/ratio_main.h"
#include "bench/relay_stand.h"
#include "rulo-rpt/rpc/rpcWrapper.h"
#include "rulo-rpt/rpc/rptPacket.h"
#include "rulo/init.h"
#include "rulo/scheduler.h"
#include "tests/support/memory_transport.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

// A call body and its reply: about what a control call carries.
constexpr int body_size = 64;

class answering_sink : public rulo::rpcWrapperSink {
public:
    void func(netbuf const& body, rulo::object<reply> r) override { r->send(body); }
};

class silent_sink : public rulo::rpcWrapperSink {
public:
    void func(netbuf const&, rulo::object<reply>) override {}
};

struct rpc_side {
    rpc_side(rulo::object<rptTransport> channel, rulo::object<rulo::rpcWrapperSink> sink)
        : packet(new rulo::rptPacket(rulo::scheduler_pool())), wrapper(new rulo::rpcWrapper(packet, sink)) {
        packet->set_sink(wrapper);
        channel->set_sink(packet);
        packet->start(channel);
    }
    rulo::object<rulo::rptPacket> packet;
    rulo::object<rulo::rpcWrapper> wrapper;
};

// One stand shared by every thread of a run; made by the first thread to
// arrive and kept for the program's life (the threads of a run share it).
struct memory_stand {
    test_support::memory_transport_pair pair{[] {
        test_support::memory_transport_pair::options o;
        o.threaded = true;
        return o;
    }()};
    rpc_side caller{pair.a, rulo::object<rulo::rpcWrapperSink>(new silent_sink)};
    rpc_side answerer{pair.b, rulo::object<rulo::rpcWrapperSink>(new answering_sink)};
};

memory_stand& shared_memory_stand() {
    static memory_stand* stand = new memory_stand;
    return *stand;
}

void run_calls(benchmark::State& state, rulo::rpcWrapper& wrapper) {
    netbuf const body = netbuf::from_string(std::string(body_size, 'c'));
    long limit = 30;
    bench_support::switch_counter switches;
    for (auto _ : state) {
        netbuf reply = wrapper.call(body, nullptr, &limit);
        benchmark::DoNotOptimize(reply);
    }
    if (state.threads() == 1) switches.report(state);
    state.SetItemsProcessed(state.iterations());
}

void BM_rpc_call_memory(benchmark::State& state) {
    static std::once_flag made;
    std::call_once(made, [] { shared_memory_stand(); });
    run_calls(state, *shared_memory_stand().caller.wrapper.get());
}

void BM_rpc_call_loopback(benchmark::State& state) {
    // The sockets come up first with placeholder sinks; the packet layers
    // take them over before any byte flows.
    rulo::object<rptTransportSink> none;
    bench_support::loopback_pair sockets{none, none};
    sockets.client->no_delay();
    sockets.server->no_delay();
    rpc_side caller(sockets.client, rulo::object<rulo::rpcWrapperSink>(new silent_sink));
    rpc_side answerer(sockets.server, rulo::object<rulo::rpcWrapperSink>(new answering_sink));
    run_calls(state, *caller.wrapper.get());
    caller.packet->disconnect();
    answerer.packet->disconnect();
}

// One session with the relay for every run: made by thread 0, which is the
// main thread (a relay process ends with the thread that started it), before
// the threads of a run meet at the start of its loop; ended by main.
bench_support::relay_stand* shared_relay = nullptr;
bool relay_failed = false;

void relay_calls(benchmark::State& state) {
    if (state.thread_index() == 0 && !shared_relay && !relay_failed) {
        try {
            shared_relay = new bench_support::relay_stand;
        } catch (std::exception const&) {
        }
        relay_failed = !shared_relay || !shared_relay->connected();
    }
    netbuf const body = netbuf::from_string(std::string(body_size, 'c'));
    long limit = 30;
    rulo::object<rulo::rpcWrapper> wrapper;
    bench_support::switch_counter switches;
    for (auto _ : state) {
        if (!wrapper) {
            if (relay_failed) {
                state.SkipWithError("no session with the relay");
                break;
            }
            wrapper = shared_relay->sr->get_rpc_wrapper();
        }
        netbuf reply = wrapper->call(body, nullptr, &limit);
        benchmark::DoNotOptimize(reply);
    }
    if (state.threads() == 1) switches.report(state);
    state.SetItemsProcessed(state.iterations());
}

void BM_rpc_call_relay(benchmark::State& state) {
    relay_calls(state);
}

void BM_rpc_call_relay_threads(benchmark::State& state) {
    relay_calls(state);
}

// The same bytes per round trip as a call: length line, id line, body.
void BM_blocking_ping_pong(benchmark::State& state) {
    auto [client, server] = bench_support::loopback_connection();
    if (client < 0) {
        state.SkipWithError("connect");
        return;
    }
    bench_support::ping_pong(state, client, server, body_size + 6);
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_rpc_call_memory)->Threads(1)->Threads(8)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_rpc_call_loopback)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_blocking_ping_pong)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_rpc_call_relay)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_rpc_call_relay_threads)->Threads(8)->Unit(benchmark::kMicrosecond)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    static rulo::init* api = new rulo::init(nullptr);
    (void)api;
    int const status = bench_support::run_with_ratios(
        argc, argv,
        {{"BM_rpc_call_loopback", "BM_blocking_ping_pong",
          "RPC call over loopback rptSockets / blocking TCP ping-pong (goal <= 2)"},
         {"BM_rpc_call_relay", "BM_blocking_ping_pong",
          "RPC call through the relay / blocking TCP ping-pong (goal <= 2)"}});
    delete shared_relay;
    return status;
}
