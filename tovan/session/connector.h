// One side of a support session's connection: the attempt that opens the
// relay multiplexer and its named channels, obtains the session (the desk
// creates or continues it, the client resolves the code it was given) and
// starts the reliable session channel, which then asks the connector's
// factory for a fresh TLS-protected session leg on every (re)connection.
//
// Ownership: always held by a std::shared_ptr (make it with
// std::make_shared). An attempt's thread holds the connector too, so an
// attempt deletes what it needs after its run: dropping the last handle on
// the GUI thread never waits for an attempt. Letting go alone gives nothing
// up (the attempt still holds it): the host calls abandon() first, and the
// attempt then ends on its own; what it learns after that is dropped. The
// reliable channel's factory holds the connector weakly: a leg asked for
// once it went is cancelled. The host outlives every connector, and the
// attempt's thread logs "ConnectionThreadClass ended" as the last thing it
// does.
//
// Threads: at most one attempt runs at a time, on a detached thread of its
// own; start_attempt() from the GUI thread. The reliable channel calls the
// factory on its worker. Every effect on the host goes through
// connector_host, whose operations are safe from any thread, and through
// one give-up check (unless_given_up), which abandon() waits for: what an
// attempt learns or asks for after abandon() reaches nobody. Work it handed
// to the GUI thread before carries the give-up mark and checks it again when
// it runs there: the commands it queues (dropped when their turn comes), the
// new code for the code field, the log-in window, the end of the connection,
// the code file, the notifications and the session message. Only log lines
// pass after abandon(), and what the session channel itself reports (its
// statuses and texts: its stop still says "stopped"). The session's values
// (the wish to connect, the code, id and key) live in the host's
// session_shared, and the command line's code file and session message in
// the host, not here; the connector's own handles are guarded by its mutex.
//
// Failures of an attempt end in one place (see run_attempt): nothing, a new
// attempt at once, the dispatcher's reconnect bookkeeping
// ("channel_status_connect_failed"), the end of a session the server no
// longer knows ("my_intern_session_gone"), or the end of the connection with
// one message box.
#pragma once

#include "rulo-rpt/channel/rptSafeChannel.h"
#include "rulo-rpt/choose/proxy_accounts.h"
#include "rulo-rpt/mux/rptSRMux.h"
#include "rulo-rpt/rpc/rptMsg.h"
#include "tovan/session/command_queue.h"
#include "tovan/session/control_rpc.h"
#include "tovan/session/session_sinks.h"
#include "tovan/session/session_state.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vyn {

// What the connection keeps for the life of the process, across sessions:
// owned by the dialog and shared by every connector it makes (each
// session's and each end-of-session post's). Any thread, under its mutex.
struct connection_memory {
    std::mutex mutex;
    // The transport chooser's last method: what worked, or empty after an
    // attempt in which nothing did, so a method that just failed is not put
    // first again.
    std::string transport_memory;
    // The log-in as given or typed; a refusal clears it.
    std::string user, password;
    // The client configuration reached the server; a failure leaves it for
    // the next attempt.
    bool configuration_sent = false;
};

struct connector_config {
    bool is_client = false;
    std::string proxy_host;            // the relay, host or host:port
    std::string proxy_host_additional; // further relays
    std::string httpt_port = "80";
    bool use_http = false, use_https = false;
    std::string force_transport;
    std::map<std::string, std::string> conn_options;
    bool use_ssl = true;
    std::string cert_file, key_file, key_pass, ca_file, dh_file; // the desk's own, the client's CA
    std::string web_login, customization;
    std::string proxy_notification;
    // The session has a message for the server: every relay connection
    // opens the message channel (the live chat goes there too).
    bool message_channel = false;
    std::string version = "3.3.2";
    long code_wait_s = 60; // how long the channel waits for the code field
    // How long a control call of the attempt waits for its answer.
    long call_limit_s = control_rpc::call_limit_s;
    // Post-data mode (the end of a session): the relay connection with the
    // message channel only, no control client, no georeconnect, not given up
    // with the wish to connect, and no longer than post_limit_ms.
    bool post_data = false;
    long post_limit_ms = 60000;
    // Asks the person for a web-proxy account (the chooser's hook; its
    // context is the attempt's give-up flag). Null: every request refused.
    rulo::autotransport_http_password::callback_fn password_prompt = nullptr;
    // Never null; a connector of its own (the tests) gets a fresh one.
    std::shared_ptr<connection_memory> memory = std::make_shared<connection_memory>();
};

// The server answered a continue, or a resolve or "I am client" by session
// id, with E_NO_SESSION: it no longer knows the session (a relay that
// restarted forgets its sessions). The attempt then queues
// "my_intern_session_gone" and the session ends; a call that timed out or
// whose link broke is no such answer and stays a failed attempt.
struct session_unknown {};

class connector;

// What the connector needs of the program; callable from any thread.
class connector_host : public session_target {
public:
    // A command of an attempt for the dispatcher, queued with the others in
    // the order asked; withdrawn, asked on the GUI thread when the command's
    // turn comes, drops it there once true. A host without a queue runs it
    // at once.
    virtual void queue_command(std::string text, std::function<bool()> withdrawn) {
        if (!withdrawn()) handle_command(origin::local, std::move(text));
    }
    // Runs f on the GUI thread, later, in the order asked (a host without
    // a GUI thread runs it at once).
    virtual void post_to_gui(std::function<void()> f) { f(); }
    // Shows a box on the GUI thread without waiting for it.
    virtual void msg_box_in_main(std::string const& text, std::string const& caption, unsigned flags) = 0;
    // The home of the session's values that the connector reads and learns.
    virtual session_shared& shared() = 0;
    // Run on the GUI thread, in the order asked.
    virtual void shutdown_connection() = 0;
    virtual void clear_connect_save_file() = 0;
    virtual void post_notification(int64_t a, int64_t b) = 0;
    // A failure that ends the connection, run on the GUI thread in this
    // order: the wish to connect goes, the saved connection file is cleared
    // (clear_save), the connection is shut down (shut_down), and only then,
    // unless the start is a restored one (or, with quiet_when_reconnecting,
    // the session is reconnecting, state 7), the error shows in one box.
    struct failure_end {
        std::string error, caption;
        bool clear_save = true, shut_down = true, quiet_when_reconnecting = false;
    };
    virtual void end_connection(failure_end const& end) = 0;
    // The session got its code; text is what the code file holds. The host
    // writes it once per program run, when the command line asks for it
    // (GUI thread).
    virtual void code_file_due(std::string const& /*text*/) {}
    // The session exists: the host sends the session message of the command
    // line, once per program run, through from (GUI thread).
    virtual void session_message_due(connector& /*from*/) {}
    // The desk's new code: the code field's text (typed_code) from now on,
    // and shown there later on the GUI thread unless withdrawn is true by then.
    virtual void set_new_code(std::string const& code, std::function<bool()> withdrawn) = 0;
    // The code field's text as last typed or set.
    virtual std::string typed_code() = 0;
    // Hands the request for the log-in window to the GUI thread without
    // waiting; the GUI fills it and calls its done() once.
    virtual void request_credentials(credentials_request* request) = 0;
    // The person's words for a refusal of the server, and for a failure of
    // the framework towards it (with starting, the failure's own
    // description follows). server: the relay this connector was given.
    virtual std::string word_error(std::string const& server, control_rpc::exception const& e) = 0;
    virtual std::string word_failure(std::string const& server, rulo::exception const& e, bool starting) = 0;
    virtual std::string translate(std::string const& key) = 0;
    // The language selected in the dialog now (it may change between sessions).
    virtual std::string selected_language() = 0;
    // The sink for the plugin downloads on "PLUGINS" (null: no downloader is
    // made), and the downloader each attempt made with it (null when the
    // connection is dropped). Called on the attempt's thread, and on the
    // GUI thread at the shut-down, without the connector's lock.
    virtual rulo::object<rulo::SRDownloaderSink> download_sink() { return {}; }
    virtual void downloader_ready(rulo::object<rulo::SRDownloader>) {}
};

class connector : public std::enable_shared_from_this<connector> {
public:
    connector(connector_host& host, connector_config config);
    // Never waits for an attempt (none can be running: it holds the connector).
    ~connector();
    connector(connector const&) = delete;
    connector& operator=(connector const&) = delete;

    // The person wants a connection (or no longer does): the host's home.
    void set_in_connection(bool on) { m_host.shared().in_connection = on; }
    bool in_connection() const { return m_host.shared().in_connection; }
    // Gives the connector up: a running attempt and its control calls stop
    // waiting, and nothing it learns from now on reaches the host. Waits at
    // most for an effect of the attempt on the host that is under way (a
    // queued command, a write to the home), never for the attempt.
    void abandon();
    bool given_up() const { return *m_given_up; }

    // Starts an attempt unless one runs; true when it started.
    bool start_attempt();
    bool attempt_running();
    // Waits until no attempt thread is left, each having queued what its
    // end asks for; false at the limit.
    bool wait_attempt(long ms);

    // One attempt on the calling thread (the attempt thread's body); clears
    // the running mark before it queues its follow-up commands.
    void run_attempt();

    // The relay's options for the transport chooser.
    void update_target(std::string const& target, bool reset);

    // Gives the connector up and drops the connection: stops the session
    // channel, ends the mux. Never waits for the channel's worker.
    void shutdown();

    // The factory of session legs (the reliable channel's worker).
    rulo::object<rulo::rptChannel> get_channel(rulo::object<rulo::rptChannelSink> sink);

    // The connection's handles, for the dialog and the tests; any thread.
    std::map<std::string, std::string> transport_map();
    rulo::object<rulo::rptSafeChannel> safe_channel();
    rulo::object<control_rpc> rpc();
    rulo::object<rulo::rptMsg> msg();
    // Post-data mode: opens the relay connection, identifies with the
    // session's id and key, sends each non-empty text as a "message", waits
    // until they have left (drain_ms at most) and disconnects. Throws the
    // failure as the attempt does (a text, with the transport report).
    void post_texts(std::vector<std::string> const& texts, long drain_ms);
    rulo::object<rulo::SRDownloader> downloader();
    // Releases the downloader (the session's shut-down).
    void drop_downloader();
    // Sends message (with "actionType" = "cmd") to the server as the
    // session message, after the identification; false without a message
    // channel. Any thread.
    bool send_session_message(std::map<std::string, std::string> message);

private:
    // The person wants the connection and the connector was not given up:
    // an attempt goes on only while this holds.
    bool wanted() const;
    // Runs f, an effect of the attempt on the host or its home that does not
    // block, unless the connector was given up: abandon() waits for a
    // running one, so nothing reaches the host after it. False when dropped.
    template <class F>
    bool unless_given_up(F&& f);
    // Hands f to the GUI thread through the give-up check, which f passes
    // again when it runs there: a connector given up meanwhile (a new
    // Connect) acts no more. f reaches the connector only through a handle
    // of its own. False when dropped at once.
    template <class F>
    bool on_gui(F f);
    // The give-up mark, for work handed to the GUI thread.
    std::function<bool()> withdrawn() const;
    // Asks the person for the log-in through the GUI (blocks until answered
    // or given up); false when cancelled.
    bool ask_credentials(std::string& user, std::string& password);
    // The end-of-connection path of a failed attempt or leg.
    void end_connection(connector_host::failure_end const& end);
    // The attempt's run is over: a new one may start.
    void end_run();
    // Takes every handle out and closes them; never waits, tells nobody.
    rulo::object<rulo::rptSafeChannel> release();
    void establish_mux_channels();
    bool request_code();
    void resolve_session();
    void start_session_channels();
    rulo::object<rulo::rptChannel> establish_session_channels(rulo::object<rulo::rptChannelSink> sink);
    void init_msg_channel();
    void make_http_notification(rulo::object<control_rpc> const& rpc, std::string const& code);
    std::string wait_for_code();

    connector_host& m_host;
    connector_config m_config;
    // Given up (abandon(), or the connector went): shared with the control
    // stubs and the proxy prompt, which may outlive the connector. Set under
    // m_give_up_mutex, which unless_given_up() holds around each effect.
    std::shared_ptr<std::atomic<bool>> m_given_up = std::make_shared<std::atomic<bool>>(false);
    std::mutex m_give_up_mutex;

    std::mutex m_mutex; // guards everything below up to m_use_msg
    std::map<std::string, std::string> m_transport_map;
    rulo::object<rulo::rptSRMux> m_srmux;
    rulo::object<rulo::rptSRMux> m_rpc_mux; // the mux of the last attempt that got its channels
    rulo::object<control_rpc> m_rpc;
    rulo::object<rulo::rptMsg> m_msg;
    rulo::object<rulo::SRDownloader> m_downloader;
    rulo::object<rulo::rptSafeChannel> m_safe_channel;
    // Every relay connection of the session opens the message channel once
    // the session had a message or notification for the server (the live
    // chat goes there too), also after the message itself was sent.
    bool m_use_msg = false;

    std::mutex m_thread_mutex;
    std::condition_variable m_thread_done;
    bool m_running = false; // an attempt's run is under way: no other starts
    int m_threads = 0;      // attempt threads not yet at their end (wait_attempt)
};

} // namespace vyn
