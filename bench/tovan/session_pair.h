// Two ends of a session built by the program's own set-up code, for the
// benchmarks: the desk creates the session on tovan_relay (run on
// 127.0.0.1), the client joins by its code, the reliable channel runs under
// end-to-end TLS through the relay's joined legs, and the desk answers every
// packet on a plugin sub-channel on the same sub-channel. Used from the
// benchmark's thread; the ends' own threads are session_end's.
#pragma once

#include "bench/tovan/driver_process.h"
#include "bench/tovan/session_end.h"
#include "tests/support/relay_process.h"

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>

namespace bench_support {

// The relay, a scratch HOME and the client's end; the desk's end is the
// derived pair's. Made on first use and kept for the run.
struct session_stand {
    std::string home, cert, key, dh;
    std::unique_ptr<test_support::relay_process> relay;
    std::unique_ptr<session_end> client;
    bool up = false;

    session_stand() {
        // The multiplexer pins the relay's certificate in the user's store.
        char pattern[] = "/tmp/desk_round_trip_XXXXXX";
        if (::mkdtemp(pattern)) home = pattern;
        ::setenv("HOME", home.c_str(), 1);
        // The relay's event log stays out of the measured path.
        relay = std::make_unique<test_support::relay_process>(std::vector<std::string>{"--log", "/dev/null"});
        cert = relay->cert_path();
        key = relay->dir() + "/key.pem";
        dh = TOVAN_SOURCE_DIR "/conf_static/dh.pem";
    }
    ~session_stand() {
        client.reset();
        relay.reset();
        std::error_code ec;
        if (!home.empty()) std::filesystem::remove_all(home, ec);
    }
    session_stand(session_stand const&) = delete;
    session_stand& operator=(session_stand const&) = delete;

    // The client joins the desk's session by its code; false when the
    // desk's version did not come.
    bool join(std::string const& code) {
        auto const config = session_config(true, relay->port(), cert, key, dh);
        client = std::make_unique<session_end>(config);
        client->host.type_code(code);
        client->start(config.proxy_host);
        return client->host.wait_version();
    }
    // One message to the desk and back.
    bool round_trip(netbuf const& ping) {
        int64_t const want = client->host.answers() + 1;
        client->conn->safe_channel()->send(plugin_channel, ping);
        return client->host.wait_answers(want);
    }
};

// Both ends in this process.
struct session_pair : session_stand {
    std::unique_ptr<session_end> desk;

    session_pair() {
        auto const desk_config = session_config(false, relay->port(), cert, key, dh);
        desk = std::make_unique<session_end>(desk_config);
        desk->start(desk_config.proxy_host);
        std::string const code = desk->host.wait_code();
        if (code.empty() || !join(code) || !desk->host.wait_version()) return;
        desk->host.echo_on(desk->conn->safe_channel());
        up = client->conn->safe_channel().get() != nullptr;
    }
    ~session_pair() {
        client.reset(); // the client leaves first, as it did
        desk.reset();
    }
};

// The desk's end in a process of its own (the driver at `driver`), as the
// programs are: each end has its own framework, poller and lock, where
// session_pair's two ends share one process's.
struct session_pair_apart : session_stand {
    std::unique_ptr<driver_process> desk;

    explicit session_pair_apart(std::string const& driver) {
        desk = std::make_unique<driver_process>(
            std::vector<std::string>{driver, "--desk", std::to_string(relay->port()), cert, key, dh});
        std::string const code = desk->line();
        if (code.rfind("code ", 0) != 0 || !join(code.substr(5)) || desk->line() != "echo") return;
        up = client->conn->safe_channel().get() != nullptr;
    }
    ~session_pair_apart() {
        client.reset();
        desk.reset();
    }
};

} // namespace bench_support
