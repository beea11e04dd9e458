#include "tovan/plugins/negotiation.h"

#include "tovan/session/dispatcher.h"
#include "tovan/util/ignoring_failure.h"

#include "rulo/exception.h"
#include "rulo/lock.h"
#include "rulo/packet.h"

#include <utility>

namespace tovan {

namespace {

bool starts_with(std::string const& text, std::string const& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

std::string const force_verb = "module_plugin_load_force ";
std::string const running_verb = "module_plugin_running ";
std::string const check_verb = "module_plugin_check ";
std::string const load_text = "module_plugin_load";
std::string const req_verb = "module_plugin_req ";
std::string const accept_verb = "module_plugin_accept ";
std::string const channels_verb = "module_plugin_channels ";
std::string const init_ok_verb = "module_plugin_init_ok ";
std::string const down_verb = "module_plugin_down ";
std::string const download_verb = "module_plugin_download ";
std::string const load_plugin_verb = "module_plugin_load-plugin ";

// The peer's protocol is compared as text, byte by byte ("2.10" is below
// "2.3"): peers of both kinds rely on exactly this order.
bool peer_is_old(std::string const& version) {
    return version < "2.3";
}

} // namespace

negotiation::negotiation(negotiation_host& host, vyn::session_state& session)
    : m_host(host), m_session(session), m_last_plugin_channel(session.is_client ? 101 : 100) {}

bool negotiation::session_active() const {
    return (m_session.state & 15) >= 6;
}

std::string negotiation::peer_version() const {
    return m_session.peer_version.get();
}

void negotiation::log(std::string const& line) {
    ignoring_failure([&] { m_host.log(line); });
}

void negotiation::send(std::string const& verb, std::string const& payload) {
    ignoring_failure([&] { m_host.send_peer(verb + payload); });
}

bool negotiation::init(pin& p, int peer_proto) {
    return m_host.init_entry(p.plugin, peer_proto) != 0;
}

void negotiation::deinit(pin& p) {
    if (!p.connected) return;
    p.connected = false;
    m_host.deinit_entry(p.plugin);
}

void negotiation::handle(std::string const& text, bool direct) {
    try {
        if (starts_with(text, force_verb) || starts_with(text, running_verb)) {
            bool const force = starts_with(text, force_verb);
            std::string const name = text.substr(force ? force_verb.size() : running_verb.size());
            log(std::string("==> module_plugin_load ") + (force ? "1" : "0"));
            if (!name.empty()) {
                (force ? m_forced : m_session.wanted_plugins)[name] = true;
                m_host.queue_command(load_text);
            }
        } else if (starts_with(text, check_verb)) {
            check(text.substr(check_verb.size()));
        } else if (text == load_text) {
            log("<== module_plugin_load");
            update_plugin_table();
            update_pin_table();
        } else if (starts_with(text, req_verb)) {
            request(text.substr(req_verb.size()));
        } else if (starts_with(text, accept_verb)) {
            accept(text.substr(accept_verb.size()));
        } else if (starts_with(text, channels_verb)) {
            channels(text, true);
        } else if (starts_with(text, init_ok_verb)) {
            channels(text, false);
        } else if (starts_with(text, down_verb)) {
            down(text.substr(down_verb.size()));
        } else if (starts_with(text, download_verb)) {
            download(text.substr(download_verb.size()));
        } else if (starts_with(text, load_plugin_verb)) {
            // Two addresses inside this process: only the host command that
            // received them from a loaded library may act on them.
            if (direct)
                load_plugin_record(text.substr(load_plugin_verb.size()));
            else
                log("ignoring module_plugin_load-plugin from the queue");
        }
    } catch (...) {
        // Every step catches its own failures; this only keeps an unforeseen
        // one from reaching the dispatcher.
    }
}

void negotiation::check(std::string payload) {
    log("==> module_plugin_check");
    std::set<std::string> names;
    ignoring_failure([&] { rulo_packet_pop(payload, names); });
    std::size_t const count = m_host.entry_count();
    for (std::size_t i = 0; i < count; ++i) {
        ignoring_failure([&] {
            plugin_entry const e = m_host.entry(i);
            if (names.count(e.name)) return;
            log("disabling plugin " + e.full_name);
            ignoring_failure([&] { m_host.enable_plugin_button(e.name, false); });
            m_host.mark_missing(i);
        });
    }
}

void negotiation::request(std::string payload) {
    log("==> module_plugin_req");
    plugin_req_set requests;
    ignoring_failure([&] { pop_record_set(payload, requests); });
    for (auto const& r : requests) {
        // When both ends want a plugin the desk's own request is the one
        // answered, so the desk alone numbers its channels.
        auto const w = m_session.wanted_plugins.find(r.name);
        if (!m_session.is_client && w != m_session.wanted_plugins.end() && w->second) continue;
        log("adding request plg " + r.name);
        m_peer_requests[r.name] = r.protocol;
    }
    update_plugin_table();
    update_pin_table();
}

void negotiation::accept(std::string payload) {
    log("==> module_plugin_accept");
    plugin_accept_set answers;
    ignoring_failure([&] { pop_record_set(payload, answers); });
    plugin_channel_map routes;
    for (auto const& a : answers) {
        ignoring_failure([&] {
            auto const it = m_pins.find(a.name);
            if (it == m_pins.end()) {
                log("plugin already unloaded ...");
                return;
            }
            log("accepted plugin " + a.name + " (" + (a.accepted ? "1" : "0") + ")");
            // Either end accepting the other's protocol is enough.
            bool const gets_channels = init(it->second, a.protocol) || a.accepted;
            std::set<std::string> names = it->second.children;
            names.insert(a.name);
            for (auto const& name : names) {
                auto const p = m_pins.find(name);
                if (p == m_pins.end() || p->second.connected) continue;
                if (!gets_channels) {
                    routes[name] = -1;
                    continue;
                }
                rulo::rulo_lock_guard lock;
                // A number the peer routed already (it should never pick one
                // of ours) is passed over rather than taken from its plugin.
                do m_last_plugin_channel += 2;
                while (!m_host.routes().owner(m_last_plugin_channel).empty());
                p->second.connected = true;
                p->second.plugin->set_connected();
                change_channel(name, m_last_plugin_channel, true);
                routes[name] = m_last_plugin_channel;
            }
        });
    }
    if (routes.empty()) return;
    log("<== module_plugin_channels");
    std::string packet;
    rulo_packet_push(packet, routes);
    send(channels_verb, packet);
}

bool negotiation::route_allowed(std::string const& name, int channel) {
    // Sub-channel 2 carries the chat and -1 the messages; a number taken by
    // another plugin would steal its route.
    if (channel == 2 || channel < 0) {
        log("skipping plugin " + name + ": sub-channel " + std::to_string(channel) + " is reserved");
        return false;
    }
    std::string const taken = m_host.routes().owner(channel);
    if (!taken.empty() && taken != name) {
        log("skipping plugin " + name + ": sub-channel " + std::to_string(channel) + " belongs to " + taken);
        return false;
    }
    return true;
}

void negotiation::channels(std::string const& text, bool is_channels) {
    log("==> " + text.substr(0, 22));
    std::string payload = text.substr(is_channels ? channels_verb.size() : init_ok_verb.size());
    std::string const copy = payload;
    plugin_channel_map routes;
    ignoring_failure([&] { rulo_packet_pop(payload, routes); });
    std::vector<std::string> connected;
    for (auto const& [name, channel] : routes) {
        ignoring_failure([&, name = name, channel = channel] {
            auto const it = m_pins.find(name);
            // A channels message connects; an init_ok confirms a connection.
            if (it == m_pins.end() || it->second.connected != !is_channels) return;
            pin& p = it->second;
            if (channel != -1 && is_channels) {
                rulo::rulo_lock_guard lock;
                if (!route_allowed(name, channel)) return;
                p.connected = true;
                p.plugin->set_connected();
                change_channel(name, channel, true);
            }
            m_host.connected_entry(p.plugin, channel != -1 ? 1 : 0);
            connected.push_back(name);
            if (p.def_index < 0 || channel == -1) return;
            auto const event = m_pending_gui_events.find(name);
            if (event == m_pending_gui_events.end()) return;
            std::string const pending = event->second;
            m_pending_gui_events.erase(event);
            m_host.notify_gui_event(name, pending);
        });
    }
    if (is_channels) send(init_ok_verb, copy);
    ignoring_failure([&] { m_host.update_load_menus(); });
    for (auto const& name : connected) ignoring_failure([&] { m_host.send_options(name, "connect"); });
    auto const ft = m_pins.find("file_transfer");
    if (m_drop_pending && ft != m_pins.end()) {
        log("(drag & drop ft delayed) start transferring the pending drag & drop file list...");
        m_drop_pending = false;
        ignoring_failure([&] {
            netbuf packet;
            rulo_packet_push(packet, m_drop_path, std::string("dragdropfiles"));
            m_host.command_entry(ft->second.plugin, packet);
        });
        m_drop_path.clear();
    }
}

void negotiation::down(std::string payload) {
    log("==> module_plugin_down");
    plugin_channel_map routes;
    ignoring_failure([&] { rulo_packet_pop(payload, routes); });
    bool changed = false;
    for (auto const& r : routes) {
        auto const w = m_session.wanted_plugins.find(r.first);
        if (w == m_session.wanted_plugins.end()) continue;
        w->second = false;
        changed = true;
    }
    if (!changed) return;
    update_plugin_table();
    update_pin_table();
}

void negotiation::download(std::string payload) {
    int total = 0, done = 0;
    try {
        rulo_packet_pop(payload, done, total); // the total comes off first
    } catch (...) {
        return;
    }
    m_host.update_download_status(total, done, 1);
}

void negotiation::load_plugin_record(std::string payload) {
    unsigned long long record = 0, library = 0;
    try {
        rulo_packet_pop(payload, record);
        rulo_packet_pop(payload, library);
    } catch (...) {
        return;
    }
    m_host.register_handed_record(record, library);
}

void negotiation::update_pin_table() {
    if (!session_active()) return;
    plugin_req_set requests;
    plugin_accept_set answers;
    std::vector<std::string> names;
    for (auto const& p : m_pins) names.push_back(p.first);
    for (auto const& name : names) {
        ignoring_failure([&] {
            auto const it = m_pins.find(name);
            if (it == m_pins.end() || it->second.def_index < 0) return;
            pin& p = it->second;
            auto const r = m_peer_requests.find(name);
            if (!p.request_pending && r == m_peer_requests.end()) return;
            p.request_pending = false;
            if (r == m_peer_requests.end()) {
                requests.insert({name, p.plugin->proto_version});
                log("requesting " + name);
            } else {
                bool const ok = init(p, r->second);
                answers.insert({name, p.plugin->proto_version, ok});
                m_peer_requests.erase(r);
                log("accepting " + name);
            }
        });
    }
    if (!requests.empty()) {
        std::string packet;
        rulo_packet_push(packet, requests);
        send(req_verb, packet);
        log("sending requesting");
    }
    if (!answers.empty()) {
        std::string packet;
        rulo_packet_push(packet, answers);
        send(accept_verb, packet);
        log("sending accept");
    }
}

void negotiation::update_plugin_table() {
    auto& wanted = m_session.wanted_plugins;
    bool fetch_due = false, pinned_any = false;
    for (std::size_t i = 0; i < m_host.entry_count(); ++i) {
        ignoring_failure([&] {
            plugin_entry e = m_host.entry(i);
            std::string const& name = e.name;
            if (e.state == 1) fetch_due = true;
            if (e.state == 7) {
                if (e.auto_start && !wanted[name]) wanted[name] = true;
                ignoring_failure([&] { m_host.load_library(i); });
                e.state = m_host.entry(i).state;
            }
            if (wanted[name] || m_peer_requests.count(name)) {
                if (e.state == 8) {
                    if (session_active() && !m_pins.count(name)) {
                        ignoring_failure([&] {
                            add_pin(m_host.make_plugin(i), static_cast<int>(i));
                            pinned_any = true;
                        });
                    }
                } else if (e.state == 0) {
                    m_host.set_entry_state(i, 1);
                    e.state = 1;
                    fetch_due = true;
                }
            }
            auto const f = m_forced.find(name);
            if (f != m_forced.end() && f->second && e.state == 0) {
                m_host.set_entry_state(i, 1);
                fetch_due = true;
            }
            // Pinning marked it wanted, so a plugin only the peer asked for
            // stays pinned for the pin pass to answer.
            if (!wanted[name] && e.state == 8 && m_pins.count(name)) remove_pin(name);
        });
    }
    ignoring_failure([&] {
        if (fetch_due && m_host.has_network()) m_host.start_downloads();
    });
    if (pinned_any) ignoring_failure([&] { m_host.notify_gui_status(""); });
}

void negotiation::add_pin(plugin_ptr const& plugin, int def_index) {
    std::string const name = plugin->name;
    log("... plugin name: " + name + ", version: " + std::to_string(plugin->proto_version));
    if (m_pins.count(name)) {
        log("... plugin already loaded!");
        throw rulo::exception::function("add_pin");
    }
    // The dispatcher is made and dropped outside the lock (it may start or
    // join its packet thread); only the table the reader looks in changes
    // under it.
    m_host.open_dispatcher(plugin);
    pin& p = m_pins[name];
    p.plugin = plugin;
    p.def_index = def_index;
    log("... success");

    ignoring_failure([&] {
        for (auto const& child : m_host.make_children(plugin)) {
            ignoring_failure([&] {
                add_pin(child, -1);
                m_pins[child->name].request_pending = false;
                p.children.insert(child->name);
            });
        }
    });
    ignoring_failure([&] { m_host.init_entry(plugin, -1); });
    ignoring_failure([&] {
        netbuf packet;
        rulo_packet_push(packet, peer_version(), std::string("remote-version"));
        m_host.command_entry(plugin, packet);
    });
    if (peer_is_old(peer_version())) {
        // An old peer negotiates nothing: connected at once, with no channel.
        p.connected = true;
        p.plugin->set_connected();
        p.request_pending = false;
        ignoring_failure([&] { m_host.connected_entry(plugin, -1); });
        ignoring_failure([&] { m_host.send_options(name, "connect"); });
    }
    std::deque<std::string> waiting;
    {
        rulo::rulo_lock_guard lock;
        waiting = m_host.routes().deferred(name);
    }
    for (auto const& packet : waiting)
        ignoring_failure([&] { m_host.command_entry(plugin, netbuf::from_string(packet)); });
    auto const w = m_session.wanted_plugins.find(name);
    if (w != m_session.wanted_plugins.end()) w->second = true;
}

void negotiation::remove_pin(std::string const& name) {
    if (name.empty()) {
        while (!m_pins.empty()) {
            std::string const first = m_pins.begin()->first;
            remove_pin(first);
            m_pins.erase(first); // whatever failed on the way, the loop ends
        }
        return;
    }
    auto it = m_pins.find(name);
    if (it == m_pins.end()) return;
    for (auto const& child : std::set<std::string>(it->second.children))
        ignoring_failure([&] { remove_pin(child); });
    it = m_pins.find(name);
    if (it == m_pins.end()) return;

    log("Unloading pin " + name);
    ignoring_failure([&] { deinit(it->second); });
    plugin_ptr const plugin = it->second.plugin;
    plugin_channel_map had;
    {
        rulo::rulo_lock_guard lock;
        int channel;
        if (m_host.routes().drop_channel(name, channel)) had[name] = channel;
        m_host.routes().drop_deferred(name);
    }
    m_pins.erase(it);
    ignoring_failure([&] { m_host.close_dispatcher(plugin); });
    ignoring_failure([&] { m_host.disable_button_top_image(name); });
    if (session_active() && !had.empty()) {
        std::string packet;
        rulo_packet_push(packet, had);
        send(down_verb, packet);
    }
    m_peer_requests.erase(name);
    m_pending_gui_events.erase(name);
    auto const w = m_session.wanted_plugins.find(name);
    if (w != m_session.wanted_plugins.end()) w->second = false;
    ignoring_failure([&] { m_host.send_options(name, "disconnect"); });
}

bool negotiation::change_channel(std::string const& name, int channel, bool create) {
    // Pinned means having a dispatcher: unlike the pin table, the routing
    // tables may be read off the GUI thread (under the lock the caller holds).
    plugin_routes& routes = m_host.routes();
    if (!routes.has_dispatcher(name)) return false;
    int old = -1;
    bool const had = routes.channel_of(name, old);
    if ((!had && !create) || !route_allowed(name, channel)) return false;
    log("Routing plugin " + name + " from channel " + std::to_string(had ? old : -1) + " to " +
        std::to_string(channel));
    routes.set_channel(name, channel);
    if (routes.has_dispatcher(name) && routes.has_unrouted(channel)) {
        auto const waiting = routes.take_unrouted(channel);
        if (!waiting.empty()) {
            log("Sending unknown messages " + std::to_string(waiting.size()));
            for (auto const& packet : waiting)
                ignoring_failure([&] { routes.deliver(name, netbuf(packet)); });
        }
    }
    return true;
}

void negotiation::route_packet(int index, netbuf const& data) {
    bool running = false;
    {
        rulo::rulo_lock_guard lock;
        route_result result = route_result::dropped;
        try {
            result = m_host.routes().route(index, data);
        } catch (...) {
            return; // a dispatcher's failure is its own
        }
        switch (result) {
        case route_result::delivered:
            return;
        case route_result::kept:
            log("*** un " + std::to_string(index) + "[" + std::to_string(data.size()) + "]");
            running = static_cast<unsigned>(index) <= 3;
            break;
        case route_result::first_drop:
            log("dropping packets for sub-channel " + std::to_string(index) +
                ": too many waiting for a route");
            break;
        case route_result::dropped:
            break;
        }
    }
    if (running && index != 2)
        ignoring_failure(
            [&] { m_host.queue_command(running_verb + (index == 3 ? "file_transfer" : "desktop")); });
}

void negotiation::session_up() {
    // The desk's dispatcher queues the load when the session comes up; the
    // client's does so only for an old peer, so a plugin only the client
    // wants would wait for some message from the desk to be requested.
    if (m_session.is_client && m_session.peer_version.get() > "2.3") m_host.queue_command(load_text);
}

void negotiation::defer_command(std::string const& name, std::string const& packet) {
    append_result kept;
    {
        rulo::rulo_lock_guard lock;
        kept = m_host.routes().defer(name, packet);
    }
    if (kept == append_result::first_drop)
        log("dropping commands for plugin " + name + ": too many waiting for it");
}

void negotiation::set_pending_gui_event(std::string const& name, std::string const& text) {
    m_pending_gui_events[name] = text;
}

void negotiation::set_pending_drop(std::string const& paths) {
    m_drop_path = paths;
    m_drop_pending = true;
}

void negotiation::new_catalogue(std::map<std::string, bool> forced) {
    m_peer_requests.clear();
    m_pending_gui_events.clear();
    m_forced = std::move(forced);
}

void negotiation::clear_unrouted() {
    rulo::rulo_lock_guard lock;
    m_host.routes().clear_unrouted();
}

std::map<std::string, int> negotiation::plugin_channels() const {
    rulo::rulo_lock_guard lock;
    return m_host.routes().plugin_channels();
}

std::map<int, std::string> negotiation::channel_plugins() const {
    rulo::rulo_lock_guard lock;
    return m_host.routes().channel_plugins();
}

std::set<std::string> negotiation::pinned() const {
    std::set<std::string> names;
    for (auto const& p : m_pins) names.insert(p.first);
    return names;
}

bool negotiation::is_connected(std::string const& name) const {
    auto const it = m_pins.find(name);
    return it != m_pins.end() && it->second.connected;
}

std::size_t negotiation::unrouted_bytes() const {
    rulo::rulo_lock_guard lock;
    return m_host.routes().unrouted_bytes();
}

} // namespace tovan
