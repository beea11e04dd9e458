// A client for the start-up benchmark: the program's start of the framework
// and its connector's attempt with a typed code, without the dialog. Writes
// "version" on its standard output the moment the desk's version arrives on
// the session channel (the session is up), then waits to be stopped;
// "error <text>" and the status 1 when the attempt failed or took 30 s.
// With --desk it is the desk instead, which answers every packet on a plugin
// sub-channel (the round-trip benchmark's far end in a process of its own):
// it writes "code <code>" once it has its code, then "echo" once the
// client's version has come and it answers.
//
//   client_start_driver <relay port> <code> <trusted certificate> <dh parameters>
//   client_start_driver --desk <relay port> <certificate> <key> <dh parameters>
#include "bench/tovan/session_end.h"
#include "rulo/init.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

void say(std::string const& line) {
    std::string const text = line + "\n";
    for (std::size_t at = 0; at < text.size();) {
        ssize_t const n = ::write(1, text.data() + at, text.size() - at);
        if (n <= 0) return;
        at += std::size_t(n);
    }
}

// The desk end; never returns.
[[noreturn]] void run_desk(long port, char** argv) {
    auto const config =
        bench_support::session_config(false, static_cast<unsigned short>(port), argv[0], argv[1], argv[2]);
    auto* desk = new bench_support::session_end(config);
    desk->start(config.proxy_host);
    std::string const code = desk->host.wait_code();
    if (code.empty()) {
        say("error no code within 30 s");
        std::_Exit(1);
    }
    say("code " + code);
    if (!desk->host.wait_version(60000)) {
        say("error no client within 60 s");
        std::_Exit(1);
    }
    desk->host.echo_on(desk->conn->safe_channel());
    say("echo");
    for (;;) ::pause();
}

} // namespace

int main(int argc, char** argv) {
    bool const desk = argc == 6 && std::string(argv[1]) == "--desk";
    if (desk) {
        --argc;
        ++argv;
    }
    if (argc != 5) {
        std::fprintf(stderr,
                     "usage: %s <relay port> <code> <trusted certificate> <dh parameters>\n"
                     "       %s --desk <relay port> <certificate> <key> <dh parameters>\n",
                     argv[0], argv[0]);
        return 2;
    }
    long const port = std::strtol(argv[1], nullptr, 10);
    if (port <= 0 || port > 65535) {
        std::fprintf(stderr, "bad port: %s\n", argv[1]);
        return 2;
    }
    new rulo::init(nullptr); // lives to the end of the process, as in the program
    if (desk) run_desk(port, argv + 2);
    auto const config =
        bench_support::session_config(true, static_cast<unsigned short>(port), argv[3], "", argv[4]);
    auto* client = new bench_support::session_end(config);
    client->host.on_version = [] { say("version"); };
    client->host.type_code(argv[2]);
    client->start(config.proxy_host);
    if (!client->host.wait_version()) {
        std::string const error = client->host.error();
        say("error " + (error.empty() ? std::string("no session within 30 s") : error));
        std::_Exit(1);
    }
    // Stay in the session until the benchmark stops the process.
    for (;;) ::pause();
}
