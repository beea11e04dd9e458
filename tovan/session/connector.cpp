#include "tovan/session/connector.h"

#include "tovan/session/numbers.h"
#include "tovan/util/ignoring_failure.h"

#include "rulo-rpt/channel/rptChannel.h"
#include "rulo-rpt/choose/AutoTransport.h"
#include "rulo-rpt/mux/rptMux.h"
#include "rulo-rpt/net/net_util.h"
#include "rulo-rpt/tls/rptXYSSL.h"
#include "rulo-rpt/tls/xyssl_ctx.h"
#include "rulo/exception.h"
#include "rulo/lock.h"
#include "rulo/scheduler.h"
#include "rulo/url.h"
#include "rulo/xfile.h"

#include <chrono>
#include <cstdio>
#include <system_error>
#include <thread>
#include <utility>

namespace vyn {

namespace {

// The reliable channel's source of legs. The channel may outlive the
// connector (its stop runs on); a leg asked for after that is cancelled.
class leg_factory : public rulo::rptChannelFactory {
public:
    explicit leg_factory(std::weak_ptr<connector> c) : m_connector(std::move(c)) {}
    rulo::object<rulo::rptChannel> get_channel(rulo::object<rulo::rptChannelSink> sink) override {
        std::shared_ptr<connector> c = m_connector.lock();
        if (!c) throw rulo::cancel_connect();
        return c->get_channel(sink);
    }

private:
    std::weak_ptr<connector> m_connector;
};

// The code field stayed empty past its limit: fails like the network.
struct code_wait_failed {};
// The user gave up while the attempt waited.
struct attempt_cancelled {};
// A refusal of the server, worded for the person; the server's own text
// (reason) goes to the log only.
struct worded_failure {
    std::string text, reason;
};

// The message channel of a post: tells when what was sent has left.
class draining_msg : public rulo::rptMsg {
public:
    using rulo::rptMsg::rptMsg;
    void queue_empty() override {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_drained = true;
        }
        m_changed.notify_all();
    }
    // Sends under the framework lock, so no signal of an earlier send can
    // count for this one.
    void send_counted(std::string const& name, netbuf body) {
        rulo::rulo_lock_guard lock;
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            m_drained = false;
        }
        send(name, body);
    }
    bool wait_drained(long ms) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_drained; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_drained = true;
};

// The chooser's hook for web-proxy accounts, keeping the give-up flag that
// is its context alive as long as a tunnel may still call it.
class prompt_hook : public rulo::autotransport_http_password {
public:
    prompt_hook(callback_fn prompt, std::shared_ptr<std::atomic<bool>> given_up)
        : autotransport_http_password(prompt, given_up.get()), m_given_up(std::move(given_up)) {}

private:
    std::shared_ptr<std::atomic<bool>> m_given_up;
};

// A log-in request whose worker may have stopped waiting: the answer lives
// in shared state, and the request frees itself once answered. Withdrawn
// once the attempt is given up: the GUI then shows no window for it.
struct login_answer {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false, answered = false;
    std::string user, password;
};

struct login_request : credentials_request {
    login_request(std::shared_ptr<login_answer> a, std::shared_ptr<std::atomic<bool>> given_up)
        : answer(std::move(a)) {
        withdrawn = [given_up = std::move(given_up)] { return given_up->load(); };
    }
    void done() override {
        {
            std::lock_guard<std::mutex> lock(answer->mutex);
            answer->finished = true;
            answer->answered = answered;
            answer->user = user;
            answer->password = password;
        }
        answer->done.notify_all();
        delete this;
    }
    std::shared_ptr<login_answer> answer;
};

// The transport chooser's report: each line goes to the log and into the
// text that a failure shows.
struct transport_report {
    connector_host& host;
    std::string text;
};

void report_line(void* context, std::string line) {
    auto& report = *static_cast<transport_report*>(context);
    report.host.log(line);
    report.text += "\t" + line + "\r\n";
}

// The worded text and the reason joined for the log, with one ": " between
// them also when the worded text ends in a colon of its own.
std::string with_reason(std::string text, std::string const& reason) {
    if (reason.empty() || reason == text) return text;
    while (!text.empty() && (text.back() == ':' || text.back() == ' ')) text.pop_back();
    return text + ": " + reason;
}

// A worded failure that came out empty (no translation table) shows the
// framework's own description.
std::string or_description(std::string worded, rulo::exception const& e) {
    return worded.empty() ? e.description() : worded;
}

// The context of the proxy prompt of a post: always given up, so a cached
// or saved account is used but nobody is asked.
std::shared_ptr<std::atomic<bool>> const& nobody_asked() {
    static auto const flag = std::make_shared<std::atomic<bool>>(true);
    return flag;
}

} // namespace

connector::connector(connector_host& host, connector_config config)
    : m_host(host), m_config(std::move(config)),
      m_use_msg(m_config.message_channel || !m_config.proxy_notification.empty()) {}

connector::~connector() {
    // No attempt runs (it would hold the connector); a late leg is cancelled.
    *m_given_up = true;
    release();
}

void connector::abandon() {
    std::lock_guard<std::mutex> lock(m_give_up_mutex);
    *m_given_up = true;
}

bool connector::wanted() const {
    return m_host.shared().in_connection && !*m_given_up;
}

template <class F>
bool connector::unless_given_up(F&& f) {
    std::lock_guard<std::mutex> lock(m_give_up_mutex);
    if (*m_given_up) return false;
    f();
    return true;
}

template <class F>
bool connector::on_gui(F f) {
    return unless_given_up([&] {
        m_host.post_to_gui([given_up = m_given_up, f = std::move(f)]() mutable {
            // Given up on the GUI thread (a new Connect, the shut-down): this
            // check is in step with it.
            if (!*given_up) f();
        });
    });
}

std::function<bool()> connector::withdrawn() const {
    return [given_up = m_given_up] { return given_up->load(); };
}

bool connector::ask_credentials(std::string& user, std::string& password) {
    auto answer = std::make_shared<login_answer>();
    auto* request = new login_request(answer, m_given_up);
    request->user = user;
    request->password = password;
    request->storage_prefix = "LastCorvane";
    if (!unless_given_up([&] { m_host.request_credentials(request); })) {
        delete request;
        return false;
    }
    std::unique_lock<std::mutex> lock(answer->mutex);
    // The GUI answers every request; an attempt nobody wants any more stops
    // waiting (the request then frees itself when answered).
    while (!answer->finished) {
        if (!wanted()) return false;
        answer->done.wait_for(lock, std::chrono::milliseconds(100));
    }
    if (!answer->answered) return false;
    user = answer->user;
    password = answer->password;
    return true;
}

// The host clears the wish to connect there, on the GUI thread, before the
// commands queued after it.
void connector::end_connection(connector_host::failure_end const& end) {
    on_gui([&host = m_host, end] { host.end_connection(end); });
}

bool connector::start_attempt() {
    std::shared_ptr<connector> self = shared_from_this();
    {
        std::lock_guard<std::mutex> lock(m_thread_mutex);
        if (m_running) return false;
        m_running = true;
        ++m_threads;
    }
    // The thread holds the connector until its end: whoever drops the last
    // other handle never waits for it.
    auto body = [self]() mutable {
        connector_host& host = self->m_host;
        self->run_attempt();
        {
            std::lock_guard<std::mutex> lock(self->m_thread_mutex);
            --self->m_threads;
        }
        self->m_thread_done.notify_all();
        self.reset(); // may be the last handle
        host.log("ConnectionThreadClass ended");
    };
    try {
        std::thread(std::move(body)).detach();
    } catch (std::system_error const& e) {
        m_host.log(std::string("no thread for the attempt: ") + e.what());
        std::lock_guard<std::mutex> lock(m_thread_mutex);
        m_running = false;
        --m_threads;
        return false;
    }
    return true;
}

void connector::end_run() {
    std::lock_guard<std::mutex> lock(m_thread_mutex);
    m_running = false;
}

bool connector::attempt_running() {
    std::lock_guard<std::mutex> lock(m_thread_mutex);
    return m_running;
}

bool connector::wait_attempt(long ms) {
    std::unique_lock<std::mutex> lock(m_thread_mutex);
    return m_thread_done.wait_for(lock, std::chrono::milliseconds(ms), [&] { return m_threads == 0; });
}

void connector::update_target(std::string const& target, bool reset) {
    m_host.log("update_target to " + target);
    if (reset) {
        std::lock_guard<std::mutex> lock(m_config.memory->mutex);
        m_config.memory->transport_memory.clear();
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_transport_map.clear();
    if (!m_config.force_transport.empty()) m_transport_map["force"] = m_config.force_transport;
    m_transport_map["original"] = m_config.proxy_host;
    m_transport_map["connect"] =
        target.find(':') == std::string::npos ? target + ":" + m_config.httpt_port : target;
    m_transport_map["httpt_port"] = m_config.httpt_port;
    if (m_config.use_http) m_transport_map["http"] = "true";
    if (m_config.use_https) m_transport_map["https"] = "true";
    if (!m_config.proxy_host_additional.empty() && !reset)
        m_transport_map["additional"] = m_config.proxy_host_additional;
    for (auto const& [k, v] : m_config.conn_options) m_transport_map[k] = v;
    m_transport_map["hwnd"] = std::to_string(reinterpret_cast<uintptr_t>(this));
    m_host.log("update_target done");
}

void connector::run_attempt() {
    m_host.log("ConnectionThreadClass::run");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (!wanted()) {
        m_host.log("ignore - not in connection");
        end_run();
        return;
    }
    bool reconnect = !m_host.shared().ids.get().sid.empty();
    rulo::object<rulo::rptSafeChannel> held;
    if (reconnect) held = safe_channel();
    std::string error, reason;
    bool again = false, gone = false;
    try {
        establish_mux_channels();
        if (m_config.is_client) {
            resolve_session();
        } else if (!request_code()) {
            on_gui([&host = m_host] { host.shutdown_connection(); });
            throw std::string();
        }
        start_session_channels();
        m_host.log("success");
    } catch (rulo::repeat_connect const&) {
        rulo::object<rulo::rptSRMux> mux;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            mux = m_srmux;
            m_srmux.reset();
        }
        try {
            if (mux) mux->disconnect();
        } catch (...) {
        }
        again = true;
    } catch (control_rpc::exception const& e) {
        error = m_host.word_error(m_config.proxy_host, e);
        reason = e.text;
    } catch (control_rpc::no_answer const& e) {
        // Unanswered, the attempt failed like the network; given up, it ends
        // quietly like a cancel.
        if (!e.abandoned) error = "Network error";
    } catch (rulo::exception const& e) {
        error = e.full() + " ";
        reconnect = m_host.shared().in_connection;
    } catch (worded_failure const& f) {
        error = f.text;
        reason = f.reason;
    } catch (std::string const& text) {
        error = text;
    } catch (attempt_cancelled const&) {
        // quiet: the user asked for it
    } catch (session_unknown const&) {
        m_host.log("the server does not know the session");
        gone = true;
    } catch (...) {
        error = "Network error";
    }
    if (!error.empty()) {
        m_host.log(with_reason(error, reason));
        if (!reconnect) end_connection({error, ""});
    }
    // Before anything is queued: a "channel_start_all" handled at once must
    // find no attempt running.
    end_run();
    unless_given_up([&] {
        // Told only while the session is wanted: one the user ended is over anyway.
        if (gone && m_host.shared().in_connection)
            m_host.queue_command("my_intern_session_gone", withdrawn());
        if (reconnect && !error.empty()) m_host.queue_command("channel_status_connect_failed", withdrawn());
        if (again) m_host.queue_command("channel_start_all", withdrawn());
    });
}

void connector::establish_mux_channels() {
    m_host.log("establish_mux_channels");
    transport_report report{m_host, {}};
    std::string error;
    try {
        rulo::object<session_messages> calls(new session_messages(m_host));
        bool geo = !m_config.is_client && !m_config.post_data;
        auto const deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(m_config.post_limit_ms);
        for (;;) {
            std::map<std::string, std::string> options;
            std::string original, target;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                options = m_transport_map;
            }
            // The chooser works on a copy: a post may run beside a session.
            std::string memory;
            {
                std::lock_guard<std::mutex> lock(m_config.memory->mutex);
                memory = m_config.memory->transport_memory;
            }
            // What the chooser learnt, also that nothing worked, starts the next attempt.
            auto remember = [&] {
                unless_given_up([&] {
                    std::lock_guard<std::mutex> lock(m_config.memory->mutex);
                    m_config.memory->transport_memory = memory;
                });
            };
            rulo::AutoTransport chooser(options, memory);
            chooser.set_report(report_line, &report);
            // The prompt stops waiting for the person once the attempt is given up.
            chooser.set_httpt_password(rulo::object<rulo::httpt_password>(
                new prompt_hook(m_config.password_prompt, m_config.post_data ? nobody_asked() : m_given_up)));
            try {
                for (;;) {
                    if (m_config.post_data) {
                        // Nobody withdraws a post; it ends by itself.
                        if (std::chrono::steady_clock::now() >= deadline)
                            throw m_config.proxy_host + ": no connection within " +
                                std::to_string(m_config.post_limit_ms / 1000) + " s";
                    } else if (!wanted()) {
                        throw attempt_cancelled();
                    }
                    rulo::object<rulo::rptSRMux> mux(new rulo::rptSRMux), replaced = mux;
                    {
                        std::lock_guard<std::mutex> lock(m_mutex);
                        std::swap(replaced, m_srmux); // the one before goes outside the lock
                    }
                    if (mux->start_and_wait(5, rulo::scheduler_pool(), chooser, calls, geo,
                                            m_config.proxy_host, options["connect"],
                                            m_config.proxy_host_additional, ""))
                        break;
                }
            } catch (rulo::rptMux::georeconnect const&) {
                m_host.log("doing georeconnect...");
                memory.clear();
                remember();
                geo = false;
                continue;
            } catch (...) {
                remember();
                throw;
            }
            remember();
            break;
        }
        // Later attempts go to the configured relay again, also after a redirect.
        update_target(m_config.proxy_host, false);
        rulo::object<rulo::rptSRMux> mux, previous;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            mux = m_srmux;
            previous = m_rpc_mux;
            m_rpc_mux = mux;
        }
        // The relay connection of an earlier attempt would linger otherwise.
        if (previous && previous.get() != mux.get()) {
            try {
                previous->disconnect();
            } catch (...) {
            }
        }
        // Control calls, session texts and plugin packets are small and
        // answered: without this each would wait for the peer's delayed
        // acknowledgement behind the one before it.
        rulo::object<rulo::rpcWrapper> wrapper = mux->get_rpc_wrapper();
        rulo::object<rptTransport> rpc_transport = wrapper ? wrapper->get_rptTransport() : nullptr;
        if (rpc_transport) rpc_transport->no_delay();
        rulo::object<control_rpc> rpc;
        if (!m_config.post_data) {
            rpc = rulo::object<control_rpc>(new control_rpc(wrapper));
            rpc->set_call_limit(m_config.call_limit_s);
            rpc->set_abandoned([given_up = m_given_up] { return given_up->load(); });
        }
        rulo::object<rulo::rptMsg> msg;
        if (m_config.post_data) {
            msg = rulo::object<rulo::rptMsg>(new draining_msg(new post_msg_messages(m_host)));
            msg->start(mux->get_msg_transport(msg));
        } else if (m_use_msg) {
            msg = rulo::object<rulo::rptMsg>(new rulo::rptMsg(new post_msg_messages(m_host)));
            msg->start(mux->get_msg_transport(msg));
        }
        rulo::object<rulo::SRDownloader> downloader;
        if (rulo::object<rulo::SRDownloaderSink> sink = m_host.download_sink())
            downloader = mux->create_downloader(sink);
        // The ones before go outside the lock (their destructors take the framework's).
        rulo::object<control_rpc> old_rpc;
        rulo::object<rulo::rptMsg> old_msg;
        rulo::object<rulo::SRDownloader> old_downloader;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            old_rpc = std::exchange(m_rpc, rpc);
            old_msg = std::exchange(m_msg, msg);
            old_downloader = std::exchange(m_downloader, downloader);
        }
        if (downloader) unless_given_up([&] { m_host.downloader_ready(downloader); });
    } catch (attempt_cancelled const&) {
        throw;
    } catch (control_rpc::exception const& e) {
        unless_given_up([&] { m_host.shared().in_connection = false; });
        on_gui([&host = m_host] { host.clear_connect_save_file(); });
        error = m_host.word_error(m_config.proxy_host, e);
        if (!e.text.empty()) m_host.log(with_reason(error, e.text));
    } catch (std::string const& text) {
        error = text;
    } catch (rulo::exception const& e) {
        error = or_description(m_host.word_failure(m_config.proxy_host, e, true), e);
    } catch (...) {
        error = "unknown error";
    }
    if (!error.empty()) {
        update_target(m_config.proxy_host, false);
        if (!report.text.empty()) error += "\r\nConnecting through:\r\n" + report.text;
        throw error;
    }
}

bool connector::request_code() {
    rulo::object<control_rpc> rpc = this->rpc();
    connection_memory& memory = *m_config.memory;
    session_ids const ids = m_host.shared().ids.get();
    std::string user, password;
    bool configuration_sent;
    {
        std::lock_guard<std::mutex> lock(memory.mutex);
        user = memory.user;
        password = memory.password;
        configuration_sent = memory.configuration_sent;
    }
    auto keep_login = [&](std::string const& u, std::string const& p) {
        unless_given_up([&] {
            std::lock_guard<std::mutex> lock(memory.mutex);
            memory.user = u;
            memory.password = p;
        });
    };
    auto refusal = [&](control_rpc::exception const& e, std::string const& hint) {
        return worded_failure{m_host.word_error(m_config.proxy_host, e) + hint, e.text};
    };
    bool const continued = !ids.sid.empty();
    if (!continued && ids.desk_private.empty()) {
        tovan::ignoring_failure([&] { rpc->co_login_filters(rulo::get_nifs_hw()); });
        bool logged_in = false;
        if (!m_config.web_login.empty()) {
            try {
                rpc->co_login_web(m_config.web_login);
                logged_in = true;
            } catch (control_rpc::no_answer const& e) {
                if (e.abandoned) throw; // nobody would see the question
            } catch (...) {
            }
        }
        if (!logged_in && (!user.empty() || !password.empty())) {
            try {
                rpc->co_login_plaintext(user, password);
                logged_in = true;
            } catch (control_rpc::no_answer const& e) {
                if (e.abandoned) throw; // nobody would see the question
            } catch (...) {
            }
        }
        if (!logged_in) {
            if (!ask_credentials(user, password)) return false;
            keep_login(user, password);
            try {
                rpc->co_login_plaintext(user, password);
            } catch (control_rpc::exception const& e) {
                bool const blank =
                    user.find(' ') != std::string::npos || password.find(' ') != std::string::npos;
                keep_login("", "");
                throw refusal(e, blank ? m_host.translate("ERROR_E_PASSWORD_SPACE") : "");
            }
        }
    }
    if (!configuration_sent) {
        try {
            auto port = leading_decimal(m_config.httpt_port, 0, 65535);
            rpc->co_my_configuration(0, static_cast<unsigned short>(port ? *port : 0), m_config.use_http,
                                     m_config.use_https, nullptr);
            unless_given_up([&] {
                std::lock_guard<std::mutex> lock(memory.mutex);
                memory.configuration_sent = true;
            });
        } catch (...) {
        }
    }
    if (continued) {
        try {
            rpc->co_continue(ids.sid, ids.desk_private);
        } catch (control_rpc::exception const& e) {
            if (e.code == control_rpc::E_NO_SESSION) throw session_unknown();
            // Any other refusal leaves the session as it was.
        } catch (rulo::exception const&) {
            // No answer, or the link broke: the server has not taken the
            // session back, the attempt fails and the retry ladder goes on.
            throw;
        } catch (...) {
        }
        tovan::ignoring_failure([&] { rpc->co_check_graceful(); });
        tovan::ignoring_failure([&] { rpc->co_language(m_host.selected_language()); });
        return true;
    }
    session_ids made = ids;
    try {
        rpc->co_create_session(made.code, made.sid, made.key, made.aux, made.desk_private);
    } catch (control_rpc::exception const& e) {
        on_gui([&host = m_host] { host.post_notification(32768, 0); });
        keep_login("", "");
        throw refusal(e, "");
    }
    // The session is the server's answer now; an attempt given up meanwhile
    // learns it too late.
    if (!unless_given_up([&] {
            m_host.shared().ids.update([&](session_ids& home) {
                home.code = made.code;
                home.sid = made.sid;
                home.key = made.key;
                home.aux = made.aux;
                home.desk_private = made.desk_private;
            });
        }))
        throw attempt_cancelled();
    tovan::ignoring_failure([&] { rpc->co_check_graceful(); });
    tovan::ignoring_failure([&] { rpc->co_language(m_host.selected_language()); });
    tovan::ignoring_failure([&] { rpc->co_customization(m_config.customization); });
    std::string const& code = made.code;
    std::string const& sid = made.sid;
    unless_given_up([&] { m_host.set_new_code(code, withdrawn()); });
    m_host.log("proxy will relay session " + sid + " with code " + code);
    std::string file_text = code;
    if (!sid.empty()) {
        file_text += " " + sid;
        if (!made.aux.empty()) file_text += " " + made.aux;
    }
    on_gui([&host = m_host, file_text] { host.code_file_due(file_text); });
    int32_t a = 0, b = 0;
    if (parse_session_id(sid, a, b)) {
        on_gui([&host = m_host, a, b] {
            host.post_notification(16, a);
            host.post_notification(32, b);
        });
    }
    make_http_notification(rpc, code);
    on_gui([&host = m_host, self = shared_from_this()] { host.session_message_due(*self); });
    return true;
}

void connector::make_http_notification(rulo::object<control_rpc> const& rpc, std::string const& code) {
    if (m_config.proxy_notification.empty()) return;
    m_host.log("making proxy notification");
    try {
        rpc->co_notification("CODE=" + rulo::urlencode(code) + "&" + m_config.proxy_notification);
    } catch (...) {
    }
}

void connector::resolve_session() {
    m_host.log("resolve_session");
    rulo::object<control_rpc> rpc = this->rpc();
    session_ids ids = m_host.shared().ids.get();
    if (ids.code.empty()) ids.code = m_host.typed_code();
    // Asked by session id, "no such session" means the server forgot it.
    bool const by_sid = !ids.sid.empty() && !ids.key.empty();
    auto forgotten = [by_sid](control_rpc::exception const& e) {
        if (by_sid && e.code == control_rpc::E_NO_SESSION) throw session_unknown();
        throw e;
    };
    std::string redirect;
    try {
        redirect = rpc->co_resolve_session(ids.code, ids.sid, ids.key);
    } catch (control_rpc::exception const& e) {
        forgotten(e);
    }
    if (!unless_given_up([&] {
            m_host.shared().ids.update([&](session_ids& home) {
                home.code = ids.code;
                home.sid = ids.sid;
                home.key = ids.key;
            });
        }))
        throw attempt_cancelled();
    if (!redirect.empty()) {
        m_host.log("got redirect " + redirect);
        update_target(redirect, true);
        throw rulo::repeat_connect();
    }
    try {
        rpc->co_i_am_client(ids.code, ids.sid, ids.key);
    } catch (control_rpc::exception const& e) {
        forgotten(e);
    }
}

std::string connector::wait_for_code() {
    auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds(m_config.code_wait_s);
    for (;;) {
        std::string text = m_host.typed_code().substr(0, 254);
        auto n = leading_decimal(text, 0, INT32_MAX);
        if (n && *n != 0) return std::to_string(*n);
        if (!wanted()) throw attempt_cancelled();
        if (std::chrono::steady_clock::now() >= deadline) throw code_wait_failed();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void connector::start_session_channels() {
    rulo::object<rulo::rptSafeChannel> existing = safe_channel();
    if (existing) {
        existing->reconnect();
        return;
    }
    unless_given_up([&] { m_host.queue_command("connection_status 4", withdrawn()); });
    std::string const code = wait_for_code();
    if (!on_gui([&host = m_host, n = std::stoll(code)] { host.post_notification(1, n); }))
        throw attempt_cancelled();
    rulo::object<connection_reader> reader(new connection_reader(m_host));
    rulo::object<rulo::rptSafeChannel> channel(new rulo::rptSafeChannel(-2, reader));
    session_ids const ids = m_host.shared().ids.get();
    std::string local = ids.secret_local, remote = ids.secret_remote;
    bool const both = !local.empty() && !remote.empty();
    if (!both && !m_config.is_client) {
        local = "." + rulo::get_challenge(16);
        remote = "." + rulo::get_challenge(16);
    }
    channel->set_secret(local, remote, both);
    channel->start(rulo::object<rulo::rptChannelFactory>(new leg_factory(weak_from_this())),
                   m_config.is_client, text_channel, netbuf::from_string("version " + m_config.version));
    std::lock_guard<std::mutex> lock(m_mutex);
    m_safe_channel = channel;
}

rulo::object<rulo::rptChannel> connector::get_channel(rulo::object<rulo::rptChannelSink> sink) {
    std::string error, reason;
    bool refused = false;
    try {
        return establish_session_channels(sink);
    } catch (control_rpc::exception const& e) {
        refused = true;
        error = m_host.word_error(m_config.proxy_host, e);
        reason = e.text;
    } catch (rulo::exception const& e) {
        // The person reads what failed; the log also keeps why.
        error = or_description(m_host.word_failure(m_config.proxy_host, e, false), e);
        reason = e.full();
    } catch (std::string const& text) {
        error = text;
    }
    if (!error.empty()) {
        m_host.log(with_reason(error, reason));
        // Nothing shows while the session reconnects or is being restored;
        // the channel's own status then ends it.
        end_connection({error, "Tovan Error", refused, false, true});
    }
    throw error;
}

rulo::object<rulo::rptChannel>
connector::establish_session_channels(rulo::object<rulo::rptChannelSink> sink) {
    m_host.log("establish_session_channels");
    rulo::object<rulo::rptSRMux> mux;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        mux = m_srmux;
    }
    if (!mux) throw rulo::repeat_connect();
    rulo::object<rulo::rptChannel> channel(new rulo::rptChannel(sink));
    if (m_config.use_ssl) {
        m_host.log("Trying XYSSL connection...\n");
        rulo::object<rulo::xyssl_ctx> ctx(new rulo::xyssl_ctx);
        bool const desk = !m_config.is_client;
        if (desk)
            ctx->set_cert(m_config.cert_file, m_config.key_file, m_config.key_pass);
        else if (rulo::file_exists(m_config.ca_file))
            ctx->set_trusted_ca(m_config.ca_file, "");
        else // the client never checks the desk's certificate, and its package carries no key pair
            m_host.log("no trusted certificate authority at " + m_config.ca_file + ", going on without");
        ctx->set_verify_peer(false);
        ctx->enable_dh(desk, m_config.dh_file);
        rulo::object<rulo::rptXYSSL> tls(new rulo::rptXYSSL(channel, ctx, desk));
        try {
            tls->start(mux->get_session_transport(tls));
            channel->start(tls);
        } catch (rulo::exception const& e) {
            m_host.log("error in start2: " + e.full());
            throw rulo::repeat_connect();
        }
    } else {
        try {
            channel->start(mux->get_session_transport(channel));
        } catch (rulo::exception const& e) {
            m_host.log("error in start2: " + e.full());
            throw rulo::repeat_connect();
        }
    }
    try {
        init_msg_channel();
    } catch (...) {
    }
    return channel;
}

void connector::init_msg_channel() {
    rulo::object<rulo::rptMsg> msg = this->msg();
    if (!msg) return;
    session_ids const ids = m_host.shared().ids.get();
    (msg->call("id"), ids.sid, ids.key).operator!();
    (msg->call("software_type"), std::string(m_config.is_client ? "client" : "desk")).operator!();
}

void connector::post_texts(std::vector<std::string> const& texts, long drain_ms) {
    establish_mux_channels();
    init_msg_channel();
    auto* msg = dynamic_cast<draining_msg*>(this->msg().get());
    if (!msg) throw std::string("no message channel");
    for (auto const& text : texts)
        if (!text.empty()) msg->send_counted("message", netbuf::from_string(text));
    if (!msg->wait_drained(drain_ms))
        m_host.log("posted texts had not left after " + std::to_string(drain_ms) + " ms");
    shutdown();
}

bool connector::send_session_message(std::map<std::string, std::string> message) {
    rulo::object<rulo::rptMsg> msg = this->msg();
    if (!msg) return false;
    m_host.log("Sending session message");
    message["actionType"] = "cmd";
    init_msg_channel();
    (msg->call("message"), std::string("session_message"), message).operator!();
    return true;
}

rulo::object<rulo::rptSafeChannel> connector::release() {
    // Taken out under the lock, let go outside it: their destructors take
    // the framework lock.
    rulo::object<rulo::rptSafeChannel> channel;
    rulo::object<rulo::rptSRMux> mux, rpc_mux;
    rulo::object<control_rpc> rpc;
    rulo::object<rulo::rptMsg> msg;
    rulo::object<rulo::SRDownloader> downloader;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::swap(channel, m_safe_channel);
        std::swap(mux, m_srmux);
        std::swap(rpc_mux, m_rpc_mux);
        std::swap(rpc, m_rpc);
        std::swap(msg, m_msg);
        std::swap(downloader, m_downloader);
    }
    if (channel) channel->stop(0);
    try {
        if (mux) mux->disconnect();
    } catch (...) {
    }
    return channel;
}

void connector::shutdown() {
    // Given up first: the channel's worker may still be asking this
    // connector for a leg, and no failure of that leg may show after the
    // shut-down. Waiting for the worker instead would hold the GUI thread
    // as long as a silent server holds the leg.
    abandon();
    drop_downloader();
    release();
}

std::map<std::string, std::string> connector::transport_map() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_transport_map;
}
rulo::object<rulo::rptSafeChannel> connector::safe_channel() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_safe_channel;
}
rulo::object<control_rpc> connector::rpc() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_rpc;
}
rulo::object<rulo::rptMsg> connector::msg() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_msg;
}

rulo::object<rulo::SRDownloader> connector::downloader() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_downloader;
}

void connector::drop_downloader() {
    rulo::object<rulo::SRDownloader> dropped;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::swap(dropped, m_downloader);
    }
    if (!dropped) return;
    dropped.reset();
    m_host.downloader_ready({});
}

} // namespace vyn
