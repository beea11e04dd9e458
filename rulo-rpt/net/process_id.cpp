#include "rulo-rpt/net/process_id.h"

#include "rulo/errlog.h"
#include "rulo/exception.h"
#include "rulo/text.h"
#include "rulo/url.h"

#include <arpa/inet.h>
#include <cstdio>
#include <netdb.h>
#include <sys/socket.h>

namespace rulo {

std::string addr_as_string(unsigned short port) {
    return stringify(port);
}

std::string addr_as_string(unsigned int address) {
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", (address >> 24) & 0xff, (address >> 16) & 0xff,
                  (address >> 8) & 0xff, address & 0xff);
    return text;
}

std::string addr_as_string(tIProcessId const& id) {
    return addr_as_string(id.address) + ":" + addr_as_string(id.port);
}

bool is_ip(std::string const& text) {
    unsigned a, b, c, d;
    return std::sscanf(text.c_str(), "%u.%u.%u.%u", &a, &b, &c, &d) == 4;
}

unsigned int get_iaddr(std::string const& name) {
    unsigned int address = 0;
    if (name.empty() || getAddrFromName(name.c_str(), &address) != 0) throw exception("Unknown host " + name);
    return address;
}

std::string address_error_text(address_error error) {
    switch (error) {
    case address_error::none:
        return {};
    case address_error::too_long:
        return "the address is longer than " + std::to_string(max_address_text);
    case address_error::empty_host:
        return "the host name is empty";
    case address_error::bad_port:
        return "the port is not a number from 1 to 65535";
    }
    return {};
}

bool parse_port(std::string const& text, unsigned short& port) {
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    unsigned long const number = std::stoul(text);
    if (number < 1 || number > 65535) return false;
    port = static_cast<unsigned short>(number);
    return true;
}

address_error parse_host_port(std::string const& address, unsigned short default_port, std::string& host,
                              unsigned short& port) {
    if (address.size() > max_address_text) return address_error::too_long;
    std::string::size_type const colon = address.find(':');
    unsigned short number = default_port;
    if (colon != std::string::npos && !parse_port(address.substr(colon + 1), number))
        return address_error::bad_port;
    if (colon == 0 || address.empty()) return address_error::empty_host;
    host = address.substr(0, colon);
    port = number;
    return address_error::none;
}

tIProcessId get_procid(std::string const& address, unsigned short default_port) {
    fmt_dbg log("AutoTransport");
    std::string host;
    tIProcessId id;
    id.port = default_port;
    // An empty host is the resolver's to refuse, with the name it was given.
    address_error const error = parse_host_port(address, default_port, host, id.port);
    if (error != address_error::none && error != address_error::empty_host)
        throw exception("Bad address [" + address + "]: " + address_error_text(error));
    try {
        id.address = get_iaddr(host);
    } catch (...) {
        log.fmt_verbose("cannot resolve [%1%]", host);
        throw;
    }
    log.fmt_verbose("resolved [%1%/%2%]->[%3%]", address, default_port, addr_as_string(id));
    return id;
}

void get_procid(std::string const& address, std::string& host, std::vector<unsigned short>& ports) {
    std::string::size_type colon = address.find(':');
    if (colon == std::string::npos) throw exception(get_procid_e);
    std::vector<std::string> tokens;
    get_tokens(&tokens, address.substr(colon + 1), " ,");
    if (tokens.empty()) throw exception(get_procid_e);
    std::vector<unsigned short> read;
    for (std::string const& token : tokens) {
        unsigned short port = 0;
        if (!parse_port(token, port))
            throw exception(std::string(get_procid_e) + ": port " + token +
                            " is not a number from 1 to 65535");
        read.push_back(port);
    }
    host = address.substr(0, colon);
    ports.insert(ports.end(), read.begin(), read.end());
}

void unpack_search_params(std::map<std::string, std::string>& options, std::string const& text) {
    try {
        for (auto const& pair : cgi_parse_param(text, '&', '=')) options.insert(pair);
    } catch (...) {
        // the merge ends here; what was added stays
    }
}

void import_connect_options(std::map<std::string, std::string>&) {}

void error_conn_link(std::string const&, long) {}

} // namespace rulo

int getAddrFromName(char const* name, unsigned int* address) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &found) != 0 || !found) return -1;
    *address = ntohl(reinterpret_cast<sockaddr_in const*>(found->ai_addr)->sin_addr.s_addr);
    freeaddrinfo(found);
    return 0;
}
