// The settings window over a fake program: the general page alone, a plugin
// page after one turn of the loop, children that are gone by then, saving
// on OK only, the MTU command by state and peer, and the information text.
#include "rulo/config_store.h"
#include "tovan/dialogs/settings_dialog.h"

#include <QApplication>
#include <QComboBox>
#include <QListWidget>
#include <QPushButton>
#include <QStackedWidget>
#include <QTextBrowser>

#include <gtest/gtest.h>

namespace {

using tovan::about_plugin;

struct fake_host : tovan::settings_host {
    std::vector<std::string> language_codes() override { return {"de", "en"}; }
    std::string selected_language() override { return "en"; }
    std::string language_name(std::string const& code) override {
        return code == "de" ? "Deutsch" : "English";
    }
    void choose_language(std::string const& code) override { chosen = code; }
    std::string server() override { return "relay.example:443"; }
    bool debug_log_on() override { return false; }
    void enable_debug_log() override {}
    void show_log() override {}
    int connection_state() override { return state; }
    bool old_peer() override { return old; }
    void queue_command(std::string const& text) override { queued.push_back(text); }
    void send_remote(std::string const& text) override { sent.push_back(text); }
    std::string translate(std::string const& key) override {
        return key == "SETTINGS_PLUGIN_DEF" ? "[%1% %2% %3% %4%]" : key;
    }
    std::vector<about_plugin> catalogue() override { return {}; }
    std::vector<about_plugin> libraries() override { return {}; }
    void request_plugin_pages(QDialog* dialog) override {
        if (plugin_pages) plugin_pages(dialog);
    }

    std::function<void(QDialog*)> plugin_pages;
    int state = 0;
    bool old = false;
    std::string chosen;
    std::vector<std::string> queued, sent;
};

// A plugin's page: a widget with a save_settings() slot.
class fake_page : public QWidget {
    Q_OBJECT
public:
    explicit fake_page(QWidget* parent, int* saves) : QWidget(parent), m_saves(saves) {
        setWindowTitle("Plugin");
    }
public slots:
    void save_settings() { ++*m_saves; }

private:
    int* m_saves;
};

// A child deleted while it is being made (as a plugin page may be).
class short_lived : public QWidget {
public:
    explicit short_lived(QWidget* parent) : QWidget(parent) { delete new fake_page(parent, nullptr); }
};

void settle() {
    for (int i = 0; i < 3; ++i) QApplication::processEvents();
}

QStringList titles(tovan::plugin_settings& d) {
    QStringList t;
    auto* list = d.findChild<QListWidget*>("IDC_PLUGINS");
    for (int i = 0; i < list->count(); ++i) t << list->item(i)->text();
    return t;
}

TEST(Settings, PagesSavingAndMtu) {
    fake_host host;
    int saves = 0;
    {
        auto* d = new tovan::plugin_settings(nullptr, host);
        settle();
        EXPECT_EQ(titles(*d), QStringList{"GENERAL_SETTINGS"});
        EXPECT_EQ(d->findChild<QListWidget*>("IDC_PLUGINS")->currentRow(), 0);
        EXPECT_EQ(d->findChild<QComboBox*>("IDC_LANGUAGE")->currentText(), "English");
        EXPECT_EQ(d->findChild<QComboBox*>("IDC_MTU_FIX")->currentText(), "Normal");
        delete d;
    }

    host.plugin_pages = [&](QDialog* d) {
        new fake_page(d, &saves);
        new QWidget(d);     // a plain child: no page
        new short_lived(d); // its own child is gone before the loop turns
    };
    auto* d = new tovan::plugin_settings(nullptr, host);
    EXPECT_EQ(titles(*d), QStringList{}); // pages come a turn later
    settle();
    EXPECT_EQ(titles(*d), (QStringList{"GENERAL_SETTINGS", "Plugin"}));
    EXPECT_EQ(d->findChild<QStackedWidget*>("IDC_STACK")->count(), 2);
    QStringList stops; // Tab: the list, the shown page's controls, then OK and Cancel.
    for (QWidget* w = d->nextInFocusChain(); w != d; w = w->nextInFocusChain())
        if (w->isVisibleTo(d) && (w->focusPolicy() & Qt::TabFocus)) stops << w->objectName();
    EXPECT_EQ(stops.join(' ').toStdString(), "IDC_PLUGINS IDC_PROXY_SERVER IDC_LANGUAGE IDC_MTU_FIX "
                                             "IDC_SHOW_LOG IDC_LOG IDC_ABOUT IDC_OK IDC_CANCEL");

    // Cancel saves nothing; OK saves every page once.
    d->findChild<QComboBox*>("IDC_MTU_FIX")->setCurrentIndex(2);
    d->reject();
    EXPECT_EQ(saves, 0);
    EXPECT_TRUE(host.chosen.empty());
    d->findChild<QComboBox*>("IDC_LANGUAGE")->setCurrentIndex(0);
    host.state = 6;
    d->accept();
    EXPECT_EQ(saves, 1);
    EXPECT_EQ(host.chosen, "de");
    EXPECT_EQ(xstd::get_config_string("", "mtu_fix_v"), "2");
    EXPECT_EQ(host.queued, std::vector<std::string>{"adsl_fix 150"});
    EXPECT_EQ(host.sent, std::vector<std::string>{"adsl_fix 150"});
    delete d;

    // An old peer gets nothing sent; not connected, only the value is kept; no choice reads as "0".
    for (auto [state, old, queued, sent] :
         {std::tuple{6, true, 1u, 0u}, std::tuple{5, false, 0u, 0u}, std::tuple{6, false, 1u, 1u}}) {
        host.state = state;
        host.old = old;
        host.queued.clear();
        host.sent.clear();
        tovan::plugin_settings s(nullptr, host);
        settle();
        s.findChild<QComboBox*>("IDC_MTU_FIX")->setCurrentIndex(sent ? -1 : 1);
        s.setAttribute(Qt::WA_DeleteOnClose, false);
        s.accept();
        EXPECT_EQ(host.queued.size(), queued);
        EXPECT_EQ(host.sent, std::vector<std::string>(sent, "adsl_fix normal"));
        EXPECT_EQ(xstd::get_config_string("", "mtu_fix_v"), sent ? "0" : "1");
    }
}

TEST(Settings, InformationText) {
    auto const tr = [](std::string const& key) -> std::string {
        if (key == "SETTINGS_HEADER") return "v%1% %2% %3% r%4% %5%|";
        if (key == "SETTINGS_PLUGIN_DEF") return "[%1% %2% %3% %4%]";
        return "<" + key + ">";
    };
    tovan::build_info const b{"3.3.2", "Dec  9 2026", "19:00:00", "abc123"};
    EXPECT_EQ(tovan::settings_about_html(tr, b, {}, {}), "v3.3.2 Dec  9 2026 19:00:00 rabc123 en|");
    std::vector<about_plugin> const catalogue{{"desktop", "Desk<b>top</b>", "1.0", "main", "7", true},
                                              {"audio", "", "2.3", "", "", false}};
    std::vector<about_plugin> const libraries{{"desktop", "", "1.0", "", "", false},
                                              {"extra", "", "0.1", "", "9", false}};
    EXPECT_EQ(tovan::settings_about_html(tr, b, catalogue, libraries),
              "v3.3.2 Dec  9 2026 19:00:00 rabc123 en|<SETTINGS_PLUGINS_AVAILABLE>"
              "[Desk&lt;b&gt;top&lt;/b&gt; 1.0 <SETTINGS_PLUGIN_LOADED> (main 7)][audio 2.3 ]"
              "<SETTINGS_PLUGINS_LOADED>[extra 0.1 (9)]");
    EXPECT_EQ(tovan::mtu_command("3"), ""); // an unknown stored value sends nothing
}

} // namespace

#include "settings_test.moc"
