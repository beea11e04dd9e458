// The plugins menu and the plugin buttons: command ids, load entries, and
// the dialog's menus and buttons as plugins and the host change them.
#include "tovan/dialogs/message_box.h"
#include "tovan/lang/translations.h"
#include "tovan/plugins/host_commands.h"
#include "tovan/plugins/plugin_host.h"
#include "tovan/plugins/plugin_menus.h"
#include "tovan/window/desk_session.h"
#include "tovan/window/main_window.h"
#include "tovan/window/part_mark.h"
#include "tovan/window/program_args.h"
#include "tovan/window/vyn_dialog.h"

#include "rulo/packet.h"

#include <QAction>
#include <QCoreApplication>
#include <QDir>
#include <QMenu>
#include <QTemporaryDir>

#include <fstream>
#include <gtest/gtest.h>
#include <set>
#include <thread>

namespace {

using namespace tovan;

TEST(PluginMenus, CommandIdsAndLoadEntries) {
    std::map<unsigned, std::string> owners;
    uint32_t next = first_command_id;
    // Counts as a plugin's 64-bit value gives them: nothing reserved for 0
    // or below, and never past the last id.
    struct {
        char const* owner;
        int64_t count;
        uint32_t first, next;
    } const steps[] = {{"a", 3, 30000, 30003},
                       {"b", 0, 30003, 30003},
                       {"c", -5, 30003, 30003},
                       {"c", int64_t(1) << 40, no_command_id, 30003},
                       {"d", 1, 30003, 30004}};
    for (auto const& s : steps) {
        EXPECT_EQ(reserve_command_ids(owners, next, s.owner, s.count), s.first) << s.count;
        EXPECT_EQ(next, s.next) << s.count;
    }
    for (auto [id, owner] :
         {std::pair{30000u, "a"}, {30002u, "a"}, {30003u, "d"}, {30004u, ""}, {29999u, ""}})
        EXPECT_EQ(command_owner(owners, next, id), owner) << id;
    next = 0xFFFFFFF0;
    EXPECT_EQ(reserve_command_ids(owners, next, "e", 0x10), no_command_id);
    EXPECT_EQ(next, 0xFFFFFFF0u);
    EXPECT_EQ(reserve_command_ids(owners, next, "e", 0x0F), 0xFFFFFFF0u);
    EXPECT_EQ(next, no_command_id);
    EXPECT_EQ(reserve_command_ids(owners, next, "e", 1), no_command_id);
    EXPECT_EQ(command_owner(owners, next, 0xFFFFFFFE), "e");

    // The first definition of a name counts; buttons' plugins get none.
    std::vector<plugin_def> const catalogue{plugin_def({{"name", "chat"}, {"visible_name", "Chat"}}),
                                            plugin_def({{"name", "desktop"}, {"visible_name", "Desk"}}),
                                            plugin_def({{"name", "notes"}, {"visible_name", "Notes"}}),
                                            plugin_def({{"name", "chat"}, {"visible_name", "Other"}})};
    std::vector<loaded_library> const libraries{{"chat", "Lib"}, {"extra", "Extra"}, {"bare", ""}};
    std::map<std::string, std::string> const buttons{{"desktop", "1.0"}, {"audio", "2.3"}};
    auto const entries = load_entries(catalogue, libraries, {{"chat", true}, {"notes", false}}, buttons);
    std::vector<std::tuple<std::string, std::string, unsigned long>> got;
    for (auto const& e : entries) got.emplace_back(e.name, e.path, e.flags);
    EXPECT_EQ(got, (decltype(got){{"bare", "SETTINGS/bare", 3},
                                  {"chat", "SETTINGS/Chat", 11},
                                  {"extra", "SETTINGS/Extra", 3},
                                  {"notes", "SETTINGS/Notes", 0}}));
}

// The dialog built in a directory of its own, as the program builds it (a
// desk: this binary's name is neither, and the question is answered No).
class PluginMenusInDialog : public ::testing::Test {
protected:
    void SetUp() override {
        old = QDir::currentPath();
        ASSERT_TRUE(QDir::setCurrent(dir.path()));
        QDir().mkpath("conf");
        QDir().mkpath("conf_static");
        std::ofstream("conf/VYNConfiguration.ini") << "[VYNDeskLite]\n";
        set_message_box_responder([](QMessageBox&) { return QMessageBox::No; });
        set_language_table(
            {{"en", {{"generic_LOAD_PLUGIN", "Load"}, {"generic_PLUGIN_DISABLED", "not here"}}}});
        set_program_arguments({"--vynwex"});
        g_main_window = new VYNMainWindow;
        d = new CVYNDialog(nullptr);
        d->start_plugin_host();
    }
    void TearDown() override {
        plugin_host::instance().set_services(nullptr);
        set_message_box_responder(nullptr);
        QDir::setCurrent(old);
    }
    // The entries of a menu as text, submenus as "text>", lines as "-".
    static QStringList texts(QMenu* menu) {
        QStringList out;
        for (QAction* a : menu->actions())
            out << (a->isSeparator() ? "-" : a->text() + (a->menu() ? ">" : ""));
        return out;
    }
    static QAction* entry(QMenu* menu, QString const& text) {
        for (QAction* a : menu->actions())
            if (a->text() == text) return a;
        return nullptr;
    }
    // A host command from a plugin: its verb and arguments packed as the plugin packs them.
    template <class... A>
    int command(std::string const& plugin, A const&... args) {
        netbuf packet;
        xstd::packet_push(packet, args...);
        return handle_plugin_command(*plugin_host::instance().services(), plugin, std::move(packet));
    }

    QTemporaryDir dir;
    QString old;
    CVYNDialog* d = nullptr;
};

TEST_F(PluginMenusInDialog, MenusEntriesAndButtons) {
    QMenu* const plugins = d->m_context_menu.get();
    QStringList const host = texts(plugins);
    EXPECT_EQ(d->AllocateCmdID("p", 3), 30000u);
    // A path under the plugins menu: one line, then a submenu; the flags of
    // a new entry wait for an update.
    EXPECT_EQ(d->AppendToPluginsMenu("q", "SETTINGS/Alpha", "one", 11), 30003u);
    EXPECT_EQ(d->AppendToPluginsMenu("q", "SETTINGS/Beta/Deep", "two", 0), 30004u);
    EXPECT_EQ(d->AppendToPluginsMenu("q", "SETTINGS/Beta", "", 0), no_command_id);
    EXPECT_EQ(texts(plugins), (host + QStringList{"-", "Alpha>", "Beta>"}));
    QMenu* const alpha = entry(plugins, "Alpha")->menu();
    QMenu* const beta = entry(plugins, "Beta")->menu();
    EXPECT_EQ(texts(beta), QStringList{"Deep>"});
    EXPECT_EQ(texts(entry(beta, "Deep")->menu()), QStringList{"two"});
    QAction* const one = entry(alpha, "one");
    ASSERT_TRUE(one && one->isEnabled());

    // Flags: 0 changes nothing but the path is known; 0x8 checks only a
    // checkable entry; unknown paths and texts are no errors.
    EXPECT_TRUE(d->UpdatePluginMenu("SETTINGS/Alpha", std::string("one"), 0));
    EXPECT_TRUE(one->isEnabled());
    one->setCheckable(true);
    EXPECT_TRUE(d->UpdatePluginMenu("SETTINGS/Alpha", one, 8));
    EXPECT_TRUE(one->isChecked() && one->isEnabled());
    EXPECT_TRUE(d->UpdatePluginMenu("SETTINGS/Alpha", std::string("one"), 2));
    EXPECT_FALSE(one->isEnabled());
    EXPECT_FALSE(d->UpdatePluginMenu("SETTINGS/Alpha", std::string("none"), 3));
    EXPECT_FALSE(d->UpdatePluginMenu("Nowhere", std::string("one"), 3));

    // Removal takes out the entries that open the menu, never the host's.
    EXPECT_EQ(d->RemoveMenu("SETTINGS/Beta"), 1);
    EXPECT_EQ(d->RemoveMenu("SETTINGS/Beta"), 0);
    EXPECT_EQ(texts(plugins), (host + QStringList{"-", "Alpha>"}));
    EXPECT_EQ(d->RemoveMenu("SETTINGS"), 1);
    EXPECT_EQ(texts(plugins), (host + QStringList{"-", "Alpha>"}));
    EXPECT_EQ(d->AppendToPluginsMenu("q", "SETTINGS/Gamma", "", 0), no_command_id);
    EXPECT_EQ(texts(plugins), (host + QStringList{"-", "Alpha>", "Gamma>"})) << "one line per dialog";

    // The host commands of a plugin on the GUI thread.
    EXPECT_EQ(command("tpx", std::string("allocate-command"), int64_t(2)), 30005);
    EXPECT_EQ(command("tpx", std::string("allocate-command"), int64_t(-1)), 30007);
    EXPECT_EQ(
        command("tpx", std::string("append-menu"), std::string("Tools"), std::string("Run"), uint64_t(0)),
        30007);
    EXPECT_EQ(texts(d->m_plugin_menus["Tools"].get()), QStringList{"Run"});
    command("tpx", std::string("remove-menu"), std::string("Tools"));
    EXPECT_EQ(d->m_plugin_menus.count("Tools"), 0u);

    // Load entries: a catalogue plugin first enabled, disabled once the
    // rebuild sees it wanted; none for the buttons' plugins. Choosing it
    // wants it and queues the load.
    d->m_plugin_defs = {plugin_def({{"name", "chat"}, {"visible_name", "Chat"}}),
                        plugin_def({{"name", "desktop"}, {"visible_name", "Desk"}})};
    d->session()->state().wanted_plugins = {{"chat", true}};
    d->update_load_menus();
    ASSERT_EQ(d->m_menu_items.count("chat"), 1u);
    EXPECT_EQ(d->m_menu_items.count("desktop"), 0u);
    QAction* const load = entry(d->m_plugin_menus["SETTINGS/Chat"].get(), "Load");
    ASSERT_NE(load, nullptr);
    EXPECT_TRUE(load->isEnabled());
    d->update_load_menus();
    EXPECT_FALSE(load->isEnabled());
    EXPECT_EQ(d->m_menu_items.size(), 1u);
    d->session()->state().wanted_plugins.clear();
    while (d->session()->queue().take()) {
    }
    load->trigger();
    QCoreApplication::processEvents();
    EXPECT_TRUE(d->session()->state().wanted_plugins["chat"]);
    auto queued = d->session()->queue().take();
    ASSERT_TRUE(queued);
    EXPECT_EQ(queued->text, "module_plugin_load");
    d->session()->state().state = 6;
    d->session()->handle_command(vyn::origin::local, "channel_status_stopped");
    QCoreApplication::processEvents();
    EXPECT_TRUE(d->m_plugin_defs.empty());
    d->session()->state().wanted_plugins.clear(); // its entry stays, and now starts nothing
    load->trigger();
    QCoreApplication::processEvents();
    EXPECT_EQ(d->session()->state().wanted_plugins.count("chat"), 0u);

    // Buttons: marks and the disabled tip; enabling changes nothing; names
    // without a button are ignored.
    ASSERT_FALSE(d->m_active_mark.isNull() || d->m_disabled_mark.isNull());
    EXPECT_TRUE(d->m_active_mark == d->m_background.image[13] &&
                d->m_disabled_mark == d->m_background.image[14]);
    push_button* const audio = d->m_plugin_buttons.at("audio");
    QString const tip = audio->toolTip();
    d->enable_plugin_button("audio", true);
    EXPECT_EQ(audio->toolTip(), tip);
    d->enable_plugin_button("audio", false);
    d->enable_plugin_button("audio", true);
    EXPECT_EQ(audio->toolTip(), "not here");
    EXPECT_EQ(audio->top_image(), mark_in_part(d->m_disabled_mark, audio->mask(), audio->size()));
    command("video", std::string("plugin-active"), true);
    push_button* const video = d->m_plugin_buttons.at("video");
    EXPECT_EQ(video->top_image(), mark_in_part(d->m_active_mark, video->mask(), video->size()));
    d->illuminate_plugin_button("video", false);
    EXPECT_TRUE(d->m_plugin_buttons.at("video")->top_image().isNull());
    d->illuminate_plugin_button("chat", true);
    d->enable_plugin_button("chat", false);

    // A language picked in the Languages menu retitles host and plugin entries and the buttons' tips.
    set_language_table({{"en", {}},
                        {"de",
                         {{"generic_Log", "Protokoll"},
                          {"generic_Languages", "Sprachen"},
                          {"generic_LOAD_PLUGIN", "Laden"},
                          {"generic_PLUGIN_DISABLED", "nicht hier"}}}});
    d->add_language("de", false);
    d->m_language_menu.actions().last()->trigger();
    EXPECT_EQ(texts(plugins).mid(0, 3), (QStringList{"Protokoll", "-", "Sprachen>"}));
    EXPECT_EQ(texts(d->m_plugin_menus["SETTINGS/Chat"].get()), QStringList{"Laden"});
    EXPECT_EQ(audio->toolTip(), "nicht hier");
}

// Plugins may ask for ids on their own threads while the GUI thread adds
// entries: every id is handed out once, in one unbroken run.
TEST_F(PluginMenusInDialog, IdsFromPluginThreadsAreUnique) {
    int const threads = 4, each = 300, entries = 100;
    std::vector<std::vector<int>> got(threads);
    std::vector<std::thread> running;
    for (int t = 0; t < threads; ++t)
        running.emplace_back([&, t] {
            for (int i = 0; i < each; ++i)
                got[t].push_back(
                    command("tp" + std::to_string(t), std::string("allocate-command"), int64_t(1)));
        });
    std::set<int> ids;
    for (int i = 0; i < entries; ++i)
        ids.insert(static_cast<int>(d->AppendToPluginsMenu("gui", "SETTINGS/Many", "e", 0)));
    for (auto& t : running) t.join();
    for (auto const& list : got) ids.insert(list.begin(), list.end());
    EXPECT_EQ(ids.size(), size_t(threads * each + entries));
    EXPECT_EQ(*ids.begin(), 30000);
    EXPECT_EQ(*ids.rbegin(), 30000 + threads * each + entries - 1);
}

} // namespace
