// Peer addresses (tIProcessId) and the texts they are written as, and the
// url-encoded option texts that connection settings arrive in.
//
// Parsing is kept apart from name resolution: parse_host_port and the
// host-and-ports form of get_procid are pure functions of their text;
// get_iaddr and the resolving get_procid ask the system's resolver. A port is
// a number from 1 to 65535 written in decimal digits; any other text in its
// place refuses the whole address, so a port is never wrapped or guessed.
// Nothing here keeps state; every function may be called from any thread.
#pragma once

#include "rulo/packet.h"

#include <map>
#include <string>
#include <vector>

// An IPv4 peer: address and port, both in host byte order.
struct tIProcessId {
    tIProcessId() = default;
    tIProcessId(unsigned int address_, unsigned short port_) : address(address_), port(port_) {}
    bool operator==(tIProcessId const& o) const { return address == o.address && port == o.port; }
    bool operator!=(tIProcessId const& o) const { return !(*this == o); }

    unsigned int address = 0;
    unsigned short port = 0;
};

// The address, then the port: the port is read first.
template <>
struct rulo_packet<tIProcessId> {
    template <class Buffer>
    static void push(Buffer& b, tIProcessId const& v) {
        rulo_packet_push(b, v.address, v.port);
    }
    template <class Buffer>
    static void pop(Buffer& b, tIProcessId& v) {
        rulo_packet_pop(b, v.address, v.port);
    }
};

namespace rulo {

// The port in decimal.
std::string addr_as_string(unsigned short port);
// Dotted form, most significant byte first.
std::string addr_as_string(unsigned int address);
// Dotted address, ':' and the port.
std::string addr_as_string(tIProcessId const& id);

// True when the text starts with four numbers joined by dots ("%u.%u.%u.%u"):
// neither the range of the numbers nor what follows them is checked.
bool is_ip(std::string const& text);

// The address of a non-empty name that the resolver knows (IPv4 only);
// otherwise throws "Unknown host " followed by the name.
unsigned int get_iaddr(std::string const& name);

// Why an address text was refused.
enum class address_error { none, too_long, empty_host, bad_port };

// The reason in words, for a message that names the setting first: "the
// port is not a number from 1 to 65535". Empty for none.
std::string address_error_text(address_error error);

// The longest address text that is read; longer ones are refused unread.
constexpr std::size_t max_address_text = 2048;

// True for a port text: decimal digits only, 1 to 65535.
bool parse_port(std::string const& text, unsigned short& port);

// "host" or "host:port": the host before the first ':' and the port after
// it, or default_port when there is no ':'. On a refusal host and port are
// left as they were.
address_error parse_host_port(std::string const& address, unsigned short default_port, std::string& host,
                              unsigned short& port);
// parse_host_port, then the host resolved with get_iaddr (its exception passes
// on). A refused text throws "Bad address [<address>]: " and the reason.
// Logs the lookup under "AutoTransport".
tIProcessId get_procid(std::string const& address, unsigned short default_port);
// "host:port[, port...]": host is the text before the first ':', the ports
// (blanks or commas between them) are appended to ports. No ':' or no port
// throws get_procid_e, a port that parse_port refuses throws get_procid_e,
// ": port <text> is not a number from 1 to 65535"; either leaves host and
// ports as they were. Resolves nothing.
void get_procid(std::string const& address, std::string& host, std::vector<unsigned short>& ports);

// Adds the url-encoded "key=value&..." pairs of text whose keys options does
// not hold yet; present keys keep their values. Never throws: a failure ends
// the merge, keeping what was added.
void unpack_search_params(std::map<std::string, std::string>& options, std::string const& text);
// Connection options from outside the program: none on this platform.
void import_connect_options(std::map<std::string, std::string>& options);
// Where a proxy redirects to: nothing is done with it on this platform.
void error_conn_link(std::string const& location, long code);

} // namespace rulo

// The resolver's first IPv4 address of name, in host order: 0 and *address,
// or -1 when the lookup fails.
int getAddrFromName(char const* name, unsigned int* address);
