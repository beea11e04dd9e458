#include "tovan/session/connector.h"

#include "tovan/session/numbers.h"

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

namespace vyn {

namespace {

// The reliable channel's source of legs; the connector outlives its channel.
class leg_factory : public rulo::rptChannelFactory {
public:
    explicit leg_factory(connector* c) : m_connector(c) {}
    rulo::object<rulo::rptChannel> get_channel(rulo::object<rulo::rptChannelSink> sink) override {
        return m_connector->get_channel(sink);
    }

private:
    connector* m_connector;
};

// The code field stayed empty past its limit: fails like the network.
struct code_wait_failed {};
// The user gave up while the attempt waited.
struct attempt_cancelled {};

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

void report_line(void* context, std::string line) {
    *static_cast<std::string*>(context) += "\t" + line + "\r\n";
}

} // namespace

connector::connector(connector_host& host, connector_config config)
    : m_host(host), m_config(std::move(config)),
      m_use_msg(!m_config.session_message.empty() || !m_config.proxy_notification.empty()),
      m_factory(new leg_factory(this)) {}

connector::~connector() {
    set_in_connection(false);
    wait_attempt(30000);
    shutdown();
    std::lock_guard<std::mutex> lock(m_thread_mutex);
    if (m_thread.joinable()) m_thread.join();
}

bool connector::start_attempt() {
    std::lock_guard<std::mutex> lock(m_thread_mutex);
    if (m_running) return false;
    if (m_thread.joinable()) m_thread.join(); // the last one has ended
    m_running = true;
    m_thread = std::thread([this] {
        run_attempt();
        {
            std::lock_guard<std::mutex> l(m_thread_mutex);
            m_running = false;
        }
        m_thread_done.notify_all();
    });
    return true;
}

bool connector::attempt_running() {
    std::lock_guard<std::mutex> lock(m_thread_mutex);
    return m_running;
}

bool connector::wait_attempt(long ms) {
    std::unique_lock<std::mutex> lock(m_thread_mutex);
    return m_thread_done.wait_for(lock, std::chrono::milliseconds(ms), [&] { return !m_running; });
}

void connector::reap_attempt() {
    std::lock_guard<std::mutex> lock(m_thread_mutex);
    if (!m_running && m_thread.joinable()) m_thread.join();
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
    if (!m_in_connection) {
        m_host.log("ignore - not in connection");
        return;
    }
    bool reconnect;
    rulo::object<rulo::rptSafeChannel> held;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        reconnect = !m_sid.empty();
        if (reconnect) held = m_safe_channel;
    }
    std::string error;
    bool again = false;
    try {
        establish_mux_channels();
        if (m_config.is_client) {
            resolve_session();
        } else if (!request_code()) {
            m_host.shutdown_connection();
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
    } catch (control_rpc::no_answer const& e) {
        // Unanswered, the attempt failed like the network; given up, it ends
        // quietly like a cancel.
        if (!e.abandoned) error = "Network error";
    } catch (rulo::exception const& e) {
        error = e.full() + " ";
        reconnect = m_in_connection;
    } catch (std::string const& text) {
        error = text;
    } catch (attempt_cancelled const&) {
        // quiet: the user asked for it
    } catch (session_unknown const&) {
        m_host.log("the server does not know the session");
        // Told only while the session is wanted: one the user ended is over anyway.
        if (m_in_connection) m_host.handle_command(origin::local, "my_intern_session_gone");
    } catch (...) {
        error = "Network error";
    }
    if (!error.empty()) {
        m_host.log(error);
        if (!reconnect) {
            m_in_connection = false;
            m_host.clear_connect_save_file();
            m_host.shutdown_connection();
            if (!m_host.restored_connection()) m_host.msg_box_in_main(error, "", 0xa00081);
        }
    }
    if (reconnect && !error.empty()) m_host.handle_command(origin::local, "channel_status_connect_failed");
    if (again) m_host.handle_command(origin::local, "channel_start_all");
}

void connector::establish_mux_channels() {
    m_host.log("establish_mux_channels");
    std::string report, error;
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
                std::lock_guard<std::mutex> lock(m_config.memory->mutex);
                m_config.memory->transport_memory = memory;
            };
            rulo::AutoTransport chooser(options, memory);
            chooser.set_report(report_line, &report);
            // The prompt stops waiting for the person once the attempt is given up.
            chooser.set_httpt_password(
                rulo::object<rulo::httpt_password>(new prompt_hook(m_config.password_prompt, m_given_up)));
            try {
                for (;;) {
                    if (m_config.post_data) {
                        // Nobody withdraws a post; it ends by itself.
                        if (std::chrono::steady_clock::now() >= deadline)
                            throw m_config.proxy_host + ": no connection within " +
                                std::to_string(m_config.post_limit_ms / 1000) + " s";
                    } else if (!m_in_connection) {
                        throw attempt_cancelled();
                    }
                    rulo::object<rulo::rptSRMux> mux(new rulo::rptSRMux);
                    {
                        std::lock_guard<std::mutex> lock(m_mutex);
                        m_srmux = mux;
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
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_rpc = rpc;
            m_msg = msg;
            m_downloader = downloader;
        }
        if (downloader) m_host.downloader_ready(downloader);
    } catch (attempt_cancelled const&) {
        throw;
    } catch (control_rpc::exception const& e) {
        m_in_connection = false;
        m_host.clear_connect_save_file();
        error = m_host.word_error(m_config.proxy_host, e);
    } catch (std::string const& text) {
        error = text;
    } catch (rulo::exception const& e) {
        error = m_host.word_failure(m_config.proxy_host, e, true);
    } catch (...) {
        error = "unknown error";
    }
    if (!error.empty()) {
        update_target(m_config.proxy_host, false);
        if (!report.empty()) error += "\r\nConnecting through:\r\n" + report;
        throw error;
    }
}

bool connector::request_code() {
    rulo::object<control_rpc> rpc = this->rpc();
    connection_memory& memory = *m_config.memory;
    std::string sid, desk_private;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        sid = m_sid;
        desk_private = m_desk_private;
    }
    std::string user, password;
    bool configuration_sent;
    {
        std::lock_guard<std::mutex> lock(memory.mutex);
        user = memory.user;
        password = memory.password;
        configuration_sent = memory.configuration_sent;
    }
    auto keep_login = [&](std::string const& u, std::string const& p) {
        std::lock_guard<std::mutex> lock(memory.mutex);
        memory.user = u;
        memory.password = p;
    };
    bool const continued = !sid.empty();
    if (!continued && desk_private.empty()) {
        try {
            rpc->co_login_filters(rulo::get_nifs_hw());
        } catch (...) {
        }
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
            if (!m_host.ask_credentials(user, password)) return false;
            keep_login(user, password);
            try {
                rpc->co_login_plaintext(user, password);
            } catch (control_rpc::exception const& e) {
                std::string text = m_host.word_error(m_config.proxy_host, e);
                if (user.find(' ') != std::string::npos || password.find(' ') != std::string::npos)
                    text += m_host.translate("ERROR_E_PASSWORD_SPACE");
                keep_login("", "");
                throw text;
            }
        }
    }
    if (!configuration_sent) {
        try {
            auto port = leading_decimal(m_config.httpt_port, 0, 65535);
            rpc->co_my_configuration(0, static_cast<unsigned short>(port ? *port : 0), m_config.use_http,
                                     m_config.use_https, nullptr);
            std::lock_guard<std::mutex> lock(memory.mutex);
            memory.configuration_sent = true;
        } catch (...) {
        }
    }
    if (continued) {
        try {
            rpc->co_continue(sid, desk_private);
        } catch (control_rpc::exception const& e) {
            if (e.code == control_rpc::E_NO_SESSION) throw session_unknown();
            // Any other refusal leaves the session as it was.
        } catch (rulo::exception const&) {
            // No answer, or the link broke: the server has not taken the
            // session back, the attempt fails and the retry ladder goes on.
            throw;
        } catch (...) {
        }
        try {
            rpc->co_check_graceful();
            rpc->co_language(m_host.selected_language());
        } catch (...) {
        }
        return true;
    }
    std::string code, key, aux;
    try {
        rpc->co_create_session(code, sid, key, aux, desk_private);
    } catch (control_rpc::exception const& e) {
        m_host.post_notification(32768, 0);
        keep_login("", "");
        throw m_host.word_error(m_config.proxy_host, e);
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_code = code;
        m_sid = sid;
        m_key = key;
        m_aux = aux;
        m_desk_private = desk_private;
    }
    try {
        rpc->co_check_graceful();
        rpc->co_language(m_host.selected_language());
        rpc->co_customization(m_config.customization);
    } catch (...) {
    }
    m_host.set_new_code(code);
    m_host.log("proxy will relay session " + sid + " with code " + code);
    if (m_config.get_code) {
        m_config.get_code = false;
        if (!m_config.code_file.empty()) {
            if (std::FILE* f = std::fopen(m_config.code_file.c_str(), "w")) {
                std::string text = code;
                if (!sid.empty()) {
                    text += " " + sid;
                    if (!aux.empty()) text += " " + aux;
                }
                std::fwrite(text.data(), 1, text.size(), f);
                std::fclose(f);
            }
        }
    }
    int32_t a = 0, b = 0;
    if (parse_session_id(sid, a, b)) {
        m_host.post_notification(16, a);
        m_host.post_notification(32, b);
    }
    make_http_notification(rpc, code);
    flush_session_message();
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
    rulo::object<control_rpc> rpc = this->rpc();
    std::string code, sid, key;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        code = m_code.empty() ? m_host.typed_code() : m_code;
        sid = m_sid;
        key = m_key;
    }
    // Asked by session id, "no such session" means the server forgot it.
    bool const by_sid = !sid.empty() && !key.empty();
    auto forgotten = [by_sid](control_rpc::exception const& e) {
        if (by_sid && e.code == control_rpc::E_NO_SESSION) throw session_unknown();
        throw e;
    };
    std::string redirect;
    try {
        redirect = rpc->co_resolve_session(code, sid, key);
    } catch (control_rpc::exception const& e) {
        forgotten(e);
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_code = code;
        m_sid = sid;
        m_key = key;
    }
    if (!redirect.empty()) {
        m_host.log("got redirect " + redirect);
        update_target(redirect, true);
        throw rulo::repeat_connect();
    }
    try {
        rpc->co_i_am_client(code, sid, key);
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
        if (!m_in_connection) throw attempt_cancelled();
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
    m_host.handle_command(origin::local, "connection_status 4");
    std::string const code = wait_for_code();
    m_host.post_notification(1, std::stoll(code));
    rulo::object<connection_reader> reader(new connection_reader(m_host));
    rulo::object<rulo::rptSafeChannel> channel(new rulo::rptSafeChannel(-2, reader));
    std::string local, remote;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        local = m_connect_params.count("secret_local") ? m_connect_params["secret_local"] : "";
        remote = m_connect_params.count("secret_remote") ? m_connect_params["secret_remote"] : "";
    }
    bool const both = !local.empty() && !remote.empty();
    if (!both && !m_config.is_client) {
        local = "." + rulo::get_challenge(16);
        remote = "." + rulo::get_challenge(16);
    }
    channel->set_secret(local, remote, both);
    channel->start(m_factory, m_config.is_client, text_channel,
                   netbuf::from_string("version " + m_config.version));
    std::lock_guard<std::mutex> lock(m_mutex);
    m_safe_channel = channel;
}

rulo::object<rulo::rptChannel> connector::get_channel(rulo::object<rulo::rptChannelSink> sink) {
    std::string error, reason;
    try {
        return establish_session_channels(sink);
    } catch (control_rpc::exception const& e) {
        m_in_connection = false;
        m_host.clear_connect_save_file();
        error = m_host.word_error(m_config.proxy_host, e);
    } catch (rulo::exception const& e) {
        // The person reads what failed; the log also keeps why.
        error = m_host.word_failure(m_config.proxy_host, e, false);
        reason = e.full();
    } catch (std::string const& text) {
        error = text;
    }
    if (!error.empty()) {
        m_host.log(reason.empty() ? error : error + ": " + reason);
        m_in_connection = false;
        if (m_host.connection_state() != 7 && !m_host.restored_connection())
            m_host.msg_box_in_main(error, "Tovan Error", 0xa00081);
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
    rulo::object<rulo::rptMsg> msg;
    std::string sid, key;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        msg = m_msg;
        sid = m_sid;
        key = m_key;
    }
    if (!msg) return;
    (msg->call("id"), sid, key).operator!();
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

void connector::flush_session_message() {
    rulo::object<rulo::rptMsg> msg;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        msg = m_msg;
    }
    if (!msg || m_config.session_message.empty()) return;
    m_host.log("Sending session message");
    auto copy = m_config.session_message;
    copy["actionType"] = "cmd";
    init_msg_channel();
    (msg->call("message"), std::string("session_message"), copy).operator!();
    m_config.session_message.clear();
}

void connector::shutdown() {
    rulo::object<rulo::rptSafeChannel> channel;
    rulo::object<rulo::rptSRMux> mux;
    rulo::object<control_rpc> rpc;
    rulo::object<rulo::rptMsg> msg;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        channel = m_safe_channel;
        mux = m_srmux;
        rpc = m_rpc;
        msg = m_msg;
        m_rpc_mux.reset();
        m_safe_channel.reset();
        m_srmux.reset();
        m_rpc.reset();
        m_msg.reset();
    }
    drop_downloader();
    if (channel) {
        channel->stop(0);
        // The channel's worker calls back into this object: let it end first.
        for (int i = 0; i < 1000 && channel->worker_running(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    try {
        if (mux) mux->disconnect();
    } catch (...) {
    }
}

std::string connector::code() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_code;
}
std::string connector::sid() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_sid;
}
std::string connector::key() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_key;
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
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_downloader) return;
        m_downloader.reset();
    }
    m_host.downloader_ready({});
}
void connector::restore_session(std::string const& code, std::string const& sid, std::string const& key,
                                std::string const& desk_private) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_code = code;
    m_sid = sid;
    m_key = key;
    m_desk_private = desk_private;
}
std::string connector::desk_private() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_desk_private;
}
void connector::set_connect_params(std::map<std::string, std::string> params) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_connect_params = std::move(params);
}

} // namespace vyn
