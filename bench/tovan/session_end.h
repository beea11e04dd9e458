// One end of a support session for the benchmarks, built by the program's
// own set-up code: a connector (relay multiplexer, control calls, the
// reliable session channel over end-to-end TLS through the relay) with a
// host that stands in for the dialog. The host has no GUI thread: commands
// are noted, not dispatched; the desk answers every packet on a plugin
// sub-channel on the same sub-channel, as a plugin's pin that echoes would;
// the client counts those answers for the benchmark's thread.
//
// Threads: the connector calls the host on its attempt thread, the reliable
// channel's worker and the poller threads (with the framework lock held when
// it comes from the session channel); the benchmark's thread waits. One
// mutex guards what is noted.
#pragma once

#include "tovan/session/connector.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <utility>

namespace bench_support {

// The sub-channel the client's first plugin gets (the client numbers its
// plugins 103, 105 and so on).
constexpr int plugin_channel = 103;

class session_host : public vyn::connector_host {
public:
    // Called once when the peer's "version" arrives, on the channel's thread.
    std::function<void()> on_version;

    // The desk's answering channel; set once its reliable channel exists.
    void echo_on(rulo::object<rulo::rptSafeChannel> channel) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_echo = std::move(channel);
    }

    void handle_command(vyn::origin from, std::string text) override {
        bool version = false;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (from == vyn::origin::peer && text.rfind("version ", 0) == 0) version = m_version++ == 0;
            if (text == "channel_status_broken") ++m_broken;
            if (text == "channel_status_stopped") ++m_stopped;
            m_changed.notify_all(); // under the lock: the waiter may end the host at once
        }
        if (version && on_version) on_version();
    }
    vyn::session_shared& shared() override { return m_shared; }
    void push_chat(std::string) override {}
    void stamp_life_sign() override {}
    int64_t connection_state() override { return 6; }
    void route_packet(int index, netbuf const& data) override {
        rulo::object<rulo::rptSafeChannel> echo;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_answers;
            echo = m_echo;
        }
        if (echo)
            echo->send(index, data);
        else
            m_changed.notify_all();
    }
    void send_version() override {}
    void log(std::string const& text) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_runs += text == "ConnectionThreadClass::run";
        m_ends += text == "ConnectionThreadClass ended";
        m_changed.notify_all();
    }
    void msg_box_in_main(std::string const& text, std::string const&, unsigned) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_error = text;
    }
    void shutdown_connection() override {}
    void clear_connect_save_file() override {}
    void end_connection(failure_end const& end) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_error = end.error;
    }
    void post_notification(int64_t, int64_t) override {}
    void set_new_code(std::string const& code, std::function<bool()>) override {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_code = code;
        }
        m_changed.notify_all();
    }
    std::string typed_code() override {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_code;
    }
    void type_code(std::string const& code) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_code = code;
    }
    void request_credentials(vyn::credentials_request* request) override { request->done(); } // refused
    std::string word_error(std::string const&, vyn::control_rpc::exception const& e) override {
        return "control error " + std::to_string(e.code) + " " + e.text;
    }
    std::string word_failure(std::string const&, rulo::exception const& e, bool) override { return e.full(); }
    std::string translate(std::string const& key) override { return key; }
    std::string selected_language() override { return "English"; }

    // Waits until the peer's version has arrived; false after limit_ms or
    // once an attempt failed with a box.
    bool wait_version(int64_t limit_ms = 30000) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait_for(lock, std::chrono::milliseconds(limit_ms),
                           [&] { return m_version > 0 || !m_error.empty(); });
        return m_version > 0;
    }
    // Waits until the desk's code is known; "" after limit_ms.
    std::string wait_code(int64_t limit_ms = 30000) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait_for(lock, std::chrono::milliseconds(limit_ms),
                           [&] { return !m_code.empty() || !m_error.empty(); });
        return m_code;
    }
    // Answers counted so far (on the client: packets back on a plugin sub-channel).
    int64_t answers() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_answers;
    }
    // Waits until `count` answers have arrived; false after limit_ms or a broken link.
    bool wait_answers(int64_t count, int64_t limit_ms = 30000) {
        std::unique_lock<std::mutex> lock(m_mutex);
        int const broken = m_broken;
        return m_changed.wait_for(lock, std::chrono::milliseconds(limit_ms), [&] {
            return m_answers >= count || m_broken != broken;
        }) && m_answers >= count;
    }
    std::string error() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_error;
    }
    // The attempt threads started so far, and the session channel's stops.
    std::pair<int, int> runs_and_stops() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return {m_runs, m_stopped};
    }
    // Until that many attempt threads have ended and channels stopped.
    bool wait_ended(std::pair<int, int> until, int64_t limit_ms = 30000) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::milliseconds(limit_ms),
                                  [&] { return m_ends >= until.first && m_stopped >= until.second; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    rulo::object<rulo::rptSafeChannel> m_echo;
    std::string m_code, m_error;
    int m_version = 0, m_broken = 0, m_stopped = 0, m_runs = 0, m_ends = 0;
    vyn::session_shared m_shared;
    int64_t m_answers = 0;
};

// The connector's settings for one end on the relay at 127.0.0.1:port: the
// direct way only, TLS on, the desk logging in with a user and password (the
// relay takes any unless told otherwise) and presenting the given
// certificate, key and Diffie-Hellman parameters, the client trusting that
// certificate.
inline vyn::connector_config session_config(bool client, unsigned short port, std::string const& cert,
                                            std::string const& key, std::string const& dh) {
    vyn::connector_config c;
    c.is_client = client;
    c.proxy_host = "127.0.0.1:" + std::to_string(port);
    c.force_transport = "direct";
    c.cert_file = cert;
    c.key_file = key;
    c.ca_file = cert;
    c.dh_file = dh;
    if (!client) {
        c.memory->user = "bench";
        c.memory->password = "bench";
    }
    return c;
}

// A host and its connector; start() begins the first attempt as the action
// button does. The host outlives the connector, which a running attempt
// holds: the end waits for its attempts and its channel's stop.
struct session_end {
    explicit session_end(vyn::connector_config config)
        : conn(std::make_shared<vyn::connector>(host, std::move(config))) {}
    ~session_end() {
        conn->abandon();
        conn->wait_attempt(30000);
        auto until = host.runs_and_stops();
        if (conn->safe_channel()) ++until.second;
        conn.reset();
        host.wait_ended(until);
    }
    void start(std::string const& target) {
        conn->update_target(target, false);
        conn->set_in_connection(true);
        conn->start_attempt();
    }
    std::string code() { return host.shared().ids.get().code; }
    std::string sid() { return host.shared().ids.get().sid; }
    session_host host;
    std::shared_ptr<vyn::connector> conn;
};

} // namespace bench_support
