// The relay's control methods on hostile call bodies: the input is split at
// every "\n\n" into up to 64 call bodies, handed in turn to the method code
// of one connection, so later calls meet the sessions and bindings earlier
// ones made (log-in is required, as u/p). Invariants: nothing crashes or leaks, and the
// relay forgets the connection's bindings when it ends.
#include "tests/fuzz/fuzz_support.h"
#include "tools/relay/connection.h"
#include "tools/relay/control_methods.h"
#include "tools/relay/relay_server.h"

#include <cstdlib>
#include <memory>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

using fuzz::check;

namespace {

struct environment {
    asio::io_context io{1};
    std::unique_ptr<relay::relay_server> server;
    std::uint64_t next_id = 1;

    environment() {
        char dir[] = "/tmp/relay_control_fuzz.XXXXXX";
        if (!::mkdtemp(dir)) std::abort();
        std::string const d = dir;
        relay::options o;
        o.cert_path = d + "/cert.pem";
        o.key_path = d + "/key.pem";
        o.control.require_login = true;
        o.control.user = "u";
        o.control.password = "p";
        server = std::make_unique<relay::relay_server>(io, o);
    }
};

environment& env() {
    static environment* e = new environment;
    return *e;
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
    auto c = std::make_shared<relay::connection>(*e.server, std::move(socket), e.next_id++);
    std::string input(reinterpret_cast<char const*>(data), size);
    std::size_t at = 0, round = 0;
    while (at <= input.size() && round++ < 64) {
        std::size_t end = input.find("\n\n", at);
        if (end == std::string::npos) end = input.size();
        relay::answer_control_call(*e.server, *c, 2, std::to_string(round),
                                   std::string_view(input).substr(at, end - at));
        at = end + 2;
    }
    c->close("fuzz round over");
    check(!e.server->sessions().bound(c->id()));
    c.reset();
    ::close(fds[1]);
    e.io.poll();
    e.io.restart();
    return 0;
}
