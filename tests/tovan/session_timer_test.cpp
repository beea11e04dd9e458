// The session steps of the GUI tick, on a clock moved by hand.
#include "tovan/session/session_timer.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

struct fake_timer_host : vyn::timer_host {
    int64_t clock = 100000;
    bool rpc_fails = false;
    std::vector<std::string> calls;
    int64_t now_ms() override { return clock; }
    void handle_command(vyn::origin, std::string text) override { calls.push_back(text); }
    void system_message(std::string const& key) override { calls.push_back("system " + key); }
    void connection_callback(std::string const& what) override { calls.push_back("callback " + what); }
    void rpc_ping() override {
        calls.push_back("rpc_ping");
        if (rpc_fails) throw std::runtime_error("link down");
    }
    void send_ping_call() override { calls.push_back("ping_call"); }
};

TEST(SessionTimer, RetryWatchdogAndPings) {
    fake_timer_host host;
    vyn::session_timer timer(host);
    vyn::session_state s;
    std::atomic<int64_t> life{host.clock};

    // The retry fires one tick after its time, never at it; dropped when the
    // connection is no longer wanted.
    struct {
        int64_t due;
        bool wanted;
        bool fires;
    } const retries[] = {{100000, true, false}, {99999, true, true}, {99999, false, false}};
    for (auto const& r : retries) {
        host.calls.clear();
        s.next_retry_ms = r.due;
        s.in_connection = r.wanted;
        timer.tick(s, life);
        EXPECT_EQ(host.calls == std::vector<std::string>{"channel_start_all"}, r.fires) << r.due;
        EXPECT_EQ(s.next_retry_ms, r.due < host.clock ? 0 : r.due);
    }

    // Watchdog: down after 41 s of silence, again every 39 s, up on a packet.
    s = vyn::session_state();
    s.state = 6;
    s.connection_up = true;
    host.calls.clear();
    host.clock += 40999;
    timer.tick(s, life);
    EXPECT_TRUE(host.calls.empty());
    host.clock += 1;
    timer.tick(s, life);
    EXPECT_EQ(host.calls, (std::vector<std::string>{"system CONNECTION_DOWN", "callback down"}));
    host.calls.clear();
    host.clock += 38999;
    timer.tick(s, life);
    EXPECT_TRUE(host.calls.empty());
    host.clock += 1;
    timer.tick(s, life);
    EXPECT_EQ(host.calls.size(), 2u);
    host.calls.clear();
    life = host.clock + 5; // stamped after the tick read its clock
    timer.tick(s, life);
    EXPECT_EQ(host.calls, (std::vector<std::string>{"system CONNECTION_UP", "callback up"}));

    // Pings on the process-wide tick count; a failing RPC ping is swallowed.
    host.rpc_fails = true;
    int rpc = 0, pings = 0;
    for (int i = 0; i < 160; ++i) {
        host.calls.clear();
        life = host.clock;
        timer.tick(s, life);
        for (auto const& c : host.calls) {
            rpc += c == "rpc_ping";
            pings += c == "ping_call";
        }
    }
    EXPECT_EQ(rpc, 4);
    EXPECT_EQ(pings, 2);
    s.old_peer = true;
    for (int i = 0; i < 80; ++i) {
        host.calls.clear();
        timer.tick(s, life);
        for (auto const& c : host.calls) pings += c == "ping_call";
    }
    EXPECT_EQ(pings, 2);
}

} // namespace
