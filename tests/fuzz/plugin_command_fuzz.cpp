// Command packets as a plugin sends them, through the host's command
// handler: no packet may crash it, and the handler returns for every one
// (nothing is loaded, so commands that reach other plugins find none).
#include "tovan/plugins/host_commands.h"
#include "tovan/plugins/plugin_host.h"

#include <cstddef>
#include <cstdint>

namespace {

// Services that answer every question with nothing.
class null_services : public tovan::host_services {
public:
    void log(std::string const&) override {}
    void system_message(std::string const&, bool) override {}
    bool send_session(int, netbuf const&) override { return false; }
    int64_t connection_state() override { return 6; }
    std::string peer_version() override { return {}; }
    std::string program_link(tovan::option_map const&) override { return {}; }
    std::vector<std::string> arguments() override { return {}; }
    std::string ini_path() override { return {}; }
    std::string ini_section() override { return {}; }
    std::string translate(std::string const&) override { return {}; }
    void add_translations(std::string const&) override {}
    bool is_client() override { return false; }
    int64_t main_window() override { return 0; }
    bool plain_log_closed() override { return false; }
    std::string window_status() override { return {}; }
    bool app_options_for(std::string const&, std::string const&, tovan::option_map&) override {
        return false;
    }
    void queue_command(std::string const&) override {}
    bool update_flags(uint64_t, uint64_t) override { return false; }
    uint64_t flags() override { return 0; }
    void update_dialog_item(std::string const&, uint64_t, uint64_t) override {}
    // Widgets are the plugin's own pointers: never dereferenced here.
    void translate_widget(int64_t) override {}
    void set_widget_tip(int64_t, std::string const&) override {}
    int connect_save(netbuf const&) override { return 1; }
    bool set_priority(int, int) override { return false; }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, std::size_t size) {
    static null_services services;
    tovan::plugin_host::instance().set_services(&services);
    // "load-plugin" carries raw addresses that only a loaded library can
    // hand over: with no library loaded, a record pointer is never read.
    netbuf packet = netbuf::from_buffer(reinterpret_cast<char const*>(data), static_cast<int>(size));
    tovan::handle_plugin_command(services, "fuzz", packet);
    return 0;
}
