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

// The relay, the desk and the client, made on first use and kept for the run.
struct session_pair {
    std::string home;
    std::unique_ptr<test_support::relay_process> relay;
    std::unique_ptr<session_end> desk, client;
    bool up = false;

    session_pair() {
        // The multiplexer pins the relay's certificate in the user's store.
        char pattern[] = "/tmp/desk_round_trip_XXXXXX";
        if (::mkdtemp(pattern)) home = pattern;
        ::setenv("HOME", home.c_str(), 1);
        // The relay's event log stays out of the measured path.
        relay = std::make_unique<test_support::relay_process>(std::vector<std::string>{"--log", "/dev/null"});
        std::string const cert = relay->cert_path(), key = relay->dir() + "/key.pem";
        std::string const dh = TOVAN_SOURCE_DIR "/conf_static/dh.pem";
        auto const desk_config = session_config(false, relay->port(), cert, key, dh);
        desk = std::make_unique<session_end>(desk_config);
        desk->start(desk_config.proxy_host);
        std::string const code = desk->host.wait_code();
        if (code.empty()) return;
        auto const client_config = session_config(true, relay->port(), cert, key, dh);
        client = std::make_unique<session_end>(client_config);
        client->host.type_code(code);
        client->start(client_config.proxy_host);
        if (!client->host.wait_version() || !desk->host.wait_version()) return;
        desk->host.echo_on(desk->conn.safe_channel());
        up = client->conn.safe_channel().get() != nullptr;
    }
    ~session_pair() {
        client.reset();
        desk.reset();
        relay.reset();
        std::error_code ec;
        if (!home.empty()) std::filesystem::remove_all(home, ec);
    }
    // One message to the desk and back.
    bool round_trip(netbuf const& ping) {
        int64_t const want = client->host.answers() + 1;
        client->conn.safe_channel()->send(plugin_channel, ping);
        return client->host.wait_answers(want);
    }
};

// The same two ends with the desk in a process of its own (the driver at
// `driver`), as the programs are: each end has its own framework, poller
// and lock, where session_pair's two ends share one process's.
struct session_pair_apart {
    std::string home;
    std::unique_ptr<test_support::relay_process> relay;
    std::unique_ptr<driver_process> desk;
    std::unique_ptr<session_end> client;
    bool up = false;

    explicit session_pair_apart(std::string const& driver) {
        char pattern[] = "/tmp/desk_round_trip_XXXXXX";
        if (::mkdtemp(pattern)) home = pattern;
        ::setenv("HOME", home.c_str(), 1);
        relay = std::make_unique<test_support::relay_process>(std::vector<std::string>{"--log", "/dev/null"});
        std::string const cert = relay->cert_path(), key = relay->dir() + "/key.pem";
        std::string const dh = TOVAN_SOURCE_DIR "/conf_static/dh.pem";
        desk = std::make_unique<driver_process>(
            std::vector<std::string>{driver, "--desk", std::to_string(relay->port()), cert, key, dh});
        std::string const code = desk->line();
        if (code.rfind("code ", 0) != 0) return;
        auto const client_config = session_config(true, relay->port(), cert, key, dh);
        client = std::make_unique<session_end>(client_config);
        client->host.type_code(code.substr(5));
        client->start(client_config.proxy_host);
        if (!client->host.wait_version() || desk->line() != "echo") return;
        up = client->conn.safe_channel().get() != nullptr;
    }
    ~session_pair_apart() {
        client.reset();
        desk.reset();
        relay.reset();
        std::error_code ec;
        if (!home.empty()) std::filesystem::remove_all(home, ec);
    }
    bool round_trip(netbuf const& ping) {
        int64_t const want = client->host.answers() + 1;
        client->conn.safe_channel()->send(plugin_channel, ping);
        return client->host.wait_answers(want);
    }
};

} // namespace bench_support
