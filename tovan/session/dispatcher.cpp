#include "tovan/session/dispatcher.h"

#include "tovan/session/command_log.h"
#include "tovan/session/numbers.h"

#include "rulo-rpt/net/net_util.h"
#include "rulo/packet.h"

#include <climits>
#include <ctime>

namespace vyn {

namespace {

bool starts_with(std::string const& text, char const* prefix) {
    return text.rfind(prefix, 0) == 0;
}

std::string replace_all(std::string text, std::string const& from, std::string const& to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

char const* const desktop_words[] = {
    "req_disable_whiteboard",   "req_control",
    "req_enable_whiteboard",    "show_desktop",
    "display_desktop",          "desk_connection_closed_1",
    "desk_connection_closed_0", "remote_control_enable",
    "remote_control_disable",   "remote_stream_pause",
    "remote_stream_play",       "local_user_active",
    "local_user_pasive",        "module_whiteboard",
    "module_whiteboard_new",    "module_whiteboard_new_2",
};
char const* const desktop_prefixes[] = {"view_colors ", "WhiteboardTimeout=", "disable_background_streaming ",
                                        "fwd_cmd "};

bool for_desktop(std::string const& cmd) {
    for (char const* w : desktop_words)
        if (cmd == w) return true;
    for (char const* p : desktop_prefixes)
        if (starts_with(cmd, p)) return true;
    return false;
}

// Runs one step; whatever it throws (a text that is no packet, a failing
// channel) ends only that step.
template <class F>
void guarded(dispatch_host& host, F&& step) {
    try {
        step();
    } catch (std::exception const& e) {
        host.log(std::string("command step failed: ") + e.what());
    } catch (...) {
        host.log("command step failed");
    }
}

} // namespace

bool dispatcher::is_internal(std::string const& text) {
    return starts_with(text, "connection_status ") || starts_with(text, "channel_status_") ||
           text == "channel_start_all" || starts_with(text, "my_intern_") ||
           starts_with(text, "run-in-main ") || starts_with(text, "module_plugin_running ") ||
           text == "get_corvane_code";
}

bool dispatcher::dispatch_next() {
    std::optional<command_entry> e = m_queue.take();
    if (!e) return false;
    dispatch(*e);
    return true;
}

void dispatcher::dispatch(command_entry const& entry) {
    if (entry.request) {
        // Only a local worker can make this entry: the text is not read.
        if (entry.from != origin::local) return;
        credentials_request& request = *entry.request;
        if (!(request.withdrawn && request.withdrawn()))
            guarded(m_host, [&] { m_host.ask_credentials(request); });
        request.done(); // on every path, so the worker never waits for ever
        return;
    }
    m_host.log("new request :" + loggable_command(entry.text));
    if (entry.withdrawn && entry.withdrawn()) {
        m_host.log("dropped: its connect attempt was given up");
        return;
    }
    if (entry.from != origin::local && is_internal(entry.text)) {
        m_host.log("ignored: an internal command from outside");
        return;
    }
    run_steps(entry.text, entry.from);
}

void dispatcher::run_steps(std::string cmd, origin from) {
    bool stop = false;

    // Step: the state, set by the program itself.
    if (starts_with(cmd, "connection_status ")) {
        auto n = leading_decimal(std::string_view(cmd).substr(18), 0, 7);
        if (n && *n != 2) {
            m_s.state = *n;
            if (*n == 0) m_s.look_dirty = true;
        }
    }

    // Step: the reliable channel's status.
    guarded(m_host, [&] {
        if (cmd == "channel_status_invalid_reconnect") {
            bool const restored = m_host.restored_connection();
            m_s.connect_params.clear();
            m_host.clear_connect_save_file();
            m_host.shutdown_connection();
            if (m_host.channel_exists()) m_host.stop_channel(3);
            if (!restored) m_host.message_box("ERROR_E_PROTOCOL", "", 0xA00001);
        } else if (cmd == "co_random_relay_connected") {
            m_host.log("Old notification ...");
        } else if (cmd == "channel_status_connected") {
            // Only this end's leg is open: whether it reaches the other end
            // shows when the peer answers (session_connect below), so the
            // ladder's count stands until then.
            m_host.log("channel connected\n");
            m_s.next_retry_ms = 0;
            bool downloads = false;
            // A catalogue that cannot be had keeps nobody out of the rest.
            if ((m_s.state & 15) < 6 && m_s.in_connection && m_s.plugins_empty)
                guarded(m_host, [&] { m_host.check_server_plugins(); });
            else
                downloads = true;
            if (!m_s.is_client) {
                if (m_s.state == 4) {
                    m_s.state = 5;
                    m_host.apply_options("join");
                }
                if (m_s.state != 7) m_s.look_dirty = true;
            }
            if (downloads) m_host.start_downloads();
        } else if (cmd == "channel_status_session_connect") {
            // The other end answered on the new leg: the session channel is up.
            m_s.next_retry_ms = 0;
            m_s.retry_count = 0;
            m_s.peer_reached = true;
            if (m_s.state == 7) {
                m_host.system_line("RECONNECTED_MSG");
                m_s.state = 6;
                m_s.look_dirty = true; // the connected texts again
            }
        } else if (cmd == "channel_status_connect_failed") {
            bool const restored = m_host.restored_connection();
            if (!restored || !m_s.in_connection) m_s.connect_params.clear();
            if (!m_s.in_connection) {
                cmd = "channel_status_stopped";
                return;
            }
            bool switched = false;
            if (m_host.plain_log_open()) {
                m_host.enable_debug();
                switched = true;
            }
            if (!(is_connected() || switched || restored)) {
                cmd = "channel_status_stopped";
                return;
            }
            stop = !ladder(!switched, restored);
        } else if (cmd == "channel_status_connect_cancelled") {
            if (m_s.in_connection)
                m_s.next_retry_ms = m_host.now_ms();
            else
                cmd = "channel_status_stopped";
        }
    });
    if (stop) return;

    if (cmd == "channel_status_broken") {
        guarded(m_host, [&] {
            m_host.log("handle channel_status_broken, state=" + std::to_string(m_s.state.load()));
            if (m_s.in_connection) {
                if (m_s.state == 6) {
                    m_s.state = 7;
                    m_host.system_line("RECONNECTING_MSG");
                    m_s.look_dirty = true; // the reconnecting texts
                }
                // A channel that had reached the other end is tried again at
                // once; one that broke before (a leg the relay refused or
                // closed at once) was a failed attempt of the ladder.
                bool const was_up = m_s.peer_reached;
                m_s.peer_reached = false;
                stop = !ladder(!was_up, m_host.restored_connection());
            } else {
                cmd = "channel_status_stopped";
                m_s.connect_params.clear();
                m_host.clear_connect_save_file();
            }
        });
        if (stop) return;
    }

    if (cmd == "channel_start_all") {
        m_host.log("starting connections\n");
        guarded(m_host, [&] { m_host.start_connection_thread(); });
    }

    if (cmd == "channel_status_stopped") {
        bool done = false;
        guarded(m_host, [&] {
            m_host.log("handle channel_status_stopped\n");
            m_host.forward_to_desktop("desk_connection_closed_1");
            if (m_s.state == 0) {
                done = true;
                return;
            }
            stopped(cmd);
        });
        if (done) return;
    }

    if (starts_with(cmd, "module_plugin_")) guarded(m_host, [&] { m_host.handle_plugin_init(cmd); });

    if (starts_with(cmd, "version ")) {
        m_s.peer_version.set(cmd.substr(8));
        cmd = "my_intern_connected";
        from = origin::local; // the rewrite is this end's own
    }

    if (cmd == "my_intern_reconnect") {
        guarded(m_host, [&] { reconnect_continues(); });
    } else if (cmd == "my_intern_connected" || cmd == "my_intern_connected_old") {
        if (is_connected()) return;
        guarded(m_host, [&] { connected(cmd); });
        if (cmd == "my_intern_connected_old") cmd = "display_desktop";
    }

    if (cmd == "dont_reconnect") m_s.in_connection = false;
    if (cmd == "send_network_interfaces")
        guarded(m_host, [&] { m_host.co_network_interfaces(rulo::get_nifs(true)); });

    if (for_desktop(cmd)) {
        guarded(m_host, [&] { m_host.forward_to_desktop(cmd); });
        return;
    }

    if (cmd == "my_intern_session_gone") {
        // The server answered that it does not know the session (it forgot
        // it, as a restarted relay does): over, as if it had closed it.
        m_host.log("the server no longer knows the session");
        guarded(m_host, [&] { server_says(m_host.translate("CONNECTION_WAS_CLOSED"), {}, true, true); });
        cmd = "close_connection";
    }
    if (cmd == "close_connection") {
        guarded(m_host, [&] {
            m_s.connect_params.clear();
            m_host.clear_connect_save_file();
            m_host.shutdown_connection();
            if (m_host.channel_exists()) m_host.stop_channel(3);
        });
    } else if (!handled_by_a_step(cmd)) {
        guarded(m_host, [&] { local_command(cmd); });
    }
    (void)from;
}

bool dispatcher::handled_by_a_step(std::string const& cmd) {
    // Every command the steps above know; only the rest may be a session map.
    static char const* const words[] = {"channel_start_all",       "co_random_relay_connected",
                                        "module_file_transfer",    "dont_reconnect",
                                        "send_network_interfaces", ""};
    for (char const* w : words)
        if (cmd == w) return true;
    return starts_with(cmd, "connection_status ") || starts_with(cmd, "channel_status_") ||
           starts_with(cmd, "my_intern_") || starts_with(cmd, "module_plugin_");
}

bool dispatcher::ladder(bool count, bool restored) {
    if (count && m_s.retry_count < INT32_MAX) ++m_s.retry_count;
    if (m_s.retry_count > 9) {
        if (restored) {
            m_s.retry_count = 10;
        } else if (m_host.message_box("RETRY_RECONNECT", "QUESTION", 0xA00010) == 7) {
            m_host.log("too many retrys - bailing out of reconnect ...");
            m_s.in_connection = false;
            if (m_host.channel_exists()) m_host.stop_channel(1);
            return false;
        }
    }
    m_s.next_retry_ms = m_host.now_ms() + int64_t(m_s.retry_count) * 2000;
    return true;
}

void dispatcher::server_says(std::string text, std::map<std::string, std::string> const& map, bool chat,
                             bool box) {
    text = replace_all(replace_all(text, "\r\n", "<br>"), "\n", "<br>");
    if (chat) {
        auto const label = map.find("cp_label");
        m_host.show_chat(label != map.end()
                             ? label->second + text
                             : "<font color=e0137c><b>VYN Corvane:</b><font color=000000> " + text);
    }
    if (box) m_host.msg_box_in_main(replace_all(text, "<br>", "\r\n"), "MSG_FROM_CORVANE", 0xA00401);
}

void dispatcher::local_command(std::string const& cmd) {
    if (starts_with(cmd, "adsl_fix ")) {
        adsl_fix(cmd.substr(9));
    } else if (starts_with(cmd, "open_at_end ")) {
        m_s.open_at_end = cmd.substr(12);
    } else if (starts_with(cmd, "run-in-main ")) {
        m_host.run_in_main(cmd.substr(12));
    } else if (starts_with(cmd, "send_chat_transcript")) {
        m_s.send_chat_transcript = true;
    } else if (starts_with(cmd, "send_chat_live")) {
        m_s.send_chat_live = true;
    } else if (starts_with(cmd, "connection_time ")) {
        auto n = leading_decimal(std::string_view(cmd).substr(16), 0, INT32_MAX);
        if (n && *n > m_s.session_seconds) m_s.session_seconds = *n;
    } else if (cmd == "ping_call") {
        // Only proves the link alive; the reader stamped the life sign.
    } else {
        session_map(cmd);
    }
}

void dispatcher::adsl_fix(std::string const& arg) {
    auto n = leading_decimal(arg, INT32_MIN, INT32_MAX);
    if (!n) {
        m_host.log("adsl_fix: value out of range");
        return;
    }
    int v = 0;
    if (*n < 1) {
        m_host.set_send_limit(INT32_MAX, 0);
    } else {
        m_host.set_send_limit(*n, *n * 2 / 3);
        v = *n <= 150 ? 2 : 1;
    }
    m_host.store_mtu_fix(std::to_string(v));
}

void dispatcher::session_map(std::string const& cmd) {
    std::string packet = cmd;
    std::map<std::string, std::string> m;
    rulo_packet_pop(packet, m);

    int64_t d = -1;
    auto has = [&](char const* k) { return m.count(k) != 0; };
    if (has("disconnect")) {
        auto n = leading_decimal(m["disconnect"], 0, INT32_MAX);
        if (!n) {
            m_host.log("disconnect: value out of range");
            return;
        }
        d = *n;
    }
    if (has("m_sid_string") && has("m_key_string")) {
        // Only a desk sends this map: a desk keeps its own session.
        if (!m_s.is_client) {
            m_host.log("got sid string on the desk: kept its own");
            return;
        }
        m_host.log("got sid string");
        m_s.ids.update([&](session_ids& ids) {
            ids.sid = m["m_sid_string"];
            ids.key = m["m_key_string"];
            ids.code.clear();
        });
        if (has("m_sec_1") && has("m_sec_2")) m_host.set_secret(m["m_sec_1"], m["m_sec_2"], false);
        m_host.flush_session_message();
    } else if (has("desk_dialog") || has("client_dialog")) {
        if (has("client_dialog") && !m_s.is_client) m_s.pending_text = cmd;
    } else if (has("dialog")) {
        m_s.eos_dialog = m["dialog"];
    } else if (has("message") || d != -1) {
        std::string text = has("message") ? m["message"] : m_host.translate("WILL_DISCONECT");
        if (d != -1) text += " " + m["disconnect"] + "s.";
        if (d == 0) {
            text = m_host.translate("CONNECTION_WAS_CLOSED");
            m_s.in_connection = false;
            m_host.shutdown_connection();
        }
        server_says(text, m, has("chat") || d != -1, has("msgbox") || d != -1);
    }
}

void dispatcher::reconnect_continues() {
    m_host.log("continuing connection:");
    auto const wanted = m_s.wanted_plugins;
    m_s.state = 3;
    m_host.update_download_status(-1, -1, 1);
    // A plugin that fails to hear it is unpinned all the same.
    guarded(m_host, [&] { m_host.plugins_reconnecting(); });
    m_host.remove_all_pins();
    m_host.reposition_plugins();
    // What waited for a route came on the link that is gone; the continued
    // session's plugins are routed anew.
    m_host.clear_unrouted_packets();
    m_s.wanted_plugins = wanted;
}

void dispatcher::connected(std::string const& cmd) {
    int64_t const previous = m_s.state;
    m_s.state = 6;
    m_s.connection_up = true;
    m_s.retry_count = 0;
    m_s.flags = 0;
    m_host.notify_gui_status();
    if (!m_s.pending_text.empty()) {
        m_host.send_remote(m_s.pending_text);
        m_s.pending_text.clear();
    }
    bool const old = cmd == "my_intern_connected_old";
    m_s.old_peer = old;
    // An old-protocol peer tells no version.
    std::string const peer = old ? std::string() : m_s.peer_version.get();
    if (old) {
        m_s.peer_version.set("");
        if (!m_s.is_client) guarded(m_host, [&] { m_host.co_cversion(""); });
    } else if (!m_s.is_client) {
        // The server hears of the peer's version on the control link, which
        // can break while the session channel stands: the session is set up
        // all the same.
        guarded(m_host, [&] { m_host.co_cversion(peer); });
        auto const secret = m_host.get_secret();
        session_ids const mine = m_s.ids.get();
        std::map<std::string, std::string> const ids = {{"m_sid_string", mine.sid},
                                                        {"m_key_string", mine.key},
                                                        {"m_sec_1", secret.second},
                                                        {"m_sec_2", secret.first}};
        std::string packet;
        rulo_packet_push(packet, ids);
        m_host.send_remote(packet);
        if (peer < "2.3") m_host.send_remote("module_file_transfer");
        m_queue.push(origin::local, "module_plugin_load");
    }
    if (m_s.eos_dialog.empty()) m_s.eos_dialog = m_host.language_dialog("eos_dialog");
    m_s.layout_dirty = true;
    m_s.clock_time = m_host.time_of_day_s();
    m_host.on_timer();
    m_host.apply_options("connect");
    if (!old && !m_s.is_client) {
        std::string const v = m_host.read_mtu_fix();
        if (!v.empty()) {
            if (auto n = leading_decimal(v, 0, 2)) {
                m_queue.push(origin::local, mtu_fix_commands[*n]);
                m_host.send_remote(mtu_fix_commands[*n]);
            }
        }
    }
    for (auto const& c : m_s.option_components)
        if (c != "main") m_s.wanted_plugins[c] = true;
    if (peer > "2.3") {
        std::string packet = "module_plugin_check ";
        rulo_packet_push(packet, m_host.plugin_catalogue_names());
        m_host.send_remote(packet);
    } else {
        if (!m_s.is_client) {
            m_host.enable_plugin_button("video", false);
            m_host.enable_plugin_button("audio", false);
        } else {
            m_s.wanted_plugins["desktop"] = true;
        }
        if (!(peer < "2.1")) {
            if (m_s.is_client) m_s.wanted_plugins["file_transfer"] = true;
        } else {
            m_host.enable_plugin_button("file_transfer", false);
            m_s.wanted_plugins["file_transfer"] = false;
        }
        if (m_s.is_client) m_queue.push(origin::local, "module_plugin_load");
    }
    if (!old) m_host.session_up();
    m_host.clear_chat_input();
    if (previous == 3) {
        m_host.send_remote("connection_time " + std::to_string(m_s.session_seconds));
        m_host.system_line("RESTARTING_CONNECTION");
    }
    m_host.start_downloads();
}

void dispatcher::stopped(std::string const&) {
    bool const restored = m_host.restored_connection();
    m_s.in_connection = false;
    m_s.next_retry_ms = 0;
    m_s.state = 0;
    m_s.peer_reached = false; // a next session's channel has reached nobody yet
    // A channel dropped here without a stop would keep its thread waiting.
    if (m_host.channel_exists()) m_host.stop_channel(1);
    m_host.drop_connection_handles();
    m_host.log("channel connection closed\n");
    m_host.clear_code_field();
    m_host.update_download_status(-1, -1, 1);
    if (m_s.session_seconds != 0) {
        std::time_t const t = static_cast<std::time_t>(m_s.session_seconds);
        std::tm tm{};
        gmtime_r(&t, &tm);
        char buf[128];
        if (std::strftime(buf, sizeof buf, "connection broken after %H:%M:%S\n", &tm) > 0) m_host.log(buf);
    }
    m_host.remove_all_pins();
    m_host.reposition_plugins();
    m_s.peer_version.set("");
    m_s.ids.update([](session_ids& ids) { ids.code.clear(); });
    m_s.look_dirty = m_s.layout_dirty = true;
    m_host.clear_plugin_state();
    m_s.plugins_empty = true;
    m_host.post_notification(0, 0);
    m_host.on_timer();
    m_host.apply_options("disconnect");
    m_host.update_load_menus();
    if (m_s.auto_close && !restored) m_s.connect_params.clear();
    if (!m_s.open_at_end.empty()) {
        m_host.open_link(m_s.open_at_end);
        m_s.open_at_end.clear();
    }
    m_host.log(std::string("autoclose ") + (m_s.auto_close ? "1" : "0"));
    bool close = m_s.auto_close;
    if (m_s.clock_time != 0) {
        m_host.log(std::string("checking comments ") + (m_s.from_wex ? "1" : "0") + "," +
                   (m_s.eos_dialog.empty() ? "1" : "0") + "," + (restored ? "1" : "0"));
        if (m_host.end_of_session(restored)) close = false;
    }
    if (close) {
        m_host.log("auto close");
        m_host.sleep_ms(200);
        m_host.close_all_windows();
    }
    m_s.eos_dialog.clear();
    m_s.session_seconds = 0;
    m_s.clock_time = 0;
    // Also after a session that never reached the other end: a line shown
    // while the desk waited belongs to no transcript.
    m_s.chat_transcript_html.clear();
    m_s.chat_html.clear();
    m_s.chat_plain.clear();
    m_s.send_chat_transcript = m_s.send_chat_live = false;
}

} // namespace vyn
