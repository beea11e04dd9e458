// A web proxy's address as people write it, read the same way from every
// source (the user's setting, the desktop's settings, the environment):
//
//   [spaces] ["http://"] [user [":" password] "@"] host [":" port] ["/"...] [spaces]
//
// user and password are percent-decoded and become the proxy's account; the
// host and port are all that any text shows of the proxy. The user-info runs
// to the last "@", so a password may hold "@", ":" and "/" as written.
// A pure function of its text; any thread may call it.
#pragma once

#include "rulo-rpt/net/process_id.h"

#include <string>

namespace rulo {

struct proxy_address {
    std::string host;
    unsigned short port = 0;
    bool has_account = false;   // the text held "user[:password]@"
    std::string user, password; // decoded; empty without an account

    // "host:port": how the proxy is shown and connected to.
    std::string host_port() const;
};

// Reads text into out; on a refusal out is left as it was. An address
// without a port gets default_port. Texts longer than max_address_text are
// refused unread.
address_error parse_proxy_address(std::string const& text, unsigned short default_port, proxy_address& out);

} // namespace rulo
