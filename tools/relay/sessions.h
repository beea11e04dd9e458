// The relay's support sessions: made by the desk's create call, each with a
// code, a session id "n:m" and random key and desk token. A connection
// becomes the desk of a session by its own create or continue call, the
// client by its own "I am client" call; a later binding replaces an earlier
// one on either side. A code admits one client: a second one is refused
// while the first is there, and one that comes after it has gone takes the
// session over once (the key is renewed, so the former client, back by its
// session id, finds no session). The current session leg ("VYNL2") of each end is
// joined byte for byte with the other end's; a new leg of an end replaces its
// old one, and a joined leg that ends or is replaced leaves its partner a
// "channel-closed" (the ends speak TLS through the legs, which cannot be
// spliced, so both reconnect). Also the switches the tests turn on (log-in
// required, refused create, redirect, methods never answered) and the admin
// commands about sessions. A session one of whose ends has been without a
// leg for longer than the grace is ended, and so is one whose desk leaves
// before a client came. Used on the relay's one I/O thread only.
#pragma once

#ifndef ASIO_STANDALONE
#define ASIO_STANDALONE
#endif
#include <asio/steady_timer.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <istream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace relay {

class connection;
class leg_port;
class relay_server;

struct control_switches {
    bool require_login = false;
    std::string user, password; // what a plain-text log-in must give when required
    std::string token;          // what a web log-in must give when required (empty: none passes)
    bool refuse_create = false;
    std::string redirect;             // non-empty: every resolve sends the client there
    std::set<long long> never_answer; // methods whose calls get no reply at all
    bool refuse_legs = false;         // every session leg gets channel-error "session legs refused"
    std::string state_path;           // non-empty: the sessions are kept in this file (session_store.h)
    std::map<long long, long long> fail_methods; // method to the error code its calls get
    // How long an end that was there may be without a leg before its session ends.
    std::chrono::milliseconds leg_grace = std::chrono::minutes(10);
    // The mail template's subject, unused text and body (method 44).
    std::vector<std::string> mail_template = {"Tovan support session", "support@tovan.local",
                                              "Join the session with the code shown by the desk."};
};

// Reads a mail template file: three lines (subject, unused text, body) in
// which "\n" stands for a line break; throws std::invalid_argument.
std::vector<std::string> read_mail_template(std::string const& path);

// Reads one control switch from the command line: true when `option` is one
// (its value, if it takes one, read through `value`); throws
// std::invalid_argument with a text for a bad value.
bool parse_control_option(std::string const& option, std::function<std::string()> const& value,
                          control_switches& out);
extern char const control_options_usage[];

// Sessions live until closed, left or without an end; a client cannot make more than this many.
inline constexpr std::size_t max_sessions = 10000;

enum class end_role { desk = 0, client = 1 };
char const* role_name(end_role r);

class session_registry {
public:
    struct leg {
        std::weak_ptr<connection> conn;
        std::uint64_t conn_id = 0, channel = 0;
    };
    struct endpoint {
        std::weak_ptr<connection> conn; // the connection bound as this end
        std::uint64_t conn_id = 0, rpc_channel = 0;
        leg current;
        std::string copy_path;          // the end's leg bytes are appended here when set
        std::shared_ptr<leg_port> port; // takes the other end's place for the end's leg
        bool came = false;              // bound once: from then on its absence counts
        std::optional<std::chrono::steady_clock::time_point> legless_since;
    };
    struct session {
        std::string code, sid, key, aux, desk_private;
        endpoint ends[2];
        bool held = false;      // admin hold-legs: leg bytes wait here instead of passing
        std::string waiting[2]; // by sending end, while held
        // The connection that last joined by the code (resolve binds nothing).
        std::weak_ptr<connection> joiner;
        std::uint64_t joiner_id = 0;
    };

    explicit session_registry(relay_server& server);

    // The sessions of the state file, when there is one (at start, once the
    // event log is open). Throws std::runtime_error naming the file and the
    // fault: a relay that cannot read its sessions does not start without them.
    void load_state();
    // Starts the watch on ends without a leg (once the relay listens).
    void start_watch();

    control_switches switches;

    // A new session; null when the relay holds as many as it takes.
    session* create();
    // Forgets the session; its connections are bound to nothing from then on.
    // The reason goes to the "session-end" event.
    void end(std::string sid, std::string_view reason = "closed");
    session* by_code(std::string const& code);
    session* by_sid(std::string const& sid);
    // The session and role the connection is bound to; null when unbound.
    session* bound(std::uint64_t conn_id, end_role* role = nullptr);
    void bind(connection& c, std::uint64_t rpc_channel, session& s, end_role role, long long method);
    // A join by the code from c: false while another client is there (bound,
    // with a leg, or joined by the code on a live connection). Admitted after
    // a former client, the session gets a new key.
    bool admit_joiner(connection& c, session& s);
    // The desk's graceful exit: its session ends at once when no client is there.
    void graceful_exit(std::uint64_t conn_id);

    bool logged_in(std::uint64_t conn_id) const { return m_logged_in.count(conn_id) != 0; }
    void set_logged_in(std::uint64_t conn_id) { m_logged_in.insert(conn_id); }

    // A "VYNL2" opened on c: becomes the current leg of c's end and is joined
    // to the other end's current leg if there is one. False when c is bound
    // to no session.
    bool offer_leg(connection& c, std::uint64_t channel);
    // Bytes an end sent on a leg: copied where the admin asked; true when
    // they went to a port the leg is joined to, or wait while the session's
    // legs are held (and so not to a partner).
    bool tap(std::uint64_t conn_id, std::uint64_t channel, std::string_view bytes);
    // Closes the current legs of the session (each partner gets channel-closed).
    void break_legs(session& s);
    // Holds the session's leg bytes (both ends' channels fall silent while
    // the connections go on), or lets what waited through to the other end.
    void hold_legs(session& s, bool hold);
    // A call of the relay to the end's connection on its control channel;
    // false when the end has no live connection.
    bool server_call(session& s, end_role role, std::string const& body);
    // A "chat_live" named message: one log line per chat line.
    void chat_live(connection& c, std::string body);
    // A leg's channel has ended.
    void leg_ended(std::uint64_t conn_id, std::uint64_t channel);
    // The connection has ended.
    void forget(std::uint64_t conn_id);

    // An admin command about sessions or switches; nullopt when `command` is none of them.
    std::optional<std::string> admin(std::string const& command, std::istream& args);

private:
    struct binding {
        std::string sid;
        end_role role = end_role::desk;
    };
    std::shared_ptr<connection> live_leg(leg const& l) const;
    // The end has a live connection or leg.
    bool there(endpoint const& e) const;
    // Ends the sessions one of whose ends has been without a leg for the grace,
    // closing their connections; then waits for the next look.
    void watch();
    std::string describe(session const& s) const;
    std::string join_leg(session& s, end_role role, std::istream& args);
    // Writes every session to the state file, if any; a failure is logged
    // (event "state-error") and the sessions stay as they are in memory.
    void save_state();

    relay_server& m_server;
    asio::steady_timer m_watch;
    std::map<std::string, session> m_sessions;                         // by sid
    std::map<std::string, std::string> m_codes;                        // code to sid
    std::map<std::uint64_t, binding> m_bindings;                       // connection id to its end
    std::map<std::pair<std::uint64_t, std::uint64_t>, binding> m_legs; // (conn, channel) to its end
    std::set<std::uint64_t> m_logged_in;
    std::uint64_t m_next_session = 1;
    std::uint64_t m_next_call = 1000000; // apart from ids an admin gives by hand
};

} // namespace relay
