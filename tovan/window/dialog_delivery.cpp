// The dialog's side of plugin delivery: the server's catalogue into the
// dialog's definitions, the download manager over the downloads on
// "PLUGINS" (the connector makes the downloader with the sink given here),
// the plugins' translations, the progress window, the report of this end's
// progress to the peer and the network test. The logic is in tovan/plugins/.
#include "tovan/plugins/catalogue.h"
#include "tovan/plugins/download_table.h"
#include "tovan/plugins/negotiation.h"
#include "tovan/plugins/plugin_host.h"
#include "tovan/plugins/plugin_manager.h"
#include "tovan/plugins/plugin_translations.h"
#include "tovan/util/log_message.h"
#include "tovan/window/desk_session.h"
#include "tovan/window/plugin_manager_window.h"
#include "tovan/window/push_button.h"
#include "tovan/window/vyn_dialog.h"
#include "tovan/window/window_language.h"

#include "rulo/errlog.h"
#include "rulo/exception.h"
#include "rulo/text.h"

#include <QMetaObject>

namespace tovan {

namespace {

// What the download manager asks of the dialog: GUI thread, except post()
// and translations_finish() (a checker thread), which touch no widget.
class dialog_manager_host : public plugin_manager_host {
public:
    dialog_manager_host(CVYNDialog& d, plugin_translations& t) : m_dialog(d), m_translations(t) {}

    std::vector<plugin_def>& plugin_defs() override { return m_dialog.m_plugin_defs; }
    bool is_client() const override { return m_dialog.m_is_client; }
    bool has_network() override { return m_dialog.has_network(); }
    bool is_loaded(std::string const& name) override {
        return bool(plugin_host::instance().library_of(name));
    }
    void send_download_status(std::int64_t total, std::int64_t done) override {
        m_dialog.send_download_status(static_cast<int>(total), static_cast<int>(done));
    }
    void handle_command(std::string const& text) override {
        if (desk_session* s = m_dialog.session()) s->handle_command(vyn::origin::local, text);
    }
    void enable_plugin_button(std::string const& name, bool on) override {
        m_dialog.enable_plugin_button(name, on);
    }
    void log(std::string const& text) override { LogMessage2(text); }
    void message_box(std::string const& text, std::string const& caption) override {
        m_dialog.MsgBoxInMain(QString::fromUtf8(text.c_str()), QString::fromUtf8(caption.c_str()), 0xa00001);
    }
    void post(std::function<void()> job) override {
        QMetaObject::invokeMethod(&m_dialog, std::move(job), Qt::QueuedConnection);
    }
    void translations_start(plugin_def const& def) override { m_translations.start(rpc(), def); }
    void translations_finish(plugin_def& prepared) override { m_translations.finish(rpc(), prepared); }
    void show_window(bool show) override {
        if (show)
            window()->show();
        else if (m_window)
            m_window->hide();
    }
    void set_bar(int id, int range, int value) override { window()->set_bar(id, range, value); }
    void remove_bar(int id) override {
        if (m_window) m_window->remove_bar(id);
    }
    void set_title() override { window()->setTitle(); }

private:
    translation_rpc rpc() {
        desk_session* s = m_dialog.session();
        return control_translation_rpc(
            [s] { return s ? s->control_client() : rulo::object<vyn::control_rpc>(); });
    }
    plugin_manager_window* window() {
        if (!m_window) m_window = new plugin_manager_window(&m_dialog);
        return m_window;
    }

    CVYNDialog& m_dialog;
    plugin_translations& m_translations;
    plugin_manager_window* m_window = nullptr; // a child of the dialog
};

} // namespace

struct CVYNDialog::plugin_delivery {
    // Download reports count as signs of life for the session's watchdog: a
    // long download on "PLUGINS" may leave the session channel silent.
    explicit plugin_delivery(CVYNDialog& d)
        : table([&d] {
              if (desk_session* s = d.session()) s->stamp_life_sign();
          }),
          translations([](std::string const& line) { LogMessage2(line); }), host(d, translations) {}
    download_table table;
    plugin_translations translations;
    dialog_manager_host host;
};

CVYNDialog::plugin_delivery& CVYNDialog::delivery() {
    if (!m_delivery) m_delivery = std::make_shared<plugin_delivery>(*this);
    return *m_delivery;
}

plugin_translations& CVYNDialog::translation_requests() {
    return delivery().translations;
}

void CVYNDialog::create_plugin_manager() {
    plugin_delivery& d = delivery();
    m_plugin_manager = rulo::make_object(new plugin_manager(d.host, d.table));
}

bool CVYNDialog::has_network() {
    if (!m_session || !m_session->plugin_downloader()) return false;
    rulo::object<vyn::control_rpc> rpc = m_session->control_client();
    if (!rpc) return false;
    try {
        rpc->ping();
        return true;
    } catch (...) {
        return false;
    }
}

void CVYNDialog::stop_plugin_downloads() {
    if (!m_session || !m_session->plugin_downloader()) return;
    if (m_plugin_manager) {
        try {
            m_plugin_manager->cancel_all();
        } catch (...) {
        }
    }
    if (vyn::connector* c = m_session->current()) c->drop_downloader();
}

void CVYNDialog::check_server_plugins() {
    LogMessage2("check_server_plugins");
    negotiation* core = negotiation_core();
    vyn::session_state& s = m_session->state();
    if (core) core->new_catalogue();
    s.wanted_plugins.clear();
    m_plugin_defs.clear();
    delivery().translations.clear();
    catalogue_input in;
    // Unanswered or refused, the list is empty for this attempt: the session
    // goes on without plugins, and the next connect while the catalogue is
    // empty asks again.
    std::string failure;
    try {
        rulo::object<vyn::control_rpc> rpc = m_session->control_client();
        if (!rpc) throw rulo::exception("no control link");
        in.records = rpc->co_get_plugins();
    } catch (vyn::control_rpc::exception const& e) {
        failure = "error " + std::to_string(e.code) + " " + e.text;
    } catch (rulo::exception const& e) {
        failure = e.full();
    }
    if (!failure.empty()) LogMessage2("no plugin list from the server: " + failure);
    auto const flavour = m_app_info.find("flavor");
    if (flavour != m_app_info.end()) in.flavour = flavour->second;
    in.option_components = s.option_components;
    for (auto const& [key, lib] : plugin_host::instance().libraries()) {
        if (lib->handed_over()) continue;
        in.loaded[key] = lib->get_info();
        in.loaded_by_name[lib->name()] = key;
    }
    std::map<std::string, push_button*> buttons = m_plugin_buttons;
    for (auto const& [name, button] : buttons) {
        if (!button) continue;
        button->disableTopImage();
        set_keyed_tip(button, "TIP_" + name);
    }
    catalogue_result result = build_catalogue(in, [](std::string const& line) { LogMessage2(line); });
    m_plugin_defs = std::move(result.defs);
    s.wanted_plugins = std::move(result.wanted);
    if (core) core->new_catalogue(result.forced);
    s.plugins_empty = m_plugin_defs.empty();
    // The buttons of plugins the server did not list.
    for (auto const& [name, button] : buttons)
        if (button && !result.listed.count(name)) enable_plugin_button(name, false);
    for (auto const& [name, wanted] : s.wanted_plugins)
        if (wanted)
            rulo::errlog("check_server_plugins", true).log(0, (rulo::fmt("running %1%") % name).str());
    if (m_plugin_manager) m_plugin_manager->start_downloads();
    update_load_menus();
}

// --- the session's side ---

rulo::object<rulo::SRDownloaderSink> desk_session::download_sink() {
    return rulo::make_object(new download_reader(m_dialog.delivery().table));
}

void desk_session::downloader_ready(rulo::object<rulo::SRDownloader> downloader) {
    m_dialog.delivery().table.set_downloader(downloader ? rulo::make_object(new sr_downloader(downloader))
                                                        : rulo::object<tovan::plugin_downloader>());
}

rulo::object<rulo::SRDownloader> desk_session::plugin_downloader() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_connector ? m_connector->downloader() : rulo::object<rulo::SRDownloader>();
}

void desk_session::check_server_plugins() {
    m_dialog.check_server_plugins();
}

void desk_session::start_downloads() {
    m_dialog.start_plugin_downloads();
}

void desk_session::update_download_status(int64_t total, int64_t done, int id) {
    m_dialog.plugin_download_status(static_cast<int>(total), static_cast<int>(done), id);
}

} // namespace tovan
