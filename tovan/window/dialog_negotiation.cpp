// The dialog's side of the plugin negotiation: the negotiation core over
// the real plugin host (its catalogue, loading, the pins' entries, the one
// set of routing tables), and the session dispatcher's plugin calls that
// reach it. The negotiation itself is in tovan/plugins/negotiation.cpp.
#include "tovan/plugins/negotiation.h"
#include "tovan/plugins/plugin_host.h"
#include "tovan/plugins/plugin_manager.h"
#include "tovan/plugins/plugin_translations.h"
#include "tovan/session/command_queue.h"
#include "tovan/util/log_message.h"
#include "tovan/window/desk_session.h"
#include "tovan/window/push_button.h"
#include "tovan/window/vyn_dialog.h"

#include "rulo/exception.h"
#include "rulo/packet.h"

namespace tovan {

namespace {

// A pinned plugin (or a child) as the negotiation sees it: the host's pin.
struct host_pin : plugin_handle {
    explicit host_pin(rulo::object<plugin> p) : pin(std::move(p)) {
        name = pin->get_name();
        proto_version = pin->get_proto_version();
    }
    void set_connected() override { pin->set_connected(true); }
    rulo::object<plugin> pin;
};

rulo::object<plugin> const& pin_of(plugin_ptr const& p) {
    return static_cast<host_pin&>(*p).pin;
}

// What the negotiation asks of the program, on the GUI thread (routes() and
// log() also on transport threads, as negotiation_host says): the dialog's
// catalogue and loading, the plugin host's pins and tables, the session.
class dialog_negotiation_host : public negotiation_host {
public:
    explicit dialog_negotiation_host(CVYNDialog& d) : m_dialog(d) {}

    std::size_t entry_count() override { return m_dialog.m_plugin_defs.size(); }
    plugin_entry entry(std::size_t i) override {
        plugin_def const& def = m_dialog.m_plugin_defs.at(i);
        return {def.get_name(), def.get_full_name(), def.state, def.auto_start()};
    }
    void set_entry_state(std::size_t i, int state) override { m_dialog.m_plugin_defs.at(i).state = state; }
    void mark_missing(std::size_t i) override {
        plugin_def& def = m_dialog.m_plugin_defs.at(i);
        def.definition["_r_missing_"] = "true";
        def.state = plugin_def::state_invalid;
    }
    void load_library(std::size_t i) override { m_dialog.load_plugin(static_cast<int>(i), false); }
    plugin_ptr make_plugin(std::size_t i) override {
        plugin* p = m_dialog.load_plugin(static_cast<int>(i), true);
        if (!p) throw rulo::exception::function("load_plugin");
        return std::make_shared<host_pin>(rulo::make_object(p));
    }
    std::vector<plugin_ptr> make_children(plugin_ptr const& parent) override {
        std::vector<plugin_ptr> out;
        rulo::object<plugin_lib> const lib = pin_of(parent)->get_lib();
        if (lib->handed_over()) return out;
        for (auto const& [key, child] : plugin_host::instance().libraries())
            if (child->parent() == lib.get())
                out.push_back(std::make_shared<host_pin>(rulo::make_object(new plugin(child, -1))));
        return out;
    }
    void register_handed_record(uint64_t record, uint64_t library) override {
        plugin_host::instance().load_plugin(
            reinterpret_cast<tovan_plugin_map*>(static_cast<uintptr_t>(record)),
            reinterpret_cast<void*>(static_cast<uintptr_t>(library)), false);
    }

    int init_entry(plugin_ptr const& p, int peer_proto) override {
        return pin_of(p)->init(peer_proto) ? 1 : 0;
    }
    void connected_entry(plugin_ptr const& p, int how) override {
        tovan_plugin_map const* record = pin_of(p)->get_const();
        if (record->connected) record->connected(how);
    }
    void deinit_entry(plugin_ptr const& p) override { pin_of(p)->deinit(); }
    void command_entry(plugin_ptr const& p, netbuf const& packet) override {
        tovan_plugin_map const* record = pin_of(p)->get_const();
        if (record->command) record->command(packet.get_ptr());
    }

    plugin_routes& routes() override { return plugin_host::instance().routes(); }
    void open_dispatcher(plugin_ptr const& p) override {
        plugin_host::instance().open_dispatcher(p->name, pin_of(p));
    }
    void close_dispatcher(plugin_ptr const& p) override { plugin_host::instance().close_dispatcher(p->name); }

    void log(std::string const& line) override { LogMessage2(line); }
    void enable_plugin_button(std::string const& name, bool on) override {
        m_dialog.enable_plugin_button(name, on);
    }
    void disable_button_top_image(std::string const& name) override {
        auto at = m_dialog.m_plugin_buttons.find(name);
        if (at != m_dialog.m_plugin_buttons.end() && at->second) at->second->disableTopImage();
    }
    void update_load_menus() override { m_dialog.update_load_menus(); }
    void notify_gui_status(std::string const& text) override { m_dialog.NotifyGuiStatus(text); }
    void notify_gui_event(std::string const& name, std::string const& text) override {
        m_dialog.NotifyGuiEvent(name, text);
    }
    void send_options(std::string const& name, std::string const& event) override {
        m_dialog.send_options_2_plugin(name, event);
    }

    bool has_network() override { return m_dialog.has_network(); }
    bool start_downloads() override { return m_dialog.start_plugin_downloads(); }
    void update_download_status(int total, int done, int id) override {
        m_dialog.plugin_download_status(total, done, id);
    }

    void queue_command(std::string const& text) override {
        if (desk_session* s = m_dialog.session()) s->handle_command(vyn::origin::local, text);
    }
    void send_peer(std::string const& bytes) override {
        if (desk_session* s = m_dialog.session()) s->send_plugin_data(-1, netbuf::from_string(bytes));
    }

private:
    CVYNDialog& m_dialog;
};

} // namespace

negotiation* CVYNDialog::negotiation_core() {
    if (!m_negotiation && m_session) {
        m_negotiation_host = std::make_unique<dialog_negotiation_host>(*this);
        m_negotiation = std::make_unique<negotiation>(*m_negotiation_host, m_session->state());
    }
    return m_negotiation.get();
}

void CVYNDialog::HandlePluginInit(std::string const& text, bool direct) {
    if (negotiation* n = negotiation_core()) n->handle(text, direct);
}

void CVYNDialog::send_download_status(int total, int done) {
    if (!m_session) return;
    vyn::session_state const& s = m_session->state();
    if (s.old_peer || (s.state & 15) < 6) return;
    std::string text = "module_plugin_download ";
    rulo_packet_push(text, done, total);
    try {
        m_session->send_plugin_data(-1, netbuf::from_string(text));
    } catch (...) {
    }
}

bool CVYNDialog::start_plugin_downloads() {
    if (!m_plugin_manager) return false;
    m_plugin_manager->start_downloads();
    return true;
}

void CVYNDialog::plugin_download_status(int total, int done, int id) {
    if (m_plugin_manager) m_plugin_manager->update_download_status(total, done, id);
}

// --- the session dispatcher's plugin calls ---

void desk_session::handle_plugin_init(std::string const& cmd) {
    m_dialog.HandlePluginInit(cmd);
}

void desk_session::forward_to_desktop(std::string const& cmd) {
    plugin_host::instance().forward_to_desktop(cmd);
}

void desk_session::remove_all_pins() {
    if (negotiation* n = m_dialog.negotiation_core()) n->remove_pin("");
    plugin_host::instance().remove_pin("");
}

std::set<std::string> desk_session::plugin_catalogue_names() {
    std::set<std::string> names;
    for (plugin_def const& def : m_dialog.m_plugin_defs) names.insert(def.get_name());
    return names;
}

void desk_session::session_up() {
    if (negotiation* n = m_dialog.negotiation_core()) n->session_up();
}

void desk_session::plugins_reconnecting() {
    netbuf packet;
    rulo_packet_push(packet, std::string("reconnecting-session"));
    plugin_host::instance().plugins_command(true, packet);
}

void desk_session::clear_unrouted_packets() {
    if (negotiation* n = m_dialog.negotiation_core()) n->clear_unrouted();
}

void desk_session::clear_plugin_state() {
    clear_unrouted_packets();
    // The catalogue was this session's: the next one fetches its own. Its
    // downloads go with it (their records would wait for a definition that
    // no longer exists), and a check that ends later finds nothing to
    // prepare or load.
    if (m_dialog.m_plugin_manager) m_dialog.m_plugin_manager->cancel_all();
    m_dialog.m_plugin_defs.clear();
    // A call made on the connection that is gone would never be answered:
    // kept, it would hold back the plugin's next request and make its next
    // check wait out the answer limit.
    m_dialog.translation_requests().clear();
}

void desk_session::route_packet(int index, netbuf const& data) {
    // The core exists from the session's creation on, before any reader runs.
    if (negotiation* n = m_dialog.negotiation_core()) n->route_packet(index, data);
}

} // namespace tovan
