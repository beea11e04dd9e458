// What the dispatcher asks of the rest of the program: the dialog, the
// session's channels, the plugin host, the clock. The dialog implements it on
// the GUI thread; the tests implement it with recording fakes and a clock
// they move by hand.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace vyn {

struct credentials_request;

class dispatch_host {
public:
    virtual ~dispatch_host() = default;

    // Time.
    virtual int64_t now_ms() = 0;        // relative milliseconds
    virtual int64_t time_of_day_s() = 0; // seconds since midnight
    virtual void log(std::string const& text) = 0;
    virtual std::string translate(std::string const& key) = 0;

    // The saved connection and the shut-down.
    virtual bool restored_connection() = 0;
    virtual void clear_connect_save_file() = 0;
    virtual void shutdown_connection() = 0;
    // Drops the mux, the reliable channel, the RPC stub, the downloader and
    // the message channel (under the framework lock).
    virtual void drop_connection_handles() = 0;

    // The reliable session channel.
    virtual bool channel_exists() = 0;
    virtual void stop_channel(int how) = 0;
    virtual void send_remote(std::string const& text) = 0; // on the text sub-channel
    virtual std::pair<std::string, std::string> get_secret() = 0;
    virtual void set_secret(std::string const& local, std::string const& remote, bool both) = 0;

    // Connection thread: starts one unless one runs; true when it started.
    virtual bool start_connection_thread() = 0;

    // Server calls.
    virtual void co_cversion(std::string const& version) = 0;
    // The machine's interface addresses, as the server asked for them.
    virtual void co_network_interfaces(std::vector<std::string> const& addresses) = 0;

    // Dialog.
    virtual int message_box(std::string const& key, std::string const& title_key, unsigned flags) = 0;
    virtual void msg_box_in_main(std::string const& text, std::string const& title_key, unsigned flags) = 0;
    virtual void system_line(std::string const& key) = 0; // translated, shown and sent
    virtual void show_chat(std::string const& label) = 0;
    virtual void clear_code_field() = 0;
    virtual void clear_chat_input() = 0;
    virtual void on_timer() = 0;
    virtual void apply_options(std::string const& event) = 0;
    virtual void close_all_windows() = 0;
    // The pause before the windows close at an auto-close; blocks.
    virtual void sleep_ms(long ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
    virtual void open_link(std::string const& url) = 0;
    virtual bool plain_log_open() = 0;
    virtual void enable_debug() = 0;
    virtual void post_notification(int64_t a, int64_t b) = 0;
    virtual std::string language_dialog(std::string const& name) = 0;
    // The end-of-session dialog and transcript; true when a post-data thread
    // took over closing the program.
    virtual bool end_of_session(bool restored) = 0;
    virtual void flush_session_message() = 0;
    // Runs the proxy credentials dialog modally and fills the request.
    virtual void ask_credentials(credentials_request& request) = 0;

    // Plugins.
    virtual void forward_to_desktop(std::string const& cmd) = 0;
    virtual void handle_plugin_init(std::string const& cmd) = 0;
    virtual void check_server_plugins() = 0;
    virtual void start_downloads() = 0;
    virtual void update_download_status(int64_t bytes, int64_t total, int state) = 0;
    virtual void plugins_reconnecting() = 0; // "reconnecting-session" to each connected plugin
    // The session came up (state 6, the peer's version known): the plugin
    // negotiation runs this end's own passes.
    virtual void session_up() {}
    virtual void remove_all_pins() = 0;
    virtual void reposition_plugins() = 0;
    virtual void update_load_menus() = 0;
    virtual void notify_gui_status() = 0;
    virtual void enable_plugin_button(std::string const& name, bool on) = 0;
    virtual std::set<std::string> plugin_catalogue_names() = 0;
    // The packets that wait for a route: they came on the link that is gone.
    virtual void clear_unrouted_packets() = 0;
    // The session's plugin state: unrouted packets, the catalogue (with its
    // downloads) and the translation requests.
    virtual void clear_plugin_state() = 0;
    virtual void run_in_main(std::string const& packet) = 0;

    // Send limits and their stored choice.
    virtual void set_send_limit(int64_t max_send, int64_t buffer) = 0;
    virtual std::string read_mtu_fix() = 0;
    virtual void store_mtu_fix(std::string const& value) = 0;
};

} // namespace vyn
