#include "tovan/config/command_line.h"

#include "rulo/text.h"
#include "rulo/url.h"

namespace tovan {

namespace {

using string_map = std::map<std::string, std::string>;

string_map option_map(std::string const& text) {
    return rulo::cgi_parse_param(text, '&', '=');
}

// Words of an extra-argument file; with argv_has_connect the "--connect..."
// words and the word after each are dropped.
void append_file_words(std::vector<std::string>& args, std::optional<std::string> const& content,
                       bool argv_has_connect) {
    if (!content) return;
    std::vector<std::string> words;
    rulo::parse_cmdline(*content, words, false);
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (argv_has_connect && rulo::starts_with(words[i], "--connect")) {
            ++i;
            continue;
        }
        args.push_back(words[i]);
    }
}

void preset(command_line& out, std::string const& value, bool is_client) {
    bool const show = value == "fernwickSHOW" || value == "tallowgateSHOW";
    bool const plain = value == "fernwick" || value == "tallowgate";
    if (!show && !plain) return;
    if ((plain && is_client) || (show && !is_client))
        out.options.emplace_back("connect", "desktop?show&control=grant");
    if (show && is_client) out.options.emplace_back("connect", "desktop?view");
    out.options.emplace_back("load", "main?iconize");
    out.options.emplace_back("connect", "main?iconize&expand=manual");
    if (value == "tallowgate" || value == "tallowgateSHOW") {
        out.options.emplace_back("load", "main?sticky&pos=rightbottom(0,0)");
        out.options.emplace_back("connect", "video?stream");
        out.options.emplace_back("connect", "audio?stream");
    }
}

// Returns true when a word matched (and possibly consumed its value).
bool general_option(command_line& out, std::vector<std::string> const& a, std::size_t& i, bool is_client) {
    if (get_arg_value2(a, "--output-file", i, true))
        out.code_file = a[i];
    else if (get_arg_value2(a, "--auto-close", i, false))
        out.auto_close = true;
    else if (get_arg_value2(a, "--vynwex", i, false))
        out.from_wex = true;
    else if (get_arg_value2(a, "--silent", i, false))
        out.confirm = false;
    else if (get_arg_value2(a, "--notification-thread", i, true)) {
    } else if (get_arg_value2(a, "--notification-message", i, true)) {
    } else if (get_arg_value2(a, "--notification-file", i, true))
        out.notify_path = a[i];
    else if (get_arg_value2(a, "--session-message", i, true))
        out.session_message = option_map(a[i]);
    else if (get_arg_value2(a, "--proxy-notification", i, true))
        out.proxy_notification = a[i];
    else if (get_arg_value2(a, "--open-at-end", i, true))
        out.options.emplace_back("disconnect", "main?open_url=" + rulo::urlencode(a[i]));
    else if (get_arg_value2(a, "--proxy-address", i, true))
        out.proxy_host = a[i];
    else if (get_arg_value2(a, "--httpt-port", i, true))
        out.httpt_port = a[i];
    else if (get_arg_value2(a, "--add-title", i, true))
        out.title_suffix = a[i];
    else if (get_arg_value2(a, "--conn-options", i, true))
        out.conn_options = option_map(a[i]);
    else if (get_arg_value2(a, "--force-transport", i, true))
        out.force_transport = a[i];
    else if (get_arg_value2(a, "--mtu", i, true))
        out.mtu = a[i];
    else if (is_client && get_arg_value2(a, "--touch-pad", i, false))
        out.touch_pad = true;
    else
        return false;
    return true;
}

bool connection_option(command_line_input const& in, command_line& out, std::vector<std::string> const& a,
                       std::size_t& i) {
    bool const restore = get_arg_value2(a, "--connect-restore", i, true);
    if (!restore && !in.is_client) return false;
    bool const connect = !restore && get_arg_value2(a, "--connect", i, true);
    bool const file = !restore && !connect && get_arg_value2(a, "--connect-file", i, true);
    if (!restore && !connect && !file) return false;
    std::string text;
    if (connect) {
        text = a[i];
    } else {
        std::string path = a[i];
        if (restore) {
            path = in.resolve_path ? in.resolve_path(path) : path;
            out.restore_file = path;
        }
        if (in.read_file) text = in.read_file(path).value_or(std::string());
    }
    if (text.empty()) return true;
    out.connect_params = option_map(text);
    if (connect && out.connect_params.size() == 1 && out.connect_params.begin()->second.empty()) {
        out.connect_params["code"] = text;
        out.code_text = text;
    }
    if (restore) out.connect_params["__restore_connection__"] = "true";
    auto wex = out.connect_params.find("__started_from_wex__");
    if (wex != out.connect_params.end() && !wex->second.empty()) {
        out.from_wex = true;
        out.connect_params.erase(wex);
    }
    return true;
}

bool desk_option(command_line& out, std::vector<std::string> const& a, std::size_t& i) {
    if (get_arg_value2(a, "--username", i, true))
        out.user = a[i];
    else if (get_arg_value2(a, "--password", i, true))
        out.password = a[i];
    else if (get_arg_value2(a, "--get-code", i, false))
        out.get_code = true;
    else if (get_arg_value2(a, "--web-login", i, true))
        out.web_login = a[i];
    else
        return false;
    return true;
}

} // namespace

bool get_arg_value2(std::vector<std::string> const& args, std::string const& name, std::size_t& index,
                    bool takes_value) {
    if (index >= args.size() || args[index] != name) return false;
    if (!takes_value) return true;
    if (index + 1 >= args.size()) return false;
    ++index;
    return true;
}

command_line parse_command_line(command_line_input const& in) {
    command_line out;
    out.options.emplace_back("load", "pos=center");
    out.args = in.argv;
    bool argv_has_connect = false;
    for (auto const& a : in.argv) argv_has_connect |= rulo::starts_with(a, "--connect");
    append_file_words(out.args, in.cmdline_txt, argv_has_connect);
    append_file_words(out.args, in.custom_cmdline_txt, argv_has_connect);

    auto const& a = out.args;
    for (std::size_t i = 0; i < a.size(); ++i) {
        // Once a check has matched, the word (and a value it consumed) is
        // used up: the later checks do not look at it again.
        if (get_arg_value2(a, "--custom", i, true)) {
            preset(out, a[i], in.is_client);
            continue;
        }
        if (rulo::starts_with(a[i], "--on-") && i + 1 < a.size()) {
            out.options.emplace_back(a[i].substr(5), a[i + 1]);
            ++i;
            continue;
        }
        if (general_option(out, a, i, in.is_client)) continue;
        if (connection_option(in, out, a, i)) continue;
        if (!in.is_client) desk_option(out, a, i);
    }
    return out;
}

} // namespace tovan
