// A negotiation host for tests: a catalogue of fake plugins whose init
// accepts a peer protocol of at least their MIN, a download manager that
// prepares every due entry at once, and a record of every call each plugin
// gets. Two ends are joined by a link that carries each end's messages to
// the other's queue. Single-threaded except deliver(), which the reader
// thread of a concurrency test calls under the framework lock.
#pragma once

#include "tovan/plugins/negotiation.h"
#include "tovan/session/dispatcher.h"

#include "rulo/lock.h"
#include "rulo/netbuf.h"

#include <algorithm>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace test_support {

struct fake_catalogue_entry {
    tovan::plugin_entry entry;
    int proto = 1, min = 1;
    std::vector<std::string> children; // libraries the plugin's library hands over
};

class fake_negotiation_host : public tovan::negotiation_host {
public:
    std::vector<fake_catalogue_entry> catalogue;
    std::map<std::string, bool> missing;
    bool deinit_throws = false;

    std::vector<std::string> logs;
    std::deque<std::string> queue;                         // this end's own queued commands
    std::vector<std::string> sent;                         // messages to the peer, in order
    std::map<std::string, std::vector<std::string>> calls; // per plugin name
    std::vector<std::string> handed;                       // registered "load-plugin" records
    std::vector<std::string> gui;                          // GUI notifications, one line each
    std::mutex packets_mutex;
    std::map<std::string, std::vector<std::string>> packets; // delivered, per plugin

    void add(std::string const& name, int state, int proto, int min, bool auto_start = false,
             std::vector<std::string> children = {}) {
        catalogue.push_back({{name, name + "_1", state, auto_start}, proto, min, std::move(children)});
    }
    bool logged(std::string const& line) const { return std::count(logs.begin(), logs.end(), line) > 0; }
    std::size_t log_index(std::string const& line) const {
        return static_cast<std::size_t>(std::find(logs.begin(), logs.end(), line) - logs.begin());
    }
    std::vector<std::string> const& of(std::string const& name) { return calls[name]; }

    std::size_t entry_count() override { return catalogue.size(); }
    tovan::plugin_entry entry(std::size_t i) override { return catalogue.at(i).entry; }
    void set_entry_state(std::size_t i, int state) override { catalogue.at(i).entry.state = state; }
    void mark_missing(std::size_t i) override {
        missing[catalogue.at(i).entry.name] = true;
        catalogue.at(i).entry.state = 9;
    }
    void load_library(std::size_t i) override {
        if (catalogue.at(i).entry.state == 7) catalogue.at(i).entry.state = 8;
    }
    tovan::plugin_ptr make_plugin(std::size_t i) override {
        auto p = std::make_shared<fake_plugin>();
        p->name = catalogue.at(i).entry.name;
        p->proto_version = catalogue.at(i).proto;
        p->min = catalogue.at(i).min;
        p->children = catalogue.at(i).children;
        return p;
    }
    std::vector<tovan::plugin_ptr> make_children(tovan::plugin_ptr const& parent) override {
        std::vector<tovan::plugin_ptr> out;
        for (auto const& name : fake(parent).children) {
            auto c = std::make_shared<fake_plugin>();
            c->name = name;
            c->proto_version = parent->proto_version;
            c->min = fake(parent).min;
            out.push_back(c);
        }
        return out;
    }
    void register_handed_record(uint64_t record, uint64_t library) override {
        handed.push_back(std::to_string(record) + " " + std::to_string(library));
    }

    int init_entry(tovan::plugin_ptr const& p, int n) override {
        calls[p->name].push_back("init(" + std::to_string(n) + ")");
        return n >= fake(p).min;
    }
    void connected_entry(tovan::plugin_ptr const& p, int how) override {
        calls[p->name].push_back("connected(" + std::to_string(how) + ")");
    }
    void deinit_entry(tovan::plugin_ptr const& p) override {
        calls[p->name].push_back("deinit");
        if (deinit_throws) throw std::runtime_error("deinit");
    }
    void command_entry(tovan::plugin_ptr const& p, netbuf const& packet) override {
        netbuf copy(packet);
        std::string verb;
        rulo_packet_pop(copy, verb);
        calls[p->name].push_back("command " + verb);
    }
    tovan::plugin_routes& routes() override { return m_routes; }
    void open_dispatcher(tovan::plugin_ptr const& p) override {
        gui.push_back("open " + p->name);
        rulo::rulo_lock_guard lock;
        m_routes.set_dispatcher(p->name, std::make_shared<recorder>(*this, p->name));
    }
    void close_dispatcher(tovan::plugin_ptr const& p) override {
        gui.push_back("close " + p->name);
        rulo::rulo_lock_guard lock;
        m_routes.take_dispatcher(p->name);
    }

    void log(std::string const& line) override {
        std::lock_guard<std::mutex> lock(packets_mutex);
        logs.push_back(line);
    }
    void enable_plugin_button(std::string const& name, bool on) override {
        gui.push_back("button " + name + (on ? " on" : " off"));
    }
    void disable_button_top_image(std::string const& name) override { gui.push_back("top image " + name); }
    void update_load_menus() override {}
    void notify_gui_status(std::string const&) override { gui.push_back("status"); }
    void notify_gui_event(std::string const& name, std::string const& text) override {
        gui.push_back("event " + name + " " + text);
    }
    void send_options(std::string const& name, std::string const& event) override {
        gui.push_back("options " + name + " " + event);
    }
    bool has_network() override { return true; }
    // Every due entry is found in the cache and prepared at once.
    bool start_downloads() override {
        bool prepared = false;
        for (auto& c : catalogue)
            if (c.entry.state == 1) c.entry.state = 7, prepared = true;
        if (prepared) queue.push_back("module_plugin_load");
        return true;
    }
    void update_download_status(int total, int done, int id) override {
        gui.push_back("download " + std::to_string(total) + " " + std::to_string(done) + " " +
                      std::to_string(id));
    }
    void queue_command(std::string const& text) override {
        std::lock_guard<std::mutex> lock(packets_mutex);
        queue.push_back(text);
    }
    void send_peer(std::string const& bytes) override { sent.push_back(bytes); }

private:
    // A dispatcher that records what it is handed.
    struct recorder {
        recorder(fake_negotiation_host& h, std::string n) : host(h), name(std::move(n)) {}
        void packet(netbuf const& data) {
            std::lock_guard<std::mutex> lock(host.packets_mutex);
            host.packets[name].push_back(data.to_string());
        }
        fake_negotiation_host& host;
        std::string name;
    };
    tovan::plugin_routes_of<std::shared_ptr<recorder>> m_routes;

    struct fake_plugin : tovan::plugin_handle {
        int min = 1;
        std::vector<std::string> children;
    };
    static fake_plugin& fake(tovan::plugin_ptr const& p) { return static_cast<fake_plugin&>(*p); }
};

// One end: its session state, host and core.
struct negotiation_end {
    explicit negotiation_end(bool client) : session(connected_session(client)) {}
    static vyn::session_state connected_session(bool client) {
        vyn::session_state s;
        s.is_client = client;
        s.state = 6;
        s.peer_version = "3.3.2";
        return s;
    }
    vyn::session_state session; // before the core, which reads the role
    fake_negotiation_host host;
    tovan::negotiation core{host, session};
    negotiation_end* peer = nullptr;
    std::size_t forwarded = 0; // messages of host.sent already carried over

    // Runs this end's queue once; carries its new messages to the peer.
    bool step() {
        bool worked = false;
        while (!host.queue.empty()) {
            std::string text = host.queue.front();
            host.queue.pop_front();
            core.handle(text);
            worked = true;
        }
        for (; forwarded < host.sent.size(); ++forwarded) {
            if (peer) peer->host.queue.push_back(host.sent[forwarded]);
            worked = true;
        }
        return worked;
    }
};

// Two ends joined by a link; run() delivers until both are quiet.
struct linked_ends {
    negotiation_end desk{false}, client{true};
    linked_ends() {
        desk.peer = &client;
        client.peer = &desk;
    }
    void run() {
        for (int rounds = 0; rounds < 1000; ++rounds) {
            bool const desk_worked = desk.step();
            bool const client_worked = client.step();
            if (!desk_worked && !client_worked) break;
        }
    }
};

} // namespace test_support
