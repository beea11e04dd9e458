// The relay under many clients and hostile ones.
#include "tests/tools/relay/relay_helpers.h"

#include <gtest/gtest.h>

#include "tests/support/shell.h"

#include <random>
#include <sys/resource.h>

using namespace relay_test;
using test_support::relay_process;

namespace {

void echo_round_trip(mux_client& c, std::uint64_t channel, std::string const& text) {
    c.send_frame(channel, text);
    auto f = c.next_frame(30s);
    if (!f || f->channel != channel || f->payload != text) throw std::runtime_error("echo failed: " + text);
}

} // namespace

TEST(RelayLoad, HostileClientsDoNotDisturbOthers) {
    relay_process relay;
    mux_client good(relay.port());
    good.handshake();
    good.open(2, "ECHO", false, false);
    echo_round_trip(good, 2, "before");

    mux_client garbage(relay.port());
    std::string noise(100000, '\0');
    for (std::size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<char>(i * 131 + 7);
    garbage.send_raw(noise);

    mux_client oversized(relay.port());
    oversized.handshake();
    oversized.send_raw(std::string("\xFF\xFF\xFF\x7F", 4));

    mux_client half_head(relay.port());
    half_head.send_raw("MUXV2 / HTTP/1.0\r\nConnection-Da");

    mux_client half_frame(relay.port());
    half_frame.handshake();
    half_frame.open(2, "ECHO", false, false);
    half_frame.send_raw(make_frame(2, std::string(1000, 'z')).substr(0, 500));

    // Floods echo and never reads: the relay stops reading it once its queue is full.
    mux_client flooder(relay.port());
    flooder.handshake();
    flooder.open(2, "ECHO", false, false);
    std::string const chunk = make_frame(2, std::string(60000, 'f'));
    std::size_t flooded = 0;
    for (int i = 0; i < 4000; ++i) {
        std::size_t n = flooder.try_send_raw(chunk);
        flooded += n;
        if (n < chunk.size()) break; // its socket is full: the relay has stopped reading it
    }
    EXPECT_LT(flooded, 4000u * chunk.size());

    EXPECT_TRUE(garbage.wait_closed());
    EXPECT_TRUE(oversized.wait_closed());
    for (int i = 0; i < 50; ++i) echo_round_trip(good, 2, "during " + std::to_string(i));
    EXPECT_NE(relay.admin("list").find(std::to_string(half_head.local_port())), std::string::npos);
    EXPECT_TRUE(relay.running());
    // The flooder's queue at the relay stays near its bound.
    std::string list = relay.admin("list");
    auto line_at = list.find(" 127.0.0.1:" + std::to_string(flooder.local_port()) + " ");
    ASSERT_NE(line_at, std::string::npos);
    auto out_at = list.find(" out=", line_at);
    EXPECT_LE(std::stoull(list.substr(out_at + 5)), 4u * 1024 * 1024 + 256 * 1024);
    // It ends cleanly on SIGTERM with all of them still connected (and, under
    // the sanitizers, without a leak or error report changing its exit status).
    EXPECT_EQ(relay.stop(), 0);
}

TEST(RelayLoad, MutatedClientStreamsLeaveTheRelayServing) {
    test_support::scratch_dir files;
    test_support::write_file(files.file("f"), std::string(200000, 'f'));
    relay_process relay({"--files", files.path(), "--pair-unbound"});

    // A faithful plain stream touching every service, to be mutated.
    auto packet = [](auto const&... values) {
        std::string p;
        xstd::packet_push(p, values...);
        return p;
    };
    std::string const head = "MUXV2 / HTTP/1.0\r\nConnection-Data: 1\r\n\r\n";
    std::string body;
    body += make_frame(0, packet(std::string("open"), 2LL, std::string("ECHO"), false));
    body += make_frame(2, "echo me");
    body += make_frame(0, packet(std::string("ping-stealth")));
    body += make_frame(0, packet(std::string("open"), 3LL, std::string("PLUGINS"), false));
    body += make_frame(3, packet(std::string("download"), std::string("f"), 100ULL));
    body += make_frame(3, packet(std::string("cancel"), std::string("f")));
    body += make_frame(0, packet(std::string("open"), 4LL, std::string("VYNL2"), false));
    body += make_frame(4, "leg bytes");
    body += make_frame(1, std::string("\x16\x03\x01\x00\x05hello", 10));

    std::mt19937 random(20261209);
    auto pick = [&](std::size_t n) { return static_cast<std::size_t>(random() % n); };
    for (int round = 0; round < 1000; ++round) {
        std::string stream = body;
        for (int m = 0, count = 1 + static_cast<int>(pick(8)); m < count; ++m) {
            std::size_t at = pick(stream.size());
            switch (pick(4)) {
            case 0:
                stream[at] = static_cast<char>(random());
                break;
            case 1:
                stream.insert(at, 1, static_cast<char>(random()));
                break;
            case 2:
                stream.erase(at, 1 + pick(8));
                break;
            default:
                stream.insert(at, stream.substr(pick(stream.size()), pick(40)));
                break;
            }
        }
        mux_client c(relay.port());
        c.send_raw(head + stream);
        // The relay takes the whole stream in, then closes at its end (if not before).
        c.shutdown_send();
        ASSERT_TRUE(c.wait_closed()) << "round " << round;
    }
    // The same inside the secure link, for the secure services.
    std::string secure_body;
    secure_body += make_frame(0, packet(std::string("open"), 2LL, std::string("VYNRPC"), true));
    secure_body += make_frame(2, "9\nresult 0\n5\n7\nabc");
    secure_body += make_frame(0, packet(std::string("open"), 3LL, std::string("VYNMSG"), true));
    secure_body += make_frame(3, packet(0, std::string("name"), std::string("arg")));
    secure_body += make_frame(0, packet(std::string("connection-keys"), std::string("00")));
    secure_body += make_frame(0, packet(std::string("open"), 4LL, std::string("ECHO"), true));
    secure_body += make_frame(4, "secure echo");
    for (int round = 0; round < 100; ++round) {
        std::string stream = secure_body;
        for (int m = 0, count = 1 + static_cast<int>(pick(8)); m < count; ++m) {
            std::size_t at = pick(stream.size());
            if (pick(2))
                stream[at] = static_cast<char>(random());
            else
                stream.erase(at, 1 + pick(8));
        }
        auto c = secure_client(relay);
        c->send_secure_raw(stream);
        c->shutdown_send();
        ASSERT_TRUE(c->wait_closed()) << "secure round " << round;
    }

    mux_client good(relay.port());
    good.handshake();
    good.open(2, "ECHO", false, false);
    echo_round_trip(good, 2, "still serving");
    EXPECT_EQ(relay.stop(), 0);
}

TEST(RelayLoad, ClientWithoutAWholeHeadIsDroppedInTime) {
    relay_process relay({"--head-timeout", "1"});
    mux_client silent(relay.port());
    mux_client partial(relay.port());
    partial.send_raw("MUXV2 / HTTP/1.0\r\n");
    EXPECT_TRUE(silent.wait_closed(20s));
    EXPECT_TRUE(partial.wait_closed(20s));
    EXPECT_NE(relay.wait_log({"\"close\"", "no head in time"}), "");
}

TEST(RelayLoad, AFloodOfEventsIsMutedButItsEndIsLogged) {
    relay_process relay;
    mux_client c(relay.port());
    c.handshake();
    std::string frames;
    for (int i = 0; i < 12000; ++i) frames += make_frame(9, "x"); // channel 9 was never opened
    c.send_raw(frames);
    c.send_raw(std::string("\x80\x80\x80\x08", 4));
    EXPECT_TRUE(c.wait_closed(30s));
    EXPECT_NE(relay.wait_log({"\"violation\"", "malformed frame"}), "");
    std::string log = relay.log_text();
    std::size_t drops = 0;
    for (std::size_t at = 0; (at = log.find("\"event\":\"drop\"", at)) != std::string::npos; ++at) ++drops;
    EXPECT_LT(drops, 10000u);
    EXPECT_GT(drops, 9000u);
    EXPECT_NE(log.find("\"log-muted\""), std::string::npos);
}

TEST(RelayLoad, ThousandConcurrentConnectionsEachEcho) {
    rlimit lim{};
    getrlimit(RLIMIT_NOFILE, &lim);
    if (lim.rlim_cur < 1200 && lim.rlim_max >= 1200) {
        lim.rlim_cur = std::min<rlim_t>(lim.rlim_max, 4096);
        setrlimit(RLIMIT_NOFILE, &lim);
    }
    ASSERT_GE(lim.rlim_cur, 1100u) << "not enough descriptors for the test";
    relay_process relay;
    constexpr int count = 1000;
    std::vector<std::unique_ptr<mux_client>> clients;
    auto const start = std::chrono::steady_clock::now();
    // All connected and through the handshake before any echo: 1000 at once at the relay.
    for (int i = 0; i < count; ++i) {
        clients.push_back(std::make_unique<mux_client>(relay.port()));
        clients.back()->send_raw("MUXV2 / HTTP/1.0\r\nConnection-Data: 1\r\n\r\n");
    }
    for (auto& c : clients) {
        auto r = c->read_reply(60s);
        ASSERT_TRUE(r && r->status == 200);
        c->open(2, "ECHO", false, false);
    }
    for (int i = 0; i < count; ++i) clients[i]->send_frame(2, "echo " + std::to_string(i));
    for (int i = 0; i < count; ++i) {
        auto f = clients[i]->next_frame(60s);
        ASSERT_TRUE(f) << i;
        EXPECT_EQ(f->payload, "echo " + std::to_string(i));
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 120s);
    auto list = relay.admin("list");
    EXPECT_EQ(static_cast<int>(std::count(list.begin(), list.end(), '\n')), count);
    EXPECT_EQ(relay.stop(), 0);
}
