// What the configuration file sets, worked out from its sections.
//
// read_configuration is a pure function of the parsed file, the role's
// section and the two directories a path is resolved against; the dialog
// applies the result (send limits, debug log, logo option) at its edge.
#pragma once

#include "tovan/config/ini_file.h"

#include <map>
#include <optional>
#include <string>

namespace tovan {

inline constexpr char app_plat[] = "linux64";
inline constexpr char app_version[] = "3.3.2";
inline constexpr char app_rdate[] = "2014-03-02";

struct configuration {
    std::string default_language; // [Tovan] DefaultLanguage, empty when not set
    std::string proxy_host;
    std::string proxy_host_additional;
    bool use_ssl = false;
    std::string ca_file, cert_file, key_file, key_pass, dh_file;
    bool topmost = true;
    std::string httpt_port;
    bool use_https = false;
    bool use_http = false;
    std::optional<int> max_packet_size; // set only for 51..1399
    bool touch_pad = false;
    bool debug = false;
    std::string logo; // expanded path of LogoImage beside the program
};

// Only the exact text "TRUE" is true.
bool truth_value(std::string const& text);

// MaxPacketSize: the decimal number when it lies in 51..1399, else nothing.
std::optional<int> max_packet_size(std::string const& text);

// A path beside the program: app_dir + "/" + name, expanded; empty when the
// expansion fails.
std::string resource_path(std::string const& app_dir, std::string const& name);

// proxy_host and httpt_port are the values already held (the command line
// of an earlier read may have set them); they are read only while empty.
configuration read_configuration(ini_sections const& ini, std::string const& role_section,
                                 std::string const& app_dir, std::string proxy_host, std::string httpt_port);

// The application information reported to the server: the fixed keys, then
// the pairs of conf/branch.txt (null: no readable file) that do not clash,
// "branch" = "any" when it is empty.
std::map<std::string, std::string> app_info(std::string const* branch_text);

} // namespace tovan
