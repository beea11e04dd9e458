// Packet codec throughput: one typical message (three integers, a flag, two
// texts and a map of five text pairs) pushed and popped back whole, over a
// netbuf and over a std::string, in messages per second.
#include "rulo/init.h"
#include "rulo/netbuf.h"
#include "rulo/packet.h"

#include <benchmark/benchmark.h>

#include <map>
#include <string>

namespace {

struct message {
    int id = 4711;
    long sequence = 1234567890123L;
    unsigned short port = 443;
    bool urgent = true;
    std::string name = "session_messages";
    std::string body = "the customer accepted the request to share the screen";
    std::map<std::string, std::string> fields = {
        {"user", "operator-17"},    {"lang", "en"},        {"client", "desk 4.2.1"},
        {"route", "relay-eu-west"}, {"mode", "view-only"},
    };
};

template <class Buffer>
void BM_push_pop_message(benchmark::State& state) {
    message const out;
    message in;
    for (auto _ : state) {
        Buffer b;
        rulo_packet_push(b, out.fields, out.body, out.name, out.urgent, out.port, out.sequence, out.id);
        in.fields.clear();
        rulo_packet_pop(b, in.fields, in.body, in.name, in.urgent, in.port, in.sequence, in.id);
        benchmark::DoNotOptimize(in);
    }
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK_TEMPLATE(BM_push_pop_message, netbuf);
BENCHMARK_TEMPLATE(BM_push_pop_message, std::string);

} // namespace
