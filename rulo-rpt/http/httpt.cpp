#include "rulo-rpt/http/httpt.h"

#include "rulo-rpt/choose/server_target.h"
#include "rulo-rpt/net/net_util.h"
#include "rulo-rpt/tls/ssl_filter.h"
#include "rulo/clock.h"
#include "rulo/errlog.h"
#include "rulo/exception.h"
#include "rulo/lock.h"
#include "rulo/process.h"
#include "rulo/random.h"
#include "rulo/text.h"
#include "rulo/thread.h"
#include "rulo/url.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstring>
#include <map>

namespace rulo {

// One leg's short-lived thread; it holds the tunnel until it ends.
class httpt_leg : public thread {
public:
    httpt_leg(object<httpt> tunnel, bool up, bool first, int pause)
        : thread(true, "", 0), m_tunnel(std::move(tunnel)), m_up(up), m_first(first), m_pause(pause) {}

protected:
    void run() override {
        if (m_up)
            m_tunnel->run_up(m_first, m_pause);
        else
            m_tunnel->run_down(m_first);
    }

private:
    object<httpt> m_tunnel;
    bool m_up;
    bool m_first;
    int m_pause;
};

namespace {

int const leg_connect_seconds = 20;

// The request path's id: a number nobody else can guess or collide with,
// since it keys the tunnel at the relay.
std::string tunnel_id() {
    std::string const bytes = xstd::get_random_bytes(8);
    uint64_t id = 0;
    for (unsigned char c : bytes) id = id * 256u + c;
    return std::to_string(id);
}

fmt_dbg const& log_main() {
    static fmt_dbg const instance("HTTP tunnel");
    return instance;
}

// "HTTP/1.x 2xx": enough of a status line to judge an answer by.
int const status_line_start = 12;

// Whether a POST's answer starts with a 2xx status line.
bool accepted(netbuf const& answer) {
    std::string const start = answer.to_string();
    return start.size() >= std::size_t(status_line_start) && start.compare(0, 7, "HTTP/1.") == 0 &&
           start[8] == ' ' && start[9] == '2';
}

std::string describe(std::exception_ptr e) {
    try {
        std::rethrow_exception(e);
    } catch (exception const& x) {
        return x.description();
    } catch (std::exception const& x) {
        return x.what();
    } catch (...) {
    }
    return "";
}

} // namespace

httpt::httpt(object<rptTransportSink> sink, object<httpt_password> password, int mtu)
    : m_sink(std::move(sink)), m_mtu(mtu) {
    m_auth.password_cb = std::move(password);
}

void httpt::init(long timeout) {
    m_auth.timeout = timeout;
    m_closed = m_connected = false;
    static fmt_dbg const log("HTTP tunnel");
    log.fmt_verbose("retrieving hostname/domain");
    std::string host, domain;
    try {
        xstd::get_hostname(host, domain);
    } catch (exception const&) {
    }
    m_auth.hostname = host.empty() ? "host" : host;
    m_auth.domain = domain.empty() ? "domain" : domain;
    log.fmt_verbose("hostname = '%1%', domain = '%2%'", m_auth.hostname, m_auth.domain);
}

void httpt::start_leg(bool up, bool first, int pause) {
    // A null deleter: this joins the registration the owner's handle made.
    (new httpt_leg(object<httpt>(this, nullptr), up, first, pause))->detach();
}

void httpt::connect(long timeout, unsigned short port, std::string address, std::string server,
                    std::string configured) {
    init(timeout);
    static fmt_dbg const log("HTTP tunnel");
    tIProcessId where;
    {
        rulo_lock_guard lock;
        m_configured_target = configured;
        if (!server.empty()) {
            m_up_target = m_down_target = server;
            m_via_proxy = true;
            where = rulo::get_procid(address, 8080);
        } else {
            m_up_target = m_down_target = address;
            where = rulo::get_procid(address, 80);
        }
        m_up_addr = m_down_addr = where;
        m_path = "/webaccess/" +
                 xstd::hexcode(cgi_get_param({{"id", tunnel_id()}, {"port", std::to_string(port)}}));
    }
    start_leg(false, true);
    for (semaphore* ready : {&m_down_ready, &m_up_ready}) {
        while (!ready->wait(timeout)) {
            if (!m_auth.in_handshake) {
                log.fmt_verbose("no leg reported within %1% seconds", timeout);
                throw exception::function("connect");
            }
        }
    }
    rulo_lock_guard lock;
    m_last_rx = relative_time();
    if (m_closed) throw exception(httpt_connect_e);
}

void httpt::run_down(bool first) {
    static fmt_dbg const log("HTTP tunnel download");
    bool started_up = false;
    try {
        tIProcessId address;
        std::string path, host;
        {
            rulo_lock_guard lock;
            if (m_closed) throw exception::function("run_down");
            address = m_down_addr;
            path = get_http_path(false);
            host = get_http_host(false);
        }
        log.fmt_verbose("connecting to [%1%] ...", addr_as_string(address));
        object<socket> s(new socket(socket::tcp, address));
        set_mtu(*s.get(), m_mtu);
        s->connect(long(leg_connect_seconds));
        xstd::http request = xstd::get_http_request("GET", path, 1, 1);
        request.set_field("User-Agent", "VYN");
        request.set_field("Connection", "keep-alive");
        request.set_field("Host", host);
        netbuf leftover;
        xstd::http response = make_auth(&m_auth, address, s, request, leftover);

        rulo_lock_guard lock;
        update_by_resp(response);
        m_auth.in_handshake = false;
        if (m_closed) throw exception::function("run_down");
        // The stream is the concatenation of the bodies: a body whose end is
        // not known in bytes, or bytes beyond its end, cannot be placed in it.
        if (!response.get_field("Transfer-Encoding").empty()) {
            log.fmt_verbose("response with Transfer-Encoding");
            throw exception::function("run_down");
        }
        std::string const length = response.get_field("Content-Length");
        m_down_left = length.empty() ? INT32_MAX : xstd::content_length(length);
        if (m_down_left < 0) {
            log.fmt_verbose("bad Content-Length [%1%]", length);
            throw exception::function("run_down");
        }
        bool const excess = leftover.size() > m_down_left;
        if (excess) leftover = netbuf(leftover, 0, int(m_down_left));
        if (!leftover.empty() && m_sink) m_sink->received(leftover);
        m_down_left -= leftover.size();
        if (excess) {
            log.fmt_verbose("bytes beyond the response body");
            throw exception::function("run_down");
        }
        if (m_closed) throw exception::function("run_down");
        if (m_down_left < 1) {
            start_leg(false, false);
        } else {
            s->set_nonblocking(true);
            s->set_tcp_no_delay(m_nodelay);
            m_down_socket = s;
            module->add(s.get(), object<rptModuleSink>(static_cast<rptModuleSink*>(this), nullptr),
                        rptModule::read_only);
        }
        if (first) {
            start_leg(true, true);
            started_up = true;
        }
    } catch (...) {
        std::string const why = describe(std::current_exception());
        log.fmt_verbose(why.empty() ? "unknown error" : "error: %1%", why);
        disconnect();
    }
    if (first) {
        m_down_ready.post();
        if (!started_up) m_up_ready.post();
    }
}

void httpt::run_up(bool first, int pause) {
    static fmt_dbg const log("HTTP tunnel upload");
    bool installed = false;
    try {
        if (pause > 0) wait_up_pause(pause);
        tIProcessId address;
        std::string path, host;
        {
            rulo_lock_guard lock;
            if (m_closed) throw exception::function("run_up");
            address = m_up_addr;
            path = get_http_path(true);
            host = get_http_host(true);
        }
        log.fmt_verbose("connecting to [%1%] ...", addr_as_string(address));
        object<socket> s(new socket(socket::tcp, address));
        set_mtu(*s.get(), m_mtu);
        s->connect(long(leg_connect_seconds));
        int const budget = int(rulo::rand() % unsigned(post_spread)) + min_post;
        xstd::http request = xstd::get_http_request("POST", path, 1, 1);
        request.set_field("Host", host);
        request.set_field("User-Agent", "VYN");
        request.set_field("Content-Length", std::to_string(budget));
        request.set_field("Content-Type", "application/octet-stream");
        request.set_field("Connection", "keep-alive");
        request.set_field("Cache-Control", "private,max-age=0");
        netbuf leftover;
        make_auth(&m_auth, address, s, request, leftover);
        {
            rulo_lock_guard lock;
            m_auth.in_handshake = false;
            if (!m_closed) {
                m_up_budget = m_up_length = budget;
                s->set_nonblocking(true);
                s->set_tcp_no_delay(m_nodelay);
                m_up_socket = s;
                module->add(s.get(), object<rptModuleSink>(static_cast<rptModuleSink*>(this), nullptr),
                            rptModule::read_only);
                m_connected = installed = true;
            }
        }
        if (installed) send(netbuf());
    } catch (...) {
        std::string const why = describe(std::current_exception());
        log.fmt_verbose(why.empty() ? "unknown error" : "error: %1%", why);
        disconnect();
    }
    // Also after a failure, so that connect wakes and finds the tunnel closed.
    if (first) m_up_ready.post();
}

void httpt::wait_up_pause(int pause) {
    {
        rulo_lock_guard lock;
        // Bytes that came since the last upload leg ended leave at once.
        if (m_closed || !m_pending.empty()) return;
        m_up_waiting = true;
    }
    static fmt_dbg const log("HTTP tunnel upload");
    log.fmt_verbose("waiting %1% ms before the next upload leg", pause);
    int64_t const until = relative_time() + pause;
    for (int64_t left = pause; left > 0; left = until - relative_time()) {
        m_up_wake.wait_ms(left);
        rulo_lock_guard lock;
        // A count can be left over from a wake that came just after an
        // earlier pause had run out: only the flag says this one was woken.
        if (!m_up_waiting) return;
    }
    rulo_lock_guard lock;
    m_up_waiting = false;
}

void httpt::wake_up_leg() {
    if (!m_up_waiting) return;
    m_up_waiting = false;
    // The woken leg at once wants the framework lock this thread holds.
    object<httpt> self(this, nullptr);
    after_framework_unlock([self] { self->m_up_wake.post(); });
}

void httpt::cconnect(long timeout, std::string proxy, std::string target) {
    init(timeout);
    static fmt_dbg const log("HTTPS tunnel");
    m_single_socket = true;
    tIProcessId const address = rulo::get_procid(proxy, 443);
    log.fmt_verbose("connecting to [%1%] ...", addr_as_string(address));
    object<socket> s(new socket(socket::tcp, address));
    set_mtu(*s.get(), m_mtu);
    s->connect(timeout);
    xstd::http request = xstd::get_http_request("CONNECT", target, 1, 1);
    request.set_field("User-Agent", "VYN");
    netbuf leftover;
    make_auth(&m_auth, address, s, request, leftover);
    log.fmt_verbose("SSL handshake");
    netbuf early;
    ssl_connect_if_supported(m_auth.timeout, s, early);
    rulo_lock_guard lock;
    m_last_rx = relative_time();
    m_connected = true;
    s->set_nonblocking(true);
    s->set_tcp_no_delay(m_nodelay);
    m_down_socket = s;
    module->add(s.get(), object<rptModuleSink>(static_cast<rptModuleSink*>(this), nullptr),
                rptModule::read_only);
    if (!early.empty() && m_sink) m_sink->received(early);
}

void httpt::send(netbuf const& data) {
    rulo_lock_guard lock;
    if (m_single_socket) {
        if (async_send(m_down_socket, &data, module) && m_sink) m_sink->queue_empty();
        return;
    }
    if (m_closed) return; // nothing will carry it
    if (m_up_budget < 0) m_up_budget = 0;
    m_pending.append(data);
    bool empty = true;
    if (!m_pending.empty() && m_up_socket) {
        m_up_pause = 0; // this POST carries bytes
        if (m_pending.size() < m_up_budget) {
            m_up_budget -= m_pending.size();
            empty = async_send(m_up_socket, &m_pending, module);
            m_pending.clear();
        } else {
            if (m_up_budget > 0) {
                netbuf head(m_pending, 0, m_up_budget);
                empty = async_send(m_up_socket, &head, module);
                m_pending.erase_front(m_up_budget);
            }
            m_up_budget = 0;
            m_closing_socket = m_up_socket;
            m_up_socket.reset();
        }
    }
    if (!m_up_socket) {
        if (!m_pending.empty()) wake_up_leg();
        return;
    }
    if (m_pending.empty() && empty && m_sink) m_sink->queue_empty();
}

void httpt::drop_socket(object<socket>& s) {
    if (!s) return;
    try {
        module->remove(s->descriptor());
    } catch (exception const&) {
    }
    s.reset();
}

void httpt::disconnect() {
    static fmt_dbg const log("rulo::httpt::disconnect");
    object<rptTransportSink> to_tell;
    {
        rulo_lock_guard lock;
        m_auth.in_handshake = false;
        if (!m_closed) {
            log.fmt_verbose("disconnect");
            m_closed = true;
            if (m_connected) to_tell = m_sink;
        }
        m_sink.reset();
        drop_socket(m_down_socket);
        drop_socket(m_up_socket);
        wake_up_leg();
    }
    if (to_tell) {
        try {
            to_tell->broken();
        } catch (...) {
        }
    }
}

void httpt::set_sink(object<rptTransportSink> sink) {
    rulo_lock_guard lock;
    m_sink = std::move(sink);
}

void httpt::no_delay() {
    rulo_lock_guard lock;
    m_nodelay = true;
    for (object<socket>* s : {&m_down_socket, &m_up_socket}) {
        try {
            (*s)->set_tcp_no_delay(true);
        } catch (exception const&) {
        }
    }
}

int64_t httpt::last_received() {
    rulo_lock_guard lock;
    return m_last_rx;
}

void httpt::ioctl(std::string const&, std::string&) {
    throw exception::function("ioctl");
}

void httpt::event(int fd) {
    rulo_lock_guard lock;
    try {
        if (m_closing_socket && async_send(m_closing_socket, nullptr, module)) {
            // The relay answers a POST once its whole body arrived: then the
            // next upload leg may start.
            netbuf answer;
            if (m_closing_socket->receive(answer, nullptr, network_chunk, false)) {
                // The status line may come in pieces; the end of the stream
                // decides with what came.
                bool const ended = answer.empty();
                m_closing_answer.append(answer);
                if (ended || m_closing_answer.size() >= status_line_start) {
                    drop_socket(m_closing_socket);
                    netbuf const start(m_closing_answer, 0, status_line_start);
                    m_closing_answer.clear();
                    // Anything but a success (an error page of a proxy, or no
                    // answer at all) means the body may not have reached the
                    // relay: its bytes would be lost without a word.
                    if (!accepted(start)) {
                        log_main().fmt_verbose("upload not accepted: [%1%]", start.to_string());
                        throw exception::function("event");
                    }
                    if (!m_closed) start_leg(true, false);
                }
            }
        }
        bool down_empty = false;
        if (m_down_socket) down_empty = async_send(m_down_socket, nullptr, module) && m_single_socket;
        bool up_empty = false;
        if (m_up_socket) up_empty = async_send(m_up_socket, nullptr, module) && m_pending.empty();
        if ((up_empty || down_empty) && m_sink) m_sink->queue_empty();

        if (m_down_socket && fd == m_down_socket->descriptor()) {
            netbuf in;
            if (!m_down_socket->receive(in, nullptr, network_chunk, false)) return;
            m_last_rx = relative_time();
            if (m_single_socket) {
                if (in.empty()) throw exception::function("event");
                if (m_sink) m_sink->received(in);
                return;
            }
            bool const excess = in.size() > m_down_left;
            if (excess) in = netbuf(in, 0, int(m_down_left));
            if (!in.empty() && m_sink) m_sink->received(in);
            m_down_left -= in.size();
            if (excess || (in.empty() && m_down_left >= 1)) {
                log_main().fmt_verbose(excess ? "bytes beyond the response body" : "response body cut short");
                throw exception::function("event");
            }
            if (m_closed || !m_down_socket) return;
            if (!in.empty() && m_down_left > 0) return;
            drop_socket(m_down_socket);
            start_leg(false, false);
            return;
        }
        if (m_up_socket && fd == m_up_socket->descriptor()) {
            netbuf in;
            if (!m_up_socket->receive(in, nullptr, network_chunk, false)) return;
            m_last_rx = relative_time();
            if (!in.empty()) return; // an early answer: nothing to act on
            // The upload connection ended before its body was complete: what
            // was handed to it is lost, so the stream cannot go on.
            if (m_up_budget < m_up_length) {
                log_main().fmt_verbose("upload connection closed before its body was complete");
                throw exception::function("event");
            }
            // Nothing was handed to it (a proxy dropping an idle POST): the
            // next POST carries the stream on, and send keeps what comes
            // meanwhile in pending. The socket was this tunnel's only upload
            // leg, and disconnect empties it, so one successor starts, and
            // only while open. It waits when its predecessor was itself such
            // a replacement, so a proxy that drops every POST at its head
            // does not get a new one in a tight loop.
            drop_socket(m_up_socket);
            int const pause = m_up_pause;
            m_up_pause = std::min(std::max(2 * pause, first_up_pause), max_up_pause);
            start_leg(true, false, pause);
        }
    } catch (...) {
        static fmt_dbg const log("HTTP tunnel");
        std::string const why = describe(std::current_exception());
        log.fmt_verbose(why.empty() ? "unknown error" : "error: %1%", why);
        disconnect();
    }
}

tIProcessId httpt::get_procid(bool up) {
    return up ? m_up_addr : m_down_addr;
}

std::string httpt::get_http_host(bool up) {
    std::string host = up ? m_up_target : m_down_target;
    if (host.size() >= 3 && host.compare(host.size() - 3, 3, ":80") == 0) host.erase(host.size() - 3);
    return host;
}

std::string httpt::get_http_path(bool up) {
    return m_via_proxy ? "http://" + get_http_host(up) + m_path : m_path;
}

bool httpt::apply_server_target(std::string& target, xstd::http const& response) {
    size_t colon = target.find(':');
    std::string host = target.substr(0, colon), rest = colon == std::string::npos ? "" : target.substr(colon);
    bool changed = set_target(host, m_configured_target, response);
    target = host + rest;
    return changed;
}

void httpt::update_by_resp(xstd::http const& response) {
    if (m_target_applied) return;
    m_target_applied = true;
    static fmt_dbg const log("HTTP tunnel");
    if (apply_server_target(m_down_target, response)) {
        log.fmt_verbose("download target is now: [%1%]", m_down_target);
        if (!m_via_proxy) m_down_addr = rulo::get_procid(m_down_target, m_down_addr.port);
    }
    if (apply_server_target(m_up_target, response)) {
        log.fmt_verbose("upload target is now: [%1%]", m_up_target);
        if (!m_via_proxy) m_up_addr = rulo::get_procid(m_up_target, m_up_addr.port);
    }
}

} // namespace rulo
