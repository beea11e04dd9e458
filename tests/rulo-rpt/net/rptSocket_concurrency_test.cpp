// Eight threads send on and disconnect rptSockets while the poller serves
// them and an echo server made of rptSockets answers: built for
// ThreadSanitizer, which watches every step for races.
#include "rulo-rpt/net/rptSocket.h"
#include "tests/support/framework_env.h"
#include "tests/support/recording_sink.h"
#include "tests/support/tcp_peer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <poll.h>
#include <random>
#include <sys/socket.h>
#include <thread>
#include <vector>

namespace {

using test_support::recording_sink;

// The server side of one connection: sends back what it gets.
class echo_sink : public rptTransportSink {
public:
    explicit echo_sink(rulo::object<rulo::rptSocket> t) : m_transport(std::move(t)) {}
    void received(netbuf const& data) override { m_transport->send(data); }
    void broken() override {}
    void queue_empty() override {}

private:
    rulo::object<rulo::rptSocket> m_transport;
};

// Accepts on its own thread and serves each connection with an rptSocket.
class echo_server {
public:
    echo_server() : m_thread([this] { run(); }) {}
    ~echo_server() {
        m_stop = true;
        m_thread.join();
    }
    test_support::tcp_listener& listener() { return m_listener; }

private:
    void run() {
        while (!m_stop) {
            pollfd p{m_listener.fd(), POLLIN, 0};
            if (::poll(&p, 1, 50) != 1) continue;
            tIProcessId peer;
            test_support::tcp_fd fd = m_listener.accept(&peer);
            rulo::object<rulo::socket> s(new rulo::socket(fd.get(), peer));
            (void)fd.release();
            rulo::object<rulo::rptSocket> t(new rulo::rptSocket);
            t->start(rulo::object<rptTransportSink>(new echo_sink(t)), s);
        }
    }

    test_support::tcp_listener m_listener{256};
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

rulo::object<rulo::rptSocket> connect_to(echo_server& server, rulo::object<recording_sink> const& sink) {
    rulo::object<rulo::socket> s(new rulo::socket(rulo::socket::tcp, server.listener().address()));
    s->connect(10);
    rulo::object<rulo::rptSocket> t(new rulo::rptSocket);
    t->start(sink, s);
    return t;
}

bool eventually(std::function<bool()> const& done) {
    auto const limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!done()) {
        if (std::chrono::steady_clock::now() > limit) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

TEST(RptSocketConcurrency, EightThreadsSendAndDisconnectWhileThePollerServes) {
    echo_server server;
    // One connection all threads send on at once; thread 0 hangs it up half way.
    rulo::object<recording_sink> shared_sink(new recording_sink);
    rulo::object<rulo::rptSocket> shared = connect_to(server, shared_sink);
    std::atomic<int> echoed_rounds{0}, refused_sends{0};

    std::vector<std::thread> threads;
    for (int id = 0; id < 8; ++id) {
        threads.emplace_back([&, id] {
            std::mt19937 gen{unsigned(id)};
            for (int round = 0; round < 60; ++round) {
                try {
                    shared->send(netbuf::from_string(std::string(100, char('a' + id))));
                } catch (rulo::exception const&) {
                    ++refused_sends; // after the hang-up
                }
                if (id == 0 && round == 30) shared->disconnect();

                rulo::object<recording_sink> sink(new recording_sink);
                rulo::object<rulo::rptSocket> own = connect_to(server, sink);
                std::string const message(1000 + gen() % 5000, char('A' + round % 26));
                own->send(netbuf::from_string(message));
                if (gen() % 2) { // else hang up with the echo under way
                    EXPECT_TRUE(sink->wait_for_bytes(message.size()));
                    EXPECT_EQ(sink->bytes(), message);
                    ++echoed_rounds;
                }
                own->disconnect();
                EXPECT_EQ(sink->broken_count(), 0); // a user's disconnect calls no broken()
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_GT(echoed_rounds.load(), 0);
    EXPECT_GT(refused_sends.load(), 0);
    EXPECT_LE(shared_sink->broken_count(), 1);
    EXPECT_EQ(shared_sink->events_after_broken(), 0);
    // Every server side sees its client's end and lets go.
    EXPECT_TRUE(eventually([] { return rulo::module->registered() == 0; }));
}

} // namespace
