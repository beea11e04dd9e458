// A whole relay connection on hostile bytes: the input is what one client
// sends, from its first byte to its end of stream, through a socket pair into
// the relay's own connection code (ways in, head, frames, control packets,
// every service, and the HTTP tunnel legs a "GET " or "POST " head turns it
// into). Invariants: nothing crashes or leaks, the relay has closed and
// forgotten the connection once the client's stream has ended, and once the
// tunnels it made are dropped nothing of it is left and its socket is closed.
#include "tests/fuzz/fuzz_support.h"
#include "tools/relay/connection.h"
#include "tools/relay/relay_server.h"

#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

using fuzz::check;

namespace {

// One relay for the whole run: its certificate is made once, in a scratch
// directory with a small file for the downloads.
struct environment {
    asio::io_context io{1};
    std::unique_ptr<relay::relay_server> server;

    environment() {
        char dir[] = "/tmp/relay_connection_fuzz.XXXXXX";
        if (!::mkdtemp(dir)) std::abort();
        std::string const d = dir;
        ::mkdir((d + "/files").c_str(), 0700);
        std::ofstream(d + "/files/f") << std::string(100000, 'f');
        relay::options o;
        o.cert_path = d + "/cert.pem";
        o.key_path = d + "/key.pem";
        o.files_dir = d + "/files";
        o.pair_unbound = true;
        // Short tunnel GET bodies, so that a pipelined request behind one is reached.
        o.tunnel_get_budget = 64;
        // To see what the relay made of the inputs.
        if (char const* log = std::getenv("RELAY_FUZZ_LOG")) o.log_path = log;
        server = std::make_unique<relay::relay_server>(io, o);
    }
};

environment& env() {
    static environment* e = new environment;
    return *e;
}

// Reads and drops what the relay sent; true once it has closed its side.
bool drain(int fd) {
    char buf[65536];
    while (true) {
        ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n == 0) return true;
        if (n < 0) return false;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
    environment& e = env();
    int fds[2];
    check(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0);
    asio::ip::tcp::socket socket(e.io);
    asio::error_code ec;
    socket.assign(asio::ip::tcp::v4(), fds[0], ec);
    check(!ec);
    std::weak_ptr<relay::connection> watch;
    {
        auto c = std::make_shared<relay::connection>(*e.server, std::move(socket), e.server->next_id());
        watch = c;
        c->start();
    }
    std::size_t sent = 0;
    bool ended = false, relay_closed = false;
    int after_end = 0;
    // Bounded: the relay closes at the client's end of stream, so this ends
    // long before the limit unless a connection hangs. A tunnel POST leg may
    // rightly wait for its tunnel to take its body: it is given 1000 rounds.
    for (int round = 0; round < 100000; ++round) {
        if (ended && watch.expired() && (relay_closed || ++after_end > 1000)) break;
        if (sent < size) {
            ssize_t n = ::send(fds[1], data + sent, size - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n > 0) sent += static_cast<std::size_t>(n);
        } else if (!ended) {
            ::shutdown(fds[1], SHUT_WR);
            ended = true;
        }
        e.io.poll();
        e.io.restart();
        relay_closed = drain(fds[1]) || relay_closed;
    }
    check(watch.expired());
    std::string const list = e.server->admin("list");
    for (std::size_t at = 0; (at = list.find("conn ", at)) != std::string::npos; at += 5)
        e.server->admin("drop " + std::to_string(std::strtoull(list.c_str() + at + 5, nullptr, 10)));
    for (int round = 0; round < 1000 && !relay_closed; ++round) {
        e.io.poll();
        e.io.restart();
        relay_closed = drain(fds[1]);
    }
    check(relay_closed);
    check(e.server->tunnel_count() == 0 && e.server->admin("list") == "ok\n");
    ::close(fds[1]);
    return 0;
}
