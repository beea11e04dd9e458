#include "tovan/window/vyn_dialog.h"
#include "tovan/plugins/negotiation.h"
#include "tovan/session/command_log.h"

#include "tovan/config/ini_file.h"
#include "tovan/dialogs/held_keys.h"
#include "tovan/dialogs/message_box.h"
#include "tovan/dialogs/xml_dialog.h"
#include "tovan/lang/translations.h"
#include "tovan/plugins/plugin_def.h"
#include "tovan/plugins/plugin_host.h"
#include "tovan/util/log_message.h"
#include "tovan/window/desk_session.h"
#include "tovan/window/main_window.h"
#include "tovan/window/program_args.h"
#include "tovan/window/window_language.h"

#include "rulo-rpt/net/socket.h"
#include "rulo/clock.h"
#include "rulo/config_store.h"
#include "rulo/errlog.h"
#include "rulo/exception.h"
#include "rulo/netbuf.h"
#include "rulo/packet.h"
#include "rulo/process.h"
#include "rulo/text.h"
#include "rulo/thread.h"
#include "rulo/xfile.h"

#include <QAction>
#include <QApplication>
#include <QBitmap>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QPainter>
#include <QProcess>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <unistd.h>

namespace tovan {

CVYNDialog* CVYNDialog::m_global = nullptr;
CVYNDialog* dlg = nullptr;
CVYNDialog* cvyndialog = nullptr;

void end_process(int code) {
    // _exit runs no destructors: the unpacked plugin files go now.
    plugin_extracted::remove_all();
    close_log_file();
    std::fflush(nullptr);
    ::_exit(code);
}

namespace {

std::optional<std::string> read_whole_file(std::string const& path) {
    try {
        std::string content;
        rulo::get_file(content, path);
        return content;
    } catch (rulo::exception const&) {
        return std::nullopt;
    }
}

std::string role_of(std::string const& exe) {
    if (rulo::ends_with(exe, "client")) return "client";
    if (rulo::ends_with(exe, "desk")) return "desk";
    return {};
}

} // namespace

CVYNDialog::CVYNDialog(QWidget* parent)
    : QDialog(parent, Qt::WindowFlags()), m_connection_memory(std::make_shared<vyn::connection_memory>()) {
    setupUi(this);
    mark_own_window(this);
    m_global = this;
    setAcceptDrops(true);
    cvyndialog = this;

    xstd::set_config_storage("disk:Tovan");

    std::string ini;
    try {
        ini = rulo::expand_filename("conf/VYNConfiguration.ini");
    } catch (rulo::exception const&) {
        ini.clear();
    }
    // A path that does not fit m_ini_path is refused like a missing file.
    if (ini.empty() || ini.size() >= sizeof m_ini_path || !rulo::file_exists(ini)) {
        MessageBox(nullptr, "Failed to read VYNConfiguration.ini !", "Critical error", 0xA00081);
        end_process(1);
    }
    std::memcpy(m_ini_path, ini.c_str(), ini.size() + 1);

    std::string role;
    try {
        role = role_of(rulo::get_exe_path());
    } catch (rulo::exception const&) {
        role.clear();
    }
    if (role.empty()) role = MessageBox(nullptr, "client ?", "client", 0xA00010) == IDYES ? "client" : "desk";
    m_is_client = role == "client";
    std::strcpy(m_ini_section, m_is_client ? "VYNClientLite" : "VYNDeskLite");

    if (!log_is_debug()) {
        m_log_path =
            QDir::currentPath().toStdString() + "/" + (m_is_client ? "VYNClient.out" : "VYNDesk.out");
        open_log_file(m_log_path, std::to_string(rulo::relative_time()));
    }

    // The session, and with it the home of its state, lives as long as the dialog.
    m_session = std::make_unique<desk_session>(*this);
    build_buttons();
    connect_signals();
    // Tab reads the window as it is laid out, row by row; it skips what the
    // look hides. The idle rows come first: the first control of the chain
    // takes the focus when the window shows, and the client types its code.
    QWidget* const reading_order[] = {IDC_CODE,      m_btn_mail,          m_btn_action, m_btn_settings,
                                      m_btn_close,   m_btn_settings1,     m_btn_close1, m_btn_desktop,
                                      m_btn_audio,   m_btn_file_transfer, m_btn_video,  IDC_LOG_OUTPUT,
                                      IDC_CHAT_TEXT, m_btn_send};
    for (std::size_t i = 1; i < std::size(reading_order); ++i)
        setTabOrder(reading_order[i - 1], reading_order[i]);
    // The chat log has no frame to show the focus in: a click gives it the
    // focus (to select), Tab passes it by.
    IDC_LOG_OUTPUT->setFocusPolicy(Qt::ClickFocus);
    // The chat log has no frame to show the focus in: a click gives it the
    // focus (to select), Tab passes it by.
    IDC_LOG_OUTPUT->setFocusPolicy(Qt::ClickFocus);

    fixIDs[0] = {IDC_STATUS_DESCRIPTION, "_IDC_DESCRIPTION_TEXT"};
    fixIDs[1] = {m_btn_action, "_IDC_ACTION"};
    fixIDs[2] = {IDC_STATIC_TEXT, "_IDC_STATIC_TEXT"};
    fixIDs[3] = {nullptr, nullptr};

    if (!OnInitDialog()) end_process(1);
}

CVYNDialog::~CVYNDialog() {
    m_global = nullptr;
}

void CVYNDialog::build_buttons() {
    auto make = [this](char const* name, QRect r) {
        auto* b = new push_button(this);
        b->setObjectName(name);
        b->setGeometry(r);
        return b;
    };
    m_btn_file_transfer = make("IDC_FILE_TRANSFER", {61, 0, 100, 100});
    m_btn_desktop = make("IDC_DESKTOP", {61, 0, 100, 100});
    m_btn_video = make("IDC_VIDEO", {61, 0, 100, 100});
    m_btn_audio = make("IDC_AUDIO", {61, 0, 100, 100});
    m_btn_settings = make("IDC_SETINGS", {175, 187, 38, 38});
    m_btn_action = make("IDC_ACTION", {14, 187, 150, 38});
    m_btn_close = make("IDC_CLOSE", {225, 187, 38, 38});
    m_btn_settings1 = make("IDC_SETINGS1", {13, 8, 38, 38});
    m_btn_send = make("IDC_SEND", {226, 325, 38, 38});
    m_btn_close1 = make("IDC_CLOSE1", {13, 51, 38, 38});
    m_time_text = new QLabel(this);
    m_time_text->setObjectName("IDC_TIME_TEXT");
    m_time_text->setGeometry(100, 186, 115, 18);
    m_time_text->setAlignment(Qt::AlignRight);
    m_time_text->setFont(QFont("Tahoma", 7));
    // The caption ends at its colon in every language ("Session time:"), and
    // the two labels meet edge to edge: the caption stops a blank's width
    // short of the clock, which keeps its whole width, so the window reads
    // "Session time: 00:00:08".
    m_time_text->setIndent(QFontMetrics(m_time_text->font()).horizontalAdvance(' '));
    m_time_text->hide();
    m_time_text2 = new QLabel(this);
    m_time_text2->setObjectName("IDC_TIME_TEXT2");
    m_time_text2->setGeometry(215, 184, 50, 18);
    m_time_text2->setFont(QFont("Tahoma", 7));
    m_time_text2->hide();
    m_btn_mail = make("IDC_MAIL_ICON", {200, 140, 32, 32});
    m_btn_mail->hide();

    QImage sheet = read_image_as(":/images/vyn-client-GUI-A.png", "PNG");
    QImage A1 = sheet.copy(0, 0, 279, 265), A2 = sheet.copy(297, 0, 279, 265),
           A3 = sheet.copy(6, 278, 279, 265), A4 = sheet.copy(296, 277, 279, 265),
           A5 = sheet.copy(599, 1, 279, 578);
    QImage* bg = m_background.image;
    bg[0] = A1.copy(0, 0, 279, 28);
    bg[1] = A3.copy(0, 0, 279, 28);
    // Equal pieces share their pixels (a QImage copies on write), so the
    // window does not keep them twice.
    bg[2] = A4.copy(0, 28, 279, 187);
    bg[3] = bg[2];
    bg[4] = A2.copy(0, 28, 279, 187);
    bg[5] = A5.copy(0, 28, 279, 187);
    bg[6] = A1.copy(0, 215, 279, 43);
    bg[7] = bg[6];
    bg[8] = A5.copy(0, 215, 279, 180);
    bg[9] = bg[8];
    bg[10] = A1.copy(0, 254, 279, 11);
    bg[13] = read_image_as(":/images/indik-blue.png", "PNG");
    bg[14] = read_image_as(":/images/indik-or.png", "PNG");

    QBitmap mask = QBitmap::fromImage(read_image_as(":/images/btns-navig-mask.png", "PNG"));
    m_btn_audio->setBtnMask(mask, 4, 0);
    m_btn_file_transfer->setBtnMask(mask, 4, 1);
    m_btn_video->setBtnMask(mask, 4, 2);
    m_btn_desktop->setBtnMask(mask, 4, 3);
    QImage navig = read_image_as(":/images/btns-navig.png", "PNG");
    for (push_button* b : {m_btn_file_transfer, m_btn_audio, m_btn_video, m_btn_desktop})
        b->setBtnImages(navig, 5);

    QImage icons = read_image_as(":/images/ik-icons.png", "PNG");
    m_btn_settings->setBtnTopImage(icons, 3, 0);
    m_btn_settings1->setBtnTopImage(icons, 3, 0);
    m_btn_send->setBtnTopImage(icons, 3, 1);
    m_btn_close->setBtnTopImage(icons, 3, 2);
    m_btn_close1->setBtnTopImage(icons, 3, 2);
    QImage small = read_image_as(m_is_client ? ":/images/btns-client.png" : ":/images/btns-desk.png", "PNG");
    for (push_button* b : {m_btn_settings, m_btn_close, m_btn_settings1, m_btn_send, m_btn_close1})
        b->setBtnImages(small, 4);
    m_btn_action->setBtnImages(
        read_image_as(m_is_client ? ":/images/btns-client-big.png" : ":/images/btns-desk-big.png", "PNG"), 4);
    m_btn_mail->setBtnSingleImage(read_image_as(":/images/mail.png", "PNG"));
}

void CVYNDialog::connect_signals() {
    connect(m_btn_close, &QPushButton::clicked, this, &CVYNDialog::OnClose);
    connect(m_btn_close1, &QPushButton::clicked, this, &CVYNDialog::OnClose1);
    connect(m_btn_action, &QPushButton::clicked, this, &CVYNDialog::OnAction);
    connect(m_btn_send, &QPushButton::clicked, this, &CVYNDialog::OnSend);
    connect(m_btn_settings, &QPushButton::clicked, this, &CVYNDialog::OnSettings);
    connect(m_btn_settings1, &QPushButton::clicked, this, &CVYNDialog::OnSettings);
    for (push_button* b : {m_btn_file_transfer, m_btn_desktop, m_btn_video, m_btn_audio})
        connect(b, &QPushButton::clicked, this, &CVYNDialog::OnCommand);
    connect(IDC_CODE, &QLineEdit::textChanged, this, &CVYNDialog::idcCodeChanged);
    connect(m_btn_mail, &QPushButton::clicked, this, &CVYNDialog::OnEmail);
    connect(this, &CVYNDialog::emit_OnUpdateMessage, this, &CVYNDialog::OnUpdateMessage,
            Qt::QueuedConnection);
    IDC_LOG_OUTPUT->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(IDC_LOG_OUTPUT, &QWidget::customContextMenuRequested, this, &CVYNDialog::chat_context);
    connect(this, &CVYNDialog::emit_MessageBoxMain, this, &CVYNDialog::MessageBoxMain);
    connect(this, &CVYNDialog::emit_CloseAll, this, &CVYNDialog::CloseAllWindows);
    IDC_CHAT_TEXT->installEventFilter(this);
    IDC_LOG_OUTPUT->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::LinksAccessibleByMouse);
    IDC_LOG_OUTPUT->viewport()->installEventFilter(this);

    IDC_STATUS_DESCRIPTION->setFont(QFont("Tahoma", 7));
    IDC_CODE->setFont(QFont("Tahoma", 12));
    m_btn_action->setFont(QFont("Arial", 10));
    IDC_CHAT_TEXT->setFont(QFont("Tahoma", 8));
    IDC_LOG_OUTPUT->setFont(QFont("Tahoma", 8));
}

bool CVYNDialog::OnInitDialog() {
    create_connection_factory();
    ReadConfiguration();
    ReadCommandLine();
    OnLanguage();
    if (!state().from_wex && !restored_connection()) {
        std::string const xml = GetLanguageDialog("sod_dialog");
        if (!xml.empty()) {
            CXMLDialog startup(this);
            startup.initDialog(xml);
            if (startup.doModal(nullptr) != 1) {
                reject();
                return false;
            }
        }
    }
    LoadLogo();
    LogMessage("check gui");
    LogMessage("num pad");
    create_numpad();
    if (log_is_debug()) tell_plugins_debug_log();

    updateMenus();
    // Every entry keeps its key, so that a change of language reaches it.
    auto keyed_entry = [](QMenu& menu, std::string const& key) {
        QAction* a = menu.addAction(QString());
        set_keyed_text(a, key);
        return a;
    };
    m_context_menu = std::make_unique<QMenu>();
    set_keyed_text(m_language_menu.menuAction(), "Languages");
    set_keyed_text(m_advanced_menu.menuAction(), "Advanced");
    connect(keyed_entry(*m_context_menu, "Log"), &QAction::triggered, this, &CVYNDialog::OnLog);
    m_context_menu->addSeparator();
    m_context_menu->addMenu(&m_language_menu);
    m_context_menu->addMenu(&m_advanced_menu);
    if (m_is_client)
        connect(keyed_entry(*m_context_menu, "Show Touch Pad"), &QAction::triggered, this,
                &CVYNDialog::ShowTouchScreen);
    m_context_menu->addSeparator();
    connect(keyed_entry(*m_context_menu, "Settings"), &QAction::triggered, this, &CVYNDialog::OnSettings);
    m_advanced_menu.addSeparator();
    connect(keyed_entry(m_advanced_menu, "Enable Debug Log"), &QAction::triggered, this,
            &CVYNDialog::EnableDebug);

    if (m_topmost && g_main_window)
        g_main_window->setWindowFlags(g_main_window->windowFlags() | Qt::WindowStaysOnTopHint);
    std::srand(static_cast<unsigned>(std::time(nullptr)));

    QString title = m_is_client ? "Tovan Client" : "Tovan Desk";
    if (!m_title_suffix.isEmpty()) title += " " + m_title_suffix;
    if (g_main_window) g_main_window->setWindowTitle(title);
    setWindowTitle(title);
    if (!m_is_client) IDC_CODE->setReadOnly(true);

    m_cmd_ids.clear();
    m_plugin_menus.clear();
    m_next_cmd_id = 30000;
    m_menu_items.clear();
    m_plugin_separator = false;

    LogMessage("plugin mgr");
    create_plugin_manager();
    IDC_STATIC_TEXT->hide();
    m_plugin_min_versions = {
        {"audio", "2.3"}, {"video", "2.3"}, {"file_transfer", "2.1"}, {"desktop", "1.0"}};
    m_active_mark = m_background.image[13];   // ":/images/indik-blue.png"
    m_disabled_mark = m_background.image[14]; // ":/images/indik-or.png"
    if (!m_is_client)
        m_plugin_buttons = {{"audio", m_btn_audio},
                            {"video", m_btn_video},
                            {"file_transfer", m_btn_file_transfer},
                            {"desktop", m_btn_desktop}};

    LogMessage("Update UI");
    state().layout_dirty = false;
    UpdateVisualLook();
    UpdateWindowSize();
    SetChatMode(false);

    connect(&m_timer, &QTimer::timeout, this, &CVYNDialog::OnTimer);
    m_timer.start(250);

    if (m_is_client || restored_connection()) {
        if (!state().connect_params.empty()) {
            IDC_CODE->setText(QString::fromUtf8(m_code_text.c_str()));
            OnAction();
        } else if (m_is_client && m_touch_pad) {
            ShowTouchScreen();
        }
    } else if (m_get_code) {
        OnAction();
    }
    CorrectPosition();
    LogMessage2(std::string("Starting GUI ") + app_version + " compiled on " + app_rdate);
    return true;
}

std::string CVYNDialog::GetResourcePath(char const* name) const {
    return QCoreApplication::applicationDirPath().toStdString() + "/" + name;
}

void CVYNDialog::ReadConfiguration() {
    LogMessage("reading configuration");
    ini_sections ini;
    std::vector<std::string> skipped;
    std::string error;
    if (!load_ini_file(m_ini_path, ini, &skipped, &error))
        LogMessage2("cannot read the configuration: " + error);
    for (auto const& line : skipped)
        LogMessage2(std::string("skipping a line without a key in ") + m_ini_path + ": " + line);

    std::string const app_dir = QCoreApplication::applicationDirPath().toStdString();
    configuration c = read_configuration(ini, m_ini_section, app_dir, m_proxy_host, m_httpt_port);
    m_language = get_default_language();
    if (!c.default_language.empty()) m_language = c.default_language;
    init_languages();
    m_proxy_host = c.proxy_host;
    if (!c.proxy_host_additional.empty()) m_proxy_host_additional = c.proxy_host_additional;
    m_use_ssl = c.use_ssl;
    m_ca_file = c.ca_file;
    m_cert_file = c.cert_file;
    m_key_file = c.key_file;
    m_key_pass = c.key_pass;
    m_dh_file = c.dh_file;
    m_topmost = c.topmost;
    m_httpt_port = c.httpt_port;
    m_use_https = c.use_https;
    m_use_http = c.use_http;
    if (c.max_packet_size) {
        rulo::socket::g_max_send = *c.max_packet_size;
        rulo::socket::limit_send_buffer(*c.max_packet_size * 3 / 2);
    }
    m_touch_pad = c.touch_pad;
    if (c.debug) switch_log_to_debug(m_log_path);
    // Straight into the option map: the option-string parser would take
    // "&", "#" and "%" in the path for syntax.
    if (!c.logo.empty()) m_app_options["main"]["load"]["logo"] = c.logo;
    LogMessage2(std::string("Setting platform to: ") + app_plat);
    auto branch = read_whole_file("conf/branch.txt");
    m_app_info = app_info(branch ? &*branch : nullptr);
}

void CVYNDialog::ReadCommandLine() {
    command_line_input in;
    in.argv = program_arguments();
    in.is_client = m_is_client;
    in.read_file = read_whole_file;
    in.resolve_path = [](std::string const& path) {
        try {
            return rulo::expand_filename(path);
        } catch (rulo::exception const&) {
            return path;
        }
    };
    for (auto [path, slot] : {std::pair{"conf/cmdline.txt", &in.cmdline_txt},
                              std::pair{"conf_static/custom_cmdline.txt", &in.custom_cmdline_txt}}) {
        // A file that is missing or cannot be read is passed over silently.
        *slot = read_whole_file(path);
        if (*slot)
            rulo::fmt_dbg("CVYNDialog::read_cmdline_from_file")
                .fmt_verbose("checking cmd args in file %1% \"%2%\"", path, vyn::loggable_arguments(**slot));
    }
    command_line c = parse_command_line(in);
    m_args = c.args;
    m_code_file = c.code_file;
    state().auto_close = c.auto_close;
    state().from_wex = c.from_wex;
    m_confirm = c.confirm;
    m_notify_on = false;
    m_get_code = c.get_code;
    if (c.notify_path) {
        m_notify_path = *c.notify_path;
        if (m_notify_file) std::fclose(m_notify_file);
        m_notify_file = std::fopen(m_notify_path.c_str(), "w");
        m_notify_on = m_notify_file != nullptr;
        LogMessage2(m_notify_on ? "Using the specified notification file: " + m_notify_path
                                : "***Error*** Unable to open the specified notification file: " +
                                      m_notify_path + " -> disabling notifications!");
    }
    m_session_message = c.session_message;
    m_proxy_notification = c.proxy_notification;
    if (c.proxy_host) m_proxy_host = *c.proxy_host;
    if (c.httpt_port) m_httpt_port = *c.httpt_port;
    m_title_suffix = QString::fromUtf8(c.title_suffix.c_str());
    m_conn_options = c.conn_options;
    m_force_transport = c.force_transport;
    if (c.mtu) xstd::set_config_string("", "mtu_fix_v", *c.mtu, xstd::storage_memory);
    if (c.touch_pad) m_touch_pad = true;
    if (!c.connect_params.empty()) state().connect_params = c.connect_params;
    if (!c.code_text.empty()) m_code_text = c.code_text;
    if (!c.restore_file.empty()) m_restore_file = c.restore_file;
    m_connection_memory->user = c.user;
    m_connection_memory->password = c.password;
    m_web_login = c.web_login;
    for (auto const& [event, text] : c.options) append_options(event, text);
}

void CVYNDialog::LoadLogo() {
    std::string path;
    try {
        path = rulo::expand_filename("conf_static/logo.bmp");
    } catch (rulo::exception const&) {
    }
    QFile file(QString::fromStdString(path));
    if (path.empty() || !file.open(QIODevice::ReadOnly)) {
        LogMessage("Error opening logo.bmp, skipping.");
        LogMessage("*Error* - unable to set the logo from logo.bmp, continuing without a logo.");
        return;
    }
    QImage img = decode_image(file.readAll(), "BMP");
    if (img.isNull()) {
        LogMessage("Error processing logo.bmp (corrupted file/invalid format/...), skipping.");
        LogMessage("*Error* - unable to set the logo from logo.bmp, continuing without a logo.");
        return;
    }
    if (img.width() > 81 || img.height() > 81)
        img = img.scaled(80, 80, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    IDC_LOGO_ICON->setPixmap(QPixmap::fromImage(img));
}

void CVYNDialog::tell_plugins_debug_log() {
    netbuf packet;
    xstd::packet_push(packet, std::string("debug-log"), true);
    libs_command(packet, "");
}

void CVYNDialog::EnableDebug() {
    if (switch_log_to_debug(m_log_path)) tell_plugins_debug_log();
}

void CVYNDialog::append_options(std::string const& event, std::string const& options) {
    tovan::append_options(m_app_options, event, options);
    // A component other than the main window names a plugin, which the
    // session then wants: the catalogue and the connect step read this set.
    if (!m_session) return;
    auto& components = m_session->state().option_components;
    for (auto const& entry : m_app_options)
        if (entry.first != "main") components.insert(entry.first);
}

bool CVYNDialog::get_main_app_option(std::string const& event, std::string const& key,
                                     std::string* value) const {
    return tovan::get_main_app_option(m_app_options, event, key, value);
}

bool CVYNDialog::check_main_app_option(std::string const& event, std::string const& key,
                                       std::string const& expected) const {
    return tovan::check_main_app_option(m_app_options, event, key, expected);
}

void CVYNDialog::handle_main_app_options(std::string const& event) {
    std::string value;
    if (get_main_app_option(event, "topmost", &value) && g_main_window) {
        bool const wanted = wanted_topmost(value);
        if (wanted != m_topmost) {
            QWidget* w = g_main_window;
            Qt::WindowFlags flags = w->windowFlags();
            flags.setFlag(Qt::WindowStaysOnTopHint, wanted);
            // Changing the flags hides a shown window: show it again where it was.
            bool const shown = w->isVisible();
            QPoint const at = w->pos();
            w->setWindowFlags(flags);
            if (shown) {
                w->move(at);
                w->show();
            }
        }
    }
    if (get_main_app_option(event, "pos", &value)) update_options_position(value);
    if (get_main_app_option(event, "open_url", &value)) {
        try {
            rulo::open_link(value, false);
        } catch (...) {
        }
    }
}

void CVYNDialog::update_options_position(std::string const& where) {
    positionWidgetOnScreen(g_main_window, where);
}

void CVYNDialog::init_languages() {
    LogMessage("verifying languages");
    for (auto const& code : get_languages()) {
        if (code == "-")
            m_language_menu.addSeparator();
        else
            add_language(code, false);
    }
}

void CVYNDialog::add_language(std::string const& code, bool flag) {
    if (!flag && !is_valid_language(code)) return;
    for (auto const& [id, def] : m_languages)
        if (def.code == code && def.flag == flag) return;
    unsigned const id = static_cast<unsigned>(m_languages.size()) + 230;
    std::string name = GetLanguageNativeName(code);
    QAction* a = m_language_menu.addAction(name.empty() ? QString::fromStdString(code)
                                                        : QString::fromUtf8(name.c_str()));
    a->setCheckable(true);
    a->setData(QString::fromStdString(code));
    connect(a, &QAction::triggered, this, &CVYNDialog::OnLanguage);
    m_languages[id] = {code, flag, a};
}

void CVYNDialog::OnLanguage() {
    auto* action = qobject_cast<QAction*>(sender());
    std::string code;
    if (action) {
        code = action->data().toString().toStdString();
        LogMessage2("Changing language to " + code);
    } else {
        code = m_language;
        LogMessage2("Setting language to the detected value: " + code);
    }
    co_language(code);
    SetSelectedLanguage(code);
    for (QAction* a : m_language_menu.actions())
        if (a->isCheckable())
            a->setChecked(action ? a == action : a->data().toString().toStdString() == code);
    RetranslateLanguageStatus(this, nullptr);
    // The menus (the host's entries and every plugin's) and the plugin
    // buttons' tooltips; the first call comes before the menus exist.
    retranslate_menu(m_context_menu.get());
    for (auto const& [path, menu] : m_plugin_menus) retranslate_menu(menu.get());
    retranslate_tips(this);
    LogMessage("updating visual look");
    UpdateVisualLook();
    netbuf update;
    xstd::packet_push(update, std::string("update-language"));
    libs_command(update, "");
    LogMessage("done");
}

bool CVYNDialog::PostNotification(unsigned long a, unsigned long b) {
    if (!m_notify_on || !m_notify_file) return false;
    std::fprintf(m_notify_file, "%d %d\n", static_cast<int>(a), static_cast<int>(b));
    std::fflush(m_notify_file);
    return true;
}

void CVYNDialog::DestroyWindow() {
    // A session's end may still be posting its texts: give it its time.
    if (m_session && !m_session->wait_post(10000))
        LogMessage2("the post of the session's end did not finish");
    ShutdownConnection();
    Sleep(100);
    PostNotification(0, 0);
}

void CVYNDialog::CloseAll() {
    emit emit_CloseAll();
}

void CVYNDialog::CloseAllWindows() {
    QApplication::closeAllWindows();
}

void CVYNDialog::MessageBoxMain(QString text, QString caption, int type) {
    MessageBox(this, text, caption, type);
}

bool CVYNDialog::OnMainClose() {
    return close_program(false);
}

void CVYNDialog::OnClose() {
    close_program(true);
}

bool CVYNDialog::close_program(bool force) {
    vyn::session_state& s = this->state();
    if (s.in_connection && m_confirm && s.state != 3 &&
        MessageBoxU(this, "DO_CLOSE_DISCONNECT", "QUESTION", 0xA00010) != IDYES)
        return false;
    int64_t const state = s.state & 0xF;
    s.auto_close = true;
    if (force) m_force_close = true;
    ShutdownConnection();
    // A running session, or one whose end will show the server's dialog,
    // closes the program when it has ended (auto-close).
    if (state > 5 || (m_session && m_session->state().end_dialog_pending())) return false;
    reject();
    return true;
}

void CVYNDialog::OnClose1() {
    if (m_confirm && (state().state & 0xF) >= 6 &&
        MessageBoxU(this, "DO_DISCONNECT", "QUESTION", 0xA00010) == IDNO)
        return;
    clear_connect_save_file();
    ShutdownConnection();
}

void CVYNDialog::idcCodeChanged(QString const& text) {
    m_session->set_typed_code(text.toUtf8().toStdString());
}

void CVYNDialog::start_new() {
    QProcess::startDetached(QCoreApplication::applicationFilePath(), {});
}

QMenu* CVYNDialog::context_menu_for(QWidget* w) {
    if (w == m_btn_settings || w == m_btn_settings1) return m_context_menu.get();
    m_popup_menu = std::make_unique<QMenu>();
    if (w == IDC_LOG_OUTPUT || (w && w->parentWidget() == IDC_LOG_OUTPUT)) {
        connect(m_popup_menu->addAction(get_lang_string("CLEAR", true, false)), &QAction::triggered, this,
                &CVYNDialog::ClearChat);
        connect(m_popup_menu->addAction(get_lang_string("COPY", true, false)), &QAction::triggered, this,
                &CVYNDialog::CopyChat);
    } else if (w == m_btn_send && !m_is_client && !state().old_peer) {
        connect(m_popup_menu->addAction(get_lang_string("PROXY_LOG", true, false)), &QAction::triggered, this,
                &CVYNDialog::Send2Proxy);
    }
    return m_popup_menu->isEmpty() ? nullptr : m_popup_menu.get();
}

void CVYNDialog::contextMenuEvent(QContextMenuEvent* event) {
    QDialog::contextMenuEvent(event);
    if (QMenu* menu = context_menu_for(childAt(event->pos()))) menu->exec(event->globalPos());
}

void CVYNDialog::keyPressEvent(QKeyEvent* event) {
    // Escape never closes the dialog.
    if (event->key() == Qt::Key_Escape) return;
    QDialog::keyPressEvent(event);
}

} // namespace tovan
