// The one main dialog of the program: its form, buttons and images, its
// two-stage start-up (constructor, then OnInitDialog), the role it plays,
// its configuration, command line and application options, and its close
// paths.
//
// Ownership: made once by main and never deleted; m_global points at it.
// Threads: everything here runs on the GUI thread; workers reach the dialog
// only through its signals (delivered on the GUI thread) and its session's
// queues. The session's values (state, flags, connect parameters, code, id,
// key, chat) are not kept here: the dialog reads them in its session's
// state (state()), their one home.
#pragma once

#include "tovan/config/app_options.h"
#include "tovan/config/command_line.h"
#include "tovan/config/configuration.h"
#include "tovan/dialogs/vyn_string.h"
#include "tovan/plugins/plugin_def.h"
#include "tovan/plugins/plugin_host.h"
#include "tovan/session/session_state.h"
#include "tovan/window/main_form.h"
#include "tovan/window/push_button.h"

#include "rulo/lock.h"
#include "rulo/netbuf.h"
#include "rulo/object.h"

#include <QDialog>
#include <QImage>
#include <QLabel>
#include <QMenu>
#include <QRegion>
#include <QTimer>
#include <QUrl>

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class QAction;

namespace rulo {
class rptMsg;
class rptSafeChannel;
class rptSRMux;
class SRDownloader;
class thread;
} // namespace rulo

namespace vyn {
struct connection_memory;
} // namespace vyn

namespace tovan {

class desk_session;
// Held by the dialog, made by the parts of the program that own them.
class CNumPad;
class negotiation;
class negotiation_host;
class plugin;
class plugin_manager;
class plugin_translations;

class CVYNDialog : public QDialog, public Ui_IDD_TOVANDIALOG {
    Q_OBJECT
public:
    struct LanguageDef {
        std::string code;
        bool flag = false;
        QAction* action = nullptr;
    };

    explicit CVYNDialog(QWidget* parent);
    ~CVYNDialog() override;

    static CVYNDialog* m_global;

    virtual bool OnInitDialog();
    virtual void DestroyWindow();

    void CloseAll();
    void ReadConfiguration();
    void ReadCommandLine();
    void LoadLogo();
    std::string GetResourcePath(char const* name) const;

    // Application options.
    void append_options(std::string const& event, std::string const& options);
    bool get_main_app_option(std::string const& event, std::string const& key, std::string* value) const;
    bool check_main_app_option(std::string const& event, std::string const& key,
                               std::string const& expected) const;
    void handle_main_app_options(std::string const& event);
    void update_options_position(std::string const& where);

    // Language menu.
    void init_languages();
    void add_language(std::string const& code, bool flag);

    bool PostNotification(unsigned long a, unsigned long b);

    // Chat and system lines; any thread (they touch no widget).
    void AddSystemMessage(std::string const& text, bool send);
    void show_utf8(std::string const& line, bool send, std::string const& who);
    // A box shown later on the GUI thread; any thread.
    void MsgBoxInMain(QString const& text, QString const& caption, int type);
    // The running session: its queue, dispatcher and connector; made by the
    // constructor, so it is there for the dialog's whole life.
    desk_session* session() const { return m_session.get(); }
    // The session's state, the home of the values the dialog shows and acts on.
    vyn::session_state& state() const;

    // The dialog's boxes in its own words: text and caption are translation
    // keys (null: empty); args are not used. GUI thread only.
    static int MessageBoxU(QWidget* parent, char const* text_key, char const* caption_key, int type,
                           std::vector<std::string> const& args = {});
    int MessageBoxU(char const* text_key, char const* caption_key, int type,
                    std::vector<std::string> const& args = {});
    // Applies the status texts of a status number; returns its prefix ("" and
    // nothing done for a number that names no status).
    std::string UpdateSkinNLanguage(int number);
    // Has no effect on this platform.
    void update_buttons(int number);

    // Shut-down, the saved connection, the look and the window's frame.
    // UpdateWindowSize, CorrectPosition and updateMenus are empty on this
    // platform: the window has a fixed size, stays where the window manager
    // puts it (or the "pos" option moves it) and has no menu bar.
    void ShutdownConnection();
    bool restored_connection() const;
    void clear_connect_save_file();
    void UpdateVisualLook();
    void UpdateWindowSize();
    void SetChatMode(bool chat);
    void CorrectPosition();
    void updateMenus();
    void ChooseBackground();
    void co_language(std::string const& code);
    // Tells every plugin library that the log is now the debug log.
    void tell_plugins_debug_log();
    void create_connection_factory();
    void create_plugin_manager();
    void create_numpad();
    // Shows or hides a plugin button ("IDC_DESKTOP", ...) when mask holds
    // the visibility bit; the plugin host's "update-gui-itm".
    void updateDialogItem(std::string const& item, uint64_t mask, uint64_t style);
    // The plugin host's "connect-save": saves or clears the connection file;
    // returns the command's answer (1, or 0 when writing fails and keep is false).
    int connect_save(netbuf const& packet);
    // True when the control link answers a ping (false before a downloader exists).
    bool has_network();

    // Plugins (dialog_plugins.cpp), GUI thread unless noted.
    // Hands the plugin host its services; with TOVAN_TEST_PLUGINS set, the
    // definitions of that directory's libraries (a test fixture).
    void start_plugin_host();
    // Loads every definition without a pin (the test fixture, once shown).
    void load_test_plugins();
    plugin* load_plugin(int index, bool make_pin);
    void NotifyGuiEvent(std::string const& name, std::string const& text);
    void CurrentVideoDock(int dock);
    void NotifyGuiStatus(std::string const& name);
    void NotifyGuiDragDrop(QList<QUrl> const& urls, std::string const& name);
    void send_options_2_plugin(std::string const& name, std::string const& event);
    // A shown chat line to the "recording/data" listeners; any thread.
    void record_chat_line(std::string const& line, std::string const& who);

    // The plugin negotiation between the ends (dialog_negotiation.cpp), GUI
    // thread: made on first use, over the session's state (its wanted table
    // is the one wanted table). Null before the session exists.
    negotiation* negotiation_core();
    // One "module_plugin_" text; direct only for the host command "load-plugin".
    void HandlePluginInit(std::string const& text, bool direct = false);
    // This end's download progress to the peer ("module_plugin_download ").
    void send_download_status(int total, int done);
    // The download manager's start and its progress bars; false without one.
    bool start_plugin_downloads();
    void plugin_download_status(int total, int done, int id);

    // Plugin delivery (dialog_delivery.cpp), GUI thread unless noted: the
    // server's catalogue into m_plugin_defs, the downloads on "PLUGINS" and
    // their progress window.
    void check_server_plugins();
    // The shut-down's step: cancels the running downloads and releases the
    // downloader.
    void stop_plugin_downloads();
    // The downloads' table and its reader (any thread: the sink is the
    // downloader's).
    struct plugin_delivery;
    plugin_delivery& delivery();
    // The plugins' pending translation requests, in the delivery's one table
    // (each of its calls takes the framework lock).
    plugin_translations& translation_requests();

    // Plugin menus and buttons (dialog_menus.cpp), GUI thread. The decisions
    // are tovan/plugins/plugin_menus.h's; these apply them to the widgets.
    // Reserves count ids for owner; the first, or the next free one for a
    // count of 0 or below, or 0xFFFFFFFF when the ids would run out. Any
    // thread ("allocate-command" may come from a plugin's own thread): takes
    // m_cmd_ids_mutex, a leaf.
    uint32_t AllocateCmdID(std::string const& owner, int64_t count);
    // Makes the menu of path (and its parents) exist; with a text, adds an
    // entry and returns its new id, else 0xFFFFFFFF.
    uint32_t AppendToPluginsMenu(std::string const& owner, std::string const& path, std::string const& text,
                                 unsigned long flags);
    bool UpdatePluginMenu(std::string const& path, QAction* action, unsigned long flags);
    // The first entry of path's menu made with text (its data).
    bool UpdatePluginMenu(std::string const& path, std::string const& text, unsigned long flags);
    // 1 when the path was registered: entries opening its menu are taken
    // out and the path forgotten; 0 otherwise.
    int RemoveMenu(std::string const& path);
    void update_load_menus();
    void illuminate_plugin_button(std::string const& name, bool on);
    void enable_plugin_button(std::string const& name, bool enable);
    // A chosen plugin menu entry: a load entry sets its plugin wanted, any
    // other entry goes to its owner as "command-event" with the id.
    void OnPluginMenu(uint32_t id);

signals:
    void emit_OnUpdateMessage();
    void emit_MessageBoxMain(QString lpText, QString lpCaption, int uType);
    void emit_CloseAll();

public slots:
    void OnLog();
    void EnableDebug();
    void MessageBoxMain(QString lpText, QString lpCaption, int uType);
    void CloseAllWindows();
    bool OnMainClose();
    void OnClose();
    void OnClose1();
    void OnAction();
    void OnTimer();
    void OnSend();
    void OnCommand();
    void OnLanguage();
    void OnNormalWnd();
    void OnSettings();
    void OnEmail();
    void OnUpdateMessage();
    void SetNewCode(QString text);
    void appendChatHtml(QString html);
    void idcCodeChanged(QString const& text);
    void ShowTouchScreen();
    void ClearChat();
    void CopyChat();
    void Send2Proxy();
    void start_new();
    void chat_context(QPoint pos);

    // The menu a right click over widget opens (null: none); the chat log's
    // and the send button's menus are made anew each time.
    QMenu* context_menu_for(QWidget* widget);

    // Return in the chat input sends the line; everything else goes on.
    bool eventFilter(QObject* watched, QEvent* event) override;

protected:
    void contextMenuEvent(QContextMenuEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

public:
    push_button* m_btn_file_transfer = nullptr;
    push_button* m_btn_desktop = nullptr;
    push_button* m_btn_video = nullptr;
    push_button* m_btn_audio = nullptr;
    push_button* m_btn_settings = nullptr;
    push_button* m_btn_action = nullptr;
    push_button* m_btn_close = nullptr;
    push_button* m_btn_settings1 = nullptr;
    push_button* m_btn_send = nullptr;
    push_button* m_btn_close1 = nullptr;
    QLabel* m_time_text = nullptr;
    QLabel* m_time_text2 = nullptr;
    push_button* m_btn_mail = nullptr;
    std::map<unsigned, LanguageDef> m_languages;
    std::map<unsigned, std::string> m_cmd_ids;
    std::map<std::string, std::string> m_app_info;
    uint32_t m_next_cmd_id = 0;
    std::vector<plugin_def> m_plugin_defs;
    bool m_is_client = true;
    CNumPad* m_numpad = nullptr;
    bool m_force_close = false;
    int m_notify_thread = 0;
    bool m_notify_on = false;
    std::string m_notify_path;
    std::FILE* m_notify_file = nullptr;
    std::string m_notify_message;
    QString m_title_suffix;
    std::string m_code_file;
    char m_ini_path[1024] = {};
    char m_ini_section[256] = {};
    std::map<std::string, std::string> m_session_message;
    std::map<std::string, std::string> m_plugin_min_versions;
    std::map<std::string, push_button*> m_plugin_buttons;
    std::vector<std::string> m_args;
    std::string m_customization;
    rulo::object<plugin_manager> m_plugin_manager;
    std::string m_language;
    QMenu m_language_menu;
    QMenu m_advanced_menu;
    std::unique_ptr<QMenu> m_context_menu;
    std::unique_ptr<QMenu> m_popup_menu; // the last chat-log or send-button menu
    QString m_pressed_link;              // the chat log's link under the last press
    std::map<std::string, rulo::object<QMenu>> m_plugin_menus;
    std::map<std::string, uint32_t> m_menu_items; // plugin name -> id of its load entry
    QImage m_active_mark, m_disabled_mark;        // a plugin button's top marks
    bool m_plugin_separator = false;              // the plugins menu's line is there
    std::mutex m_cmd_ids_mutex;                   // m_cmd_ids and m_next_cmd_id once plugins run
    QTimer m_timer;
    std::string m_proxy_notification;
    std::string m_force_transport;
    std::map<std::string, std::string> m_conn_options;
    app_options m_app_options;
    std::string m_log_path;
    std::string m_proxy_host;
    std::string m_proxy_host_additional;
    std::string m_httpt_port;
    bool m_use_http = false;
    bool m_use_https = false;
    bool m_use_ssl = false;
    std::string m_ca_file, m_dh_file, m_cert_file, m_key_file, m_key_pass;
    bool m_topmost = false;
    bool m_confirm = true;
    // The log-in, the transport chooser's memory and the configuration
    // mark, kept for the life of the process; every connector shares it.
    std::shared_ptr<vyn::connection_memory> m_connection_memory;
    bool m_get_code = false;
    bool m_touch_pad = false;
    std::string m_restore_file;
    std::string m_web_login;
    vyn_string m_code_text;
    struct background {
        QImage image[15];
        QRegion region;
    } m_background;

private:
    std::unique_ptr<desk_session> m_session;
    std::unique_ptr<host_services> m_plugin_services;
    std::unique_ptr<negotiation_host> m_negotiation_host;
    std::unique_ptr<negotiation> m_negotiation;
    std::shared_ptr<plugin_delivery> m_delivery; // shared: its type is complete only in its own file
    void build_buttons();
    void connect_signals();
    // The close paths: ask, shut the connection down, and close the window
    // now unless the session's end is to close it; true when it closed.
    bool close_program(bool force);
};

// The process's one dialog, for code without a dialog pointer.
extern CVYNDialog* dlg;
extern CVYNDialog* cvyndialog;

// Set when a session is shut down: the look clears the chat log when the
// next session shows. GUI thread.
extern bool g_clear_chat_pending;

// The programs the log command tries, in order (tests replace them).
void set_log_viewers(std::vector<std::string> programs);

// Ends the process with code after flushing the log and standard streams,
// without running static destructors while framework threads still run.
[[noreturn]] void end_process(int code);

} // namespace tovan
