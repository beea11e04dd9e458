#include "tools/relay/relay_server.h"

#include "tools/relay/codec.h"
#include "tools/relay/connection.h"
#include "tools/relay/tls_session.h"
#include "tools/relay/tunnel.h"

#include "rulo/base64.h"

#include <csignal>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <sys/stat.h>

namespace relay {

relay_server::relay_server(asio::io_context& io, options opts)
    : m_io(io), m_opts(std::move(opts)), m_acceptor(io), m_admin_acceptor(io), m_stdin(io),
      m_signals(io, SIGTERM, SIGINT) {
    if (!m_opts.log_path.empty()) m_log.open(m_opts.log_path);
    if (m_opts.cert_path.empty() || m_opts.key_path.empty()) {
        char const* home = std::getenv("HOME");
        std::string dir = std::string(home && *home ? home : ".") + "/.tovan_relay";
        ::mkdir(dir.c_str(), 0700);
        if (m_opts.cert_path.empty()) m_opts.cert_path = dir + "/relay-cert.pem";
        if (m_opts.key_path.empty()) m_opts.key_path = dir + "/relay-key.pem";
    }
    m_identity = load_or_make_identity(m_opts.cert_path, m_opts.key_path);
    m_ctx = make_server_context(m_identity);
    // The keys are current exactly when the client holds this certificate's hash.
    m_key_hash = sha256_hex(m_identity.cert_der);
    std::string map;
    rulo_packet_push(map, std::map<std::string, std::string>{
                              {"grid_id", m_opts.grid_id},
                              {"grid_name", m_opts.grid_name},
                              {"cp_protocol", m_opts.cp_protocol},
                              {"key_cs", m_opts.key_cs_der ? m_identity.cert_der : m_identity.cert_pem}});
    m_connection_data = rulo::base64_encode(map);
    m_sessions.load_state();
}

void relay_server::start() {
    asio::ip::tcp::endpoint ep(asio::ip::make_address(m_opts.listen_address), m_opts.listen_port);
    m_acceptor.open(ep.protocol());
    m_acceptor.set_option(asio::ip::tcp::acceptor::reuse_address(true));
    m_acceptor.bind(ep);
    m_acceptor.listen(asio::socket_base::max_listen_connections);
    auto bound = m_acceptor.local_endpoint();
    m_bound = bound;
    std::cout << "listening " << bound.address().to_string() << ":" << bound.port() << std::endl;
    event_log::line(m_log, "listen")
        .str("address", bound.address().to_string())
        .num("port", bound.port())
        .str("key_hash", m_key_hash);
    m_sessions.start_watch();
    if (m_opts.admin_port >= 0) {
        asio::ip::tcp::endpoint aep(asio::ip::address_v4::loopback(),
                                    static_cast<unsigned short>(m_opts.admin_port));
        m_admin_acceptor.open(aep.protocol());
        m_admin_acceptor.set_option(asio::ip::tcp::acceptor::reuse_address(true));
        m_admin_acceptor.bind(aep);
        m_admin_acceptor.listen();
        std::cout << "admin 127.0.0.1:" << m_admin_acceptor.local_endpoint().port() << std::endl;
        accept_admin();
    } else {
        asio::error_code ec;
        m_stdin.assign(::dup(0), ec);
        // A regular file or /dev/null cannot be waited on: run without admin then.
        if (!ec) read_stdin();
    }
    m_signals.async_wait([this](asio::error_code ec, int sig) {
        if (ec) return;
        event_log::line(m_log, "stop").num("signal", sig);
        stop();
    });
    accept();
}

void relay_server::stop() {
    if (m_stopped) return;
    m_stopped = true;
    asio::error_code ec;
    m_acceptor.close(ec);
    m_admin_acceptor.close(ec);
    m_stdin.close(ec);
    m_signals.cancel(ec);
    auto conns = m_connections;
    for (auto& [id, c] : conns) c->close("relay stopped");
    m_io.stop();
}

bool relay_server::open_listener(std::string* error) {
    asio::error_code ec;
    m_acceptor.open(m_bound.protocol(), ec);
    if (!ec) m_acceptor.set_option(asio::ip::tcp::acceptor::reuse_address(true), ec);
    if (!ec) m_acceptor.bind(m_bound, ec);
    if (!ec) m_acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (!ec) return true;
    asio::error_code ignored;
    m_acceptor.close(ignored);
    *error = ec.message();
    return false;
}

void relay_server::accept() {
    m_acceptor.async_accept([this](asio::error_code ec, asio::ip::tcp::socket socket) {
        // Closed by "listen off" (or the stop): "listen on" accepts anew.
        if (m_stopped || ec == asio::error::operation_aborted || !m_acceptor.is_open()) return;
        if (!ec) {
            auto c = std::make_shared<connection>(*this, std::move(socket), m_next_id++);
            m_connections[c->id()] = c;
            c->start();
        } else {
            // Out of descriptors and the like: keep serving the connections there are.
            event_log::line(m_log, "accept-error").str("error", ec.message());
        }
        accept();
    });
}

void relay_server::forget(std::uint64_t conn_id) {
    m_connections.erase(conn_id);
    m_sessions.forget(conn_id);
}

void relay_server::take_tunnel_leg(asio::ip::tcp::socket socket, std::uint64_t id, std::string peer,
                                   std::string head) {
    if (m_stopped) return;
    std::make_shared<tunnel_leg>(*this, std::move(socket), id, std::move(peer))->start(std::move(head));
}

std::shared_ptr<tunnel> relay_server::tunnel_for(std::string const& path, std::string const& peer,
                                                 bool create) {
    if (auto it = m_tunnels.find(path); it != m_tunnels.end()) return it->second;
    if (!create || m_stopped || m_tunnels.size() >= max_tunnels) return nullptr;
    auto t = std::make_shared<tunnel>(*this, path, peer);
    m_tunnels[path] = t;
    t->start();
    return t;
}

void relay_server::adopt(std::shared_ptr<connection> c) {
    m_connections[c->id()] = std::move(c);
}

void relay_server::forget_tunnel(std::string const& path, tunnel const* t) {
    if (auto it = m_tunnels.find(path); it != m_tunnels.end() && it->second.get() == t) m_tunnels.erase(it);
}

std::pair<std::weak_ptr<connection>, std::uint64_t> relay_server::offer_leg(std::weak_ptr<connection> conn,
                                                                            std::uint64_t channel) {
    if (auto waiting = m_waiting_leg.lock()) {
        std::pair<std::weak_ptr<connection>, std::uint64_t> joined{waiting, m_waiting_channel};
        m_waiting_leg.reset();
        m_waiting_channel = 0;
        return joined;
    }
    m_waiting_leg = std::move(conn);
    m_waiting_channel = channel;
    return {};
}

void relay_server::withdraw_leg(connection const* conn, std::uint64_t channel) {
    if (m_waiting_leg.lock().get() == conn && m_waiting_channel == channel) {
        m_waiting_leg.reset();
        m_waiting_channel = 0;
    }
}

void relay_server::set_download_fault(std::string const& ticket, download_fault const& f) {
    if (f.what == download_fault::none)
        m_opts.download_faults.erase(ticket);
    else
        m_opts.download_faults[ticket] = f;
}

std::string relay_server::admin(std::string const& line) {
    try {
        return run_admin(line);
    } catch (std::exception const& e) {
        return std::string("error ") + e.what() + "\n";
    }
}

std::string relay_server::run_admin(std::string const& line) {
    std::istringstream in(line);
    std::string command;
    in >> command;
    auto find = [&](std::uint64_t id) -> std::shared_ptr<connection> {
        auto it = m_connections.find(id);
        return it == m_connections.end() ? nullptr : it->second;
    };
    auto rest = [&]() {
        std::string r;
        std::getline(in, r);
        if (!r.empty() && r.front() == ' ') r.erase(0, 1);
        return r;
    };
    if (command.empty()) return "error empty command\n";
    event_log::line(m_log, "admin").str("command", line);
    if (auto reply = m_sessions.admin(command, in)) return *reply;
    if (command == "listen") {
        // listen off|on: new connections refused, then accepted on the same
        // port; open ones go on either way.
        std::string word;
        in >> word;
        if (word == "off") {
            asio::error_code ec;
            m_acceptor.close(ec);
            return "ok\n";
        }
        if (word != "on") return "error usage: listen off|on\n";
        if (m_acceptor.is_open()) return "ok\n";
        std::string error;
        if (!open_listener(&error)) return "error " + error + "\n";
        accept();
        return "ok\n";
    }
    if (command == "reply-field") {
        // reply-field NAME VALUE...: added to (or, without a value, removed from) later handshake replies.
        std::string name;
        in >> name;
        std::string value = rest();
        if (name.empty()) return "error usage: reply-field NAME [VALUE]\n";
        auto& fields = m_opts.reply_fields;
        std::erase_if(fields, [&](auto const& f) { return f.first == name; });
        if (!value.empty()) fields.emplace_back(name, value);
        return "ok\n";
    }
    if (command == "catalogue") {
        // catalogue [FILE]: method 29 answers FILE's records from now on (none without a file).
        std::string const path = rest();
        if (!path.empty()) catalogue_records(path, m_opts.files_dir); // refuse an unreadable file now
        set_catalogue(path);
        return "ok\n";
    }
    if (command == "download-fault") {
        // download-fault TICKET FAULT [ARG]: how later downloads of TICKET go wrong.
        std::string ticket;
        in >> ticket;
        std::string const spec = rest();
        if (ticket.empty() || spec.empty()) return "error usage: download-fault TICKET FAULT [ARG]\n";
        set_download_fault(ticket, parse_download_fault(spec));
        return "ok\n";
    }
    if (command == "tunnel-server-field") {
        // tunnel-server-field [VALUE]: the "Server" field of later tunnel answers (none without a value).
        m_opts.tunnel_server_field = rest();
        return "ok\n";
    }
    if (command == "list") {
        std::string out;
        for (auto const& [id, c] : m_connections) out += c->describe() + "\n";
        return out + "ok\n";
    }
    std::uint64_t conn = 0, channel = 0;
    if (!(in >> conn)) return "error usage: " + command + " CONN ...\n";
    auto c = find(conn);
    if (!c) return "error no connection " + std::to_string(conn) + "\n";
    if (command == "drop") {
        c->close("dropped by admin");
        return "ok\n";
    }
    if (command == "pong") {
        c->send_pong(rest());
        return "ok\n";
    }
    if (!(in >> channel)) return "error usage: " + command + " CONN CHANNEL ...\n";
    bool done = false;
    if (command == "channel-error")
        done = c->send_channel_error(channel, rest());
    else if (command == "channel-closed")
        done = c->send_channel_closed(channel);
    else if (command == "rpc-ping")
        done = c->send_rpc(channel, "result 0\n");
    else if (command == "rpc-call") {
        std::string id;
        in >> id;
        if (id.empty()) return "error usage: rpc-call CONN CHANNEL ID [BODY]\n";
        done = c->send_rpc(channel, id + "\n" + rest());
    } else if (command == "message") {
        // message CONN CHANNEL NAME [ARG...]: the arguments pushed in order, then the name and 0.
        std::string name, arg;
        in >> name;
        if (name.empty()) return "error usage: message CONN CHANNEL NAME [ARG...]\n";
        std::string packet;
        while (in >> arg) rulo_packet_push(packet, arg);
        rulo_packet_push(packet, name, 0);
        done = c->send_message(channel, packet);
    } else
        return "error unknown command " + command + "\n";
    return done ? "ok\n"
                : "error no channel " + std::to_string(channel) + " on connection " + std::to_string(conn) +
                      "\n";
}

void relay_server::read_stdin() {
    asio::async_read_until(m_stdin, m_stdin_buf, '\n', [this](asio::error_code ec, std::size_t) {
        if (ec || m_stopped) return; // standard input ended: the relay keeps serving
        std::istream in(&m_stdin_buf);
        std::string line;
        std::getline(in, line);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::cout << admin(line) << std::flush;
        read_stdin();
    });
}

namespace {

// One admin client on the loopback port: a command a line, replies in order.
struct admin_session : std::enable_shared_from_this<admin_session> {
    admin_session(relay_server& s, asio::ip::tcp::socket sock) : server(s), socket(std::move(sock)) {}
    void read() {
        asio::async_read_until(socket, buf, '\n',
                               [self = shared_from_this()](asio::error_code ec, std::size_t) {
                                   if (ec) return;
                                   std::istream in(&self->buf);
                                   std::string line;
                                   std::getline(in, line);
                                   if (!line.empty() && line.back() == '\r') line.pop_back();
                                   auto reply = std::make_shared<std::string>(self->server.admin(line));
                                   asio::async_write(self->socket, asio::buffer(*reply),
                                                     [self, reply](asio::error_code e, std::size_t) {
                                                         if (!e) self->read();
                                                     });
                               });
    }
    relay_server& server;
    asio::ip::tcp::socket socket;
    asio::streambuf buf{64 * 1024}; // a longer line ends the session
};

} // namespace

void relay_server::accept_admin() {
    m_admin_acceptor.async_accept([this](asio::error_code ec, asio::ip::tcp::socket socket) {
        if (m_stopped) return;
        if (!ec) std::make_shared<admin_session>(*this, std::move(socket))->read();
        accept_admin();
    });
}

} // namespace relay
