// The client end of the session benchmark in a process of its own, as the
// program runs it on another machine: a reliable channel whose every connect
// makes a fresh relay connection (multiplexer over TCP, a session leg, the
// end-to-end TLS as the client checking the desk against a CA, a session
// channel on top). What arrives on the echo index is sent back on it; the
// rest is only counted by the channel. The desk end, in the benchmark,
// reaches it through tovan_relay (--pair-unbound). Reconnects on "broken".
// Stops with its parent or on SIGTERM.
//
//   session_far_end <relay port> <CA certificate> <server name> <echo index>
#include "rulo-rpt/mux/rptMux.h"
#include "rulo-rpt/mux/rptSRMux.h"
#include "rulo-rpt/net/rptSocket.h"
#include "rulo-rpt/net/socket.h"
#include "rulo-rpt/tls/rptXYSSL.h"
#include "rulo-rpt/tls/xyssl_ctx.h"
#include "rulo/init.h"
#include "tests/rulo-rpt/channel/safe_channel_kit.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

// The procedure channel is opened by every relay connection; nothing here uses it.
class quiet_sink : public rptTransportSink {
public:
    void received(netbuf const&) override {}
    void broken() override {}
    void queue_empty() override {}
};

class client_factory : public rulo::rptChannelFactory {
public:
    client_factory(unsigned short port, std::string ca, std::string name)
        : m_port(port), m_ca(std::move(ca)), m_name(std::move(name)) {}

    rulo::object<rulo::rptChannel> get_channel(rulo::object<rulo::rptChannelSink> sink) override {
        rulo::object<rulo::rptSRMux> sr(new rulo::rptSRMux);
        try {
            rulo::object<rulo::socket> s(
                new rulo::socket(rulo::socket::tcp, tIProcessId(0x7f000001, m_port)));
            s->connect(10);
            rulo::object<rulo::rptMux> mux = sr->make_mux(false, "o.lan", "t.lan", "", "");
            rulo::object<rulo::rptSocket> tcp(new rulo::rptSocket);
            tcp->start(mux, s);
            tcp->no_delay();
            if (!sr->start_on(mux, tcp, 30, rulo::object<rptTransportSink>(new quiet_sink)))
                throw rulo::repeat_connect();
            rulo::object<rulo::xyssl_ctx> ctx(new rulo::xyssl_ctx);
            ctx->set_trusted_ca(m_ca, m_name);
            ctx->enable_dh(false);
            rulo::object<rulo::rptChannel> channel(new rulo::rptChannel(sink));
            rulo::object<rulo::rptXYSSL> tls(new rulo::rptXYSSL(channel, ctx, false));
            rulo::object<rptTransport> leg = sr->get_session_transport(tls);
            tls->start(leg);
            channel->start(tls);
            return channel;
        } catch (...) {
            // Tried again on the host's reconnect, as the program does.
            sr->disconnect();
            throw rulo::repeat_connect();
        }
    }

private:
    unsigned short const m_port;
    std::string const m_ca, m_name;
};

} // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s <relay port> <CA certificate> <server name> <echo index>\n", argv[0]);
        return 2;
    }
    long const port = std::strtol(argv[1], nullptr, 10);
    if (port <= 0 || port > 65535) {
        std::fprintf(stderr, "bad port: %s\n", argv[1]);
        return 2;
    }
    // Never outlive the benchmark, even when it dies.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    int const echo_index = std::atoi(argv[4]);
    new rulo::init(nullptr); // lives to the end of the process, as in the program
    auto* client = new safe_kit::end;
    client->host->keep_packets = false;
    client->host->auto_reconnect = true;
    rulo::rptSafeChannel* channel = client->channel.get();
    client->host->on_packet = [channel, echo_index](int index, netbuf const& data) {
        if (index == echo_index) channel->send(echo_index, data);
    };
    client->channel->start(rulo::object<rulo::rptChannelFactory>(
                               new client_factory(static_cast<unsigned short>(port), argv[2], argv[3])),
                           true, safe_kit::initial_index, netbuf());
    for (;;) ::pause(); // until the benchmark stops the process
}
