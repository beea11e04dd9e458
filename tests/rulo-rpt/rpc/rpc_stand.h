// Test stands for the control channel: an RPC sink that records what reaches
// it and answers as told, and one end of the stack (packet layer, wrapper,
// sink) over a transport.
#pragma once

#include "rulo-rpt/rpc/rpcWrapper.h"
#include "rulo-rpt/rpc/rptPacket.h"
#include "rulo/scheduler.h"
#include "tests/support/framework_env.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace rpc_stand {

// Called on the packet layer's executor thread without the framework lock;
// the test thread reads through the waits. The sink's mutex is never held
// while it answers, so answers may take the framework lock.
class rpc_sink : public rulo::rpcWrapperSink {
public:
    enum mode { answer, drop, hold, answer_twice };
    mode how = answer;

    void func(netbuf const& body, rulo::object<reply> r) override {
        std::string const text = body.to_string();
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_bodies.push_back(text);
            if (how == hold) m_held.push_back(r);
        }
        if (how == answer) r->send(netbuf::from_string("re:" + text));
        if (how == answer_twice) {
            r->send(netbuf::from_string("first"));
            std::string const second = test_support::thrown([&] { r->send(netbuf::from_string("second")); });
            std::lock_guard<std::mutex> lock(m_mutex);
            m_second_send = second.empty() ? "no error" : second;
        }
        m_changed.notify_all();
    }
    void broken_sink() override {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_broken;
        }
        m_changed.notify_all();
    }
    void ping() override {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_pings;
        }
        m_changed.notify_all();
    }

    std::vector<std::string> bodies() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_bodies;
    }
    std::vector<rulo::object<reply>> take_held() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return std::move(m_held);
    }
    int pings() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_pings;
    }
    int broken_count() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_broken;
    }
    // What the second answer of answer_twice threw, once it has been tried.
    std::string second_send() {
        wait([&] { return !m_second_send.empty(); });
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_second_send;
    }
    bool wait_for_calls(std::size_t n) {
        return wait([&] { return m_bodies.size() >= n; });
    }
    bool wait_for_pings(int n) {
        return wait([&] { return m_pings >= n; });
    }
    bool wait_for_broken() {
        return wait([&] { return m_broken > 0; });
    }

private:
    bool wait(std::function<bool()> const& done) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(30), done);
    }
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::string> m_bodies;
    std::vector<rulo::object<reply>> m_held;
    std::string m_second_send;
    int m_pings = 0;
    int m_broken = 0;
};

// One end of the control channel stacked on a transport, its events run on
// the scheduler pool, as the program runs them.
struct rpc_end {
    explicit rpc_end(rulo::object<rptTransport> channel)
        : packet(new rulo::rptPacket(rulo::scheduler_pool())), sink(new rpc_sink),
          wrapper(new rulo::rpcWrapper(packet, sink)) {
        packet->set_sink(wrapper);
        channel->set_sink(packet);
        packet->start(channel);
    }
    // Ends this end and waits until the wrapper heard it, which drops the
    // handles that tie the layers to each other.
    bool close() {
        packet->disconnect();
        bool const heard = sink->wait_for_broken();
        sink->take_held();
        return heard;
    }
    rulo::object<rulo::rptPacket> packet;
    rulo::object<rpc_sink> sink;
    rulo::object<rulo::rpcWrapper> wrapper;
};

} // namespace rpc_stand
