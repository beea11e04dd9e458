#include "tovan/plugins/plugin_dispatcher.h"

#include "tovan/plugins/plugin_host.h"

#include "rulo/thread.h"

namespace tovan {

namespace {

class pdisp_thread : public rulo::thread {
public:
    pdisp_thread(rulo::object<packet_queue> queue, rulo::object<plugin> pin)
        : rulo::thread(true, "", 0), m_queue(std::move(queue)), m_plugin(std::move(pin)) {}

protected:
    void run() override {
        plugin_host& host = plugin_host::instance();
        host.log("running queue thread for plugin " + m_plugin->get_name());
        try {
            for (;;) {
                queued_packet item = m_queue->pop();
                if (item.end) break;
                try {
                    // A pin deinitialised meanwhile gets nothing more.
                    tovan_plugin_map const* record = m_plugin->get(true, true);
                    if (record->packet) record->packet(item.data.get_ptr());
                } catch (...) {
                }
            }
        } catch (...) {
            // a failing queue ends the thread
        }
        m_plugin.reset();
        m_queue.reset();
        host.thread_ended();
    }

private:
    rulo::object<packet_queue> m_queue;
    rulo::object<plugin> m_plugin;
};

} // namespace

plugin_dispatcher::plugin_dispatcher(rulo::object<plugin> pin) : m_plugin(std::move(pin)) {
    plugin_host& host = plugin_host::instance();
    if (!m_plugin->run_thread()) {
        host.log("dispatcher (no thread) for plugin " + m_plugin->get_name());
        return;
    }
    m_queue = rulo::make_object(new packet_queue);
    auto* t = new pdisp_thread(m_queue, m_plugin);
    host.thread_started();
    try {
        t->detach(rulo::thread::normal);
    } catch (...) {
        host.thread_ended();
        delete t;
        m_queue.reset();
        throw;
    }
}

plugin_dispatcher::~plugin_dispatcher() {
    if (m_queue) {
        try {
            m_queue->push(queued_packet{true, netbuf()});
        } catch (...) {
        }
    }
}

void plugin_dispatcher::packet(netbuf const& data) {
    if (m_queue) {
        m_queue->push(queued_packet{false, data});
        return;
    }
    try {
        direct_delivery_scope scope;
        tovan_plugin_map const* record = m_plugin->get_const();
        if (record->packet) record->packet(data.get_ptr());
    } catch (...) {
        plugin_host::instance().log("pkt err " + m_plugin->get_name());
    }
}

} // namespace tovan
