// The routing tables of the plugins pinned for a session: which sub-channel
// each plugin owns (both ways), each pinned plugin's dispatcher, the packets
// that arrived on a sub-channel with no route yet and the commands for a
// plugin that is not pinned yet (both within the limits of capped_lists).
//
// Ownership: the plugin host holds the program's one set (process-wide);
// a test holds one per simulated end. The negotiation changes the routes
// through its host; the connection reader looks them up and appends.
//
// Threads and locks: not locked itself. Every caller holds the framework
// lock (rulo::rulo_lock_guard) around every call, on the GUI thread
// (negotiation, pinning) and on transport threads (the reader). deliver()
// hands a packet to a dispatcher with that lock held, so a dispatcher's
// packet() must not block on anything the lock's holders wait for.
#pragma once

#include "tovan/plugins/capped_lists.h"

#include "rulo/netbuf.h"

#include <deque>
#include <map>
#include <string>

namespace tovan {

enum class route_result { delivered, kept, dropped, first_drop };

class plugin_routes {
public:
    explicit plugin_routes(list_limits limits = {}) : m_unrouted(limits), m_deferred(limits) {}
    virtual ~plugin_routes() = default;
    plugin_routes(plugin_routes const&) = delete;
    plugin_routes& operator=(plugin_routes const&) = delete;

    // The plugin's sub-channel; false when it has none.
    bool channel_of(std::string const& name, int& channel) const;
    // The plugin owning a sub-channel, "" for none.
    std::string owner(int channel) const;
    // Routes the plugin to channel (its old channel goes); returns the old
    // channel or -1.
    int set_channel(std::string const& name, int channel);
    // Drops the plugin's route; false when it had none, else its channel.
    bool drop_channel(std::string const& name, int& had);
    std::map<std::string, int> const& plugin_channels() const { return m_plugin_channels; }
    std::map<int, std::string> const& channel_plugins() const { return m_channel_plugins; }

    // A received packet for the plugin routed to channel: handed to its
    // dispatcher, else kept for it within the limits.
    route_result route(int channel, netbuf const& data);
    // The packets kept for a channel, in arrival order (the list goes).
    std::deque<netbuf> take_unrouted(int channel) { return m_unrouted.take(channel); }
    bool has_unrouted(int channel) const { return m_unrouted.contains(channel); }
    void clear_unrouted() { m_unrouted.clear(); }
    std::size_t unrouted_bytes() const { return m_unrouted.total_bytes(); }

    // Commands kept for a plugin until it is pinned.
    append_result defer(std::string const& name, std::string const& packet) {
        return m_deferred.append(name, packet, packet.size());
    }
    std::deque<std::string> deferred(std::string const& name) const;
    void drop_deferred(std::string const& name) { m_deferred.erase(name); }

    // Dispatchers, by plugin name (the owner of this table stores them).
    virtual bool has_dispatcher(std::string const& name) const = 0;
    // Hands data to the plugin's dispatcher; false when it has none.
    virtual bool deliver(std::string const& name, netbuf const& data) = 0;

    // Everything goes (the exit; tests).
    void clear();

private:
    std::map<std::string, int> m_plugin_channels;
    std::map<int, std::string> m_channel_plugins;
    capped_lists<int, netbuf> m_unrouted;
    capped_lists<std::string, std::string> m_deferred;
};

// The tables with dispatchers of type Sink: anything with packet(netbuf)
// through ->, held by value (a shared handle).
template <class Sink>
class plugin_routes_of : public plugin_routes {
public:
    using plugin_routes::plugin_routes;

    void set_dispatcher(std::string const& name, Sink sink) { m_dispatchers[name] = std::move(sink); }
    // Removes the plugin's dispatcher and returns it (empty when none), so
    // that the caller drops it outside the lock.
    Sink take_dispatcher(std::string const& name) {
        auto at = m_dispatchers.find(name);
        if (at == m_dispatchers.end()) return Sink();
        Sink out = std::move(at->second);
        m_dispatchers.erase(at);
        return out;
    }
    std::map<std::string, Sink> take_dispatchers() {
        std::map<std::string, Sink> out;
        out.swap(m_dispatchers);
        return out;
    }
    bool has_dispatcher(std::string const& name) const override { return m_dispatchers.count(name) != 0; }
    bool deliver(std::string const& name, netbuf const& data) override {
        auto at = m_dispatchers.find(name);
        if (at == m_dispatchers.end() || !at->second) return false;
        at->second->packet(data);
        return true;
    }

private:
    std::map<std::string, Sink> m_dispatchers;
};

} // namespace tovan
