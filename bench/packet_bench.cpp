// Packet codec throughput: one typical message (three integers, a flag, two
// texts and a map of five text pairs) pushed and popped back whole, over a
// netbuf and over a std::string, in messages per second. The floor is a
// hand-written encoder that copies the same fields into one flat array with
// memcpy (fixed-width integers, 32-bit lengths) and reads them back into the
// same kinds of values. BM_same_run_ratio runs all three in turn and prints
// the netbuf codec's speed as a share of the others' as counters.
#include "rulo/init.h"
#include "rulo/netbuf.h"
#include "rulo/packet.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstring>
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
void codec_round(message const& out, message& in) {
    Buffer b;
    rulo_packet_push(b, out.fields, out.body, out.name, out.urgent, out.port, out.sequence, out.id);
    in.fields.clear();
    rulo_packet_pop(b, in.fields, in.body, in.name, in.urgent, in.port, in.sequence, in.id);
}

// The flat encoder: no checks, no format rules, just the copies.
struct flat {
    char bytes[1024];
    size_t at = 0;

    template <class T>
    void put(T const& v) {
        std::memcpy(bytes + at, &v, sizeof v);
        at += sizeof v;
    }
    void put(std::string const& s) {
        put(uint32_t(s.size()));
        std::memcpy(bytes + at, s.data(), s.size());
        at += s.size();
    }
    template <class T>
    void get(T& v) {
        std::memcpy(&v, bytes + at, sizeof v);
        at += sizeof v;
    }
    void get(std::string& s) {
        uint32_t n;
        get(n);
        s.assign(bytes + at, n);
        at += n;
    }
};

void flat_round(message const& out, message& in) {
    flat f;
    f.put(out.id), f.put(out.sequence), f.put(out.port), f.put(out.urgent), f.put(out.name), f.put(out.body);
    f.put(uint32_t(out.fields.size()));
    for (auto const& [k, v] : out.fields) f.put(k), f.put(v);
    benchmark::DoNotOptimize(f.bytes);
    f.at = 0;
    f.get(in.id), f.get(in.sequence), f.get(in.port), f.get(in.urgent), f.get(in.name), f.get(in.body);
    uint32_t n;
    f.get(n);
    in.fields.clear();
    for (; n > 0; --n) {
        std::string k, v;
        f.get(k), f.get(v);
        in.fields.emplace(std::move(k), std::move(v));
    }
}

template <void (*Round)(message const&, message&)>
void BM_push_pop_message(benchmark::State& state) {
    message const out;
    message in;
    for (auto _ : state) {
        Round(out, in);
        benchmark::DoNotOptimize(in);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_same_run_ratio(benchmark::State& state) {
    using clock = std::chrono::steady_clock;
    message const out;
    message in;
    clock::duration nb{}, str{}, mem{};
    for (auto _ : state) {
        // A batch per kind: one message takes well under a microsecond.
        auto const t0 = clock::now();
        for (int i = 0; i < 64; ++i) codec_round<netbuf>(out, in);
        auto const t1 = clock::now();
        for (int i = 0; i < 64; ++i) codec_round<std::string>(out, in);
        auto const t2 = clock::now();
        for (int i = 0; i < 64; ++i) flat_round(out, in);
        auto const t3 = clock::now();
        benchmark::DoNotOptimize(in);
        nb += t1 - t0;
        str += t2 - t1;
        mem += t3 - t2;
    }
    state.counters["netbuf_vs_string"] = double(str.count()) / double(nb.count());
    state.counters["netbuf_vs_memcpy"] = double(mem.count()) / double(nb.count());
}

BENCHMARK(BM_push_pop_message<&codec_round<netbuf>>)->Name("BM_push_pop_message<netbuf>");
BENCHMARK(BM_push_pop_message<&codec_round<std::string>>)->Name("BM_push_pop_message<std::string>");
BENCHMARK(BM_push_pop_message<&flat_round>)->Name("BM_push_pop_message<memcpy>");
BENCHMARK(BM_same_run_ratio);

} // namespace
