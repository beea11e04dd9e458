#include "tovan/window/desk_session.h"

#include "QtUtils/http_auth.h"
#include "tovan/dialogs/end_of_session.h"
#include "tovan/dialogs/message_box.h"
#include "tovan/dialogs/proxy_settings.h"
#include "tovan/dialogs/xml_dialog.h"
#include "tovan/lang/translations.h"
#include "tovan/look/chat_text.h"
#include "tovan/look/user_commands.h"
#include "tovan/plugins/plugin_host.h"
#include "tovan/plugins/plugin_manager.h"
#include "tovan/util/log_message.h"
#include "tovan/util/text_utils.h"
#include "tovan/window/vyn_dialog.h"

#include "rulo-rpt/net/socket.h"
#include "rulo/clock.h"
#include "rulo/config_store.h"
#include "rulo/exception.h"
#include "rulo/packet.h"
#include "rulo/process.h"
#include "rulo/url.h"
#include "rulo/xfile.h"

#include <QApplication>
#include <QRegularExpression>
#include <QScrollBar>
#include <QThread>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

namespace tovan {

namespace {

char const bom[] = "\xEF\xBB\xBF";

std::string time_stamp() {
    std::time_t const t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[128];
    return std::strftime(buf, sizeof buf, "%H:%M:%S", &tm) > 0 ? buf : "";
}

// Writes text to path through a temporary file of mode 0600 beside it,
// renamed over path once complete: a reader never sees half a file, and the
// secrets inside are the user's alone. errno tells a failure.
bool write_private_file(std::string const& path, std::string const& text) {
    std::string temp = path + ".XXXXXX";
    int const fd = ::mkstemp(temp.data());
    if (fd < 0) return false;
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t const n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    bool ok = done == text.size() && ::fsync(fd) == 0;
    int const saved = errno;
    ok = ::close(fd) == 0 && ok;
    if (ok && ::rename(temp.c_str(), path.c_str()) == 0) return true;
    int const failed = ok ? errno : saved;
    ::unlink(temp.c_str());
    errno = failed;
    return false;
}

} // namespace

desk_session::desk_session(CVYNDialog& dialog)
    : m_dialog(dialog), m_dispatcher(*this, m_queue), m_timer(*this) {
    connect(this, &desk_session::commands_waiting, this, &desk_session::dispatch_pending,
            Qt::QueuedConnection);
    state().is_client = dialog.m_is_client;
}

desk_session::~desk_session() {
    state().in_connection = false;
    replace_connector(nullptr);
}

void desk_session::replace_connector(std::shared_ptr<vyn::connector> next) {
    std::shared_ptr<vyn::connector> old;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        old = std::move(m_connector);
        m_connector = std::move(next);
    }
    // Outside the lock: its workers may ask for the session channel
    // (send_version) meanwhile. A running attempt holds the connector and
    // ends on its own.
    if (old) old->abandon();
}

bool desk_session::on_gui_thread() const {
    return QThread::currentThread() == thread();
}

void desk_session::in_gui(std::function<void()> f) {
    if (on_gui_thread())
        f();
    else
        QMetaObject::invokeMethod(this, std::move(f), Qt::QueuedConnection);
}

vyn::connector_config desk_session::config_for_attempt() {
    CVYNDialog& d = m_dialog;
    vyn::connector_config c;
    c.is_client = d.m_is_client;
    c.password_prompt = QtUtils::http_auth_dialog;
    c.proxy_host = d.m_proxy_host;
    c.proxy_host_additional = d.m_proxy_host_additional;
    c.httpt_port = d.m_httpt_port;
    c.use_http = d.m_use_http;
    c.use_https = d.m_use_https;
    c.force_transport = d.m_force_transport;
    c.conn_options = d.m_conn_options;
    c.use_ssl = d.m_use_ssl;
    c.cert_file = d.m_cert_file;
    c.key_file = d.m_key_file;
    c.key_pass = d.m_key_pass;
    c.ca_file = d.m_ca_file;
    c.dh_file = d.m_dh_file;
    c.web_login = d.m_web_login;
    c.memory = d.m_connection_memory;
    c.proxy_notification = d.m_proxy_notification;
    c.message_channel = !d.m_session_message.empty();
    c.version = app_version;
    return c;
}

void desk_session::connect_now(std::string const& typed_code) {
    auto& s = state();
    // The last session's connector: its attempt ends now that nobody wants it.
    replace_connector(nullptr);
    // The session's identity is the connect parameters' (empty when absent):
    // a saved session (or one the parameters name) is continued, not created
    // anew; without them the attempt creates or resolves a new one.
    vyn::session_ids ids;
    ids.sid = s.param("sid_string");
    ids.key = s.param("key_string");
    ids.desk_private = s.param("desk_private");
    ids.secret_local = s.param("secret_local");
    ids.secret_remote = s.param("secret_remote");
    ids.code = s.is_client ? typed_code : std::string();
    set_typed_code(typed_code);
    if (!s.is_client && !ids.sid.empty()) {
        // The desk shows its session's code again, and its channel waits for it.
        ids.code = s.param("code");
        set_typed_code(ids.code);
        m_dialog.SetNewCode(QString::fromLatin1(ids.code.c_str()));
    }
    s.ids.set(ids);
    // Download tries count per session: this is the user's new one (a
    // reconnect of a session never passes here).
    if (m_dialog.m_plugin_manager) m_dialog.m_plugin_manager->new_session();
    s.next_retry_ms = 0;
    s.in_connection = true;
    replace_connector(std::make_shared<vyn::connector>(*this, config_for_attempt()));
    m_connector->update_target(m_dialog.m_proxy_host, false);
    handle_command(vyn::origin::local, s.is_client ? "connection_status 4" : "connection_status 1");
    handle_command(vyn::origin::local, "channel_start_all");
}

void desk_session::dispatch_pending() {
    if (m_dispatching) return; // a handler's modal box is up: the rest waits for it
    m_dispatching = true;
    for (;;) {
        std::optional<vyn::command_entry> e = m_queue.take();
        if (!e) break;
        m_dispatcher.dispatch(*e);
        log_state();
    }
    m_dispatching = false;
}

void desk_session::log_state() {
    int64_t const now = state().state;
    if (now != m_logged_state) LogMessage2("connection state " + std::to_string(now));
    m_logged_state = now;
}

void desk_session::shut_down() {
    try {
        shut_down_steps();
    } catch (...) {
        // nothing leaves the shut-down
    }
    log_state();
}

void desk_session::shut_down_steps() {
    // One deadline for every wait on the server below.
    auto const deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(shut_down_budget_ms);
    auto& s = state();
    s.in_connection = false;
    // A running attempt and its control calls stop waiting.
    if (m_connector) m_connector->abandon();
    s.pending_text.clear();
    m_dialog.m_time_text->hide();
    m_dialog.m_time_text2->hide();
    m_dialog.stop_plugin_downloads();
    int64_t const was = s.state;
    rulo::object<rulo::rptSafeChannel> ch = channel();
    auto fake_stop = [&](char const* note) {
        if (note) log(note);
        handle_command(vyn::origin::local, "channel_status_stopped");
    };
    if (was == 0 || was == 3) {
        if (ch)
            ch->stop(1);
        else
            fake_stop("faking force-stop message");
        return;
    }
    rulo::object<vyn::control_rpc> rpc = m_connector ? m_connector->rpc() : rulo::object<vyn::control_rpc>();
    bool const saved = !m_dialog.m_restore_file.empty();
    if (!s.is_client && rpc && !saved) {
        try {
            rpc->co_graceful_exit();
        } catch (...) {
        }
    }
    s.state = 3;
    if (was <= 5 || (was & 15) <= 5 || saved) {
        if (ch)
            ch->stop(5);
        else
            fake_stop(was <= 5 ? nullptr : "faking stop message");
        return;
    }
    bool closed = true;
    if (s.is_client || !s.old_peer) {
        log("closing session");
        try {
            if (!rpc) throw std::runtime_error("no control link");
            auto const left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            if (left <= 0) throw std::runtime_error("no time left to ask the server");
            rpc->co_close_session(left);
        } catch (...) {
            // The server did not close it (or could not be asked): nothing
            // else will end the channel, so this end does.
            closed = false;
        }
    }
    // A peer before 2.3 ends only when the channel stops; a closed session
    // ends through the server's "close_connection" to both ends.
    if (s.peer_version.get() < "2.3" || !closed) {
        if (ch)
            ch->stop(5);
        else
            fake_stop("faking stop message");
    }
}

void desk_session::save_state() {
    auto& params = state().connect_params;
    vyn::session_ids const ids = state().ids.get();
    params["desk_private"] = ids.desk_private;
    params["sid_string"] = ids.sid;
    params["key_string"] = ids.key;
    params["code"] = ids.code;
    std::pair<std::string, std::string> secret;
    try {
        if (auto ch = channel()) secret = ch->get_secret();
    } catch (...) {
        secret = {};
    }
    params["secret_local"] = secret.first;
    params["secret_remote"] = secret.second;
}

bool desk_session::save_connection(std::string const& file, bool keep) {
    save_state();
    std::string const text = look::connect_save_text(state().connect_params);
    log("saving connection " + file + " (" + (keep ? "1" : "0") + ")");
    if (!write_private_file(file, text)) {
        log("failed to save file " + std::to_string(errno));
        if (!keep) return false;
    }
    m_dialog.m_restore_file = file;
    return true;
}

rulo::object<rulo::rptSafeChannel> desk_session::channel() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_connector ? m_connector->safe_channel() : rulo::object<rulo::rptSafeChannel>();
}

void desk_session::tick() {
    auto& s = state();
    // Also while a command's handler holds a modal window: the retry, the
    // watchdog and the keep-alives must not starve; only the dispatch of the
    // next command waits for it.
    m_timer.tick(s, m_life_sign);
    if (m_timer.ticks() % 4 == 0 && (s.state & 15) >= 6 && s.clock_time != 0) {
        std::time_t clock = static_cast<std::time_t>(s.clock_time);
        look::advance_clock(s.session_seconds, clock, std::time(nullptr));
        s.clock_time = clock;
        m_dialog.m_time_text2->setText(QString::fromStdString(look::clock_text(s.session_seconds)));
    }
    chat_display();
    if (s.look_dirty) {
        s.look_dirty = false;
        m_dialog.UpdateVisualLook();
    }
    if (m_refresh_request.exchange(false)) s.layout_dirty = true;
    if (s.layout_dirty) {
        m_dialog.UpdateVisualLook();
        m_dialog.NotifyGuiStatus("");
        m_dialog.SetChatMode((s.state & 15) >= 6 && !s.old_peer);
        s.layout_dirty = false;
    }
}

void desk_session::chat_display() {
    std::deque<std::string> lines;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        lines.swap(m_chat_queue);
    }
    if (lines.empty()) return;
    std::vector<std::string> sent;
    for (auto const& line : lines) {
        QString const stamp = QString::fromUtf8(time_stamp().c_str());
        look::chat_line const l = look::format_chat_line(unknown_to_unicode(line.data(), line.size()), stamp);
        std::string const html = l.html.toUtf8().toStdString();
        state().chat_plain += l.plain.toUtf8().toStdString();
        state().chat_transcript_html += html;
        state().chat_html += html;
        m_dialog.appendChatHtml(l.html);
        sent.push_back(look::latin1_html(l.html));
    }
    rulo::object<rulo::rptMsg> msg = m_connector ? m_connector->msg() : rulo::object<rulo::rptMsg>();
    if (state().send_chat_live && msg) {
        try {
            (msg->call("chat_live"), sent).operator!();
        } catch (...) {
        }
    }
}

std::string chat_line_html(std::string line) {
    if (line.rfind(bom, 0) != 0) line = bom + line;
    return look::link_anchors(std::move(line));
}

void desk_session::show_line(std::string line, bool send, std::string const&) {
    if (line.rfind(bom, 0) != 0) line = bom + line;
    if (send) {
        std::string const peer = state().peer_version.get();
        rulo::object<rulo::rptSafeChannel> const ch = channel();
        std::string copy = line;
        if (peer < "2.3") {
            QString text = unknown_to_unicode(line.data(), line.size());
            if (text.startsWith(QChar(0xFEFF))) text.remove(0, 1);
            copy = look::latin1_html(text);
        }
        try {
            if (ch) ch->send(vyn::chat_channel, netbuf::from_string(copy));
        } catch (...) {
        }
    }
    line = chat_line_html(std::move(line));
    std::lock_guard<std::mutex> lock(m_mutex);
    m_chat_queue.push_back(std::move(line));
}

bool desk_session::send_to_server(std::string const& text) {
    try {
        auto rpc = m_connector ? m_connector->rpc() : rulo::object<vyn::control_rpc>();
        if (!rpc) return false;
        rpc->co_message(text);
        return true;
    } catch (...) {
        return false;
    }
}

// --- any thread ---

void desk_session::handle_command(vyn::origin from, std::string text) {
    m_queue.push(from, std::move(text));
    emit commands_waiting();
}

void desk_session::queue_command(std::string text, std::function<bool()> withdrawn) {
    m_queue.push(vyn::origin::local, std::move(text), std::move(withdrawn));
    emit commands_waiting();
}

void desk_session::push_chat(std::string line) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_chat_queue.push_back(std::move(line));
}

void desk_session::stamp_life_sign() {
    m_life_sign = rulo::relative_time();
}

bool desk_session::send_plugin_data(int sub_channel, netbuf const& data) {
    rulo::object<rulo::rptSafeChannel> ch = channel();
    if (!ch) return false;
    ch->send(sub_channel, data);
    return true;
}

bool desk_session::set_plugin_priority(int priority, int sub_channel) {
    rulo::object<rulo::rptSafeChannel> ch = channel();
    if (!ch) return false;
    ch->set_priority(sub_channel, priority);
    return true;
}

std::string desk_session::peer_version() {
    return state().peer_version.get();
}

rulo::object<vyn::control_rpc> desk_session::control_client() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_connector ? m_connector->rpc() : rulo::object<vyn::control_rpc>();
}

std::string desk_session::program_link(std::map<std::string, std::string> const& params) {
    rulo::object<vyn::control_rpc> rpc = control_client();
    if (!rpc) throw rulo::exception::function("get_program_link");
    return rpc->co_get_program_link(params);
}

bool desk_session::update_flags(uint64_t clear, uint64_t set) {
    std::atomic<uint64_t>& flags = state().flags.atomic();
    uint64_t was = flags.load();
    uint64_t next;
    do {
        next = (was & ~clear) | set;
        if (next == was) return false;
    } while (!flags.compare_exchange_weak(was, next));
    m_refresh_request = true;
    return true;
}

void desk_session::notify_gui_status() {
    m_dialog.NotifyGuiStatus("");
}

void desk_session::update_load_menus() {
    m_dialog.update_load_menus();
}

void desk_session::enable_plugin_button(std::string const& name, bool on) {
    m_dialog.enable_plugin_button(name, on);
}

void desk_session::run_in_main(std::string const& packet) {
    // The plugin's own packet with its name on top, back to its command entry.
    netbuf rest = netbuf::from_string(packet);
    std::string name;
    rulo_packet_pop(rest, name);
    plugin_host::instance().libs_command(rest, name);
}

void desk_session::connection_callback(std::string const& what) {
    netbuf packet;
    rulo_packet_push(packet, what);
    plugin_host::instance().invoke_callback("main/connection", packet.get_ptr());
}

void desk_session::send_version() {
    try {
        // The channel's thread: the connector is read under the lock that
        // connect_now takes when it replaces it.
        if (auto ch = channel())
            ch->send(vyn::text_channel, netbuf::from_string(std::string("version ") + app_version));
    } catch (...) {
    }
}

void desk_session::log(std::string const& text) {
    LogMessage2(text);
}

void desk_session::msg_box_in_main(std::string const& text, std::string const& caption, unsigned flags) {
    QString const t = QString::fromUtf8(text.c_str());
    // Captions come as translation keys or, from the connection thread, as
    // words of their own.
    QString c = caption.empty() ? QString() : get_lang_string(caption, true, false);
    if (c.isEmpty()) c = QString::fromUtf8(caption.c_str());
    // Always from the event loop, also when asked on the GUI thread: a box
    // shown inside a command would hold the commands behind it (the end of
    // the very session it tells of) until answered.
    QMetaObject::invokeMethod(
        this, [this, t, c, flags] { MessageBox(&m_dialog, t, c, static_cast<int>(flags)); },
        Qt::QueuedConnection);
}

void desk_session::shutdown_connection() {
    in_gui([this] { m_dialog.ShutdownConnection(); });
}

void desk_session::clear_connect_save_file() {
    in_gui([this] { m_dialog.clear_connect_save_file(); });
}

bool desk_session::restored_connection() {
    return state().restored();
}

void desk_session::end_connection(failure_end const& end) {
    in_gui([this, end] {
        auto& s = state();
        s.in_connection = false;
        if (end.clear_save) m_dialog.clear_connect_save_file();
        if (end.shut_down) m_dialog.ShutdownConnection();
        // Asked only now, after the saved file was cleared: a restored start
        // whose connection failed shows why.
        bool const quiet = s.restored() || (end.quiet_when_reconnecting && s.state == 7);
        if (!quiet) msg_box_in_main(end.error, end.caption, 0xa00081);
    });
}

void desk_session::post_to_gui(std::function<void()> f) {
    QMetaObject::invokeMethod(this, std::move(f), Qt::QueuedConnection);
}

void desk_session::code_file_due(std::string const& text) {
    // Used up by the first session that got a code, not by the first Connect.
    if (!m_dialog.m_get_code) return;
    m_dialog.m_get_code = false;
    if (m_dialog.m_code_file.empty()) return;
    // A file that cannot be written is skipped without a word. The code and the
    // session id let anyone join the session: only the user may read them.
    write_private_file(m_dialog.m_code_file, text);
}

void desk_session::session_message_due(vyn::connector& from) {
    // Used up once it went, not by a Connect that never got this far; a
    // connector given up sends nothing (a client may still hear the desk).
    if (from.given_up()) return;
    if (!m_dialog.m_session_message.empty() && from.send_session_message(m_dialog.m_session_message))
        m_dialog.m_session_message.clear();
}

void desk_session::post_notification(int64_t a, int64_t b) {
    in_gui([this, a, b] {
        m_dialog.PostNotification(static_cast<unsigned long>(a), static_cast<unsigned long>(b));
    });
}

void desk_session::set_typed_code(std::string const& code) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_typed_code = code;
}

void desk_session::set_new_code(std::string const& code, std::function<bool()> withdrawn) {
    set_typed_code(code);
    // A new Connect or the shut-down since keeps the field as it is.
    post_to_gui([this, text = QString::fromLatin1(code.c_str()), withdrawn = std::move(withdrawn)] {
        if (!withdrawn()) m_dialog.SetNewCode(text);
    });
}

std::string desk_session::typed_code() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_typed_code;
}

void desk_session::request_credentials(vyn::credentials_request* request) {
    m_queue.push_request(request);
    emit commands_waiting();
}

std::string desk_session::word_error(std::string const& server, vyn::control_rpc::exception const& e) {
    // The server's own words go to the log, with the attempt's failure.
    return get_lang_description(server, e.code);
}

std::string desk_session::word_failure(std::string const& server, rulo::exception const& e, bool starting) {
    return get_lang_description(server, e, starting);
}

std::string desk_session::selected_language() {
    return GetSelectedLanguage();
}

std::string desk_session::translate(std::string const& key) {
    return get_utf8_string(key, true, false);
}

// --- GUI thread ---

int64_t desk_session::now_ms() {
    return rulo::relative_time();
}

int64_t desk_session::time_of_day_s() {
    return std::time(nullptr);
}

void desk_session::drop_connection_handles() {
    if (m_connector) m_connector->shutdown();
}

bool desk_session::channel_exists() {
    return bool(channel());
}

void desk_session::stop_channel(int how) {
    if (auto ch = channel()) ch->stop(how);
}

void desk_session::send_remote(std::string const& text) {
    if (auto ch = channel()) ch->send(vyn::text_channel, netbuf::from_string(text));
}

std::pair<std::string, std::string> desk_session::get_secret() {
    auto ch = channel();
    return ch ? ch->get_secret() : std::pair<std::string, std::string>();
}

void desk_session::set_secret(std::string const& local, std::string const& remote, bool both) {
    if (auto ch = channel()) ch->set_secret(local, remote, both);
}

bool desk_session::start_connection_thread() {
    return m_connector && m_connector->start_attempt();
}

void desk_session::co_cversion(std::string const& version) {
    if (auto rpc = m_connector ? m_connector->rpc() : rulo::object<vyn::control_rpc>())
        rpc->co_cversion(version);
}

void desk_session::co_network_interfaces(std::vector<std::string> const& addresses) {
    if (auto rpc = control_client()) rpc->co_network_interfaces(addresses);
}

int desk_session::message_box(std::string const& key, std::string const& title_key, unsigned flags) {
    return MessageBox(&m_dialog, get_lang_string(key, true, false),
                      title_key.empty() ? QString() : get_lang_string(title_key, true, false),
                      static_cast<int>(flags));
}

void desk_session::system_line(std::string const& key) {
    m_dialog.AddSystemMessage(get_utf8_string(key, true, false), true);
}

void desk_session::show_chat(std::string const& label) {
    // Through the dialog, so that the recording listeners hear the server too.
    m_dialog.show_utf8(label, false, "corvane");
}

void desk_session::clear_code_field() {
    m_dialog.IDC_CODE->clear();
}

void desk_session::clear_chat_input() {
    m_dialog.IDC_CHAT_TEXT->clear();
}

void desk_session::on_timer() {
    m_dialog.OnTimer();
}

void desk_session::apply_options(std::string const& event) {
    m_dialog.handle_main_app_options(event);
}

void desk_session::close_all_windows() {
    m_dialog.CloseAll();
}

void desk_session::open_link(std::string const& url) {
    try {
        rulo::open_link(url, false);
    } catch (...) {
    }
}

bool desk_session::plain_log_open() {
    return !log_is_debug();
}

void desk_session::enable_debug() {
    m_dialog.EnableDebug();
}

std::string desk_session::language_dialog(std::string const& name) {
    return GetLanguageDialog(name);
}

bool desk_session::end_of_session(bool restored) {
    auto& s = state();
    std::string const& plain = s.chat_plain;
    std::string const& html = s.chat_transcript_html;
    // The server's end-of-session dialog, its data texts holding the chat.
    std::string comments, transcript;
    if (!s.from_wex && !s.eos_dialog.empty() && !restored) {
        CXMLDialog dialog(&m_dialog);
        dialog.initDialog(s.eos_dialog);
        dialog_variables const variables = transcript_variables(plain, html);
        dialog.doModal(&variables);
        comments = dialog.result();
    }
    if (s.send_chat_transcript) transcript = transcript_record(s.is_client, plain, html);
    if (comments.empty() && transcript.empty()) return false;
    log("sending comments " + std::to_string(comments.size()) + "," + std::to_string(transcript.size()));
    // A post still running from an earlier end goes on to its own end first.
    if (m_post) m_post->wait(vyn::PostDataThreadClass::drain_limit_ms);
    m_post.reset();
    vyn::session_ids const ids = s.ids.get();
    m_post_auto_close = s.auto_close;
    m_post = std::make_unique<vyn::PostDataThreadClass>(*this, config_for_attempt(), ids.sid, ids.key,
                                                        comments, transcript);
    return true;
}

void desk_session::post_finished(std::string const& error) {
    in_gui([this, error] {
        bool const restored = state().restored();
        m_post.reset(); // its thread has nothing left to do
        // The program closes once the user has read why the post failed.
        if (!error.empty() && !restored)
            MessageBox(&m_dialog, QString::fromUtf8(error.c_str()), "", 0xa00081);
        if (m_post_auto_close) {
            log("auto close");
            m_dialog.CloseAll();
        }
    });
}

bool desk_session::wait_post(long ms) {
    return !m_post || m_post->wait(ms);
}

void desk_session::flush_session_message() {
    if (m_connector) session_message_due(*m_connector);
}

void desk_session::ask_credentials(vyn::credentials_request& request) {
    CProxyServerSettings dialog(&m_dialog);
    dialog.m_prefix = request.storage_prefix;
    dialog.m_text1 = QString::fromStdString(request.text1);
    dialog.m_text2 = QString::fromStdString(request.text2);
    dialog.OnInitDialog();
    request.answered = dialog.exec() == QDialog::Accepted;
    request.user = dialog.m_user;
    request.password = dialog.m_password;
}

std::string desk_session::read_mtu_fix() {
    return xstd::get_config_string("", "mtu_fix_v");
}

void desk_session::store_mtu_fix(std::string const& value) {
    xstd::set_config_string("", "mtu_fix_v", value, xstd::storage_memory);
}

void desk_session::set_send_limit(int64_t max_send, int64_t buffer) {
    rulo::socket::g_max_send = static_cast<int>(max_send);
    rulo::socket::limit_send_buffer(static_cast<int>(buffer));
}

void desk_session::system_message(std::string const& key) {
    log("system message " + key); // the watchdog's word, in the log too
    m_dialog.AddSystemMessage(get_utf8_string(key, true, false), false);
}

void desk_session::rpc_ping() {
    if (auto rpc = m_connector ? m_connector->rpc() : rulo::object<vyn::control_rpc>()) rpc->ping();
}

void desk_session::send_ping_call() {
    if (auto ch = channel()) ch->send(vyn::text_channel, netbuf::from_string("ping_call"));
}

} // namespace tovan
