// tovan_relay: the relay server the program connects to, for tests, benchmarks
// and trying the program on one machine. See PROTOCOL.md for what it speaks.
#include "tools/relay/relay_server.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sys/resource.h>

namespace {

char const usage[] = R"(usage: tovan_relay [options]
  --listen ADDR:PORT     address to listen on (default 127.0.0.1:0; port 0 picks one)
  --cert FILE --key FILE certificate and key in PEM; made (self-signed RSA-2048)
                         when missing (default $HOME/.tovan_relay/relay-{cert,key}.pem)
  --files DIR            files served on the PLUGINS channel
  --catalogue FILE       plugin records answered by method 29 (key=value paragraphs)
  --translations DIR     plugin translations DIR/<name>.ini answered by method 40
  --download-fault 'TICKET FAULT [ARG]'
                         corrupt|short|long|error TEXT|break BYTES|rate BYTES_PER_S|none
  --pair-unbound         join session legs (VYNL2) two by two in order of arrival
  --log FILE             append one JSON line per event
  --admin PORT           admin commands on 127.0.0.1:PORT (0 picks one) instead of stdin
  --grid-id ID --grid-name NAME --cp-protocol P
                         values of the Connection-Data map
  --reply-field 'NAME: VALUE'
                         an extra field of the handshake reply (repeatable)
  --head-timeout SECONDS a client without its whole head by then is dropped (default 60)
  --key-cs-der           key_cs in Connection-Data as DER instead of PEM
  --echo-greeting TEXT   sent on every ECHO channel right after it is opened
  --tunnel-get-budget BYTES
                         Content-Length of every HTTP tunnel GET answer (default 1048576)
  --tunnel-idle SECONDS  an HTTP tunnel without legs ends after this (default 30)
  --tunnel-server-field VALUE
                         "Server" field of the HTTP tunnel answers (default none)
The first line on stdout is "listening ADDR:PORT". Admin commands, one a line:
  list | drop CONN | pong CONN DATA | channel-error CONN CHANNEL TEXT |
  channel-closed CONN CHANNEL | rpc-ping CONN CHANNEL | rpc-call CONN CHANNEL ID BODY |
  message CONN CHANNEL NAME ARG... | reply-field NAME [VALUE] | tunnel-server-field [VALUE] |
  sessions | break-legs SID | hold-legs SID on|off | server-call SID desk|client|both TEXT |
  server-map SID desk|client|both KEY=VALUE... | server-map-file SID desk|client|both KEY=FILE... |
  copy-leg SID desk|client [FILE] |
  require-login [USER PASSWORD [TOKEN]] | refuse-create on|off | redirect [TARGET] |
  never-answer METHOD | answer METHOD | refuse-legs on|off |
  join-leg SID desk|client listen|connect PORT |
  catalogue [FILE] | download-fault TICKET FAULT [ARG]
Session switches:
)";

[[noreturn]] void bad(std::string const& text) {
    std::cerr << "tovan_relay: " << text << "\n" << usage << relay::control_options_usage;
    std::exit(2);
}

} // namespace

int main(int argc, char** argv) {
    relay::options opts;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) bad(a + " needs a value");
            return argv[++i];
        };
        if (a == "--listen") {
            std::string v = value();
            auto colon = v.rfind(':');
            if (colon == std::string::npos) bad("--listen takes ADDR:PORT");
            opts.listen_address = v.substr(0, colon);
            if (opts.listen_address.size() > 2 && opts.listen_address.front() == '[' &&
                opts.listen_address.back() == ']')
                opts.listen_address = opts.listen_address.substr(1, opts.listen_address.size() - 2);
            char* end = nullptr;
            long port = std::strtol(v.c_str() + colon + 1, &end, 10);
            if (*end || port < 0 || port > 65535 || colon + 1 == v.size()) bad("bad port in " + v);
            opts.listen_port = static_cast<unsigned short>(port);
        } else if (a == "--cert") {
            opts.cert_path = value();
        } else if (a == "--key") {
            opts.key_path = value();
        } else if (a == "--files") {
            opts.files_dir = value();
        } else if (a == "--catalogue") {
            opts.catalogue_path = value();
        } else if (a == "--translations") {
            opts.translations_dir = value();
        } else if (a == "--download-fault") {
            std::string const v = value();
            auto const blank = v.find(' ');
            if (blank == std::string::npos || blank == 0) bad("--download-fault takes 'TICKET FAULT [ARG]'");
            try {
                auto f = relay::parse_download_fault(v.substr(blank + 1));
                if (f.what != relay::download_fault::none) opts.download_faults[v.substr(0, blank)] = f;
            } catch (std::invalid_argument const& e) {
                bad(e.what());
            }
        } else if (a == "--pair-unbound") {
            opts.pair_unbound = true;
        } else if (a == "--log") {
            opts.log_path = value();
        } else if (a == "--admin") {
            std::string v = value();
            char* end = nullptr;
            long port = std::strtol(v.c_str(), &end, 10);
            if (v.empty() || *end || port < 0 || port > 65535) bad("bad admin port " + v);
            opts.admin_port = static_cast<int>(port);
        } else if (a == "--grid-id") {
            opts.grid_id = value();
        } else if (a == "--grid-name") {
            opts.grid_name = value();
        } else if (a == "--cp-protocol") {
            opts.cp_protocol = value();
        } else if (a == "--reply-field") {
            std::string v = value();
            auto colon = v.find(':');
            if (colon == std::string::npos || colon == 0) bad("--reply-field takes 'NAME: VALUE'");
            std::string field = v.substr(colon + 1);
            while (!field.empty() && field.front() == ' ') field.erase(0, 1);
            opts.reply_fields.emplace_back(v.substr(0, colon), field);
        } else if (a == "--head-timeout") {
            std::string v = value();
            char* end = nullptr;
            long seconds = std::strtol(v.c_str(), &end, 10);
            if (v.empty() || *end || seconds < 1 || seconds > 86400) bad("bad head time-out " + v);
            opts.head_time_limit = std::chrono::seconds(seconds);
        } else if (a == "--key-cs-der") {
            opts.key_cs_der = true;
        } else if (a == "--echo-greeting") {
            opts.echo_greeting = value();
        } else if (a == "--tunnel-get-budget") {
            std::string v = value();
            char* end = nullptr;
            long long bytes = std::strtoll(v.c_str(), &end, 10);
            if (v.empty() || *end || bytes < 1 || bytes > 0x7FFFFFFF) bad("bad tunnel GET budget " + v);
            opts.tunnel_get_budget = static_cast<std::size_t>(bytes);
        } else if (a == "--tunnel-idle") {
            std::string v = value();
            char* end = nullptr;
            long seconds = std::strtol(v.c_str(), &end, 10);
            if (v.empty() || *end || seconds < 1 || seconds > 86400) bad("bad tunnel idle time " + v);
            opts.tunnel_idle = std::chrono::seconds(seconds);
        } else if (a == "--tunnel-server-field") {
            opts.tunnel_server_field = value();
        } else if (a == "--help" || a == "-h") {
            std::cout << usage << relay::control_options_usage;
            return 0;
        } else {
            bool known = false;
            try {
                known = relay::parse_control_option(a, value, opts.control);
            } catch (std::invalid_argument const& e) {
                bad(e.what());
            }
            if (!known) bad("unknown option " + a);
        }
    }
    std::signal(SIGPIPE, SIG_IGN);
    // Many clients at once each take a descriptor.
    rlimit lim{};
    if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
        lim.rlim_cur = lim.rlim_max;
        setrlimit(RLIMIT_NOFILE, &lim);
    }
    try {
        asio::io_context io(1);
        relay::relay_server server(io, opts);
        server.start();
        io.run();
    } catch (std::exception const& e) {
        std::cerr << "tovan_relay: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
