#include "rulo-rpt/http/http_proxy_detect.h"

#include "rulo-rpt/http/http_proxy_detect_detail.h"
#include "rulo-rpt/http/proxy_address.h"

#include "rulo/errlog.h"
#include "rulo/process.h"
#include "rulo/text.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace rulo {

namespace {

char const log_prefix[] = "AutoTransport";

bool is_scheme_char(char c) {
    return is_alnum(c) || c == '+' || c == '-' || c == '.';
}

// Where one item of a setting lies in its text:
//
//   | key "=" | scheme "://" | user-info "@" | host[:port] | ";" next item
//   begin     address         info_begin      info_end      end
//
// key, scheme and user-info are each optional; without user-info, info_begin
// and info_end both sit where the host starts.
struct item_span {
    size_t begin, address, info_begin, info_end, end;
    bool keyed() const { return address != begin; }
    bool has_info() const { return info_end != info_begin; }
};

// The start of the next item that names a proxy (";http=" or ";https="), or
// text.size().
size_t next_proxy_item(std::string const& text, size_t from) {
    size_t const http = text.find(";http=", from);
    size_t const https = text.find(";https=", from);
    return std::min({http, https, text.size()});
}

// The items of a setting, the user-info of each taken out before the text is
// split at ";": user-info may hold ";", "@" and "=" (RFC 3986 allows them),
// a host never does. So an item's user-info runs to its last "@" before the
// next ";http=" or ";https=", and its host from there to the next ";". A
// password holding ";http=" or ";https=" cannot be told from a next item.
std::vector<item_span> split_setting(std::string const& text) {
    std::vector<item_span> items;
    size_t limit = std::string::npos; // the next ";http=" or ";https=" after an item's start
    size_t at = 0;
    while (at < text.size()) {
        item_span item{at, at, at, at, at};
        // A key never holds the separators of an address, so an "=" after one
        // of them belongs to the user-info.
        size_t const eq = text.find('=', at);
        if (eq != std::string::npos && eq < text.find_first_of(":/@;", at)) item.address = eq + 1;
        size_t body = item.address;
        size_t scheme_end = body;
        while (scheme_end < text.size() && is_scheme_char(text[scheme_end])) ++scheme_end;
        if (scheme_end > body && text.compare(scheme_end, 3, "://") == 0) body = scheme_end + 3;
        item.info_begin = item.info_end = body;
        if (limit == std::string::npos || limit < body) limit = next_proxy_item(text, body);
        if (limit > body) {
            size_t const last_at = text.rfind('@', limit - 1);
            if (last_at != std::string::npos && last_at >= body) {
                item.info_end = last_at;
                body = last_at + 1;
            }
        }
        item.end = std::min(text.find(';', body), text.size());
        if (item.end > item.begin) items.push_back(item);
        at = item.end + 1;
    }
    return items;
}

void log_masked(char const* format, std::string const& value) {
    fmt_dbg(log_prefix).fmt_verbose(format, detail::masked_proxy_text(value));
}

void append_item(std::string& setting, char const* key, std::string const& value) {
    if (!setting.empty()) setting += ';';
    setting += key;
    setting += '=';
    setting += value;
}

// value without any "http://", except inside its user-info, which is the
// password's own.
std::string without_http_scheme(std::string const& value) {
    std::string out;
    size_t copied = 0;
    auto strip_up_to = [&](size_t to) {
        std::string part = value.substr(copied, to - copied);
        replace_all(part, "http://", "");
        out += part;
        copied = to;
    };
    for (item_span const& item : split_setting(value)) {
        if (!item.has_info()) continue;
        strip_up_to(item.info_begin);
        out.append(value, item.info_begin, item.info_end - item.info_begin);
        copied = item.info_end;
    }
    strip_up_to(value.size());
    return out;
}

// Reads the desktop's proxy settings into setting, each source only while
// nothing was found, and names the source that gave it. Blocks on the
// desktop commands.
void detect_desktop_setting(std::string& setting, std::string& source) {
    fmt_dbg const log(log_prefix);

    std::string host = get_command_result("gconftool-2 --get /system/http_proxy/host");
    std::string port = get_command_result("gconftool-2 --get /system/http_proxy/port");
    std::string secure_host = get_command_result("gconftool-2 --get /system/proxy/secure_host");
    std::string secure_port = get_command_result("gconftool-2 --get /system/proxy/secure_port");
    if (!host.empty()) {
        log.fmt_verbose("HTTP proxy found in GNOME system settings: %1%:%2%", detail::masked_proxy_text(host),
                        port);
        append_item(setting, "http", port.empty() ? host : host + ":" + port);
    }
    if (!secure_host.empty()) {
        log.fmt_verbose("HTTPS proxy found in GNOME system settings: %1%:%2%",
                        detail::masked_proxy_text(secure_host), secure_port);
        append_item(setting, "https", secure_port.empty() ? secure_host : secure_host + ":" + secure_port);
    }
    source = "GNOME system settings";
    if (!setting.empty()) return;

    std::string http =
        get_command_result("kreadconfig --file kioslaverc --group \"Proxy Settings\" --key httpProxy");
    std::string https =
        get_command_result("kreadconfig --file kioslaverc --group \"Proxy Settings\" --key httpsProxy");
    if (!http.empty()) {
        http = without_http_scheme(http);
        log_masked("HTTP proxy found in KDE system settings: %1%", http);
        append_item(setting, "http", http);
    }
    if (!https.empty()) {
        https = without_http_scheme(https);
        log_masked("HTTPS proxy found in KDE system settings: %1%", https);
        append_item(setting, "https", https);
    }
    source = "KDE system settings";
    if (!setting.empty()) return;

    // One variable for both proxies; the lower-case one first, as other
    // programs read them.
    for (char const* name : {"http_proxy", "HTTP_PROXY"}) {
        char const* env = std::getenv(name);
        std::string value = env ? env : "";
        trim(&value);
        if (value.empty()) continue;
        source = name;
        detail::append_environment_proxy(setting, value);
        return;
    }
}

// An address of a setting read into a found proxy, or refused by name.
found_proxy read_found(std::string const& address, std::string const& name) {
    found_proxy found;
    if (address.empty()) return found;
    proxy_address read;
    address_error const error = parse_proxy_address(address, 8080, read);
    if (error != address_error::none) {
        found.refused = "web proxy " + name + ": " + address_error_text(error);
        return found;
    }
    found.address = read.host_port();
    found.has_account = read.has_account;
    found.user = read.user;
    found.password = read.password;
    return found;
}

} // namespace

namespace detail {

std::string masked_proxy_text(std::string const& text) {
    std::string out;
    size_t copied = 0;
    for (item_span const& item : split_setting(text)) {
        if (!item.has_info()) continue;
        out.append(text, copied, item.info_begin - copied);
        out += "***";
        copied = item.info_end;
    }
    return out.append(text, copied);
}

void resolve_proxy_setting(std::string const& setting, std::string& http, std::string& https) {
    for (item_span const& item : split_setting(setting)) {
        std::string const address = setting.substr(item.address, item.end - item.address);
        // An "=" outside the user-info, or an empty address, names no proxy.
        bool const has_eq =
            setting.find('=', item.address) < item.info_begin || setting.find('=', item.info_end) < item.end;
        if (address.empty() || has_eq) continue;
        if (!item.keyed()) {
            http = address;
            continue;
        }
        std::string const key = setting.substr(item.begin, item.address - 1 - item.begin);
        if (key == "http") http = address;
        if (key == "https") https = address;
    }
    // A setting naming only an HTTPS proxy (GNOME with a secure host alone)
    // leaves http empty here, so that the HTTPS proxy serves both; a setting
    // naming neither is taken whole as the HTTP proxy.
    if (http.empty() && https.empty()) http = setting;
}

void append_environment_proxy(std::string& setting, std::string const& value) {
    // Set but empty counts as unset: "http=;https=" would otherwise resolve
    // to a proxy named by that text.
    std::string const address = without_http_scheme(value);
    if (address.empty()) return;
    log_masked("HTTP proxy found through environment variable: %1%", address);
    append_item(setting, "http", address);
    log_masked("HTTPS proxy found through environment variable: %1%", address);
    append_item(setting, "https", address);
}

} // namespace detail

std::string http_proxy_setting(std::string http, std::string https) {
    if (http == https) return http;
    return "http=" + http + ";https=" + https;
}

std::string add_default_proxy_port(std::string address) {
    if (address.empty() || address.find(':') != std::string::npos) return address;
    return address + ":8080";
}

void http_proxy_detect(bool& from_system, found_proxy& http, found_proxy& https, std::string& pac,
                       std::string /*destination*/, std::string setting, std::string pac_setting,
                       std::string const& setting_name) {
    from_system = false;
    http = https = found_proxy();
    pac = pac_setting;
    trim(&setting); // spaces around an address are no part of it
    if (!setting.empty()) log_masked("custom HTTP proxy [%1%]", setting);
    if (!pac_setting.empty()) log_masked("custom PAC [%1%]", pac_setting);

    std::string source = setting_name;
    if (setting.empty() && pac_setting.empty()) {
        try {
            detect_desktop_setting(setting, source);
        } catch (...) {
            // A failing source ends the detection; what it found so far stays.
        }
        from_system = !setting.empty();
    }

    if (!setting.empty()) {
        log_masked("Resolving HTTP proxy setting: [%1%]", setting);
        std::string http_proxy, https_proxy;
        detail::resolve_proxy_setting(setting, http_proxy, https_proxy);
        http = read_found(http_proxy, source);
        https = read_found(https_proxy, source);
    }

    // A refused proxy stays unused rather than borrowing the other's address.
    if (http.address.empty() && http.refused.empty()) http = https;
    if (https.address.empty() && https.refused.empty()) https = http;
    if (!http.address.empty()) fmt_dbg(log_prefix).fmt_verbose("HTTP proxy: %1%", http.address);
    if (!https.address.empty()) fmt_dbg(log_prefix).fmt_verbose("HTTPS proxy: %1%", https.address);
}

} // namespace rulo
