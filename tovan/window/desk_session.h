// The session as the main dialog runs it: the command queue and its
// dispatcher, the connector of this end, the session steps of the GUI tick,
// the chat queue and the one way every session ends (shut_down).
//
// Ownership: made by the dialog's constructor and owned by it; it makes a
// connector for each wish to connect and keeps it until the next one (an
// attempt still running then ends on its own: letting a connector go never
// waits). The session's values live once, in the dispatcher's
// session_state (session_state.h says which thread may touch which); the
// dialog and the connector read them there.
// Threads: the connector's and the session channel's workers reach it only
// through the connector_host operations, which queue a command, post work
// to the GUI thread (in the order asked), take a lock or read an atomic of
// the state; everything else, and every widget, stays on the GUI thread.
// One command runs at a time: a text that arrives while a handler shows a
// modal box waits for it (FIFO); the GUI tick's session steps do not.
#pragma once

#include "tovan/session/command_queue.h"
#include "tovan/session/connector.h"
#include "tovan/session/dispatcher.h"
#include "tovan/session/post_data_thread.h"
#include "tovan/session/session_timer.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace tovan {

class CVYNDialog;

// A chat line as shown and recorded: the UTF-8 byte-order mark in front,
// every "http://" link turned into an anchor.
std::string chat_line_html(std::string line);

class desk_session : public QObject,
                     public vyn::connector_host,
                     public vyn::dispatch_host,
                     public vyn::timer_host,
                     public vyn::post_data_host {
    Q_OBJECT
public:
    explicit desk_session(CVYNDialog& dialog);
    ~desk_session() override;

    vyn::session_state& state() { return m_dispatcher.state(); }
    vyn::command_queue& queue() { return m_queue; }
    vyn::connector* current() { return m_connector.get(); }
    // The code field's text, as typed or set; any thread.
    void set_typed_code(std::string const& code);

    // The action button's connect: a fresh connector towards the relay, and
    // a new session, in which plugin downloads have their tries again.
    void connect_now(std::string const& typed_code);
    // Every session ends through here (GUI thread).
    void shut_down();
    // The session's identity into the connect parameters: desk private
    // text, id, key, the channel's secret pair (empty without a channel)
    // and the code, so that a restored start can continue it.
    void save_state();
    // save_state, then the parameters to file (relative to the working
    // directory), which becomes the saved connection; false when it could
    // not be written (the saved connection is then kept only with keep).
    bool save_connection(std::string const& file, bool keep);
    // Runs the queued commands, one at a time; nothing while one runs (the
    // rest waits for it).
    void dispatch_pending();
    // One GUI tick's session steps and the chat display.
    void tick();
    // A chat line to show (and, with send, to send to the remote end).
    void show_line(std::string line, bool send, std::string const& who);
    // The desk's "proxylog" text to the server; false when it failed.
    bool send_to_server(std::string const& text);
    // Waits for a running post of the end of a session; false at the limit.
    bool wait_post(long ms);

    // post_data_host: the post thread.
    void post_finished(std::string const& error) override;

    // For the plugin host, any thread: the session channel (false without
    // one), the remote end's version, the control link's program link
    // (blocks up to its call limit; throws), and the status flags that
    // plugins change (a change requests a refresh that the next tick takes).
    bool send_plugin_data(int sub_channel, netbuf const& data);
    bool set_plugin_priority(int priority, int sub_channel);
    std::string peer_version();
    std::string program_link(std::map<std::string, std::string> const& params);
    // The current connection's control client and plugin downloader (null
    // without one); any thread.
    rulo::object<vyn::control_rpc> control_client();
    rulo::object<rulo::SRDownloader> plugin_downloader();
    bool update_flags(uint64_t clear, uint64_t set);
    uint64_t flags() { return state().flags; }

    // How long the shut-down waits for the server in all (graceful exit and
    // close session), so that the window answers again soon after a
    // Disconnect on a silent link.
    static constexpr long shut_down_budget_ms = 5000;

    // The chat as shown since the last clear (the transcript keeps it).
    QString chat_html() { return QString::fromUtf8(state().chat_html.c_str()); }
    QString chat_plain() { return QString::fromUtf8(state().chat_plain.c_str()); }
    void clear_chat() {
        state().chat_html.clear();
        state().chat_plain.clear();
    }

    // connector_host and session_target: any thread.
    void handle_command(vyn::origin from, std::string text) override;
    void push_chat(std::string line) override;
    void stamp_life_sign() override;
    int64_t connection_state() override { return state().state; }
    vyn::session_shared& shared() override { return state(); }
    void end_connection(failure_end const& end) override;
    void post_to_gui(std::function<void()> f) override;
    void code_file_due(std::string const& text) override;
    void session_message_due(vyn::connector& from) override;
    void route_packet(int index, netbuf const& data) override;
    void send_version() override;
    void log(std::string const& text) override;
    void msg_box_in_main(std::string const& text, std::string const& caption, unsigned flags) override;
    void shutdown_connection() override;
    void clear_connect_save_file() override;
    void post_notification(int64_t a, int64_t b) override;
    void set_new_code(std::string const& code, std::function<bool()> withdrawn) override;
    void queue_command(std::string text, std::function<bool()> withdrawn) override;
    std::string typed_code() override;
    void request_credentials(vyn::credentials_request* request) override;
    std::string word_error(std::string const& server, vyn::control_rpc::exception const& e) override;
    std::string word_failure(std::string const& server, rulo::exception const& e, bool starting) override;
    std::string translate(std::string const& key) override;
    std::string selected_language() override;
    rulo::object<rulo::SRDownloaderSink> download_sink() override;
    void downloader_ready(rulo::object<rulo::SRDownloader> downloader) override;

    // dispatch_host: GUI thread.
    bool restored_connection() override;
    int64_t now_ms() override;
    int64_t time_of_day_s() override;
    void drop_connection_handles() override;
    bool channel_exists() override;
    void stop_channel(int how) override;
    void send_remote(std::string const& text) override;
    std::pair<std::string, std::string> get_secret() override;
    void set_secret(std::string const& local, std::string const& remote, bool both) override;
    bool start_connection_thread() override;
    void co_cversion(std::string const& version) override;
    void co_network_interfaces(std::vector<std::string> const& addresses) override;
    int message_box(std::string const& key, std::string const& title_key, unsigned flags) override;
    void system_line(std::string const& key) override;
    void show_chat(std::string const& label) override;
    void clear_code_field() override;
    void clear_chat_input() override;
    void on_timer() override;
    void apply_options(std::string const& event) override;
    void close_all_windows() override;
    void open_link(std::string const& url) override;
    bool plain_log_open() override;
    void enable_debug() override;
    std::string language_dialog(std::string const& name) override;
    bool end_of_session(bool restored) override;
    void flush_session_message() override;
    void ask_credentials(vyn::credentials_request& request) override;
    void forward_to_desktop(std::string const& cmd) override;
    void handle_plugin_init(std::string const& cmd) override;
    void check_server_plugins() override;
    void start_downloads() override;
    void update_download_status(int64_t total, int64_t done, int id) override;
    void plugins_reconnecting() override;
    void session_up() override;
    void remove_all_pins() override;
    void reposition_plugins() override {}
    void update_load_menus() override;
    void notify_gui_status() override;
    void enable_plugin_button(std::string const& name, bool on) override;
    std::set<std::string> plugin_catalogue_names() override;
    void clear_unrouted_packets() override;
    void clear_plugin_state() override;
    void run_in_main(std::string const& packet) override;
    void set_send_limit(int64_t max_send, int64_t buffer) override;
    std::string read_mtu_fix() override;
    void store_mtu_fix(std::string const& value) override;

    // timer_host: GUI thread.
    void system_message(std::string const& key) override;
    void connection_callback(std::string const& what) override;
    void rpc_ping() override;
    void send_ping_call() override;

signals:
    void commands_waiting();

private:
    bool on_gui_thread() const;
    // Runs f on the GUI thread: at once there, else queued behind what was
    // asked before.
    void in_gui(std::function<void()> f);
    void shut_down_steps();
    // Logs the connection state when it changed since it was last logged.
    void log_state();
    void chat_display();
    // The session channel; any thread (the connector handle under m_mutex).
    rulo::object<rulo::rptSafeChannel> channel();
    vyn::connector_config config_for_attempt();
    void replace_connector(std::shared_ptr<vyn::connector> next);

    CVYNDialog& m_dialog;
    vyn::command_queue m_queue;
    vyn::dispatcher m_dispatcher;
    vyn::session_timer m_timer;
    std::shared_ptr<vyn::connector> m_connector;
    // Stamped by the session reader for every packet of the remote end, and
    // by every download report; read by the watchdog.
    std::atomic<int64_t> m_life_sign{0};
    std::atomic<bool> m_refresh_request{false};
    int64_t m_logged_state = 0; // the state the log last told
    bool m_dispatching = false;

    // The code last set or typed, the chat queue, and the connector handle
    // (changed on the GUI thread under it, read there freely).
    std::mutex m_mutex;
    std::string m_typed_code;
    std::deque<std::string> m_chat_queue;

    // The post of the last session's end (GUI thread only). Last, so that it
    // ends before the rest of the session goes.
    bool m_post_auto_close = false;
    std::unique_ptr<vyn::PostDataThreadClass> m_post;
};

} // namespace tovan
