#include "rulo-rpt/http/proxy_address.h"

#include "rulo/text.h"
#include "rulo/url.h"

namespace rulo {

std::string proxy_address::host_port() const {
    return host + ":" + std::to_string(port);
}

address_error parse_proxy_address(std::string const& text, unsigned short default_port, proxy_address& out) {
    if (text.size() > max_address_text) return address_error::too_long;
    std::string rest = text;
    trim(&rest);
    if (xstd::lc(rest.substr(0, 7)) == "http://") rest.erase(0, 7);
    while (!rest.empty() && rest.back() == '/') rest.pop_back();

    proxy_address read;
    std::string::size_type const at = rest.rfind('@');
    if (at != std::string::npos) {
        std::string const info = rest.substr(0, at);
        std::string::size_type const colon = info.find(':');
        read.has_account = !info.empty();
        read.user = percentdecode(info.substr(0, colon));
        if (colon != std::string::npos) read.password = percentdecode(info.substr(colon + 1));
        rest.erase(0, at + 1);
        trim(&rest);
    }
    address_error const error = parse_host_port(rest, default_port, read.host, read.port);
    if (error != address_error::none) return error;
    out = std::move(read);
    return address_error::none;
}

} // namespace rulo
