// Two rptSockets joined over a loopback TCP connection, for the socket
// benchmarks: the client end connects through rulo::socket, the server end
// takes the accepted descriptor. Both are served by the process's poller.
#pragma once

#include "bench/bench_peers.h"
#include "rulo-rpt/net/rptSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace bench_support {

struct loopback_pair {
    rulo::object<rulo::rptSocket> client{new rulo::rptSocket};
    rulo::object<rulo::rptSocket> server{new rulo::rptSocket};

    loopback_pair(rulo::object<rptTransportSink> client_sink, rulo::object<rptTransportSink> server_sink) {
        loopback_listener listener;
        if (listener.fd < 0) throw std::runtime_error("listener");
        tIProcessId const address(INADDR_LOOPBACK, listener.port);
        rulo::object<rulo::socket> c(new rulo::socket(rulo::socket::tcp, address));
        c->connect(10);
        int accepted = ::accept4(listener.fd, nullptr, nullptr, SOCK_CLOEXEC);
        ::close(listener.fd);
        if (accepted < 0) throw std::runtime_error("accept");
        rulo::object<rulo::socket> s(new rulo::socket(accepted, c->get_src()));
        client->start(client_sink, c);
        server->start(server_sink, s);
    }
    ~loopback_pair() {
        client->disconnect();
        server->disconnect();
    }
};

} // namespace bench_support
