// tovan_relay's server: one listening port, one I/O thread (an asio
// io_context run by main), the connections it accepted, the pairing of
// session legs and the admin interface. Every member is used on that one
// thread only; nothing here is locked.
#pragma once

#ifndef ASIO_STANDALONE
#define ASIO_STANDALONE
#endif
#include <asio.hpp>

#include "tools/relay/certificate.h"
#include "tools/relay/event_log.h"
#include "tools/relay/plugin_services.h"
#include "tools/relay/sessions.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

typedef struct ssl_ctx_st SSL_CTX;

namespace relay {

class connection;
class tunnel;

struct options {
    std::string listen_address = "127.0.0.1";
    unsigned short listen_port = 0;
    std::string cert_path, key_path; // empty: the defaults under $HOME/.tovan_relay
    std::string files_dir;           // empty: PLUGINS answers every download with an error
    std::string log_path;
    bool pair_unbound = false;
    int admin_port = -1; // -1: admin on stdin; 0: pick a loopback port
    std::string grid_id = "1", grid_name = "tovan-local", cp_protocol = "1";
    std::vector<std::pair<std::string, std::string>> reply_fields; // extra fields of the 200 reply
    bool key_cs_der = false;                     // key_cs in Connection-Data as DER instead of PEM
    std::string echo_greeting;                   // sent on every ECHO channel as soon as it is open
    std::chrono::seconds head_time_limit{60};    // a client without its whole head by then is dropped
    std::size_t tunnel_get_budget = 1024 * 1024; // Content-Length of every tunnel GET answer
    std::chrono::seconds tunnel_idle{30};        // a tunnel without legs ends after this
    std::string tunnel_server_field;             // "Server" of tunnel answers; empty: none
    control_switches control;                    // test switches of the control methods
    std::string catalogue_path;                  // method 29's records; empty: none
    std::string translations_dir;                // method 40's files; empty: every answer empty
    std::map<std::string, download_fault> download_faults; // by ticket
};

// Bounds that keep one connection from holding the relay's memory.
inline constexpr std::size_t output_high_water = 4 * 1024 * 1024; // stop reading above this
inline constexpr std::size_t output_low_water = 1024 * 1024;      // resume below this
inline constexpr std::size_t max_rpc_payload = 16 * 1024 * 1024;
inline constexpr std::size_t max_unpaired_leg_bytes = 1024 * 1024;
inline constexpr std::size_t download_chunk = 64 * 1024;
inline constexpr std::size_t max_channels_per_connection = 1024;
inline constexpr std::size_t max_downloads_per_connection = 64;
inline constexpr std::uint64_t max_events_per_connection = 10000;
inline constexpr std::size_t max_tunnels = 1024;
// The length of a tunnel POST body, as every faithful client announces it.
inline constexpr std::int64_t min_tunnel_post = 500000, max_tunnel_post = 999999;
// A refused client gets this long to read the refusal before the relay closes.
inline constexpr std::chrono::seconds refusal_linger{10};

class relay_server {
public:
    relay_server(asio::io_context& io, options opts);
    // Binds and starts accepting; prints "listening ADDR:PORT" (and
    // "admin 127.0.0.1:PORT" with --admin) on stdout. Throws on failure.
    void start();
    void stop();

    options const& opts() const { return m_opts; }
    // Plugin service settings that the admin changes and a "break" fault uses up.
    void set_catalogue(std::string path) { m_opts.catalogue_path = std::move(path); }
    void set_download_fault(std::string const& ticket, download_fault const& f);
    event_log& log() { return m_log; }
    identity const& id() const { return m_identity; }
    std::shared_ptr<SSL_CTX> const& tls_context() const { return m_ctx; }
    std::string const& connection_data() const { return m_connection_data; }
    std::string const& key_hash() const { return m_key_hash; }

    void forget(std::uint64_t conn_id);
    session_registry& sessions() { return m_sessions; }
    asio::io_context& io() { return m_io; }

    // HTTP tunnel: a leg's socket with its bytes so far (from the head on);
    // the tunnel of a path (made when create is set and there is room, else
    // empty); a tunnel's connection put in the table; a tunnel gone.
    void take_tunnel_leg(asio::ip::tcp::socket socket, std::uint64_t id, std::string peer, std::string head);
    std::shared_ptr<tunnel> tunnel_for(std::string const& path, std::string const& peer, bool create);
    void adopt(std::shared_ptr<connection> c);
    void forget_tunnel(std::string const& path, tunnel const* t);
    std::size_t tunnel_count() const { return m_tunnels.size(); }
    std::uint64_t next_id() { return m_next_id++; }

    // Session legs: offers a new leg; returns the leg it is joined to (an
    // empty pointer and 0 while it waits for a partner).
    std::pair<std::weak_ptr<connection>, std::uint64_t> offer_leg(std::weak_ptr<connection> conn,
                                                                  std::uint64_t channel);
    void withdraw_leg(connection const* conn, std::uint64_t channel);

    // One admin command line; returns the reply lines, the last "ok" or "error <text>".
    std::string admin(std::string const& line);

private:
    std::string run_admin(std::string const& line);
    void accept();
    void read_stdin();
    void accept_admin();

    asio::io_context& m_io;
    options m_opts;
    event_log m_log;
    identity m_identity;
    std::shared_ptr<SSL_CTX> m_ctx;
    std::string m_connection_data, m_key_hash;
    asio::ip::tcp::acceptor m_acceptor;
    asio::ip::tcp::acceptor m_admin_acceptor;
    asio::ip::tcp::endpoint m_bound; // the port listened on, kept across "listen off" and "on"
    // Opens the listening port at m_bound; false (with the reason) when it fails.
    bool open_listener(std::string* error);
    asio::posix::stream_descriptor m_stdin;
    asio::streambuf m_stdin_buf;
    asio::signal_set m_signals;
    std::uint64_t m_next_id = 1;
    std::map<std::uint64_t, std::shared_ptr<connection>> m_connections;
    std::map<std::string, std::shared_ptr<tunnel>> m_tunnels;
    std::weak_ptr<connection> m_waiting_leg;
    std::uint64_t m_waiting_channel = 0;
    bool m_stopped = false;
    session_registry m_sessions{*this}; // after m_opts: takes its switches from there
};

} // namespace relay
