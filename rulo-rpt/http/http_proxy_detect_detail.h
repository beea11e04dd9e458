// The text handling of proxy detection, apart from the commands and the
// environment it reads: how a setting splits into items, what the log shows of
// it, and what the HTTP_PROXY value adds. Only http_proxy_detect and its tests
// call these.
#pragma once

#include <string>

namespace rulo::detail {

// text with the user-info of every proxy address in it replaced by "***":
// "http=http://bob:pw@p:1;https=q" gives "http=http://***@p:1;https=q".
std::string masked_proxy_text(std::string const& text);

// The HTTP and HTTPS proxies a setting names, before default ports; both
// empty when it names neither.
void resolve_proxy_setting(std::string const& setting, std::string& http, std::string& https);

// Appends the items for a set HTTP_PROXY value (both proxies, without the
// value's "http://") to setting, and logs them masked. An empty value adds
// nothing.
void append_environment_proxy(std::string& setting, std::string const& value);

} // namespace rulo::detail
