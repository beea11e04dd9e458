// The HTTP tunnel: a byte stream to the relay carried inside ordinary HTTP
// requests, for networks where only web traffic gets out.
//
// connect opens the two-leg tunnel: the relay's bytes arrive as the bodies of
// successive GET responses (the download leg), ours leave as the bodies of
// successive POST requests, each announcing a random length of 500000 to
// 999999 bytes (the upload leg). Every leg is a fresh connection, to the
// relay itself or to a web proxy, opened by a short-lived thread of its own
// that runs the proxy handshake. cconnect opens the other variant: one CONNECT
// through a web proxy, then TLS over that one connection.
//
// An upload connection that ends before it carried a byte (a proxy dropping
// an idle POST) is replaced by a new leg, but not in a loop against a proxy
// that drops them all: after the first such replacement the next ones wait,
// first_up_pause ms and then twice as long each time, up to max_up_pause,
// until a POST carries bytes again. Only a leg that would carry nothing
// waits: send keeps the stream's bytes in pending, as it does whenever no
// upload leg is installed, and wakes a leg that waits out its pause, so the
// bytes leave at once; disconnect wakes it too, and it ends.
//
// Ownership: held through rulo::object handles; every leg thread and every
// poller registration holds another, so the tunnel lives until the last leg
// has ended and the poller has let go.
//
// Threads and locks: all shared state changes under the framework lock; leg
// threads take it only to install their socket, never while connecting or in
// the proxy handshake. Received bytes reach the sink on the poller thread
// (and the first bytes of each download response on its leg thread), always
// under the framework lock. The sink gets broken() at most once, and only
// for a tunnel that had come up; a failure while opening is connect's
// exception instead.
#pragma once

#include "rulo-rpt/http/proxy_auth.h"
#include "rulo-rpt/net/process_id.h"
#include "rulo-rpt/net/rptModule.h"
#include "rulo-rpt/net/socket.h"
#include "rulo-rpt/rptTransport.h"
#include "rulo/netbuf.h"
#include "rulo/object.h"
#include "rulo/semaphore.h"

#include <cstdint>
#include <string>

namespace rulo {

class httpt : public rptModuleSink, public rptTransport {
public:
    // POST bodies announce a length in [min_post, min_post + post_spread).
    static constexpr int min_post = 500000;
    static constexpr int post_spread = 500000;
    static constexpr int first_up_pause = 250; // ms
    static constexpr int max_up_pause = 4000;  // ms

    httpt(object<rptTransportSink> sink, object<httpt_password> password, int mtu);

    // Opens the two-leg tunnel and returns once both legs are up. address is
    // where the legs connect (host[:port], port 80 by default; a web proxy,
    // port 8080 by default, when server is given); server is the relay's
    // host[:port] named in the URLs through a proxy, empty for a direct
    // tunnel; port is the relay-side port the tunnel asks for; configured is
    // the target as configured, which the first response may rewrite.
    // Throws httpt_connect_e when a leg failed, "connect" when a leg did not
    // report within timeout seconds (not counting a proxy handshake that is
    // waiting for a person).
    void connect(long timeout, unsigned short port, std::string address, std::string server,
                 std::string configured);
    // One CONNECT to target through proxy (host[:port], 443 by default), then
    // TLS; any failure propagates.
    void cconnect(long timeout, std::string proxy, std::string target);

    void send(netbuf const& data) override;
    void disconnect() override;
    void set_sink(object<rptTransportSink> sink) override;
    void no_delay() override;
    int64_t last_received() override;
    // Always throws "ioctl".
    void ioctl(std::string const& key, std::string& value) override;
    void event(int descriptor) override;

    tIProcessId get_procid(bool up);
    // The target without a trailing ":80".
    std::string get_http_host(bool up);
    // Through a proxy the absolute URL, directly the path.
    std::string get_http_path(bool up);
    std::string const& path() const { return m_path; }

private:
    friend class httpt_leg;
    void init(long timeout);
    void run_down(bool first);
    void run_up(bool first, int pause);
    // pause: ms an upload leg waits before it connects.
    void start_leg(bool up, bool first, int pause = 0);
    // Blocks for up to pause ms on an upload leg's thread; returns early
    // once send has bytes for the leg or the tunnel closed.
    void wait_up_pause(int pause);
    // Under the framework lock: ends the pause an upload leg waits out, if
    // one does; the leg runs once the caller lets go of the lock.
    void wake_up_leg();
    void update_by_resp(xstd::http const& response);
    bool apply_server_target(std::string& target, xstd::http const& response);
    void drop_socket(object<socket>& s);

    int64_t m_last_rx = 0;
    object<rptTransportSink> m_sink;
    object<socket> m_down_socket;
    object<socket> m_up_socket;
    object<socket> m_closing_socket;
    netbuf m_closing_answer; // the start of closing_socket's answer, while incomplete
    netbuf m_pending;
    int64_t m_down_left = 0;
    int m_up_budget = 0;
    int m_up_length = 0; // the Content-Length that up_socket's POST announced
    int m_up_pause = 0;  // ms the next replacement of an upload dropped unused waits
    semaphore m_down_ready{1, 0};
    semaphore m_up_ready{1, 0};
    semaphore m_up_wake{1, 0}; // posted by wake_up_leg
    bool m_up_waiting = false; // an upload leg waits out its pause and nobody woke it yet
    bool m_closed = false;
    bool m_connected = false;
    bool m_single_socket = false;
    bool m_nodelay = false;
    int m_mtu;
    bool m_via_proxy = false;
    std::string m_configured_target;
    std::string m_path;
    tIProcessId m_down_addr, m_up_addr;
    std::string m_down_target, m_up_target;
    bool m_target_applied = false;
    auth_param m_auth;
};

} // namespace rulo
