// The dialog's session in process: what workers ask of the dialog runs on
// the GUI thread in the order asked, and one command runs at a time (a text
// that arrives while a handler's box is up waits for it).
#include "tovan/dialogs/message_box.h"
#include "tovan/lang/translations.h"
#include "tovan/plugins/negotiation.h"
#include "tovan/plugins/plugin_host.h"
#include "tovan/plugins/plugin_translations.h"
#include "tovan/window/desk_session.h"
#include "tovan/window/main_window.h"
#include "tovan/window/program_args.h"
#include "tovan/window/vyn_dialog.h"

#include "rulo/config_store.h"
#include "rulo/url.h"
#include "tests/support/relay_process.h"
#include "tests/tovan/xvfb_server.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QCoreApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QMimeData>

#include <QScrollBar>
#include <QTemporaryDir>
#include <QTextEdit>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <thread>

using namespace tovan;

namespace {

std::string read_all(std::string const& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Runs the event loop until cond holds; false after limit_s.
template <class F>
bool process_until(F cond, int limit_s = 10) {
    auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds(limit_s);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

class DeskSession : public ::testing::Test {
protected:
    void SetUp() override {
        old = QDir::currentPath();
        ASSERT_TRUE(QDir::setCurrent(dir.path()));
        QDir().mkpath("conf");
        std::ofstream("conf/VYNConfiguration.ini") << "[VYNDeskLite]\n";
        set_program_arguments({"--vynwex"});
        // This binary's name is neither desk nor client: be the desk.
        set_message_box_responder([](QMessageBox&) { return QMessageBox::No; });
        g_main_window = new VYNMainWindow;
        dialog = new CVYNDialog(nullptr);
        session = dialog->session();
    }
    void TearDown() override {
        set_message_box_responder(nullptr);
        QDir::setCurrent(old);
    }
    std::string log() { return read_all(dir.filePath("VYNDesk.out").toStdString()); }

    QTemporaryDir dir;
    QString old;
    CVYNDialog* dialog = nullptr;
    desk_session* session = nullptr;
};

TEST_F(DeskSession, WorkersReachTheDialogOnTheGuiThreadInOrder) {
    std::string const saved = dir.filePath("connect.dat").toStdString();
    std::ofstream(saved) << "sid_string=1%3A2";
    dialog->m_restore_file = saved;
    dialog->state().connect_params["__restore_connection__"] = "true";

    std::thread worker([&] {
        session->clear_connect_save_file();
        session->shutdown_connection();
    });
    worker.join();
    // Nothing ran on the worker: the file is there, no stop was queued.
    EXPECT_TRUE(QFile::exists(QString::fromStdString(saved)));
    EXPECT_EQ(session->queue().size(), 0u);
    EXPECT_TRUE(dialog->restored_connection());

    ASSERT_TRUE(process_until([&] { return log().find("faking force-stop message") != std::string::npos; }));
    EXPECT_FALSE(QFile::exists(QString::fromStdString(saved)));
    EXPECT_FALSE(dialog->restored_connection());
    std::string const text = log();
    EXPECT_LT(text.find("clear session file 0,"), text.find("faking force-stop message"));
    EXPECT_EQ(dialog->state().state, 0);

    // A restored start whose connection fails: the saved file goes first, so
    // the person is shown why.
    std::vector<std::string> boxes;
    set_message_box_responder([&](QMessageBox& box) {
        boxes.push_back(box.text().toStdString());
        return QMessageBox::Ok;
    });
    std::ofstream(saved) << "sid_string=1%3A2";
    dialog->m_restore_file = saved;
    dialog->state().connect_params["__restore_connection__"] = "true";
    std::thread([&] { session->end_connection({"the relay is gone", ""}); }).join();
    ASSERT_TRUE(process_until([&] { return !boxes.empty(); }));
    EXPECT_EQ(boxes, std::vector<std::string>{"the relay is gone"});
    EXPECT_FALSE(QFile::exists(QString::fromStdString(saved)));
    EXPECT_FALSE(dialog->state().in_connection);
}

TEST_F(DeskSession, OnlyTheExactMarkMakesARestoredConnection) {
    struct {
        char const* value; // null: no mark at all
        bool restored;
    } const cases[] = {{"true", true}, {"TRUE", false}, {"1", false}, {"", false}, {nullptr, false}};
    for (auto const& c : cases) {
        dialog->state().connect_params = {{"code", "123456789"}};
        if (c.value) dialog->state().connect_params["__restore_connection__"] = c.value;
        EXPECT_EQ(dialog->restored_connection(), c.restored) << (c.value ? c.value : "(none)");
        EXPECT_EQ(session->restored_connection(), c.restored) << (c.value ? c.value : "(none)");
        // Clearing without a saved file still forgets the mark, and only it.
        dialog->clear_connect_save_file();
        EXPECT_FALSE(dialog->restored_connection());
        EXPECT_EQ(dialog->state().connect_params,
                  (std::map<std::string, std::string>{{"code", "123456789"}}));
    }
}

TEST_F(DeskSession, TextsArrivingDuringABoxWaitForIt) {
    std::vector<int64_t> seen_in_box;
    set_message_box_responder([&](QMessageBox&) {
        // The box's own event loop turns while the user looks at it.
        session->handle_command(vyn::origin::peer, "connection_time 50");
        session->handle_command(vyn::origin::peer, "connection_time 70");
        // The tick's steps do not wait for the box: a retry that is due is asked for.
        session->state().in_connection = true;
        session->state().next_retry_ms = 1;
        dialog->OnTimer();
        for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
        seen_in_box.push_back(session->state().session_seconds);
        return QMessageBox::Ok;
    });
    session->handle_command(vyn::origin::local, "channel_status_invalid_reconnect");
    ASSERT_TRUE(process_until([&] { return session->state().session_seconds == 70; }));
    EXPECT_EQ(seen_in_box, std::vector<int64_t>{0});
    EXPECT_EQ(session->queue().size(), 0u);
    // Both ran, in order, after the box: the larger one last.
    std::string const text = log();
    EXPECT_LT(text.find("new request :connection_time 50"), text.find("new request :connection_time 70"));
    EXPECT_GT(text.find("new request :connection_time 50"), text.find("new request :channel_status_invalid"));
    auto const retry = text.find("new request :channel_start_all");
    ASSERT_NE(retry, std::string::npos);
    EXPECT_GT(retry, text.find("new request :connection_time 70"));
}

int count_of(std::string const& text, std::string const& part) {
    int n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

// A desk saves its session while it waits for the client and leaves without
// telling the server; a start from the saved parameters continues that
// session (continue, not a new create) and shows its code again.
TEST_F(DeskSession, DroppedFilesWaitForTheFileTransferPlugin) {
    // As the window gets a drag: it enters (accepted only with URLs), then drops.
    auto drop = [&](QList<QUrl> const& urls) {
        QMimeData data;
        if (urls.isEmpty())
            data.setText("no files");
        else
            data.setUrls(urls);
        QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(dialog, &enter);
        if (!enter.isAccepted()) return false;
        QDropEvent event(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(dialog, &event);
        return event.isAccepted();
    };
    EXPECT_FALSE(drop({}));
    tovan::negotiation& core = *dialog->negotiation_core();
    EXPECT_FALSE(core.drop_pending());
    EXPECT_TRUE(drop({QUrl::fromLocalFile("/tmp/a b"), QUrl::fromLocalFile("/tmp/\u00e9")}));
    EXPECT_TRUE(core.drop_pending());
    EXPECT_EQ(core.drop_path(), "/tmp/a b*" + QFile::encodeName("/tmp/\u00e9").toStdString());
    EXPECT_TRUE(dialog->session()->state().wanted_plugins["file_transfer"]);
    // A second drop before the plugin comes replaces the first.
    EXPECT_TRUE(drop({QUrl::fromLocalFile("/tmp/c")}));
    EXPECT_EQ(core.drop_path(), "/tmp/c");
    EXPECT_NE(log().find("(drag & drop ft delayed)"), std::string::npos);
}

// The window waits for an end dialog a stop will show; a stop forgets the requests made before it.
TEST_F(DeskSession, CloseWaitsForTheEndDialogAndAStopForgetsItsRequests) {
    translation_rpc const rpc{[](auto&) { return rulo::make_object(new rulo::rpcWrapper::sCall); }, {}};
    for (auto [state, eos, closes] : {std::tuple{5, "d", 0}, {3, "d", 0}, {5, "", 1}, {0, "d", 1}}) {
        dialog->translation_requests().start(rpc, plugin_def({{"name", "tp"}, {"version", "1"}}));
        session->state().eos_dialog = eos;
        session->state().state = state;
        EXPECT_EQ(dialog->OnMainClose(), closes == 1) << state << eos;
        ASSERT_TRUE(process_until([&] { return session->queue().size() == 0; }));
        EXPECT_EQ(dialog->translation_requests().pending("tp_1"), state == 0) << "no session stopped";
    }
    EXPECT_EQ(dialog->findChildren<QDialog*>("IDD_PLUGIN_MANAGER").value(0, dialog)->windowTitle(), "Tovan");
}

// A continued session tells its plugins and drops what waited for a route on the broken link.
TEST_F(DeskSession, AContinuedSessionTellsItsPluginsAndDropsWaitingPackets) {
    setenv("TP_RECORD_DIR", dir.path().toUtf8().constData(), 1);
    dialog->start_plugin_host();
    dialog->m_plugin_defs.emplace_back(plugin_record{{"name", "tp7"}}).library_file = TP_DIR "/tp7.so";
    rulo::object<plugin> const pin = rulo::make_object(dialog->load_plugin(0, true));
    pin->set_connected(true);
    plugin_host::instance().add_pin("tp7", pin);
    session->route_packet(77, netbuf::from_string("early"));
    session->handle_command(vyn::origin::local, "my_intern_reconnect");
    ASSERT_TRUE(process_until([&] { return session->state().state == 3; }));
    EXPECT_NE(read_all(dir.filePath("tp7.rec").toStdString()).find("] command reconnecting-session\n"),
              std::string::npos);
    EXPECT_TRUE(plugin_host::instance().take_unrouted(77).empty());
    plugin_host::instance().reset_for_tests();
    plugin_host::instance().set_services(nullptr);
}

TEST_F(DeskSession, PluginStatusBitsRequestARefreshOnlyWhenTheyChange) {
    EXPECT_FALSE(session->update_flags(0x10, 0)); // clearing bits that are not set
    EXPECT_TRUE(session->update_flags(0, 0x100));
    EXPECT_FALSE(session->update_flags(0, 0x100));
    EXPECT_TRUE(session->update_flags(0x100, 0x2));
    EXPECT_EQ(session->flags(), 0x2u);

    // The send limit's choice is kept in the store, and the next session of
    // the desk asks for it again.
    session->handle_command(vyn::origin::peer, "adsl_fix 150");
    ASSERT_TRUE(process_until([&] { return session->queue().size() == 0; }));
    EXPECT_EQ(xstd::get_config_string("", "mtu_fix_v"), "2");
    session->state().state = 5;
    session->handle_command(vyn::origin::peer, "version 3.3.2");
    ASSERT_TRUE(process_until([&] { return count_of(log(), "new request :adsl_fix 150") == 2; }));
    EXPECT_EQ(session->flags(), 0u) << "a session that comes up starts without the last one's bits";
    session->handle_command(vyn::origin::local, "adsl_fix normal");
    ASSERT_TRUE(process_until([&] { return xstd::get_config_string("", "mtu_fix_v") == "0"; }));
}

TEST_F(DeskSession, SavedConnectionIsContinuedOnRestore) {
    // The relay's certificate is kept per user: a HOME of this test's own.
    std::string const old_home = std::getenv("HOME") ? std::getenv("HOME") : "";
    setenv("HOME", dir.path().toUtf8().constData(), 1);
    struct restore_home {
        std::string home;
        ~restore_home() { setenv("HOME", home.c_str(), 1); }
    } restore{old_home};
    test_support::relay_process relay;
    dialog->m_proxy_host = "127.0.0.1:" + std::to_string(relay.port());
    dialog->m_force_transport = "direct";
    dialog->m_use_ssl = false;
    dialog->m_connection_memory->user = "u";
    dialog->m_connection_memory->password = "p";
    dialog->create_plugin_manager();
    dialog->OnAction();
    ASSERT_TRUE(process_until([&] { return session->current() && session->current()->safe_channel(); }, 60));
    EXPECT_NE(log().find("a new session: plugin downloads get their tries again"), std::string::npos);
    std::string const sid = session->state().ids.get().sid, code = session->state().ids.get().code;
    ASSERT_FALSE(sid.empty());
    // A plugin's question for a program link, answered by the relay.
    EXPECT_EQ(session->program_link({{"b", "x y"}, {"a", "1"}}), "link:a=1&b=x+y");

    // The plugin host's "connect-save" with only its save flag (the packet 54).
    ASSERT_EQ(dialog->connect_save(netbuf::from_string("\x54")), 1);
    std::string const text = read_all(dir.filePath("connect.dat").toStdString());
    struct stat st {};
    ASSERT_EQ(::stat(dir.filePath("connect.dat").toUtf8().constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "it holds the session's key and secrets";
    // Read back by Python's own query parser: the parameters, less the empty ones.
    std::string expected;
    for (auto const& [key, value] : dialog->state().connect_params)
        if (!value.empty()) expected += key + "=" + value + "\n";
    std::string const parsed_by_python = [&] {
        std::string const command =
            // Bytes as bytes: the secrets are binary.
            "python3 -c 'import sys, urllib.parse\nfor k, v in sorted(urllib.parse.parse_qsl("
            "open(sys.argv[1], encoding=\"latin-1\").read(), encoding=\"latin-1\")): "
            "sys.stdout.buffer.write((k + \"=\" + v + \"\\n\").encode(\"latin-1\"))' " +
            dir.filePath("connect.dat").toStdString();
        std::string out;
        if (FILE* f = ::popen(command.c_str(), "r")) {
            char buf[4096];
            for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) out.append(buf, n);
            ::pclose(f);
        }
        return out;
    }();
    EXPECT_EQ(parsed_by_python, expected);
    auto saved = rulo::cgi_parse_param(text, '&', '=');
    EXPECT_EQ(saved["sid_string"], sid) << text;
    EXPECT_EQ(saved["key_string"], session->state().ids.get().key);
    EXPECT_EQ(saved["code"], code);
    for (char const* key : {"desk_private", "secret_local", "secret_remote"})
        EXPECT_FALSE(saved[key].empty()) << key << " in " << text;
    EXPECT_EQ(text.find("=&"), std::string::npos); // empty values are left out
    EXPECT_EQ(dialog->m_restore_file, "connect.dat");

    dialog->ShutdownConnection();
    ASSERT_TRUE(process_until([&] { return dialog->state().state == 0; }, 30));
    // A saved session stays alive on the server.
    for (char const* call : {"\"method\":22", "\"method\":41"})
        EXPECT_EQ(relay.log_text().find(call), std::string::npos) << call;

    // The program itself continues it from the file (on a display of its own).
    {
        namespace fs = std::filesystem;
        fs::path const run = fs::path(dir.path().toStdString()) / "run";
        tovan_test::fill_run_dir(TOVAN_RUN_DIR, run.string(), "tovan_desk");
        fs::copy_file(dir.filePath("connect.dat").toStdString(), run / "connect.dat");
        tovan_test::xvfb_server display(1023, 767);
        int const binds = count_of(relay.log_text(), "\"method\":21");
        setenv("HOME", (run / "home").c_str(), 1);
        pid_t const desk =
            tovan_test::spawn(display.display(), run.string(), (run / "tovan_desk").string(),
                              {"--vynwex", "--proxy-address", dialog->m_proxy_host, "--force-transport",
                               "direct", "--connect-restore", "connect.dat"},
                              (run / "stderr.txt").string());
        setenv("HOME", dir.path().toUtf8().constData(), 1);
        EXPECT_TRUE(process_until([&] { return count_of(relay.log_text(), "\"method\":21") > binds; }, 60))
            << read_all((run / "VYNDesk.out").string());
        EXPECT_NE(relay.wait_log({"\"bind\"", "\"method\":21", sid}), "");
        EXPECT_EQ(count_of(relay.log_text(), "\"event\":\"session\""), 1) << "continued, not made anew";
        ::kill(desk, SIGKILL);
        tovan_test::wait_exit(desk, std::chrono::seconds(10));
    }

    // The next session sends no configuration again, and the language selected now.
    int const configurations = count_of(relay.log_text(), "\"method\":25");
    std::string const language = GetSelectedLanguage();
    SetSelectedLanguage("Deutsch");
    dialog->state().connect_params = saved;
    dialog->state().connect_params["__restore_connection__"] = "true";
    dialog->IDC_CODE->clear();
    dialog->OnAction();
    ASSERT_TRUE(process_until([&] { return session->current() && session->current()->safe_channel(); }, 60));
    SetSelectedLanguage(language);
    EXPECT_NE(relay.wait_log({"\"method\":18", "\"text\":\"Deutsch\""}), "");
    EXPECT_EQ(count_of(relay.log_text(), "\"method\":25"), configurations);
    EXPECT_NE(relay.wait_log({"\"bind\"", "\"method\":21", sid}), "") << relay.log_text();
    EXPECT_EQ(session->state().ids.get().sid, sid);
    EXPECT_EQ(dialog->IDC_CODE->text().toStdString(), code);
    EXPECT_EQ(count_of(relay.log_text(), "\"event\":\"session\""), 1);

    // The disconnect button forgets the saved connection, and the desk now
    // tells the server it leaves.
    ASSERT_TRUE(session->save_connection("connect.dat", false));
    dialog->OnClose1();
    EXPECT_FALSE(QFile::exists(dir.filePath("connect.dat")));
    EXPECT_FALSE(dialog->restored_connection());
    ASSERT_TRUE(process_until([&] { return dialog->state().state == 0; }, 30));
    EXPECT_NE(relay.wait_log({"\"control-call\"", "\"method\":22"}), "");

    // The server closes a continued session: the saved parameters go with
    // it, and the next Connect makes a session of its own.
    dialog->state().connect_params = saved;
    session->handle_command(vyn::origin::server, "close_connection");
    ASSERT_TRUE(process_until([&] { return dialog->state().connect_params.empty(); }));
    dialog->OnAction();
    ASSERT_TRUE(process_until([&] { return count_of(relay.log_text(), "\"event\":\"session\"") == 2; }, 60))
        << relay.log_text();
    ASSERT_TRUE(process_until([&] { return session->current()->safe_channel(); }, 60));
    EXPECT_NE(session->state().ids.get().sid, sid) << "the session map tells the new session";
    dialog->ShutdownConnection();
    ASSERT_TRUE(process_until([&] { return dialog->state().state == 0; }, 30));
}

} // namespace

// Lines shown from any thread reach the log on the next tick, in order, with
// a plain copy for the clipboard; a reader scrolled up stays where he is.
TEST_F(DeskSession, ChatLinesReachTheLogWithTheirPlainCopy) {
    g_main_window->setCentralWidget(dialog);
    g_main_window->show();
    // A session up and alive: the watchdog has nothing to say.
    dialog->state().state = 6;
    dialog->state().connection_up = true;
    session->stamp_life_sign();
    dialog->UpdateVisualLook();
    std::thread worker(
        [this] { dialog->show_utf8("<font color=\"FF0000\">from a worker</font>", false, "x"); });
    worker.join();
    dialog->AddSystemMessage("see http://a.b/c now", false);
    dialog->OnTimer();
    QString const plain = session->chat_plain();
    QStringList const lines = plain.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 2) << plain.toStdString();
    EXPECT_TRUE(lines[0].endsWith(" from a worker"));
    EXPECT_TRUE(lines[1].endsWith(" see http://a.b/c now")) << plain.toStdString(); // as the log reads
    EXPECT_TRUE(dialog->IDC_LOG_OUTPUT->toPlainText().contains("from a worker"));
    dialog->CopyChat();
    EXPECT_EQ(QApplication::clipboard()->text(), plain);
    dialog->ClearChat();
    dialog->CopyChat();
    EXPECT_EQ(QApplication::clipboard()->text(), "");

    QScrollBar* bar = dialog->IDC_LOG_OUTPUT->verticalScrollBar();
    for (int i = 0; i < 60; ++i) dialog->show_utf8("line " + std::to_string(i), false, "x");
    dialog->OnTimer();
    ASSERT_GT(bar->maximum(), 0);
    EXPECT_EQ(bar->value(), bar->maximum()) << "at the end, the log follows new lines";
    bar->setValue(0);
    dialog->show_utf8("one more", false, "x");
    dialog->OnTimer();
    EXPECT_EQ(bar->value(), 0) << "scrolled up, the reader is not moved";
    // The session's end takes its chat along: the next session starts empty.
    EXPECT_FALSE(session->end_of_session(false)) << "nobody asked for the transcript";
    dialog->state().state = 5;
    session->handle_command(vyn::origin::local, "channel_status_stopped");
    ASSERT_TRUE(
        process_until([&] { return session->chat_plain().isEmpty() && session->chat_html().isEmpty(); }));
    g_main_window->hide();
}
