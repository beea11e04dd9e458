#include "tools/relay/sessions.h"

#include "tools/relay/codec.h"
#include "tools/relay/connection.h"
#include "tools/relay/leg_port.h"
#include "tools/relay/relay_server.h"
#include "tools/relay/session_store.h"

#include <openssl/rand.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace relay {

namespace {

std::uint64_t random64() {
    std::uint64_t v = 0;
    if (RAND_bytes(reinterpret_cast<unsigned char*>(&v), sizeof v) != 1)
        throw std::runtime_error("no random bytes");
    return v;
}

std::string random_hex(std::size_t bytes) {
    static char const digits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < bytes; ++i) {
        auto b = static_cast<unsigned>(random64() & 0xff);
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

bool parse_role(std::string const& word, end_role& r) {
    if (word == "desk")
        r = end_role::desk;
    else if (word == "client")
        r = end_role::client;
    else
        return false;
    return true;
}

// A file of at most 16 MiB into out; false when it cannot be read or is larger.
bool read_small_file(std::string const& path, std::string& out) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return false;
    std::string data((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    if (f.bad() || data.size() > (16u << 20)) return false;
    out = std::move(data);
    return true;
}

std::string rest_of(std::istream& in) {
    std::string r;
    std::getline(in, r);
    if (!r.empty() && r.front() == ' ') r.erase(0, 1);
    return r;
}

} // namespace

char const control_options_usage[] = R"(  --require-login USER:PASSWORD[:TOKEN]
                         the desk must log in (plain text, or web with TOKEN) before it creates a session
  --refuse-create        every create-session call is refused (error 12)
  --redirect TARGET      every resolve-session reply sends the client to TARGET
  --never-answer N       calls of method N get no reply (repeatable)
  --refuse-legs          every session leg (VYNL2) is refused with channel-error
  --state FILE           sessions kept in FILE (0600), read at start, written on every change
  --leg-grace SECONDS    a session one of whose ends has had no leg this long is ended (default 600)

  --fail-method N[:CODE] calls of method N get error CODE (default 2; repeatable)
  --mail-template FILE   the mail template: subject, unused text and body, a line each ("\n" escapes)
)";

namespace {

long long method_number(std::string const& v) {
    std::size_t used = 0;
    long long n = 0;
    try {
        n = std::stoll(v, &used);
    } catch (std::exception const&) {
        used = 0;
    }
    if (v.empty() || used != v.size()) throw std::invalid_argument("bad method number " + v);
    return n;
}

} // namespace

std::vector<std::string> read_mail_template(std::string const& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::invalid_argument("cannot read the mail template " + path);
    std::vector<std::string> lines;
    std::string line;
    while (lines.size() < 3 && std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::string text;
        for (std::size_t i = 0; i < line.size(); ++i) {
            if (line[i] == '\\' && i + 1 < line.size() && line[i + 1] == 'n') {
                text += '\n';
                ++i;
            } else {
                text += line[i];
            }
        }
        lines.push_back(text);
    }
    lines.resize(3);
    return lines;
}

bool parse_control_option(std::string const& option, std::function<std::string()> const& value,
                          control_switches& out) {
    if (option == "--require-login") {
        std::string v = value();
        auto colon = v.find(':');
        if (colon == std::string::npos)
            throw std::invalid_argument("--require-login takes USER:PASSWORD[:TOKEN]");
        out.require_login = true;
        out.user = v.substr(0, colon);
        std::string rest = v.substr(colon + 1);
        auto second = rest.find(':');
        out.password = rest.substr(0, second);
        out.token = second == std::string::npos ? "" : rest.substr(second + 1);
    } else if (option == "--refuse-create") {
        out.refuse_create = true;
    } else if (option == "--refuse-legs") {
        out.refuse_legs = true;
    } else if (option == "--state") {
        out.state_path = value();
        if (out.state_path.empty()) throw std::invalid_argument("--state needs a file name");
    } else if (option == "--leg-grace") {
        std::string v = value();
        char* end = nullptr;
        double const seconds = std::strtod(v.c_str(), &end);
        if (v.empty() || *end || !(seconds >= 0.01 && seconds <= 86400))
            throw std::invalid_argument("bad leg grace " + v);
        out.leg_grace = std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
    } else if (option == "--redirect") {
        out.redirect = value();
    } else if (option == "--never-answer") {
        out.never_answer.insert(method_number(value()));
    } else if (option == "--fail-method") {
        std::string v = value();
        auto colon = v.find(':');
        out.fail_methods[method_number(v.substr(0, colon))] =
            colon == std::string::npos ? 2 : method_number(v.substr(colon + 1));
    } else if (option == "--mail-template") {
        out.mail_template = read_mail_template(value());
    } else {
        return false;
    }
    return true;
}

char const* role_name(end_role r) {
    return r == end_role::desk ? "desk" : "client";
}

session_registry::session_registry(relay_server& server)
    : switches(server.opts().control), m_server(server), m_watch(server.io()) {}

session_registry::session* session_registry::create() {
    if (m_sessions.size() >= max_sessions) return nullptr;
    std::string code;
    do {
        // Nine digits, so never 0 and never a leading zero the client would drop.
        code = std::to_string(100000000 + random64() % 900000000);
    } while (m_codes.count(code));
    std::string sid = std::to_string(m_next_session++) + ":" + std::to_string(1 + random64() % 999999);
    session& s = m_sessions[sid];
    s.code = code;
    s.sid = sid;
    s.key = random_hex(16);
    s.desk_private = random_hex(16);
    m_codes[code] = sid;
    save_state(); // before the event: a test that saw it finds the file written
    event_log::line(m_server.log(), "session").str("sid", sid).str("code", code);
    return &s;
}

void session_registry::load_state() {
    if (switches.state_path.empty()) return;
    std::vector<stored_session> stored;
    try {
        stored = parse_sessions(read_state_file(switches.state_path), max_sessions);
    } catch (std::invalid_argument const& e) {
        throw std::runtime_error("state file " + switches.state_path + ": " + e.what());
    }
    for (auto const& st : stored) {
        session& s = m_sessions[st.sid];
        s.sid = st.sid;
        s.code = st.code;
        s.key = st.key;
        s.desk_private = st.desk_private;
        // The desk had come; whether a client had is not kept.
        s.ends[static_cast<int>(end_role::desk)].came = true;
        m_codes[s.code] = s.sid;
        // New sids go on counting after the kept ones.
        std::uint64_t const n = std::stoull(st.sid.substr(0, st.sid.find(':')));
        if (n >= m_next_session) m_next_session = n + 1;
    }
    event_log::line(m_server.log(), "state-loaded")
        .str("file", switches.state_path)
        .num("sessions", static_cast<std::int64_t>(stored.size()));
}

void session_registry::save_state() {
    if (switches.state_path.empty()) return;
    std::vector<stored_session> all;
    for (auto const& [sid, s] : m_sessions) all.push_back({s.sid, s.code, s.key, s.desk_private});
    try {
        write_state_file(switches.state_path, format_sessions(all));
    } catch (std::exception const& e) {
        event_log::line(m_server.log(), "state-error").str("what", e.what());
    }
}

session_registry::session* session_registry::by_code(std::string const& code) {
    auto it = m_codes.find(code);
    return it == m_codes.end() ? nullptr : by_sid(it->second);
}

session_registry::session* session_registry::by_sid(std::string const& sid) {
    auto it = m_sessions.find(sid);
    return it == m_sessions.end() ? nullptr : &it->second;
}

session_registry::session* session_registry::bound(std::uint64_t conn_id, end_role* role) {
    auto it = m_bindings.find(conn_id);
    if (it == m_bindings.end()) return nullptr;
    if (role) *role = it->second.role;
    return by_sid(it->second.sid);
}

void session_registry::bind(connection& c, std::uint64_t rpc_channel, session& s, end_role role,
                            long long method) {
    endpoint& e = s.ends[static_cast<int>(role)];
    // The end's former connection (a reconnect leaves it behind) is no longer this end.
    if (e.conn_id != c.id()) {
        auto old = m_bindings.find(e.conn_id);
        if (old != m_bindings.end() && old->second.sid == s.sid && old->second.role == role)
            m_bindings.erase(old);
    }
    auto prior = m_bindings.find(c.id());
    if (prior != m_bindings.end() && (prior->second.sid != s.sid || prior->second.role != role)) {
        if (session* p = by_sid(prior->second.sid)) {
            endpoint& pe = p->ends[static_cast<int>(prior->second.role)];
            if (pe.conn_id == c.id()) {
                pe.conn.reset();
                pe.conn_id = 0;
                pe.rpc_channel = 0;
            }
        }
    }
    m_bindings[c.id()] = binding{s.sid, role};
    e.conn = c.weak_from_this();
    e.conn_id = c.id();
    e.rpc_channel = rpc_channel;
    e.came = true;
    c.event("bind")
        .num("conn", static_cast<std::int64_t>(c.id()))
        .str("sid", s.sid)
        .str("role", role_name(role))
        .num("method", method);
}

std::shared_ptr<connection> session_registry::live_leg(leg const& l) const {
    auto c = l.conn.lock();
    if (!c || !c->is_open_leg(l.channel)) return nullptr;
    return c;
}

bool session_registry::offer_leg(connection& c, std::uint64_t channel) {
    end_role role{};
    session* s = bound(c.id(), &role);
    if (!s) return false;
    endpoint& mine = s->ends[static_cast<int>(role)];
    endpoint& other = s->ends[1 - static_cast<int>(role)];
    leg old = mine.current;
    mine.current = leg{c.weak_from_this(), c.id(), channel};
    m_legs[{c.id(), channel}] = binding{s->sid, role};
    c.event("leg")
        .num("conn", static_cast<std::int64_t>(c.id()))
        .num("channel", static_cast<std::int64_t>(channel))
        .str("sid", s->sid)
        .str("role", role_name(role));
    // The old leg goes; if it was joined, its partner learns through channel-closed.
    if (auto oc = live_leg(old); oc && !(old.conn_id == c.id() && old.channel == channel)) {
        event_log::line(m_server.log(), "leg-replaced")
            .num("conn", static_cast<std::int64_t>(old.conn_id))
            .num("channel", static_cast<std::int64_t>(old.channel))
            .str("sid", s->sid)
            .str("role", role_name(role));
        m_legs.erase({old.conn_id, old.channel});
        oc->send_channel_closed(old.channel);
    }
    if (mine.port && (mine.port->closed() || mine.port->attached())) {
        // A port joined to the old leg goes with it; the new leg meets the other end again.
        mine.port->close("leg replaced", false);
        mine.port.reset();
    }
    if (!c.is_open_leg(channel)) return true;
    if (mine.port) {
        mine.port->attach(c.shared_from_this(), channel);
        event_log::line(m_server.log(), "leg-port-joined")
            .num("conn", static_cast<std::int64_t>(c.id()))
            .num("channel", static_cast<std::int64_t>(channel))
            .str("sid", s->sid)
            .str("role", role_name(role));
        return true;
    }
    // Closing the old leg may have ended the other end's too: looked up afresh.
    auto partner = live_leg(other.current);
    if (!partner || (other.port && other.port->attached_to(partner->id(), other.current.channel)))
        return true;
    std::uint64_t const pch = other.current.channel;
    event_log::line(m_server.log(), "legs-joined")
        .str("sid", s->sid)
        .num(role == end_role::desk ? "desk_conn" : "client_conn", static_cast<std::int64_t>(c.id()))
        .num(role == end_role::desk ? "desk_channel" : "client_channel", static_cast<std::int64_t>(channel))
        .num(role == end_role::desk ? "client_conn" : "desk_conn", static_cast<std::int64_t>(partner->id()))
        .num(role == end_role::desk ? "client_channel" : "desk_channel", static_cast<std::int64_t>(pch));
    // Each side's waiting bytes go to the other as the join is made.
    c.leg_joined(channel, partner, pch);
    partner->leg_joined(pch, c.weak_from_this(), channel);
    return true;
}

bool session_registry::tap(std::uint64_t conn_id, std::uint64_t channel, std::string_view bytes) {
    auto it = m_legs.find({conn_id, channel});
    if (it == m_legs.end()) return false;
    session* s = by_sid(it->second.sid);
    if (!s) return false;
    endpoint& e = s->ends[static_cast<int>(it->second.role)];
    if (e.current.conn_id != conn_id || e.current.channel != channel) return false;
    if (!e.copy_path.empty()) {
        std::ofstream out(e.copy_path, std::ios::binary | std::ios::app);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    if (s->held) {
        s->waiting[static_cast<int>(it->second.role)].append(bytes);
        return true;
    }
    if (!e.port || !e.port->attached_to(conn_id, channel)) return false;
    e.port->from_leg(bytes);
    return true;
}

void session_registry::hold_legs(session& s, bool hold) {
    s.held = hold;
    if (hold) return;
    // What waited goes on to the other end's current leg, in order.
    for (int from = 0; from < 2; ++from) {
        leg const& to = s.ends[1 - from].current;
        if (auto c = live_leg(to); c && !s.waiting[from].empty()) c->leg_data(to.channel, s.waiting[from]);
        s.waiting[from].clear();
    }
}

bool session_registry::there(endpoint const& e) const {
    return e.conn.lock() || live_leg(e.current);
}

bool session_registry::admit_joiner(connection& c, session& s) {
    endpoint const& client = s.ends[static_cast<int>(end_role::client)];
    auto const other = [&](std::uint64_t id) { return id != 0 && id != c.id(); };
    // Taking over from a client that is there would start a tug of war: each
    // reconnect of the one takes the session from the other.
    auto joiner = s.joiner.lock();
    bool const held = (there(client) && other(client.conn_id)) || (joiner && other(s.joiner_id));
    if (held) {
        c.event("join-refused").num("conn", static_cast<std::int64_t>(c.id())).str("sid", s.sid);
        return false;
    }
    if (other(client.conn_id) || other(s.joiner_id)) {
        // The former client has gone; back by its sid and old key, it finds no session.
        s.key = random_hex(16);
        save_state();
        c.event("client-replaced")
            .num("conn", static_cast<std::int64_t>(c.id()))
            .num("former", static_cast<std::int64_t>(other(client.conn_id) ? client.conn_id : s.joiner_id))
            .str("sid", s.sid);
    }
    s.joiner = c.weak_from_this();
    s.joiner_id = c.id();
    return true;
}

void session_registry::graceful_exit(std::uint64_t conn_id) {
    end_role role{};
    session* s = bound(conn_id, &role);
    if (!s || role != end_role::desk) return;
    // With a client there, the desk's close-session call follows and ends it for both.
    if (there(s->ends[static_cast<int>(end_role::client)]) || s->joiner.lock()) return;
    end(s->sid, "graceful exit");
}

void session_registry::start_watch() {
    m_watch.expires_after(
        std::clamp(switches.leg_grace / 4, std::chrono::milliseconds(10), std::chrono::milliseconds(1000)));
    m_watch.async_wait([this](asio::error_code const& ec) {
        if (!ec) watch();
    });
}

void session_registry::watch() {
    auto const now = std::chrono::steady_clock::now();
    std::vector<std::string> expired;
    for (auto& [sid, s] : m_sessions)
        for (auto& e : s.ends) {
            if (!e.came || live_leg(e.current)) {
                e.legless_since.reset();
                continue;
            }
            if (!e.legless_since) e.legless_since = now;
            if (now - *e.legless_since >= switches.leg_grace) {
                expired.push_back(sid);
                break;
            }
        }
    for (auto const& sid : expired) {
        // Its ends' connections close, as if the relay had restarted without
        // the session: the end still there reconnects and learns it is gone.
        std::vector<std::shared_ptr<connection>> conns;
        for (auto const& e : m_sessions.at(sid).ends)
            for (auto c : {e.conn.lock(), live_leg(e.current)})
                if (c && std::find(conns.begin(), conns.end(), c) == conns.end()) conns.push_back(c);
        end(sid, "no leg");
        for (auto& c : conns) c->close("session ended");
    }
    start_watch();
}

void session_registry::end(std::string sid, std::string_view reason) {
    auto it = m_sessions.find(sid);
    if (it == m_sessions.end()) return;
    m_codes.erase(it->second.code);
    for (auto& e : it->second.ends)
        if (e.port) e.port->close("session ended", false);
    std::erase_if(m_bindings, [&](auto const& b) { return b.second.sid == sid; });
    std::erase_if(m_legs, [&](auto const& b) { return b.second.sid == sid; });
    m_sessions.erase(it);
    save_state();
    event_log::line(m_server.log(), "session-end").str("sid", sid).str("reason", reason);
}

void session_registry::break_legs(session& s) {
    for (auto& e : s.ends) {
        if (auto c = live_leg(e.current)) {
            event_log::line(m_server.log(), "leg-broken")
                .num("conn", static_cast<std::int64_t>(c->id()))
                .num("channel", static_cast<std::int64_t>(e.current.channel))
                .str("sid", s.sid);
            c->send_channel_closed(e.current.channel);
        }
    }
}

bool session_registry::server_call(session& s, end_role role, std::string const& body) {
    endpoint& e = s.ends[static_cast<int>(role)];
    auto c = e.conn.lock();
    if (!c) return false;
    std::string const id = std::to_string(m_next_call++);
    if (!c->send_rpc(e.rpc_channel, id + "\n" + body)) return false;
    event_log::line(m_server.log(), "server-call")
        .num("conn", static_cast<std::int64_t>(c->id()))
        .str("sid", s.sid)
        .str("role", role_name(role))
        .str("id", id)
        .str("body", body);
    return true;
}

void session_registry::chat_live(connection& c, std::string body) {
    std::uint64_t const conn_id = c.id();
    std::vector<std::string> lines;
    try {
        rulo_packet_pop(body, lines);
    } catch (std::exception const&) {
        c.event("chat_live-malformed").num("conn", static_cast<std::int64_t>(conn_id));
        return;
    }
    end_role role{};
    session* s = bound(conn_id, &role);
    for (auto const& l : lines)
        c.event("chat_live")
            .num("conn", static_cast<std::int64_t>(conn_id))
            .str("sid", s ? s->sid : "")
            .str("role", s ? role_name(role) : "")
            .str("line", l);
}

void session_registry::leg_ended(std::uint64_t conn_id, std::uint64_t channel) {
    auto it = m_legs.find({conn_id, channel});
    if (it == m_legs.end()) return;
    binding const b = it->second;
    m_legs.erase(it);
    session* s = by_sid(b.sid);
    if (!s) return;
    // A port joined to the leg has nobody left to talk to.
    auto& port = s->ends[static_cast<int>(b.role)].port;
    if (port && port->attached_to(conn_id, channel)) std::exchange(port, nullptr)->close("leg ended", false);
}

void session_registry::forget(std::uint64_t conn_id) {
    m_logged_in.erase(conn_id);
    m_bindings.erase(conn_id);
    std::erase_if(m_legs, [&](auto const& entry) { return entry.first.first == conn_id; });
}

std::string session_registry::describe(session const& s) const {
    std::ostringstream out;
    out << "session " << s.sid << " code=" << s.code << " key=" << s.key;
    for (int r = 0; r < 2; ++r) {
        auto const& e = s.ends[r];
        out << " " << role_name(static_cast<end_role>(r)) << "=" << (e.conn.lock() ? e.conn_id : 0);
        auto l = live_leg(e.current);
        out << " " << role_name(static_cast<end_role>(r)) << "_leg=";
        if (l)
            out << e.current.conn_id << ":" << e.current.channel;
        else
            out << "-";
    }
    return out.str();
}

std::string session_registry::join_leg(session& s, end_role role, std::istream& in) {
    // join-leg SID WHO listen | connect PORT: the end's leg (its current one
    // when the other end has none, else its next) is joined to the port.
    std::string how;
    unsigned port = 0;
    in >> how;
    if (how == "connect" && (!(in >> port) || port == 0 || port > 65535)) how.clear();
    if (how != "listen" && how != "connect")
        return "error usage: join-leg SID desk|client listen | connect PORT\n";
    endpoint& e = s.ends[static_cast<int>(role)];
    if (e.port) e.port->close("replaced by the admin");
    e.port = std::make_shared<leg_port>(m_server.io(), m_server.log(), s.sid);
    std::string reply;
    if (how == "listen")
        reply = "port " + std::to_string(e.port->listen()) + "\n";
    else
        e.port->connect(static_cast<unsigned short>(port));
    auto mine = live_leg(e.current);
    if (mine && !live_leg(s.ends[1 - static_cast<int>(role)].current)) {
        e.port->attach(mine, e.current.channel);
        event_log::line(m_server.log(), "leg-port-joined")
            .num("conn", static_cast<std::int64_t>(mine->id()))
            .num("channel", static_cast<std::int64_t>(e.current.channel))
            .str("sid", s.sid)
            .str("role", role_name(role));
    }
    return reply + "ok\n";
}

std::optional<std::string> session_registry::admin(std::string const& command, std::istream& in) {
    if (command == "sessions") {
        std::string out;
        for (auto const& [sid, s] : m_sessions) out += describe(s) + "\n";
        return out + "ok\n";
    }
    if (command == "require-login") {
        // require-login [USER PASSWORD [TOKEN]]: without arguments no log-in is required.
        std::string user, password, token;
        in >> user >> password >> token;
        if (!user.empty() && password.empty()) return "error usage: require-login [USER PASSWORD [TOKEN]]\n";
        switches.require_login = !user.empty();
        switches.user = user;
        switches.password = password;
        switches.token = token;
        return "ok\n";
    }
    if (command == "refuse-create" || command == "refuse-legs" || command == "never-answer" ||
        command == "answer") {
        std::string word;
        in >> word;
        if (command == "refuse-create" || command == "refuse-legs") {
            if (word != "on" && word != "off") return "error usage: " + command + " on|off\n";
            (command == "refuse-create" ? switches.refuse_create : switches.refuse_legs) = word == "on";
            return "ok\n";
        }
        long long n = 0;
        try {
            n = method_number(word);
        } catch (std::invalid_argument const&) {
            return "error usage: " + command + " METHOD\n";
        }
        if (command == "never-answer") {
            switches.never_answer.insert(n);
        } else {
            switches.never_answer.erase(n);
            switches.fail_methods.erase(n);
        }
        return "ok\n";
    }
    if (command == "fail-method") {
        // fail-method N [CODE]: calls of N get error CODE (2 without one);
        // "answer N" ends it.
        std::string word, code;
        in >> word >> code;
        try {
            switches.fail_methods[method_number(word)] = code.empty() ? 2 : method_number(code);
        } catch (std::invalid_argument const&) {
            return "error usage: fail-method N [CODE]\n";
        }
        return "ok\n";
    }
    if (command == "mail-template") {
        try {
            switches.mail_template = read_mail_template(rest_of(in));
        } catch (std::invalid_argument const& e) {
            return std::string("error ") + e.what() + "\n";
        }
        return "ok\n";
    }
    if (command == "redirect") {
        switches.redirect = rest_of(in);
        return "ok\n";
    }
    if (command != "break-legs" && command != "hold-legs" && command != "server-call" &&
        command != "server-map" && command != "server-map-file" && command != "copy-leg" &&
        command != "join-leg")
        return std::nullopt;
    std::string sid, who;
    in >> sid;
    session* s = by_sid(sid);
    if (!s) return "error no session " + sid + "\n";
    if (command == "break-legs") {
        break_legs(*s);
        return "ok\n";
    }
    if (command == "hold-legs") {
        in >> who;
        if (who != "on" && who != "off") return "error usage: hold-legs SID on|off\n";
        hold_legs(*s, who == "on");
        return "ok\n";
    }
    in >> who;
    end_role role{};
    bool const both = who == "both" && command != "copy-leg" && command != "join-leg";
    if (!both && !parse_role(who, role))
        return "error usage: " + command + " SID desk|client" + (command == "copy-leg" ? "" : "|both") +
               " ...\n";
    if (command == "copy-leg") {
        s->ends[static_cast<int>(role)].copy_path = rest_of(in);
        return "ok\n";
    }
    if (command == "join-leg") return join_leg(*s, role, in);
    std::string body;
    if (command == "server-call") {
        body = rest_of(in);
    } else {
        // server-map SID WHO KEY=VALUE...: the body is a packet holding the
        // map. server-map-file takes each value from a file, for values with
        // blanks or line ends (a dialog's XML).
        bool const from_file = command == "server-map-file";
        std::map<std::string, std::string> map;
        std::string pair;
        while (in >> pair) {
            auto eq = pair.find('=');
            if (eq == std::string::npos)
                return "error usage: " + command + " SID WHO KEY=" + (from_file ? "FILE" : "VALUE") + "...\n";
            std::string value = pair.substr(eq + 1);
            if (from_file && !read_small_file(value, value))
                return "error cannot read " + pair.substr(eq + 1) + "\n";
            map[pair.substr(0, eq)] = value;
        }
        rulo_packet_push(body, map);
    }
    bool sent = false;
    for (int r = 0; r < 2; ++r)
        if (both || r == static_cast<int>(role))
            sent = server_call(*s, static_cast<end_role>(r), body) || sent;
    return sent ? std::string("ok\n") : "error no connection for " + who + " of " + sid + "\n";
}

} // namespace relay
