// The program's arguments and the two extra-argument files, turned into
// settings.
//
// parse_command_line is pure: the files' contents and a reader for the
// connect files are handed in, and everything it decides comes back in one
// record; the dialog applies it (notification file, the "mtu_fix_v"
// setting, application options) at its edge.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tovan {

struct command_line_input {
    std::vector<std::string> argv;                 // the arguments after the program name
    std::optional<std::string> cmdline_txt;        // conf/cmdline.txt, when readable
    std::optional<std::string> custom_cmdline_txt; // conf_static/custom_cmdline.txt, when readable
    bool is_client = false;
    // Reads a connect or restore file; nothing when it cannot be read.
    std::function<std::optional<std::string>(std::string const& path)> read_file;
    // Resolves a restore file's path once; both its reading and, later, its
    // deletion use the result.
    std::function<std::string(std::string const& path)> resolve_path;
};

struct command_line {
    std::vector<std::string> args;
    std::string code_file = "code_file.vyn";
    bool auto_close = false;
    bool from_wex = false;
    bool confirm = true;
    std::optional<std::string> notify_path;
    std::map<std::string, std::string> session_message;
    std::string proxy_notification;
    std::optional<std::string> proxy_host;
    std::optional<std::string> httpt_port;
    std::string title_suffix; // UTF-8
    std::map<std::string, std::string> conn_options;
    std::string force_transport;
    std::optional<std::string> mtu;
    bool touch_pad = false;
    std::map<std::string, std::string> connect_params;
    std::string code_text;
    std::string restore_file;
    std::string user, password, web_login;
    bool get_code = false;
    // Application options to add, (event, option string), in argument order.
    std::vector<std::pair<std::string, std::string>> options;
};

// True when args[index] is name; with takes_value a following word is also
// needed, and index is advanced to it.
bool get_arg_value2(std::vector<std::string> const& args, std::string const& name, std::size_t& index,
                    bool takes_value);

command_line parse_command_line(command_line_input const& in);

} // namespace tovan
