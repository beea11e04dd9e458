#include "tovan/dialogs/settings_model.h"

#include "rulo/text.h"
#include "tovan/config/configuration.h"

#include <QString>

#include <set>

#ifndef TOVAN_REVISION
#define TOVAN_REVISION "unknown"
#endif

namespace tovan {

namespace {

// Names and versions come from the server: text in the HTML, never markup.
std::string html_escaped(std::string const& text) {
    return QString::fromUtf8(text.data(), static_cast<int>(text.size()))
        .toHtmlEscaped()
        .toUtf8()
        .toStdString();
}

std::string line_of(std::function<std::string(std::string const&)> const& translate, about_plugin const& p) {
    std::string line = translate("SETTINGS_PLUGIN_DEF");
    rulo::replace_all(line, "%1%", html_escaped(p.visible_name.empty() ? p.name : p.visible_name));
    rulo::replace_all(line, "%2%", html_escaped(p.version));
    if (p.loaded)
        rulo::replace_all(line, "%3%", translate("SETTINGS_PLUGIN_LOADED"));
    else
        rulo::replace_all(line, "%3% ", "");
    // Built by appends: GCC 12 at -O3 warns (-Wrestrict) about the chained
    // operator+ form of the same text.
    std::string extra;
    if (!p.branch.empty() || !p.revision.empty()) {
        extra += '(';
        extra += html_escaped(p.branch);
        if (!p.branch.empty() && !p.revision.empty()) extra += ' ';
        extra += html_escaped(p.revision);
        extra += ')';
    }
    rulo::replace_all(line, "%4%", extra);
    return line;
}

} // namespace

std::string mtu_command(std::string const& value) {
    for (auto const& c : mtu_choices)
        if (value == c.value) return c.command;
    return {};
}

build_info this_build() {
    return {app_version, __DATE__, __TIME__, TOVAN_REVISION};
}

std::string settings_about_html(std::function<std::string(std::string const&)> const& translate,
                                build_info const& build, std::vector<about_plugin> const& catalogue,
                                std::vector<about_plugin> const& libraries) {
    std::string html = translate("SETTINGS_HEADER");
    rulo::replace_all(html, "%1%", html_escaped(build.version));
    rulo::replace_all(html, "%2%", html_escaped(build.date));
    rulo::replace_all(html, "%3%", html_escaped(build.time));
    rulo::replace_all(html, "%4%", html_escaped(build.revision));
    rulo::replace_all(html, "%5%", "en");
    std::set<std::string> listed;
    if (!catalogue.empty()) html += translate("SETTINGS_PLUGINS_AVAILABLE");
    for (auto const& p : catalogue) {
        html += line_of(translate, p);
        listed.insert(p.name);
    }
    bool first = true;
    for (auto p : libraries) {
        if (listed.count(p.name)) continue;
        if (first) html += translate("SETTINGS_PLUGINS_LOADED");
        first = false;
        p.loaded = false;
        html += line_of(translate, p);
    }
    return html;
}

} // namespace tovan
