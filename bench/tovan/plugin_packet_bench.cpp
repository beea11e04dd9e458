// Queued hand-over of 64-byte packets to a plugin's packet entry (the
// dispatcher with a thread of the plugin's own, a real library loaded by the
// host) against a mutex and condition-variable queue to a plain thread, in
// the same run: the median latency of one packet into an idle queue, and the
// throughput of a burst. Prints the two ratios (ours / plain).
#include "tovan/plugins/plugin_def.h"
#include "tovan/plugins/plugin_dispatcher.h"
#include "tovan/plugins/plugin_host.h"

#include "bench/ratio_main.h"

#include "rulo/init.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <dlfcn.h>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using tovan::plugin;
using tovan::plugin_dispatcher;
using tovan::plugin_lib;

int64_t now_ns() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

netbuf stamped_packet() {
    char bytes[64] = {};
    int64_t const stamp = now_ns();
    std::memcpy(bytes, &stamp, 8);
    return netbuf::from_buffer(bytes, 64);
}

bool short_pass() {
    return std::getenv("BENCH_SHORT") != nullptr;
}

// What a consumer reports back: the last hand-over time and the count.
struct sink {
    std::atomic<int64_t> latency{0};
    std::atomic<int64_t> packets{0};
};

// The plain baseline: a deque under a mutex, a condition variable, one thread.
class plain_queue {
public:
    explicit plain_queue(sink& s) : m_sink(s), m_thread([this] { run(); }) {}
    ~plain_queue() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_end = true;
        }
        m_ready.notify_one();
        m_thread.join();
    }
    void push(netbuf const& b) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_items.push_back(b);
        }
        m_ready.notify_one();
    }

private:
    void run() {
        for (;;) {
            netbuf b;
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_ready.wait(lock, [this] { return m_end || !m_items.empty(); });
                if (m_items.empty()) return;
                b = m_items.front();
                m_items.pop_front();
            }
            int64_t stamp = 0;
            b.copy_front(reinterpret_cast<char*>(&stamp), 8);
            m_sink.latency = now_ns() - stamp;
            m_sink.packets.fetch_add(1, std::memory_order_release);
        }
    }
    sink& m_sink;
    std::mutex m_mutex;
    std::condition_variable m_ready;
    std::deque<netbuf> m_items;
    bool m_end = false;
    std::thread m_thread;
};

// The plugin side: the bench plugin (lib_init 2) behind a queued dispatcher.
struct plugin_side {
    rulo::object<plugin> pin;
    rulo::object<plugin_dispatcher> dispatcher;
    int64_t volatile* latency = nullptr;
    int64_t volatile* packets = nullptr;
    plugin_side() {
        auto lib = rulo::make_object(new plugin_lib(BENCH_PLUGIN, {}));
        void* h = dlopen(BENCH_PLUGIN, RTLD_NOW | RTLD_NOLOAD);
        latency = static_cast<int64_t volatile*>(dlsym(h, "bp_latency_ns"));
        packets = static_cast<int64_t volatile*>(dlsym(h, "bp_packets"));
        dlclose(h);
        pin = rulo::make_object(new plugin(lib, 0));
        pin->set_connected(true);
        dispatcher = rulo::make_object(new plugin_dispatcher(pin));
    }
    ~plugin_side() {
        dispatcher.reset();
        tovan::plugin_host::instance().wait_for_threads(5000);
    }
    int64_t count() const { return __atomic_load_n(packets, __ATOMIC_ACQUIRE); }
};

// One packet into an idle queue, waited for, each iteration.
void BM_PluginLatency(benchmark::State& state) {
    plugin_side side;
    std::vector<double> samples;
    for (auto _ : state) {
        int64_t const before = side.count();
        side.dispatcher->packet(stamped_packet());
        while (side.count() == before) {
        }
        samples.push_back(double(*side.latency));
        state.SetIterationTime(double(*side.latency) / 1e9);
    }
    std::sort(samples.begin(), samples.end());
    if (!samples.empty()) state.counters["median_ns"] = samples[samples.size() / 2];
}
BENCHMARK(BM_PluginLatency)->UseManualTime()->Unit(benchmark::kMicrosecond);

void BM_PlainLatency(benchmark::State& state) {
    sink s;
    plain_queue q(s);
    std::vector<double> samples;
    for (auto _ : state) {
        int64_t const before = s.packets.load(std::memory_order_acquire);
        q.push(stamped_packet());
        while (s.packets.load(std::memory_order_acquire) == before) {
        }
        samples.push_back(double(s.latency.load()));
        state.SetIterationTime(double(s.latency.load()) / 1e9);
    }
    std::sort(samples.begin(), samples.end());
    if (!samples.empty()) state.counters["median_ns"] = samples[samples.size() / 2];
}
BENCHMARK(BM_PlainLatency)->UseManualTime()->Unit(benchmark::kMicrosecond);

// A burst, handed over as fast as the producer can; timed to the last delivery.
int burst() {
    return short_pass() ? 1000 : 100000;
}

void BM_PluginThroughput(benchmark::State& state) {
    plugin_side side;
    netbuf const packet = stamped_packet();
    for (auto _ : state) {
        int64_t const target = side.count() + burst();
        for (int i = 0; i < burst(); ++i) side.dispatcher->packet(packet);
        while (side.count() < target) {
        }
    }
    state.SetItemsProcessed(state.iterations() * burst());
}
BENCHMARK(BM_PluginThroughput)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PlainThroughput(benchmark::State& state) {
    sink s;
    plain_queue q(s);
    netbuf const packet = stamped_packet();
    for (auto _ : state) {
        int64_t const target = s.packets.load() + burst();
        for (int i = 0; i < burst(); ++i) q.push(packet);
        while (s.packets.load(std::memory_order_acquire) < target) {
        }
    }
    state.SetItemsProcessed(state.iterations() * burst());
}
BENCHMARK(BM_PlainThroughput)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    static rulo::init* api = new rulo::init(nullptr);
    tovan::plugin_def::init(api);
    return bench_support::run_with_ratios(
        argc, argv,
        {{"BM_PluginLatency", "BM_PlainLatency", "latency ratio (plugin / plain)"},
         {"BM_PluginThroughput", "BM_PlainThroughput",
          "time per burst ratio (plugin / plain; throughput = 1 / this)"}});
}
