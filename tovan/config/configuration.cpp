#include "tovan/config/configuration.h"

#include "rulo-rpt/net/process_id.h"
#include "rulo/exception.h"
#include "rulo/text.h"
#include "rulo/xfile.h"

#include <cctype>

namespace tovan {

bool truth_value(std::string const& text) {
    return text == "TRUE";
}

std::optional<int> max_packet_size(std::string const& text) {
    int n = rulo::atoi(text);
    if (n >= 51 && n <= 1399) return n;
    return std::nullopt;
}

std::string resource_path(std::string const& app_dir, std::string const& name) {
    try {
        return rulo::expand_filename(app_dir + "/" + name);
    } catch (rulo::exception const&) {
        return {};
    }
}

configuration read_configuration(ini_sections const& ini, std::string const& role_section,
                                 std::string const& app_dir, std::string proxy_host, std::string httpt_port) {
    configuration c;
    auto role = [&](char const* key) { return ini_value(ini, role_section, key); };
    c.default_language = ini_value(ini, "Tovan", "DefaultLanguage");
    c.proxy_host = std::move(proxy_host);
    if (c.proxy_host.empty()) {
        c.proxy_host = role("ProxyHost");
        c.proxy_host_additional = role("ProxyHostAdditional");
    }
    if (c.proxy_host.empty()) c.proxy_host = role("ProxyServer");
    c.use_ssl = truth_value(role("UseSSL"));
    c.ca_file = resource_path(app_dir, role("CACert"));
    c.cert_file = resource_path(app_dir, role("Cert"));
    c.key_file = resource_path(app_dir, role("PKey"));
    c.key_pass = role("Pass");
    c.dh_file = resource_path(app_dir, "dh.pem");
    c.topmost = role("DisableTopMostWindow") != "TRUE";
    c.httpt_port = std::move(httpt_port);
    if (c.httpt_port.empty()) c.httpt_port = role("TransportHttptPort");
    if (c.httpt_port.empty()) c.httpt_port = "7615";
    c.use_https = truth_value(role("TransportUseHTTPS"));
    c.use_http = truth_value(role("TransportUseHTTP"));
    c.max_packet_size = max_packet_size(role("MaxPacketSize"));
    c.touch_pad = truth_value(role("TouchPad"));
    c.debug = truth_value(role("Debug"));
    std::string logo = role("LogoImage");
    if (logo.empty()) logo = "conf/logo.bmp";
    c.logo = resource_path(app_dir, logo);
    return c;
}

std::map<std::string, std::string> app_info(std::string const* branch_text) {
    std::map<std::string, std::string> info{
        {"platform", app_plat}, {"product", "Tovan"}, {"version", app_version}, {"plugin_interface", "5-7"}};
    if (branch_text) rulo::unpack_search_params(info, *branch_text);
    if (info["branch"].empty()) info["branch"] = "any";
    return info;
}

} // namespace tovan
