// Server targets: host names that may be patterns, rewritten from what the
// relay tells about itself, and the connection data kept between runs.
//
// A target may hold '*', a label the client makes up; one that starts
// "geo*." asks a DNS load balancer for one server. The relay's replies name
// the server really reached ("Server" field), the client's public address
// ("Public-Ip") and further servers for next time ("Additional"). Two stores
// keep them across runs:
// - the public address, per target family, in the per-key store of the user
//   (key "AutoTransport/Last public IP/" + boost_transport_tgt(target));
// - the additional servers in Qt's settings (organisation "Sepra",
//   application "AutoTransport additional servers", the system's default
//   format), key target + "__" + server name, value an additional text:
//
//     | age (decimal, larger = newer) | ':' | server name | '/' | rest: the further servers |
//
// No state of its own: any thread may call these. save_additional holds one
// lock of its own while it reads, compares and writes an entry, so of two
// threads saving one entry at once the newer stays. Other writers (another
// process, save_my_ip's store) are not ordered; a lost write costs a random
// label or an older server list, never a failure. Nothing here throws for a
// missing or unreadable entry.
#pragma once

#include <string>

namespace xstd {
class http;
}

namespace rulo {

// The family part of a target: with a '*', what follows the first '.' after
// the first '*' (from that '.' on; everything after the '*' when no '.'
// follows); without one, the target itself.
std::string boost_transport_tgt(std::string target);

// The public address last reported for the target's family; "" when none.
void save_my_ip(std::string target, std::string address);
std::string my_saved_ip(std::string target);

// The pattern with each '*' replaced by a made-up label: "myip", the saved
// public address of configured as eight letters 'a' + nibble (most
// significant first) and four random letters; or seven random letters when
// configured is empty or has no usable saved address. Never throws for the
// lookup.
std::string expand_star(std::string pattern, std::string configured);

// The server named by a "Server" field: the third blank-separated token of
// three or more, the second of two, else "".
std::string get_server_from_serverfield(std::string field);
std::string get_server_from_serverfield(xstd::http const& message);

// Rewrites target from the server the relay named; true when target changed.
// configured is the target as the user or the options gave it. A configured
// "geo*." pattern with an address for server gives
// "tovan-<address, '.' as '-'>.randip" + configured from its '.' on (always
// reported as a change); otherwise target becomes expand_star(server,
// configured). Logs the new target under "AutoTransport".
bool set_target(std::string& target, std::string configured, std::string server);
// set_target with the server of a "Server" field; false when it names none.
bool set_target_serverfield(std::string& target, std::string configured, std::string field);
bool set_target(std::string& target, std::string configured, xstd::http const& reply);

// When text is an additional text: age and server get its two leading
// parts, text keeps what follows the first '/', true. Otherwise nothing
// changes and the result is false. The age reads as scanf's "%lld" does
// (leading blanks, a sign, digits, anything after them up to the ':').
bool parse_additional(long long& age, std::string& server, std::string& text);

// Takes a received additional text and leaves in additional the list of
// further servers to use: the received one, or the saved one for the same
// target and server when that is newer (the received one is then not
// stored). A text that does not parse is left as it is; with an empty target
// or server, or a target or server name holding '/' or '\', nothing is read
// or stored and additional is the received list: Qt's settings read '/' as a
// group separator and drop leading and doubled ones, so the target
// "/relay.lan" would share, and overwrite, the entry of "relay.lan"; on some
// systems '\' is a separator too.
void save_additional(std::string target, std::string& additional);

} // namespace rulo
