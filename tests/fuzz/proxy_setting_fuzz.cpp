// Proxy setting texts from hostile bytes: the user's setting, a bare address
// and the HTTP_PROXY value, resolved through the address parser to the HTTP and
// HTTPS proxies, each host:port with its user-info as the account. No password
// in user-info ever reaches the log, an address or a refusal.
//
// The first input byte picks the form (bits 0-1), an "http://" prefix (bit 2)
// and whether the HTTPS proxy differs (bit 3). In the raw form the rest is the
// setting text; otherwise it is user, password, host and port separated by
// 0xFF bytes.
#include "rulo-rpt/http/http_proxy_detect.h"
#include "rulo-rpt/http/http_proxy_detect_detail.h"
#include "rulo-rpt/http/proxy_address.h"
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
    rulo::found_proxy http, https;
    std::string pac;
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

// A found proxy is a host:port with no user-info left in it, or a refusal.
void check_found(rulo::found_proxy const& f) {
    rulo::proxy_address again;
    check(f.address.empty() ||
          (f.refused.empty() && rulo::parse_proxy_address(f.address, 1, again) == rulo::address_error::none &&
           again.host_port() == f.address));
}

void raw_setting(std::string const& setting) {
    outcome const o = detect(setting);
    check(!o.from_system && o.pac.empty());
    check_found(o.http);
    check_found(o.https);
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
    std::string https_address = address;
    if (form == 1) { // the user's two configured proxies
        if (other_https) https_address = "s.lan:443";
        o = detect(rulo::http_proxy_setting(address, https_address));
    } else if (form == 2) { // a bare address as the setting
        o = detect(address);
    } else { // HTTP_PROXY, whose "http://" goes
        std::string setting;
        rulo::errlog::set_logline_callback_all([](char const* line) { g_log.push_back(line); });
        rulo::detail::append_environment_proxy(setting, address);
        rulo::errlog::set_logline_callback_all(nullptr);
        std::string const bare = user + ":" + password + "@" + host_port;
        check(setting == "http=" + bare + ";https=" + bare);
        o = detect(setting);
    }
    // The parser's own reading of each address is what detection found; no password shows.
    auto expect = [&](rulo::found_proxy const& f, std::string const& text) {
        rulo::proxy_address a;
        if (rulo::parse_proxy_address(text, 8080, a) != rulo::address_error::none)
            return check(f.address.empty() && !f.refused.empty() &&
                         f.refused.find(password) == std::string::npos);
        check(f.address == a.host_port() && f.address.find(password) == std::string::npos &&
              f.user == a.user && f.password == a.password);
    };
    expect(o.http, address);
    expect(o.https, https_address);
    check(!g_log.empty());
    for (std::string const& line : g_log) check(line.find(password) == std::string::npos);
    check(rulo::detail::masked_proxy_text(address).find(password) == std::string::npos);
    return 0;
}
