#include "tests/rulo-rpt/channel/relay_link.h"

#include "rulo-rpt/mux/rptMux.h"
#include "rulo-rpt/mux/rptSRMux.h"
#include "rulo-rpt/net/rptSocket.h"
#include "rulo-rpt/net/socket.h"
#include "rulo-rpt/tls/rptXYSSL.h"
#include "rulo-rpt/tls/xyssl_ctx.h"
#include "rulo/clock.h"
#include "tests/support/tls_certs.h"

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace safe_kit {

namespace {

// The procedure channel is opened by every relay connection; nothing here uses it.
class quiet_sink : public rptTransportSink {
public:
    void received(netbuf const&) override {}
    void broken() override {}
    void queue_empty() override {}
};

} // namespace

class relay_link::end_factory : public rulo::rptChannelFactory {
public:
    end_factory(unsigned short port, bool desk) : m_port(port), m_desk(desk) {}

    rulo::object<rulo::rptChannel> get_channel(rulo::object<rulo::rptChannelSink> sink) override {
        if (closed()) throw rulo::cancel_connect();
        rulo::object<rulo::rptSRMux> sr(new rulo::rptSRMux);
        try {
            rulo::object<rulo::socket> s(
                new rulo::socket(rulo::socket::tcp, tIProcessId(0x7f000001, m_port)));
            s->connect(10);
            unsigned short const local = s->get_src().port;
            rulo::object<rulo::rptMux> mux = sr->make_mux(false, "o.lan", "t.lan", "", "");
            rulo::object<rulo::rptSocket> tcp(new rulo::rptSocket);
            tcp->start(mux, s);
            tcp->no_delay();
            if (!sr->start_on(mux, tcp, 30, rulo::object<rptTransportSink>(new quiet_sink)))
                throw rulo::repeat_connect();

            rulo::object<rulo::rptChannel> channel(new rulo::rptChannel(sink));
            rulo::object<rulo::rptXYSSL> tls(new rulo::rptXYSSL(channel, context(), m_desk));
            rulo::object<rptTransport> leg = sr->get_session_transport(tls);
            auto const* named = dynamic_cast<rulo::rptSRMux::srmux_transport*>(leg.get());
            tls->start(leg);
            channel->start(tls);
            std::lock_guard<std::mutex> lock(m_mutex);
            m_local_port = local;
            m_leg = named ? named->id() : 0;
            ++m_made;
            return channel;
        } catch (rulo::cancel_connect const&) {
            throw;
        } catch (...) {
            // A relay connection that could not be made is tried again on the host's reconnect.
            sr->disconnect();
            throw rulo::repeat_connect();
        }
    }

    // The local port of the current relay connection and its leg's channel id.
    std::pair<unsigned short, long long> current() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return {m_local_port, m_leg};
    }
    std::size_t made() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_made;
    }
    void close() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closed = true;
    }

private:
    bool closed() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_closed;
    }
    rulo::object<rulo::xyssl_ctx> context() const {
        test_support::tls_certs const& certs = test_support::tls_certs::get();
        rulo::object<rulo::xyssl_ctx> ctx(new rulo::xyssl_ctx);
        if (m_desk) {
            ctx->set_verify_peer(false);
            ctx->set_cert(certs.server_cert, certs.server_key, "");
            ctx->enable_dh(true);
        } else {
            ctx->set_trusted_ca(certs.ca_cert, test_support::tls_certs::server_name);
            ctx->enable_dh(false);
        }
        return ctx;
    }

    unsigned short const m_port;
    bool const m_desk;
    std::mutex m_mutex;
    unsigned short m_local_port = 0;
    long long m_leg = 0;
    std::size_t m_made = 0;
    bool m_closed = false;
};

relay_link::relay_link(test_support::relay_process& relay) : m_relay(relay) {
    // Made on this thread: the certificates are made once, from one thread.
    test_support::tls_certs::get();
    if (char const* old = std::getenv("HOME")) {
        m_had_home = true;
        m_old_home = old;
    }
    setenv("HOME", m_home.path().c_str(), 1);
    for (int side = 0; side < 2; ++side)
        m_ends[side] = rulo::object<end_factory>(new end_factory(relay.port(), side == 1));
}

relay_link::~relay_link() {
    if (m_had_home)
        setenv("HOME", m_old_home.c_str(), 1);
    else
        unsetenv("HOME");
}

rulo::object<rulo::rptChannelFactory> relay_link::factory(int side) {
    return m_ends[side];
}

void relay_link::break_link(unsigned pick) {
    end_factory& end = *m_ends[(pick >> 1) & 1].get();
    bool const drop = pick % 2 == 0;
    // The end may be between connections: wait for the relay to list its
    // current one, and try again when it goes before the command reaches it.
    int64_t const deadline = rulo::relative_time() + 30000;
    while (rulo::relative_time() < deadline) {
        auto const [port, leg] = end.current();
        unsigned long long const conn = port ? m_relay.connection_of(port) : 0;
        if (conn) {
            try {
                m_relay.admin(drop ? "drop " + std::to_string(conn)
                                   : "channel-closed " + std::to_string(conn) + " " + std::to_string(leg));
                return;
            } catch (std::runtime_error const&) {
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5)); // polling the relay's list, bounded above
    }
    throw std::runtime_error("no relay connection to break");
}

std::size_t relay_link::connections() {
    return m_ends[0]->made();
}

void relay_link::shutdown() {
    for (auto& e : m_ends) e->close();
}

} // namespace safe_kit
