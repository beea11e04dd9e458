#include "rulo-rpt/http_proxy_detect.h"

#include "rulo/errlog.h"
#include "rulo/process.h"
#include "rulo/text.h"

#include <cstdlib>
#include <vector>

namespace rulo {

namespace {

char const log_prefix[] = "AutoTransport";

bool is_scheme_char(char c) {
    return is_alnum(c) || c == '+' || c == '-' || c == '.';
}

// One item of a setting with its user and password replaced by "***":
// "http=http://user:pw@host:1" gives "http=http://***@host:1". The last "@"
// ends the user-info, so a password holding "@" is hidden whole.
std::string mask_item(std::string const& item) {
    size_t at = item.rfind('@');
    if (at == std::string::npos) return item;
    size_t start = 0;
    // A key before "=" never holds the separators of an address; an "=" after
    // one of them belongs to the password.
    size_t eq = item.find('=');
    if (eq < at && item.find_first_of(":/@", 0) > eq) start = eq + 1;
    size_t scheme_end = item.find("://", start);
    if (scheme_end < at) {
        bool scheme = scheme_end > start;
        for (size_t i = start; i < scheme_end; ++i) scheme = scheme && is_scheme_char(item[i]);
        if (scheme) start = scheme_end + 3;
    }
    return item.substr(0, start) + "***" + item.substr(at);
}

// What log lines show of a setting or address: every ";"-separated item
// masked, so that a password never reaches the log file.
std::string masked(std::string const& text) {
    std::string out;
    size_t from = 0;
    for (;;) {
        size_t end = text.find(';', from);
        out += mask_item(text.substr(from, end == std::string::npos ? std::string::npos : end - from));
        if (end == std::string::npos) return out;
        out += ';';
        from = end + 1;
    }
}

void log_masked(char const* format, std::string const& value) {
    fmt_dbg(log_prefix).fmt_verbose(format, masked(value));
}

void append_item(std::string& setting, char const* key, std::string const& value) {
    if (!setting.empty()) setting += ';';
    setting += key;
    setting += '=';
    setting += value;
}

std::string without_http_scheme(std::string value) {
    replace_all(value, "http://", "");
    return value;
}

// Reads the desktop's proxy settings into setting, each source only while
// nothing was found. Blocks on the desktop commands.
void detect_desktop_setting(std::string& setting) {
    fmt_dbg const log(log_prefix);

    std::string host = get_command_result("gconftool-2 --get /system/http_proxy/host");
    std::string port = get_command_result("gconftool-2 --get /system/http_proxy/port");
    std::string secure_host = get_command_result("gconftool-2 --get /system/proxy/secure_host");
    std::string secure_port = get_command_result("gconftool-2 --get /system/proxy/secure_port");
    if (!host.empty()) {
        log.fmt_verbose("HTTP proxy found in GNOME system settings: %1%:%2%", masked(host), port);
        append_item(setting, "http", port.empty() ? host : host + ":" + port);
    }
    if (!secure_host.empty()) {
        log.fmt_verbose("HTTPS proxy found in GNOME system settings: %1%:%2%", masked(secure_host),
                        secure_port);
        append_item(setting, "https", secure_port.empty() ? secure_host : secure_host + ":" + secure_port);
    }
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
    if (!setting.empty()) return;

    // Only HTTP_PROXY is read, for both proxies. Set but empty counts as unset:
    // "http=;https=" would otherwise resolve to a proxy named by that text.
    char const* env = std::getenv("HTTP_PROXY");
    std::string value = without_http_scheme(env ? env : "");
    if (value.empty()) return;
    log_masked("HTTP proxy found through environment variable: %1%", value);
    append_item(setting, "http", value);
    log_masked("HTTPS proxy found through environment variable: %1%", value);
    append_item(setting, "https", value);
}

// Splits a setting into its two proxies, before default ports.
void resolve_setting(std::string const& setting, std::string& http, std::string& https) {
    for (std::string const& item : xstd::split(";", setting)) {
        size_t eq = item.find('=');
        if (eq == std::string::npos) {
            http = item;
            continue;
        }
        std::string key = item.substr(0, eq);
        std::string value = item.substr(eq + 1);
        // Other keys, a second "=" and empty values name no proxy.
        if (value.empty() || value.find('=') != std::string::npos) continue;
        if (key == "http") http = value;
        if (key == "https") https = value;
    }
    // A setting naming only an HTTPS proxy (GNOME with a secure host alone)
    // leaves http empty here, so that the HTTPS proxy serves both below; a
    // setting naming neither is taken whole as the HTTP proxy.
    if (http.empty() && https.empty()) http = setting;
}

} // namespace

std::string http_proxy_setting(std::string http, std::string https) {
    if (http == https) return http;
    return "http=" + http + ";https=" + https;
}

std::string add_default_proxy_port(std::string address) {
    if (address.empty() || address.find(':') != std::string::npos) return address;
    return address + ":8080";
}

void http_proxy_detect(bool& from_system, std::string& http, std::string& https, std::string& pac,
                       std::string /*destination*/, std::string setting, std::string pac_setting) {
    from_system = false;
    http.clear();
    https.clear();
    pac = pac_setting;
    if (!setting.empty()) log_masked("custom HTTP proxy [%1%]", setting);
    if (!pac_setting.empty()) log_masked("custom PAC [%1%]", pac_setting);

    if (setting.empty() && pac_setting.empty()) {
        try {
            detect_desktop_setting(setting);
        } catch (...) {
            // A failing source ends the detection; what it found so far stays.
        }
        from_system = !setting.empty();
    }

    if (!setting.empty()) {
        log_masked("Resolving HTTP proxy setting: [%1%]", setting);
        std::string http_proxy, https_proxy;
        resolve_setting(setting, http_proxy, https_proxy);
        http = add_default_proxy_port(http_proxy);
        https = add_default_proxy_port(https_proxy);
    }

    if (http.empty()) http = https;
    if (https.empty()) https = http;
    if (!http.empty()) log_masked("HTTP proxy: %1%", http);
    if (!https.empty()) log_masked("HTTPS proxy: %1%", https);
}

} // namespace rulo
