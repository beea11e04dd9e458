// The dialog's session in process: what workers ask of the dialog runs on
// the GUI thread in the order asked, and one command runs at a time (a text
// that arrives while a handler's box is up waits for it).
#include "tovan/dialog/desk_session.h"
#include "tovan/dialog/main_window.h"
#include "tovan/dialog/message_box.h"
#include "tovan/dialog/program_args.h"
#include "tovan/dialog/vyn_dialog.h"
#include "tovan/plugins/negotiation.h"

#include "rulo/url.h"
#include "tests/support/relay_process.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QMimeData>
#include <QTemporaryDir>

#include <chrono>
#include <fstream>
#include <sstream>
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
    dialog->m_connect_params["__restore_connection__"] = "true";

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
    EXPECT_EQ(dialog->m_state, 0);
}

TEST_F(DeskSession, OnlyTheExactMarkMakesARestoredConnection) {
    struct {
        char const* value; // null: no mark at all
        bool restored;
    } const cases[] = {{"true", true}, {"TRUE", false}, {"1", false}, {"", false}, {nullptr, false}};
    for (auto const& c : cases) {
        dialog->m_connect_params = {{"code", "123456789"}};
        if (c.value) dialog->m_connect_params["__restore_connection__"] = c.value;
        EXPECT_EQ(dialog->restored_connection(), c.restored) << (c.value ? c.value : "(none)");
        EXPECT_EQ(session->restored_connection(), c.restored) << (c.value ? c.value : "(none)");
        // Clearing without a saved file still forgets the mark, and only it.
        dialog->clear_connect_save_file();
        EXPECT_FALSE(dialog->restored_connection());
        EXPECT_EQ(dialog->m_connect_params, (std::map<std::string, std::string>{{"code", "123456789"}}));
    }
}

TEST_F(DeskSession, TextsArrivingDuringABoxWaitForIt) {
    std::vector<int64_t> seen_in_box;
    set_message_box_responder([&](QMessageBox&) {
        // The box's own event loop turns while the user looks at it.
        session->handle_command(vyn::origin::peer, "connection_time 50");
        session->handle_command(vyn::origin::peer, "connection_time 70");
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

TEST_F(DeskSession, PluginStatusBitsRequestARefreshOnlyWhenTheyChange) {
    EXPECT_FALSE(session->update_flags(0x10, 0)); // clearing bits that are not set
    EXPECT_TRUE(session->update_flags(0, 0x100));
    EXPECT_FALSE(session->update_flags(0, 0x100));
    EXPECT_TRUE(session->update_flags(0x100, 0x2));
    EXPECT_EQ(session->flags(), 0x2u);
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
    dialog->m_user = "u";
    dialog->m_password = "p";
    dialog->OnAction();
    ASSERT_TRUE(process_until([&] { return session->current() && session->current()->safe_channel(); }, 60));
    std::string const sid = session->current()->sid(), code = session->current()->code();
    ASSERT_FALSE(sid.empty());
    // A plugin's question for a program link, answered by the relay.
    EXPECT_EQ(session->program_link({{"b", "x y"}, {"a", "1"}}), "link:a=1&b=x+y");

    ASSERT_TRUE(session->save_connection("connect.dat", false));
    std::string const text = read_all(dir.filePath("connect.dat").toStdString());
    auto saved = rulo::cgi_parse_param(text, '&', '=');
    EXPECT_EQ(saved["sid_string"], sid) << text;
    EXPECT_EQ(saved["key_string"], session->current()->key());
    EXPECT_EQ(saved["code"], code);
    for (char const* key : {"desk_private", "secret_local", "secret_remote"})
        EXPECT_FALSE(saved[key].empty()) << key << " in " << text;
    EXPECT_EQ(text.find("=&"), std::string::npos); // empty values are left out
    EXPECT_EQ(dialog->m_restore_file, "connect.dat");

    dialog->ShutdownConnection();
    ASSERT_TRUE(process_until([&] { return dialog->m_state == 0; }, 30));
    // A saved session stays alive on the server.
    for (char const* call : {"\"method\":22", "\"method\":41"})
        EXPECT_EQ(relay.log_text().find(call), std::string::npos) << call;

    dialog->m_connect_params = saved;
    dialog->m_connect_params["__restore_connection__"] = "true";
    dialog->IDC_CODE->clear();
    dialog->OnAction();
    ASSERT_TRUE(process_until([&] { return session->current() && session->current()->safe_channel(); }, 60));
    EXPECT_NE(relay.wait_log({"\"bind\"", "\"method\":21", sid}), "") << relay.log_text();
    EXPECT_EQ(session->current()->sid(), sid);
    EXPECT_EQ(dialog->IDC_CODE->text().toStdString(), code);
    EXPECT_EQ(count_of(relay.log_text(), "\"event\":\"session\""), 1);

    // The disconnect button forgets the saved connection, and the desk now
    // tells the server it leaves.
    ASSERT_TRUE(session->save_connection("connect.dat", false));
    dialog->OnClose1();
    EXPECT_FALSE(QFile::exists(dir.filePath("connect.dat")));
    EXPECT_FALSE(dialog->restored_connection());
    ASSERT_TRUE(process_until([&] { return dialog->m_state == 0; }, 30));
    EXPECT_NE(relay.wait_log({"\"control-call\"", "\"method\":22"}), "");
}

} // namespace
