// A dispatch host for tests: records every call as one line of text, answers
// from fields the test sets, and keeps a clock the test moves by hand.
#pragma once

#include "tovan/session/command_queue.h"
#include "tovan/session/dispatch_host.h"
#include "tovan/session/session_state.h"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

namespace test_support {

class fake_dispatch_host : public vyn::dispatch_host {
public:
    // Answers.
    int64_t clock_ms = 1000;
    bool restored = false;
    bool log_open = false;
    int box_answer = 6; // yes
    bool channel = true;
    bool record_logs = false;
    bool credentials_fail = false; // the dialog fails before it answers
    std::pair<std::string, std::string> secret{"L", "R"};
    std::set<std::string> catalogue{"chat", "video"};
    std::string mtu_fix;
    bool control_link_broken = false;
    bool catalogue_fails = false; // the plugin list cannot be had
    vyn::session_state const* watched = nullptr;

    std::vector<std::string> calls;
    std::vector<std::string> logs;
    std::vector<std::string> interfaces{"(not asked)"}; // what co_network_interfaces was given

    bool called(std::string const& line) const { return std::count(calls.begin(), calls.end(), line) > 0; }
    int count_prefix(std::string const& prefix) const {
        return static_cast<int>(std::count_if(calls.begin(), calls.end(),
                                              [&](std::string const& c) { return c.rfind(prefix, 0) == 0; }));
    }

    int64_t now_ms() override { return clock_ms; }
    int64_t time_of_day_s() override { return 3600; }
    void log(std::string const& text) override {
        if (record_logs) logs.push_back(text);
    }
    std::string translate(std::string const& key) override { return "<" + key + ">"; }
    bool restored_connection() override { return restored; }
    void clear_connect_save_file() override { calls.push_back("clear_connect_save_file"); }
    void shutdown_connection() override { calls.push_back("shutdown_connection"); }
    void drop_connection_handles() override {
        calls.push_back("drop_connection_handles");
        channel = false;
    }
    bool channel_exists() override { return channel; }
    void stop_channel(int how) override { calls.push_back("stop " + std::to_string(how)); }
    void send_remote(std::string const& text) override { calls.push_back("send " + text); }
    std::pair<std::string, std::string> get_secret() override { return secret; }
    void set_secret(std::string const& l, std::string const& r, bool both) override {
        calls.push_back("set_secret " + l + " " + r + (both ? " 1" : " 0"));
    }
    bool start_connection_thread() override {
        calls.push_back("start_connection_thread");
        return true;
    }
    void co_cversion(std::string const& v) override {
        calls.push_back("co_cversion " + v);
        if (control_link_broken) throw std::runtime_error("async_call");
    }
    void co_network_interfaces(std::vector<std::string> const& a) override { interfaces = a; }
    int message_box(std::string const& key, std::string const& title, unsigned flags) override {
        calls.push_back("box " + key + " " + title + " " + std::to_string(flags));
        return box_answer;
    }
    void msg_box_in_main(std::string const& text, std::string const& title, unsigned) override {
        calls.push_back("msgbox " + title + " " + text);
    }
    void system_line(std::string const& key) override { calls.push_back("system " + key); }
    void show_chat(std::string const& label) override { calls.push_back("chat " + label); }
    void clear_code_field() override { calls.push_back("clear_code_field"); }
    void clear_chat_input() override {}
    void on_timer() override {}
    void apply_options(std::string const& event) override { calls.push_back("options " + event); }
    void close_all_windows() override { calls.push_back("close_all_windows"); }
    void open_link(std::string const& url) override { calls.push_back("open " + url); }
    bool plain_log_open() override { return log_open; }
    void enable_debug() override {
        calls.push_back("enable_debug");
        log_open = false;
    }
    void post_notification(int64_t a, int64_t b) override {
        calls.push_back("notify " + std::to_string(a) + " " + std::to_string(b));
    }
    std::string language_dialog(std::string const&) override { return ""; }
    bool end_of_session(bool) override { return false; }
    void flush_session_message() override { calls.push_back("flush_session_message"); }
    void ask_credentials(vyn::credentials_request& r) override {
        calls.push_back("ask_credentials");
        if (credentials_fail) throw std::runtime_error("dialog failed");
        r.user = "asked";
        r.answered = true;
    }
    void forward_to_desktop(std::string const& cmd) override { calls.push_back("desktop " + cmd); }
    void handle_plugin_init(std::string const& cmd) override { calls.push_back("plugin_init " + cmd); }
    void check_server_plugins() override {
        calls.push_back("check_server_plugins");
        if (catalogue_fails) throw std::runtime_error("no answer to call 29");
    }
    void start_downloads() override {}
    void update_download_status(int64_t, int64_t, int) override {}
    void plugins_reconnecting() override { calls.push_back("plugins_reconnecting"); }
    void remove_all_pins() override {}
    void reposition_plugins() override {}
    void update_load_menus() override {}
    // The state and status bits that the plugins are told (set watched).
    void notify_gui_status() override {
        if (watched)
            calls.push_back("gui_status " + std::to_string(watched->state.load()) + " " +
                            std::to_string(watched->flags.load()));
    }
    void enable_plugin_button(std::string const& name, bool on) override {
        calls.push_back("button " + name + (on ? " 1" : " 0"));
    }
    std::set<std::string> plugin_catalogue_names() override { return catalogue; }
    void clear_unrouted_packets() override { calls.push_back("clear_unrouted_packets"); }
    void clear_plugin_state() override {}
    void run_in_main(std::string const& packet) override { calls.push_back("run_in_main " + packet); }
    void set_send_limit(int64_t max_send, int64_t buffer) override {
        calls.push_back("send_limit " + std::to_string(max_send) + " " + std::to_string(buffer));
    }
    std::string read_mtu_fix() override { return mtu_fix; }
    void store_mtu_fix(std::string const& v) override { calls.push_back("mtu_fix_v " + v); }
};

} // namespace test_support
