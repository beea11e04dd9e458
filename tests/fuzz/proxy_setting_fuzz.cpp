// Proxy setting texts from hostile bytes: the user's setting, a bare address
// and the HTTP_PROXY value, resolved to the HTTP and HTTPS proxies. What a
// setting names keeps its user-info whole, and no password given in
// user-info ever reaches the log.
//
// The first input byte picks the form (bits 0-1), an "http://" prefix (bit 2)
// and whether the HTTPS proxy differs (bit 3). In the raw form the rest is the
// setting text; otherwise it is user, password, host and port separated by
// 0xFF bytes.
#include "rulo-rpt/http/http_proxy_detect.h"
#include "rulo-rpt/http/http_proxy_detect_detail.h"
#include "rulo/errlog.h"
#include "tests/fuzz/fuzz_support.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

using fuzz::check;

namespace {

std::vector<std::string> g_log;

struct outcome {
    bool from_system;
    std::string http, https, pac;
};

// Detection with a custom setting, which runs no command, its log captured.
outcome detect(std::string const& setting) {
    outcome o;
    rulo::errlog::set_logline_callback_all([](char const* line) { g_log.push_back(line); });
    rulo::http_proxy_detect(o.from_system, o.http, o.https, o.pac, "relay.test:443", setting, "");
    rulo::errlog::set_logline_callback_all(nullptr);
    return o;
}

std::string only(std::string const& text, char const* allowed) {
    std::string out;
    for (char c : text)
        if (std::string(allowed).find(c) != std::string::npos) out += c;
    return out;
}

std::vector<std::string> fields(std::string const& text) {
    std::vector<std::string> parts(1);
    for (char c : text) {
        if (c == '\xff')
            parts.emplace_back();
        else
            parts.back() += c;
    }
    parts.resize(4);
    return parts;
}

void raw_setting(std::string const& setting) {
    outcome const o = detect(setting);
    check(!o.from_system && o.pac.empty());
    check(o.http.empty() == setting.empty() && o.https.empty() == setting.empty());
    // Without a ":" an address gets the default port, with one it stays.
    std::string const ported = rulo::add_default_proxy_port(setting);
    check(ported == setting || (setting.find(':') == std::string::npos && ported == setting + ":8080"));
    check(rulo::add_default_proxy_port(ported) == ported);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
    if (size < 1) return 0;
    int const form = data[0] & 3;
    std::string const scheme = data[0] & 4 ? "http://" : "";
    bool const other_https = data[0] & 8;
    std::string const rest = fuzz::bytes(data + 1, size - 1);
    g_log.clear();
    if (form == 0) {
        raw_setting(rest);
        return 0;
    }

    // The password starts with a byte no other part holds, so finding it in
    // the log can only mean it leaked. A NUL would cut the log line short.
    std::vector<std::string> const part = fields(rest);
    std::string const user = only(part[0], "abcdefghijklmnopqrstuvwxyz0123456789._-");
    std::string password = "\x01" + part[1];
    for (char& c : password)
        if (c == '\0') c = '\x02';
    std::string host = only(part[2], "abcdefghijklmnopqrstuvwxyz0123456789.-");
    if (host.empty()) host = "p";
    std::string const port = only(part[3], "0123456789");
    // The one ambiguity of the setting text: such a password cannot be told
    // from the next item.
    if (password.find(";http=") != std::string::npos || password.find(";https=") != std::string::npos)
        return 0;

    std::string const host_port = port.empty() ? host : host + ":" + port;
    std::string const address = scheme + user + ":" + password + "@" + host_port;
    outcome o;
    std::string expected_http = address, expected_https = address;
    if (form == 1) { // the user's two configured proxies
        if (other_https) expected_https = "s.lan:443";
        o = detect(rulo::http_proxy_setting(address, expected_https));
    } else if (form == 2) { // a bare address as the setting
        o = detect(address);
    } else { // HTTP_PROXY, whose "http://" goes
        std::string setting;
        rulo::errlog::set_logline_callback_all([](char const* line) { g_log.push_back(line); });
        rulo::detail::append_environment_proxy(setting, address);
        rulo::errlog::set_logline_callback_all(nullptr);
        expected_http = expected_https = user + ":" + password + "@" + host_port;
        check(setting == "http=" + expected_http + ";https=" + expected_http);
        o = detect(setting);
    }
    check(o.http == expected_http && o.https == expected_https);
    check(!g_log.empty());
    for (std::string const& line : g_log) check(line.find(password) == std::string::npos);
    check(rulo::detail::masked_proxy_text(address).find(password) == std::string::npos);
    return 0;
}
