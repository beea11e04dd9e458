// A desk and a client connector against the real relay (tovan_relay run as a
// process on 127.0.0.1): the session is created, joined and its reliable
// channel comes up through TLS; and the outcomes of failed attempts.
#include "tovan/session/connector.h"
#include "tovan/session/post_data_thread.h"

#include "rulo-rpt/net/net_util.h"
#include "rulo/packet.h"

#include "tests/support/relay_process.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include "tests/support/tcp_peer.h"

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <sstream>

namespace {

using test_support::relay_process;
using vyn::origin;

// Records what the connector asks of the program and lets the test wait.
class recording_host : public vyn::connector_host {
public:
    bool credentials = true;
    std::string language = "English";
    std::string cred_user = "u", cred_password = "p";
    std::string failure_words = "F running:"; // "": no translation table
    // Handles "channel_start_all" at once, on another thread, as a quick GUI
    // thread would, and notes whether the next attempt started.
    std::weak_ptr<vyn::connector> restarts;

    void handle_command(origin from, std::string text) override {
        auto const restart = text == "channel_start_all" ? restarts.lock() : nullptr;
        note((from == origin::local ? "local " : from == origin::peer ? "peer " : "server ") + text);
        if (restart)
            note(std::string("started ") +
                 (std::async(std::launch::async, [restart] { return restart->start_attempt(); }).get()
                      ? "1"
                      : "0"));
    }
    vyn::session_shared& shared() override { return m_shared; }
    void push_chat(std::string line) override { note("chat " + line); }
    void stamp_life_sign() override {}
    int64_t connection_state() override { return 4; }
    void route_packet(int, netbuf const&) override {}
    void send_version() override {}
    void log(std::string const& text) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_logs.push_back(text);
        m_changed.notify_all(); // under the lock: the waiter may end the host at once
    }
    void msg_box_in_main(std::string const& text, std::string const& caption, unsigned) override {
        note("box " + caption + "|" + text);
    }
    void shutdown_connection() override { note("shutdown"); }
    void clear_connect_save_file() override {}
    void end_connection(failure_end const& end) override {
        m_shared.in_connection = false;
        if (end.shut_down) note("shutdown");
        note("box " + end.caption + "|" + end.error);
    }
    // Work for the GUI thread runs at once, or, held, when the test runs it.
    std::atomic<bool> hold{false};
    void post_to_gui(std::function<void()> f) override {
        if (!hold) return f();
        std::lock_guard<std::mutex> lock(m_mutex);
        m_held.push_back(std::move(f));
    }
    std::vector<std::function<void()>> take_held() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return std::exchange(m_held, {});
    }
    void code_file_due(std::string const& text) override { note("code_file " + text); }
    void session_message_due(vyn::connector& from) override {
        if (from.send_session_message({{"a", "b"}})) note("session_message_sent");
    }
    void post_notification(int64_t a, int64_t b) override {
        note("notify " + std::to_string(a) + " " + std::to_string(b));
    }
    // Held like the rest of the GUI thread's work, checked when run as the dispatcher and code field do.
    void set_new_code(std::string const& code, std::function<bool()> withdrawn) override {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_code = code;
        }
        post_to_gui([this, code, withdrawn] {
            if (!withdrawn()) note("code " + code);
        });
    }
    void queue_command(std::string text, std::function<bool()> withdrawn) override {
        post_to_gui([this, text, withdrawn] {
            if (!withdrawn()) handle_command(origin::local, text);
        });
    }
    std::string typed_code() override {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_code;
    }
    void type_code(std::string const& code) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_code = code;
    }
    void request_credentials(vyn::credentials_request* request) override {
        note("ask_credentials");
        request->user = cred_user;
        request->password = cred_password;
        request->answered = credentials;
        request->done();
    }
    std::string word_error(std::string const&, vyn::control_rpc::exception const& e) override {
        return "E" + std::to_string(e.code) + " " + e.text;
    }
    std::string word_failure(std::string const&, rulo::exception const& e, bool starting) override {
        return starting ? "F " + e.description() : failure_words;
    }
    std::string translate(std::string const& key) override { return "<" + key + ">"; }
    std::string selected_language() override { return language; } // set before the attempt

    // True once `times` events starting with prefix were recorded.
    bool wait_for(std::string const& prefix, int ms = 30000, int times = 1) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::milliseconds(ms),
                                  [&] { return count_locked(prefix) >= times; });
    }
    int count(std::string const& prefix) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return count_locked(prefix);
    }
    std::vector<std::string> events() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_events;
    }
    bool logged(std::string const& text, int ms = 0) { return logs_with(text, 1, ms); }
    // The log lines holding text; with at_least, whether that many came within ms.
    int logs_with(std::string const& text, int at_least = -1, int ms = 0) {
        std::unique_lock<std::mutex> lock(m_mutex);
        auto count = [&] {
            return static_cast<int>(std::count_if(m_logs.begin(), m_logs.end(), [&](std::string const& l) {
                return l.find(text) != std::string::npos;
            }));
        };
        if (at_least < 0) return count();
        return m_changed.wait_for(lock, std::chrono::milliseconds(ms), [&] { return count() >= at_least; });
    }

private:
    int count_locked(std::string const& prefix) {
        int n = 0;
        for (auto const& e : m_events) n += e.rfind(prefix, 0) == 0;
        return n;
    }
    void note(std::string const& e) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_events.push_back(e);
        m_changed.notify_all();
    }
    vyn::session_shared m_shared;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::string> m_events, m_logs;
    std::string m_code;
    std::vector<std::function<void()>> m_held;
};

// A fresh HOME for the test: the multiplexer keeps each relay's certificate
// in the per-user store, and every relay here makes its own.
class fresh_home {
public:
    fresh_home() {
        if (char const* h = std::getenv("HOME")) m_old = h;
        setenv("HOME", m_dir.path().toUtf8().constData(), 1);
    }
    ~fresh_home() { setenv("HOME", m_old.c_str(), 1); }

private:
    QTemporaryDir m_dir;
    std::string m_old;
};

vyn::connector_config config_for(relay_process const& relay, bool client, unsigned short port = 0) {
    vyn::connector_config c;
    c.is_client = client;
    c.proxy_host = "127.0.0.1:" + std::to_string(port ? port : relay.port());
    c.force_transport = "direct";
    c.cert_file = relay.cert_path();
    c.key_file = relay.dir() + "/key.pem";
    c.ca_file = relay.cert_path();
    c.dh_file = TOVAN_SOURCE_DIR "/conf_static/dh.pem";
    return c;
}

// The TCP_NODELAY setting of every socket of this process connected to
// 127.0.0.1:port.
std::vector<int> no_delay_towards(unsigned short port) {
    std::vector<int> settings;
    for (auto const& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        int const fd = std::atoi(entry.path().filename().c_str());
        sockaddr_in peer{};
        socklen_t size = sizeof peer;
        if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &size) != 0 || peer.sin_family != AF_INET ||
            ntohs(peer.sin_port) != port)
            continue;
        int on = 0;
        socklen_t length = sizeof on;
        if (::getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, &length) == 0) settings.push_back(on);
    }
    return settings;
}

// The log lines that hold every one of parts.
int count_lines(std::string const& text, std::vector<std::string> const& parts) {
    int n = 0;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        n += std::all_of(parts.begin(), parts.end(),
                         [&](std::string const& p) { return line.find(p) != std::string::npos; });
    return n;
}

// A host and its connector, which the host outlives: a running attempt
// holds the connector, so the end waits for its threads and channel's stop.
struct end {
    end(relay_process const&, bool, vyn::connector_config c)
        : owner(std::make_shared<vyn::connector>(host, std::move(c))), conn(*owner) {}
    ~end() {
        conn.abandon();
        EXPECT_TRUE(conn.wait_attempt(30000));
        int const threads = host.logs_with("ConnectionThreadClass::run");
        int const stops = conn.safe_channel() ? host.count("local channel_status_stopped") + 1 : 0;
        owner.reset();
        EXPECT_TRUE(host.logs_with("ConnectionThreadClass ended", threads, 30000));
        EXPECT_TRUE(host.wait_for("local channel_status_stopped", 30000, stops));
    }
    void start(std::string const& target) {
        conn.update_target(target, false);
        conn.set_in_connection(true);
        ASSERT_TRUE(conn.start_attempt());
    }
    vyn::session_ids ids() { return host.shared().ids.get(); }
    recording_host host;
    std::shared_ptr<vyn::connector> owner;
    vyn::connector& conn;
};

TEST(Connector, DeskAndClientMeetThroughTheRelay) {
    fresh_home home;
    relay_process relay({"--require-login", "u:p"});
    auto dc = config_for(relay, false);
    dc.memory->user = "u";
    dc.memory->password = "wrong"; // refused in plain text: the user is asked
    end desk(relay, false, dc);
    desk.start(dc.proxy_host);
    ASSERT_TRUE(desk.host.wait_for("notify 32 ")); // after the code file
    EXPECT_EQ(desk.host.count("ask_credentials"), 1);
    std::string const code = desk.ids().code;
    EXPECT_EQ(code.size(), 9u);
    EXPECT_EQ(desk.host.count("code_file " + code + " " + desk.ids().sid), 1);
    ASSERT_TRUE(desk.host.wait_for("notify 1 "));
    EXPECT_EQ(desk.host.count("notify 16 "), 1);
    EXPECT_EQ(desk.host.count("notify 32 "), 1);

    // The client's own relay sends it to the desk's, whose certificate it
    // shares: one attempt there, started as soon as asked, then back home.
    relay_process home_relay({"--cert", relay.cert_path(), "--key", relay.dir() + "/key.pem", "--redirect",
                              "127.0.0.1:" + std::to_string(relay.port())});
    auto cc = config_for(relay, true, home_relay.port());
    end client(relay, true, cc);
    client.host.restarts = client.owner;
    client.host.type_code(code);
    client.start(cc.proxy_host);

    // Each end hears the other's version on the text sub-channel, through TLS.
    ASSERT_TRUE(client.host.wait_for("peer version 3.3.2"));
    ASSERT_TRUE(desk.host.wait_for("peer version 3.3.2"));
    EXPECT_TRUE(desk.host.wait_for("local channel_status_connected"));
    EXPECT_TRUE(client.host.wait_for("local channel_status_connected"));
    EXPECT_EQ(client.ids().sid, desk.ids().sid);
    EXPECT_EQ(client.host.count("started 1"), 1);
    EXPECT_EQ(client.conn.transport_map().at("connect"), cc.proxy_host);
    EXPECT_EQ(count_lines(home_relay.log_text(), {"\"control-call\"", "\"method\":47"}), 1);
    EXPECT_NE(relay.wait_log({"\"bind\"", "\"method\":48"}), "");
    EXPECT_NE(relay.wait_log({"\"bind\"", "\"method\":37"}), "");
    EXPECT_NE(relay.wait_log({"legs-joined"}), "");
    // Both relay connections send small messages at once: a plugin packet or
    // a text must not wait for the acknowledgement of the one before.
    auto const no_delay = no_delay_towards(relay.port());
    EXPECT_GE(no_delay.size(), 2u);
    EXPECT_EQ(std::count(no_delay.begin(), no_delay.end(), 0), 0);

    // Texts go both ways on the reliable channel.
    client.conn.safe_channel()->send(vyn::text_channel, netbuf::from_string("ping_call"));
    EXPECT_TRUE(desk.host.wait_for("peer ping_call"));
    desk.conn.safe_channel()->send(vyn::chat_channel, netbuf::from_string("hello"));
    EXPECT_TRUE(client.host.wait_for("chat hello"));

    // A second attempt while the channel exists only reconnects it.
    ASSERT_TRUE(desk.conn.wait_attempt(30000));
    desk.conn.update_target(dc.proxy_host, false);
    ASSERT_TRUE(desk.conn.start_attempt());
    ASSERT_TRUE(desk.conn.wait_attempt(30000));
    EXPECT_EQ(desk.host.count("local connection_status 4"), 1);
    EXPECT_EQ(desk.host.count("notify 1 "), 1);
    EXPECT_NE(relay.wait_log({"\"bind\"", "\"method\":21"}), "");
    EXPECT_EQ(desk.host.count("box "), 0);
    EXPECT_EQ(client.host.count("box "), 0);

    // The next session: the log-in typed before, no configuration, the language selected now.
    end next(relay, false, dc);
    next.host.language = "Deutsch";
    next.start(dc.proxy_host);
    ASSERT_TRUE(next.host.wait_for("notify 1 "));
    EXPECT_EQ(next.host.count("ask_credentials"), 0);
    // Sent without waiting for the answer: the relay may log it after the code.
    EXPECT_NE(relay.wait_log({"\"control-call\"", "\"method\":18", "\"text\":\"Deutsch\""}), "");
    std::string const log = relay.log_text();
    EXPECT_EQ(count_lines(log, {"\"control-call\"", "\"method\":25"}), 1);
    std::string hardware;
    for (auto const& a : rulo::get_nifs_hw()) hardware += (hardware.empty() ? "" : ",") + a;
    EXPECT_EQ(count_lines(log, {"\"method\":43", "\"text\":\"" + hardware + "\""}), 2) << log;
    EXPECT_LT(log.find("\"method\":43"), log.find("\"method\":33")); // before the log-in

    // Given up (a new Connect) before the GUI thread ran what it handed over:
    // no code in the field, queued command, code file or message; the next session has each once.
    ASSERT_TRUE(next.conn.wait_attempt(30000));
    dc.message_channel = true;
    for (bool const give_up : {true, false}) {
        next.host.hold = true;
        next.host.shared().ids = vyn::session_ids{};
        auto conn = std::make_shared<vyn::connector>(next.host, dc);
        conn->update_target(dc.proxy_host, false);
        ASSERT_TRUE(conn->start_attempt());
        ASSERT_TRUE(conn->wait_attempt(30000));
        if (give_up) conn->abandon();
        int const codes = next.host.count("code "), statuses = next.host.count("local connection_status 4");
        next.host.hold = false;
        for (auto& f : next.host.take_held()) f();
        EXPECT_EQ(next.host.count("code ") - codes, give_up ? 0 : 1);
        EXPECT_EQ(next.host.count("local connection_status 4") - statuses, give_up ? 0 : 1);
        int const stops = next.host.count("local channel_status_stopped");
        conn.reset();
        ASSERT_TRUE(next.host.wait_for("local channel_status_stopped", 30000, stops + 1));
    }
    EXPECT_EQ(next.host.count("code_file "), 2); // next's own and the last one's
    EXPECT_EQ(next.host.count("code_file " + next.ids().code + " " + next.ids().sid), 1);
    EXPECT_NE(relay.wait_log({"\"event\":\"message\"", "session_message", next.ids().sid}), "");
    EXPECT_EQ(count_lines(relay.log_text(), {"\"event\":\"message\"", "session_message"}), 1);
}

// The relay breaks both legs; each end's next attempt (as the retry timer
// starts it) continues the session: the desk by its continue call, the
// client by resolve and "I am client" in the session-id form.
TEST(Connector, BothEndsContinueAfterTheLegsBreak) {
    fresh_home home;
    relay_process relay;
    auto dc = config_for(relay, false);
    end desk(relay, false, dc);
    desk.start(dc.proxy_host);
    ASSERT_TRUE(desk.host.wait_for("code "));
    auto cc = config_for(relay, true);
    end client(relay, true, cc);
    client.host.type_code(desk.ids().code);
    client.start(cc.proxy_host);
    // "connected" tells only that a leg is up; the peer's version tells the
    // session is.
    ASSERT_TRUE(client.host.wait_for("peer version 3.3.2"));
    ASSERT_TRUE(desk.host.wait_for("peer version 3.3.2"));
    ASSERT_TRUE(desk.conn.wait_attempt(30000));
    ASSERT_TRUE(client.conn.wait_attempt(30000));

    relay.admin("break-legs " + desk.ids().sid);
    ASSERT_TRUE(client.host.wait_for("local channel_status_broken"));
    ASSERT_TRUE(desk.host.wait_for("local channel_status_broken"));
    client.conn.safe_channel()->send(vyn::chat_channel, netbuf::from_string("meanwhile"));
    desk.conn.update_target(dc.proxy_host, false);
    ASSERT_TRUE(desk.conn.start_attempt());
    client.conn.update_target(cc.proxy_host, false);
    ASSERT_TRUE(client.conn.start_attempt());
    ASSERT_TRUE(desk.conn.wait_attempt(30000));
    ASSERT_TRUE(client.conn.wait_attempt(30000));
    EXPECT_NE(relay.wait_log({"\"bind\"", "\"method\":21"}), "");
    EXPECT_NE(relay.wait_log({"\"bind\"", "\"role\":\"client\"", "\"method\":37"}), "");
    EXPECT_NE(relay.log_text().find("\"method\":47"), std::string::npos);

    // A line sent while the legs were down arrives, once.
    ASSERT_TRUE(desk.host.wait_for("chat meanwhile"));
    desk.conn.safe_channel()->send(vyn::text_channel, netbuf::from_string("ping_call"));
    ASSERT_TRUE(client.host.wait_for("peer ping_call"));
    EXPECT_EQ(desk.host.count("chat meanwhile"), 1);
    EXPECT_EQ(desk.host.count("box "), 0);
    EXPECT_EQ(client.host.count("box "), 0);
    EXPECT_EQ(desk.host.count("local channel_status_connect_failed"), 0);
}

TEST(Connector, FailedAttemptsEndAsTheyShould) {
    fresh_home home;
    relay_process relay({"--refuse-create"});
    {
        // A refused create: one box, the 32768 line, the wish to connect gone.
        end desk(relay, false, config_for(relay, false));
        desk.start("127.0.0.1:" + std::to_string(relay.port()));
        ASSERT_TRUE(desk.conn.wait_attempt(30000));
        EXPECT_EQ(desk.host.count("box |E12"), 1);
        EXPECT_EQ(desk.host.count("notify 32768 0"), 1);
        EXPECT_FALSE(desk.conn.in_connection());
        EXPECT_EQ(desk.host.count("shutdown"), 1);
    }
    {
        // Cancelled at once: the thread ends without touching the network.
        end desk(relay, false, config_for(relay, false));
        desk.start("127.0.0.1:" + std::to_string(relay.port()));
        EXPECT_FALSE(desk.conn.start_attempt()); // one attempt at a time
        desk.conn.set_in_connection(false);
        ASSERT_TRUE(desk.conn.wait_attempt(30000));
        EXPECT_TRUE(desk.host.logged("ignore - not in connection"));
        EXPECT_TRUE(desk.host.events().empty());
    }
    {
        // Nobody listens any more: the box says what was tried; what worked is no longer first.
        fresh_home other_home; // this relay's certificate is another one
        relay_process gone;
        unsigned short const port = gone.port();
        auto c = config_for(gone, false);
        {
            end earlier(gone, false, c);
            earlier.start(c.proxy_host);
            ASSERT_TRUE(earlier.host.wait_for("notify 1 "));
        }
        EXPECT_NE(c.memory->transport_memory, "");
        gone.stop();
        end desk(relay, false, c);
        desk.start("127.0.0.1:" + std::to_string(port));
        ASSERT_TRUE(desk.conn.wait_attempt(60000));
        EXPECT_EQ(c.memory->transport_memory, "");
        ASSERT_EQ(desk.host.count("box "), 1);
        EXPECT_EQ(desk.host.count("box |F "), 1);
        auto const events = desk.host.events();
        bool through = false;
        for (auto const& e : events) through |= e.find("Connecting through:") != std::string::npos;
        EXPECT_TRUE(through);
    }
    for (std::string const words : {"F running:", ""}) {
        // The desk's key cannot be read: one box, and the wish to connect
        // ends; without translations the box tells the framework's words.
        fresh_home other_home; // this relay's certificate is another one
        relay_process open_relay;
        auto c = config_for(open_relay, false);
        c.key_file = open_relay.dir() + "/no-such-key.pem";
        end desk(open_relay, false, c);
        desk.host.failure_words = words;
        desk.start(c.proxy_host);
        ASSERT_TRUE(
            desk.host.wait_for("box Tovan Error|" + (words.empty() ? ":Error in 'set_cert'" : words)));
        // The log keeps why, after one ": ".
        EXPECT_EQ(desk.host.logs_with(words.empty() ? "no-such-key.pem" : "F running: "), 1) << words;
        EXPECT_EQ(desk.host.logs_with("F running::"), 0);
        // The channel gives up on this leg; the dispatcher, with no wish to
        // connect left, then ends the session.
        ASSERT_TRUE(desk.host.wait_for("local channel_status_connect_failed"));
        ASSERT_TRUE(desk.conn.wait_attempt(30000));
        EXPECT_FALSE(desk.conn.in_connection());
        EXPECT_EQ(desk.host.count("box "), 1);
    }
    {
        // A redirect: the attempt asks for another at once, towards the
        // target given, with the transport memory and "additional" dropped.
        relay.admin("redirect 127.0.0.1:9");
        auto c = config_for(relay, true);
        c.proxy_host_additional = "127.0.0.1:8";
        end client(relay, true, c);
        client.host.type_code("123456789");
        client.start(c.proxy_host);
        ASSERT_TRUE(client.conn.wait_attempt(30000));
        EXPECT_EQ(client.host.events(), std::vector<std::string>{"local channel_start_all"});
        auto const map = client.conn.transport_map();
        EXPECT_EQ(map.at("connect"), "127.0.0.1:9");
        EXPECT_EQ(map.count("additional"), 0u);
        // Only that one attempt goes there; the next ones go to the relay configured.
        ASSERT_TRUE(client.conn.start_attempt());
        ASSERT_TRUE(client.conn.wait_attempt(60000));
        EXPECT_EQ(client.conn.transport_map().at("connect"), c.proxy_host);
        relay.admin("redirect");
    }
    {
        // A client whose code the server does not know.
        end client(relay, true, config_for(relay, true));
        client.host.type_code("123");
        client.start("127.0.0.1:" + std::to_string(relay.port()));
        ASSERT_TRUE(client.conn.wait_attempt(30000));
        EXPECT_EQ(client.host.count("box |E4"), 1);
    }
}

// The control calls of an attempt that the server leaves unanswered: each
// attempt ends within the call limit, as a network failure. A first attempt
// ends the connection with one box; a reconnect shows nothing and hands the
// failure to the retry ladder.
TEST(Connector, UnansweredCallsEndTheAttemptAtTheirLimit) {
    fresh_home home;
    relay_process relay;
    struct row {
        char const* method;
        bool client;
    };
    for (row const r : {row{"48", false}, row{"47", true}, row{"37", true}}) {
        SCOPED_TRACE(r.method);
        relay.admin(std::string("never-answer ") + r.method);
        auto c = config_for(relay, r.client);
        c.call_limit_s = 1;
        end e(relay, r.client, c);
        if (r.client) {
            // A session for the client to look for.
            end desk(relay, false, config_for(relay, false));
            if (std::string(r.method) == "37") {
                desk.start(c.proxy_host);
                ASSERT_TRUE(desk.host.wait_for("code "));
                e.host.type_code(desk.ids().code);
            } else {
                e.host.type_code("123456789");
            }
            e.start(c.proxy_host);
            ASSERT_TRUE(e.conn.wait_attempt(30000));
        } else {
            e.start(c.proxy_host);
            ASSERT_TRUE(e.conn.wait_attempt(30000));
        }
        EXPECT_NE(
            relay.wait_log({"\"control-call\"", std::string("\"method\":") + r.method, "\"reply\":\"none\""}),
            "");
        EXPECT_EQ(e.host.count("box |Network error"), 1);
        EXPECT_EQ(e.host.count("shutdown"), 1);
        EXPECT_FALSE(e.conn.in_connection());
        EXPECT_EQ(e.host.count("local channel_status_connect_failed"), 0);
        relay.admin(std::string("answer ") + r.method);
    }
    {
        // Given up while the server is silent (the user pressed Connect
        // again): the attempt ends at once, not at its limit, and quietly.
        relay.admin("never-answer 48");
        auto c = config_for(relay, false);
        c.call_limit_s = 600;
        c.memory->user = "u";
        c.memory->password = "p";
        end desk(relay, false, c);
        desk.start(c.proxy_host);
        ASSERT_NE(relay.wait_log({"\"control-call\"", "\"method\":48", "\"reply\":\"none\""}), "");
        desk.conn.abandon();
        EXPECT_TRUE(desk.conn.wait_attempt(30000));
        EXPECT_TRUE(desk.host.events().empty()) << desk.host.events().front();
        relay.admin("answer 48");
    }
    {
        // Given up and let go while its connect hangs (a listener that never
        // answers): the handle goes at once, and the attempt ends on its own
        // without telling its host anything.
        test_support::tcp_listener silent;
        recording_host host;
        auto c = config_for(relay, false, silent.port());
        auto conn = std::make_shared<vyn::connector>(host, c);
        conn->update_target(c.proxy_host, false);
        conn->set_in_connection(true);
        ASSERT_TRUE(conn->start_attempt());
        ASSERT_TRUE(host.logged("TCP connection to 127.0.0.1:" + std::to_string(silent.port()), 30000));
        conn->abandon();
        auto let_go = std::async(std::launch::async, [&] { conn.reset(); });
        ASSERT_EQ(let_go.wait_for(std::chrono::seconds(2)), std::future_status::ready);
        EXPECT_FALSE(host.logged("ConnectionThreadClass ended"));
        EXPECT_TRUE(host.logged("ConnectionThreadClass ended", 30000));
        EXPECT_TRUE(host.events().empty());
    }
}

// A desk whose session exists reconnects by continuing it, never by a new
// create: a server that now refuses creates shows it nothing, and one that
// leaves the continue unanswered fails the attempt quietly into the retry
// ladder; the retry after that takes the session back.
TEST(Connector, ReconnectingDeskShowsNoBox) {
    fresh_home home;
    relay_process relay;
    auto dc = config_for(relay, false);
    dc.call_limit_s = 1;
    end desk(relay, false, dc);
    desk.start(dc.proxy_host);
    ASSERT_TRUE(desk.host.wait_for("notify 1 "));
    ASSERT_TRUE(desk.conn.wait_attempt(30000));
    std::string const sid = desk.ids().sid;

    relay.admin("refuse-create on");
    relay.admin("never-answer 21");
    desk.conn.update_target(dc.proxy_host, false);
    ASSERT_TRUE(desk.conn.start_attempt());
    ASSERT_TRUE(desk.conn.wait_attempt(30000));
    EXPECT_NE(relay.wait_log({"\"control-call\"", "\"method\":21", "\"reply\":\"none\""}), "");
    EXPECT_EQ(desk.host.count("local channel_status_connect_failed"), 1);
    EXPECT_TRUE(desk.conn.in_connection());

    relay.admin("answer 21");
    desk.conn.update_target(dc.proxy_host, false);
    ASSERT_TRUE(desk.conn.start_attempt());
    ASSERT_TRUE(desk.conn.wait_attempt(30000));
    EXPECT_NE(relay.wait_log({"\"bind\"", "\"method\":21", sid}), "");
    EXPECT_EQ(desk.host.count("local channel_status_connect_failed"), 1);
    EXPECT_EQ(desk.ids().sid, sid);

    EXPECT_EQ(desk.host.count("box "), 0);
    EXPECT_EQ(desk.host.count("notify 32768"), 0);
    EXPECT_EQ(desk.host.count("shutdown"), 0);
    EXPECT_EQ(count_lines(relay.log_text(), {"\"control-call\"", "\"method\":48"}), 1);
}

} // namespace

// The relay restarts (another one with the same certificate takes its
// place). One that kept its sessions in its state file takes both ends back
// (continue, and resolve and "I am client" by session id); one that forgot
// them answers "no such session", and each end's attempt then says the
// session is gone instead of failing into the retry ladder.
TEST(Connector, ARestartedRelayKeepsOrForgetsTheSession) {
    fresh_home home;
    QTemporaryDir dir;
    std::string const state = dir.filePath("sessions").toStdString();
    std::string const keep[] = {"--state", state};
    auto first = std::make_unique<relay_process>(std::vector<std::string>(std::begin(keep), std::end(keep)),
                                                 dir.path().toStdString());
    end desk(*first, false, config_for(*first, false));
    desk.start("127.0.0.1:" + std::to_string(first->port()));
    ASSERT_TRUE(desk.host.wait_for("code "));
    end client(*first, true, config_for(*first, true));
    client.host.type_code(desk.ids().code);
    client.start("127.0.0.1:" + std::to_string(first->port()));
    ASSERT_TRUE(client.host.wait_for("peer version 3.3.2"));
    ASSERT_TRUE(desk.host.wait_for("peer version 3.3.2"));
    ASSERT_TRUE(desk.conn.wait_attempt(30000));
    ASSERT_TRUE(client.conn.wait_attempt(30000));
    // The keys are in the file: only its owner reads it.
    EXPECT_EQ(std::filesystem::status(state).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    first.reset();

    for (bool const kept : {true, false}) {
        SCOPED_TRACE(kept ? "kept" : "forgotten");
        std::vector<std::string> options;
        if (kept) options.assign(std::begin(keep), std::end(keep));
        relay_process next(options, dir.path().toStdString());
        std::size_t const before = next.log_text().size();
        for (end* e : {&desk, &client}) {
            e->conn.update_target("127.0.0.1:" + std::to_string(next.port()), false);
            ASSERT_TRUE(e->conn.start_attempt());
            ASSERT_TRUE(e->conn.wait_attempt(30000));
        }
        std::string const log = next.log_text().substr(before);
        EXPECT_EQ(count_lines(log, {"\"control-call\"", "\"method\":21", kept ? "done" : "error"}), 1);
        EXPECT_EQ(count_lines(log, {"\"control-call\"", "\"method\":47", kept ? "value" : "error"}), 1);
        EXPECT_EQ(count_lines(log, {"\"bind\"", "\"method\":37"}), kept ? 1 : 0);
        for (end* e : {&desk, &client}) {
            EXPECT_EQ(e->host.count("local my_intern_session_gone"), kept ? 0 : 1);
            EXPECT_EQ(e->host.count("local channel_status_connect_failed"), 0);
            EXPECT_EQ(e->host.count("box "), 0);
        }
    }
}

// The end of a session posted over a connection of its own.
class post_recorder : public vyn::post_data_host {
public:
    void log(std::string const& text) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        logs += text + "\n";
    }
    std::string word_error(std::string const&, vyn::control_rpc::exception const& e) override {
        return "E" + std::to_string(e.code);
    }
    std::string word_failure(std::string const&, rulo::exception const&, bool) override { return "F"; }
    void post_finished(std::string const& e) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        error = e;
        ++finished;
    }
    std::mutex m_mutex;
    std::string logs, error;
    int finished = 0;
};

TEST(PostData, TextsReachTheRelayUnderTheSessionsIdentity) {
    fresh_home home;
    relay_process relay;
    std::string transcript;
    rulo_packet_push(
        transcript, std::string("desk_chat"),
        std::map<std::string, std::string>{{"CHAT_TRANSCRIPT_PLAIN", "10:00:00 one\n10:00:01 two\n"},
                                           {"CHAT_TRANSCRIPT", "<p>one</p>"}});
    struct {
        char const* sid;
        std::string comments, transcript;
        int messages;
    } const posts[] = {{"1:1", "thanks", transcript, 2}, {"2:2", "", transcript, 1}, {"3:3", "", "", 0}};
    // A desk connecting meanwhile keeps its own relay connection and client.
    end desk(relay, false, config_for(relay, false));
    desk.start(config_for(relay, false).proxy_host);
    for (auto const& p : posts) {
        post_recorder host;
        {
            vyn::PostDataThreadClass post(host, config_for(relay, false), p.sid, "key", p.comments,
                                          p.transcript);
            ASSERT_TRUE(post.wait(30000)) << p.sid;
        }
        EXPECT_EQ(host.finished, 1);
        EXPECT_EQ(host.error, "") << p.sid;
        EXPECT_NE(host.logs.find("posting results\n"), std::string::npos);
        std::string const sid = "\"sid\":\"" + std::string(p.sid) + "\"";
        EXPECT_NE(relay.wait_log({"\"message\"", "\"name\":\"software_type\"", sid, "\"role\":\"desk\""}),
                  "");
        if (!p.comments.empty()) {
            EXPECT_NE(relay.wait_log({"\"comments\"", sid, "\"text\":\"thanks\""}), "");
        }
        if (!p.transcript.empty()) {
            EXPECT_NE(relay.wait_log({"\"transcript\"", sid, "\"kind\":\"desk_chat\"",
                                      "\"plain\":\"10:00:00 one\\u000a10:00:01 two\\u000a\""}),
                      "");
        }
        EXPECT_EQ(count_lines(relay.log_text(), {"\"name\":\"message\"", sid}), p.messages) << p.sid;
    }
    ASSERT_TRUE(desk.host.wait_for("notify 32 "));
    EXPECT_TRUE(desk.conn.rpc());
    EXPECT_EQ(desk.ids().code.size(), 9u);

    // A relay that refuses: the post gives up at its limit with the report.
    relay.admin("listen off");
    post_recorder host;
    auto config = config_for(relay, false);
    config.post_limit_ms = 3000;
    vyn::PostDataThreadClass post(host, config, "4:4", "key", "", transcript);
    ASSERT_TRUE(post.wait(30000));
    EXPECT_NE(host.error.find("Connecting through:"), std::string::npos) << host.error;
    EXPECT_NE(host.logs.find("done posting results: " + host.error), std::string::npos);
}
