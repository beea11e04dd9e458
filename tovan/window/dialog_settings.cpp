// The settings command: the settings window over this dialog, through
// settings_host. The catalogue and library lists of its information text
// come from the plugin host once it lists them; until then they are empty.
#include "tovan/dialogs/settings_dialog.h"
#include "tovan/lang/translations.h"
#include "tovan/plugins/plugin_host.h"
#include "tovan/util/log_message.h"
#include "tovan/window/desk_session.h"
#include "tovan/window/vyn_dialog.h"

#include "rulo/packet.h"

#include <QAction>

namespace tovan {

namespace {

class dialog_settings_host : public settings_host {
public:
    explicit dialog_settings_host(CVYNDialog& d) : m_d(d) {}

    std::vector<std::string> language_codes() override {
        std::vector<std::string> codes;
        for (auto const& [id, def] : m_d.m_languages)
            if (!def.flag) codes.push_back(def.code);
        return codes;
    }
    std::string selected_language() override { return GetSelectedLanguage(); }
    std::string language_name(std::string const& code) override { return GetLanguageNativeName(code); }
    void choose_language(std::string const& code) override {
        for (QAction* a : m_d.m_language_menu.actions()) {
            if (a->data().toString().toStdString() == code) {
                a->trigger();
                return;
            }
        }
    }
    std::string server() override { return m_d.m_proxy_host; }
    bool debug_log_on() override { return log_is_debug(); }
    void enable_debug_log() override { m_d.EnableDebug(); }
    void show_log() override { m_d.OnLog(); }
    int connection_state() override { return static_cast<int>(m_d.state().state & 15); }
    bool old_peer() override { return m_d.state().old_peer; }
    void queue_command(std::string const& text) override {
        if (m_d.session()) m_d.session()->handle_command(vyn::origin::local, text);
    }
    void send_remote(std::string const& text) override {
        try {
            if (m_d.session()) m_d.session()->send_remote(text);
        } catch (...) {
        }
    }
    std::string translate(std::string const& key) override { return get_utf8_string(key, true, false); }
    std::vector<about_plugin> catalogue() override {
        std::vector<about_plugin> out;
        for (plugin_def const& d : m_d.m_plugin_defs)
            out.push_back({d.get_name(), d.take("visible_name"), d.take("version"), d.take("branch"),
                           d.take("revision"), d.state == plugin_def::state_loaded});
        return out;
    }
    // The loaded top-level libraries, from their information records.
    std::vector<about_plugin> libraries() override {
        std::vector<about_plugin> out;
        for (auto const& [key, lib] : plugin_host::instance().libraries()) {
            if (!lib || lib->handed_over()) continue;
            auto info = lib->get_info();
            out.push_back({info["name"], info["visible_name"], info["version"], info["branch"],
                           info["revision"], false});
        }
        return out;
    }
    void request_plugin_pages(QDialog* dialog) override {
        netbuf packet;
        xstd::packet_push(packet, std::string("show_settings"),
                          static_cast<int64_t>(reinterpret_cast<intptr_t>(dialog)));
        libs_command(packet, "");
    }

private:
    CVYNDialog& m_d;
};

} // namespace

void CVYNDialog::OnSettings() {
    // One view of this dialog for every settings window; the dialog lives to the end.
    static auto* host = new dialog_settings_host(*this);
    auto* settings = new plugin_settings(this, *host);
    settings->show();
}

} // namespace tovan
