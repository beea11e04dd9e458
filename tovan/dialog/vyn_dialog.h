// The one main dialog of the program: its form, buttons and images, its
// two-stage start-up (constructor, then OnInitDialog), the role it plays,
// its configuration, command line and application options, and its close
// paths.
//
// Ownership: made once by main and never deleted; m_global points at it.
// Threads: everything here runs on the GUI thread; workers reach the dialog
// only through its signals (delivered on the GUI thread) and the two queues
// under m_cmd_lock and m_chat_lock.
#pragma once

#include "tovan/config/app_options.h"
#include "tovan/config/command_line.h"
#include "tovan/config/configuration.h"
#include "tovan/dialog/main_form.h"
#include "tovan/dialog/push_button.h"
#include "tovan/dialog/vyn_string.h"

#include "rulo/lock.h"

#include <QDialog>
#include <QImage>
#include <QLabel>
#include <QMenu>
#include <QRegion>
#include <QTimer>

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

class QAction;

namespace tovan {

class desk_session;

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
    // The running session: its queue, dispatcher and connector.
    desk_session* session() const { return m_session.get(); }

    // Calls into parts that are not built yet; each does nothing so far.
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

signals:
    void emit_OnUpdateMessage();
    void emit_SetNewCode(QString);
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

protected:
    void contextMenuEvent(QContextMenuEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

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
    QString m_typed_code;
    std::map<unsigned, LanguageDef> m_languages;
    std::map<unsigned, std::string> m_cmd_ids;
    std::map<std::string, std::string> m_app_info;
    uint32_t m_next_cmd_id = 0;
    std::map<std::string, int> m_plugin_channels;
    std::map<int, std::string> m_channel_plugins;
    int64_t m_state = 0;
    uint64_t m_flags = 0;
    bool m_in_connection = false;
    bool m_layout_dirty = false;
    bool m_is_client = true;
    bool m_old_peer = false;
    rulo::rec_mutex m_cmd_lock;
    std::deque<std::string> m_cmd_queue;
    std::deque<std::string> m_chat_queue;
    rulo::rec_mutex m_chat_lock;
    bool m_auto_close = false;
    bool m_force_close = false;
    bool m_notify_on = false;
    std::string m_notify_path;
    std::FILE* m_notify_file = nullptr;
    QString m_title_suffix;
    std::string m_code_file;
    char m_ini_path[1024] = {};
    char m_ini_section[256] = {};
    std::map<std::string, std::string> m_session_message;
    std::map<std::string, std::string> m_plugin_min_versions;
    std::map<std::string, push_button*> m_plugin_buttons;
    std::map<std::string, std::string> m_connect_params;
    std::vector<std::string> m_args;
    std::string m_language;
    QMenu m_language_menu;
    QMenu m_advanced_menu;
    std::unique_ptr<QMenu> m_context_menu;
    std::unique_ptr<QMenu> m_popup_menu; // the last chat-log or send-button menu
    QTimer m_timer;
    std::string m_eos_dialog;
    std::string m_proxy_notification;
    std::string m_force_transport;
    std::map<std::string, std::string> m_conn_options;
    app_options m_app_options;
    std::string m_log_path;
    std::string m_proxy_host;
    std::string m_proxy_host_additional;
    int32_t m_last_plugin_channel = 100;
    std::string m_httpt_port;
    bool m_use_http = false;
    bool m_use_https = false;
    bool m_use_ssl = false;
    std::string m_ca_file, m_dh_file, m_cert_file, m_key_file, m_key_pass;
    bool m_topmost = false;
    bool m_confirm = true;
    bool m_from_wex = false;
    std::string m_user = "";
    std::string m_password = "";
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
    void build_buttons();
    void connect_signals();
};

// The process's one dialog, for code without a dialog pointer.
extern CVYNDialog* dlg;
extern CVYNDialog* cvyndialog;

// Ends the process with code after flushing the log and standard streams,
// without running static destructors while framework threads still run.
[[noreturn]] void end_process(int code);

} // namespace tovan
