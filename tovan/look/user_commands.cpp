#include "tovan/look/user_commands.h"

#include "rulo/packet.h"
#include "rulo/url.h"

#include <algorithm>

namespace tovan::look {

std::pair<std::string, std::string> button_plugin(std::string const& name) {
    if (name == "IDC_DESKTOP") return {"desktop", "IDC_DESKTOP"};
    if (name == "IDC_FILE_TRANSFER") return {"file_transfer", "IDC_FILE_TRANSFER"};
    if (name == "IDC_VIDEO") return {"video", ""};
    if (name == "IDC_AUDIO") return {"audio", ""};
    return {};
}

button_action plugin_button(button_input const& in) {
    button_action a;
    // Versions compare as texts, byte by byte, as everywhere between the ends.
    bool const media = in.plugin == "video" || in.plugin == "audio";
    if ((media && in.peer_version < "2.3") || (in.plugin == "file_transfer" && in.peer_version < "2.1")) {
        a.box = "PLUGIN_UNSUPORTED_" + in.plugin;
        return a;
    }
    std::vector<int> usable;
    for (int s : in.catalogue_states)
        if (s != 9) usable.push_back(s);
    if (usable.empty()) {
        a.box = "PLUGIN_DISABLED";
        return a;
    }
    bool const loaded = std::find(usable.begin(), usable.end(), 8) != usable.end();
    if (!loaded && in.wanted) {
        a.box = "PLUGIN_LOADING";
        return a;
    }
    if (in.wanted != in.running) {
        a.box = in.wanted ? "PLUGIN_INIT" : "PLUGIN_DOWN";
        return a;
    }
    bool wanted = in.wanted;
    if (!in.event.empty()) {
        if (in.pinned) {
            a.event = in.event;
            return a;
        }
        a.pending_event = in.event;
        wanted = false;
    }
    a.toggle = true;
    a.new_wanted = !wanted;
    return a;
}

std::string mail_url(std::string const& subject, std::string const& body) {
    std::string url = "MailTo:?" + rulo::cgi_get_param({{"Subject", subject}, {"body", body}});
    for (std::size_t at = url.find('+'); at != std::string::npos; at = url.find('+', at + 3))
        url.replace(at, 1, "%20");
    return url;
}

std::string proxy_log_text(std::string const& typed) {
    return typed.rfind("proxylog", 0) == 0 ? typed : "proxylog :" + typed;
}

std::optional<connect_save_args> parse_connect_save(netbuf packet) {
    connect_save_args a;
    try {
        xstd::packet_pop(packet, a.save);
    } catch (...) {
        return std::nullopt;
    }
    // A packet that ends early keeps the defaults of what is missing.
    try {
        if (!packet.empty()) xstd::packet_pop(packet, a.file);
        if (!packet.empty()) xstd::packet_pop(packet, a.keep);
    } catch (...) {
    }
    if (a.file.empty()) a.file = "connect.dat";
    return a;
}

std::string connect_save_text(std::map<std::string, std::string> const& params) {
    std::string text = rulo::url::add_cgi(rulo::url(""), params).as_string();
    if (!text.empty()) text.erase(0, 1);
    return text;
}

} // namespace tovan::look
