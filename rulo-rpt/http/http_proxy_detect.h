// Finding the web proxies to reach a destination through: the user's own
// setting or PAC address, else the desktop's proxy settings (GNOME, then KDE,
// then the environment's http_proxy or, when that is unset, HTTP_PROXY).
//
// No state is kept between calls, so any thread may call these; detection
// runs desktop commands and blocks until they end. Messages go to the debug
// log under "AutoTransport", with the user and password of a proxy address
// ("user:password@host:port") masked. Every address found is read by
// parse_proxy_address (proxy_address.h): the results hold host:port and, apart,
// the account its user-info named. A password may hold ";", "@" and "=": the
// user-info is taken out of a setting before it is split into items. Only
// ";http=" and ";https=" in a password cannot be told from the start of a
// next item.
#pragma once

#include <string>

namespace rulo {

// The setting text for two configured proxies: http alone when both are
// equal, else "http=<http>;https=<https>".
std::string http_proxy_setting(std::string http, std::string https);

// The address with ":8080" appended unless it is empty or holds a ":".
std::string add_default_proxy_port(std::string address);

// One web proxy as detection found it.
struct found_proxy {
    std::string address;        // "host:port"; empty when none was found or it was refused
    bool has_account = false;   // its address named "user[:password]@"
    std::string user, password; // that account, decoded
    // Why the address found was not used: the setting's name and the reason
    // (never the address's account); empty when nothing was refused.
    std::string refused;
};

// Fills http, https and pac. A given setting or pac_setting is used as it is
// and from_system stays false; with neither, the desktop's settings are read
// (blocking on their commands) and from_system tells whether any was found. A
// setting is an address or items "http=<address>" / "https=<address>" joined
// by ";"; a refusal names a given setting setting_name, a desktop one by its
// source ("GNOME system settings", "KDE system settings", the variable). An
// address without a port gets 8080. Either proxy, when the other is empty and
// not refused, stands for both. destination is not used: no PAC script is
// fetched or evaluated. Never throws for a failing source; what was found
// before the failure is still used.
void http_proxy_detect(bool& from_system, found_proxy& http, found_proxy& https, std::string& pac,
                       std::string destination, std::string setting, std::string pac_setting,
                       std::string const& setting_name = "the proxy setting");

} // namespace rulo
