// Small helpers the TLS tests share.
#pragma once

#include "rulo-rpt/net/rptSocket.h"
#include "rulo-rpt/tls/rptXYSSL.h"
#include "rulo-rpt/tls/xyssl_ctx.h"
#include "tests/support/child_process.h"
#include "tests/support/recording_sink.h"
#include "tests/support/tls_certs.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <stdexcept>
#include <string>

namespace tls_kit {

inline test_support::tls_certs const& certs() {
    return test_support::tls_certs::get();
}

// The Diffie-Hellman group shipped with the program.
inline std::string shipped_dh() {
    return std::string(TOVAN_SOURCE_DIR) + "/conf_static/dh.pem";
}

// A port of 127.0.0.1 that was free a moment ago, for a server that must be
// told its port.
inline int free_loopback_port() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
    ::close(fd);
    return ntohs(a.sin_port);
}

// A server context with the test server's certificate, verifying no client;
// dh 0: RSA key exchange only, 1: DHE with the built-in group, 2: DHE with
// the shipped group.
inline rulo::object<rulo::xyssl_ctx> server_ctx_with_dh(int dh) {
    rulo::object<rulo::xyssl_ctx> ctx(new rulo::xyssl_ctx);
    ctx->set_verify_peer(false);
    ctx->set_cert(certs().server_cert, certs().server_key, "");
    if (dh) ctx->enable_dh(true, dh == 2 ? shipped_dh() : "");
    return ctx;
}

inline std::string random_bytes(size_t n, unsigned seed) {
    std::mt19937 r(seed);
    std::string s(n, '\0');
    for (char& c : s) c = char(r());
    return s;
}

inline sockaddr_in loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// Connects to a server that the test has just started: until it listens,
// each refused attempt waits for the server to say something (it may report
// a failure) for a short while, up to 20 s in all.
inline int connect_to(int port, test_support::child_process& server) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (;;) {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a = loopback(port);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
        ::close(fd);
        if (std::chrono::steady_clock::now() > until ||
            server.wait_error_text("error", std::chrono::milliseconds(20))) {
            throw std::runtime_error("the server does not listen: " + server.errors());
        }
    }
}

// An engine with a recording sink on an rptSocket that takes over the
// connected descriptor fd. The socket is started first, so the engine's first
// words always find their way out.
struct engine_on_socket {
    engine_on_socket(rulo::object<rulo::xyssl_ctx> ctx, bool server, int fd)
        : sink(new test_support::recording_sink), engine(new rulo::rptXYSSL(sink, ctx, server)),
          transport(new rulo::rptSocket) {
        transport->start(engine, rulo::object<rulo::socket>(new rulo::socket(fd, tIProcessId())));
        engine->start(transport);
    }
    ~engine_on_socket() { engine->disconnect(); }
    rulo::object<test_support::recording_sink> sink;
    rulo::object<rulo::rptXYSSL> engine;
    rulo::object<rulo::rptSocket> transport;
};

} // namespace tls_kit
