// Test kit of the channel layers: a transport that records what it is given
// and a channel sink that records what a session channel delivers.
//
// Threads: the layers call these from their own threads with the framework
// lock held; the test thread reads and waits from outside. Everything is
// guarded by the object's own mutex, never held while a hook runs.
#pragma once

#include "rulo-rpt/rptTransport.h"
#include "rulo/exception.h"
#include "rulo/lock.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace channel_kit {

constexpr int64_t generous_ms = 30000;

// Keeps every send as one string; counts disconnects.
class capture_transport : public rptTransport {
public:
    bool fail_sends = false;

    void send(netbuf const& data) override {
        std::lock_guard<std::mutex> lock(m);
        if (fail_sends) throw rulo::exception::function("send");
        sends.push_back(data.to_string());
    }
    void disconnect() override {
        std::lock_guard<std::mutex> lock(m);
        ++disconnects;
    }
    void set_sink(rulo::object<rptTransportSink>) override {}
    void no_delay() override {}
    int64_t last_received() override { return 0; }
    void ioctl(std::string const&, std::string&) override { throw rulo::exception::function("ioctl"); }

    std::string all() {
        std::lock_guard<std::mutex> lock(m);
        std::string out;
        for (auto const& s : sends) out += s;
        return out;
    }

    std::mutex m;
    std::vector<std::string> sends;
    int disconnects = 0;
};

// Records whole packets, raw bytes and the end.
class channel_sink : public rulo::rptChannelSink {
public:
    std::function<void(int, netbuf const&)> on_packet; // runs inside received_channel

    void received(netbuf const& data) override {
        add([&] { raw.push_back(data.to_string()); });
    }
    void received_channel(int index, netbuf const& data) override {
        add([&] { packets.emplace_back(index, data.to_string()); });
        if (on_packet) on_packet(index, data);
    }
    void broken() override {
        add([&] { ++broken_count; });
    }
    void queue_empty() override {
        add([&] { ++queue_empty_count; });
    }

    template <class F>
    bool wait(F done, int64_t ms = generous_ms) {
        std::unique_lock<std::mutex> lock(m);
        return cv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return done(); });
    }

    std::mutex m;
    std::condition_variable cv;
    std::vector<std::pair<int, std::string>> packets;
    std::vector<std::string> raw;
    int broken_count = 0;
    int queue_empty_count = 0;

private:
    template <class F>
    void add(F f) {
        {
            std::lock_guard<std::mutex> lock(m);
            f();
        }
        cv.notify_all();
    }
};

} // namespace channel_kit
