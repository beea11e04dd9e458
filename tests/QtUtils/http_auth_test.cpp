// The web-proxy prompt as the transport calls it: from a worker thread while
// the test's GUI thread answers the dialog; its saved records against fixed
// bytes; giving up while the prompt is queued or shown; the GUI thread
// calling it itself; GUI-thread execution and the password dialog's rules.
#include "QtUtils/enter_password.h"
#include "QtUtils/execute_in_thread.h"
#include "QtUtils/http_auth.h"
#include "tests/support/shell.h"

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <sys/stat.h>
#include <thread>

namespace {

using QtUtils::http_authentication_dialog_data;
namespace pwd = QtUtils::qt_utils_pwd_private;

// A HOME and XDG_CONFIG_HOME of the test's own, before Qt first looks.
class private_home : public ::testing::Environment {
public:
    void SetUp() override {
        dir = new test_support::scratch_dir;
        setenv("HOME", dir->path().c_str(), 1);
        setenv("XDG_CONFIG_HOME", (dir->path() + "/config").c_str(), 1);
    }
    void TearDown() override { delete dir; }
    test_support::scratch_dir* dir = nullptr;
};
::testing::Environment* const home = ::testing::AddGlobalTestEnvironment(new private_home);

void set_text(void* target, char const* text) {
    *static_cast<std::string*>(target) = text;
}

struct answer {
    int result = -1;
    std::string user, password;
};

// The prompt on a worker; the GUI thread runs its loop until it ends.
answer ask_from_worker(std::string const& realm, bool retry, std::atomic<bool>* given_up = nullptr) {
    answer a;
    std::atomic<bool> done{false};
    std::thread worker([&] {
        a.result = QtUtils::http_auth_dialog(given_up, retry, realm.c_str(), set_text, &a.user, set_text,
                                             &a.password);
        done = true;
    });
    QElapsedTimer t;
    t.start();
    while (!done && t.elapsed() < 60000) QApplication::processEvents(QEventLoop::AllEvents, 10);
    worker.join();
    return a;
}

// Answers the next password dialog that shows on the GUI thread.
void answer_dialog(std::function<void(pwd::enter_password&)> f) {
    auto* timer = new QTimer;
    QObject::connect(timer, &QTimer::timeout, [timer, f] {
        if (auto* d = qobject_cast<pwd::enter_password*>(QApplication::activeModalWidget())) {
            timer->stop();
            timer->deleteLater();
            f(*d);
        }
    });
    timer->start(5);
}

TEST(HttpAuth, RecordsAreFixedBytes) {
    // The packet format's bytes: "T"/"F", then each text and its length.
    EXPECT_EQ(QtUtils::http_account_key("127.0.0.1:3128"), "3132372e302e302e313a33313238");
    EXPECT_EQ(QtUtils::http_account_record({"alice", "pw", true}), "54616c696365050170770201");
    EXPECT_EQ(QtUtils::http_account_record({"bob", "secret", false}), "46626f62030100");
    http_authentication_dialog_data d;
    ASSERT_TRUE(QtUtils::http_account_from_record("54616c696365050170770201", d));
    EXPECT_EQ(d.user, "alice");
    EXPECT_EQ(d.password, "pw");
    EXPECT_TRUE(d.remember);
    for (char const* broken : {"", "zz", "5", "54", "616c696365050170770201", "54616c696365050170770299"})
        EXPECT_FALSE(QtUtils::http_account_from_record(broken, d)) << broken;
}

TEST(HttpAuth, DialogCacheStoreAndRetry) {
    std::string const realm = "127.0.0.1:3128";
    // Nothing known: the dialog, answered with "remember".
    answer_dialog([](pwd::enter_password& d) {
        EXPECT_TRUE(d.remember->isVisible());
        EXPECT_TRUE(d.remember->isChecked());
        d.username->setText("alice");
        d.password->setText("pw");
        d.accept();
    });
    answer a = ask_from_worker(realm, false);
    EXPECT_EQ(a.result, 1);
    EXPECT_EQ(a.user + "/" + a.password, "alice/pw");
    EXPECT_EQ(QtUtils::saved_http_account(realm), "54616c696365050170770201");
    // Where Qt keeps it under the test's XDG_CONFIG_HOME.
    std::string const dir = std::string(std::getenv("XDG_CONFIG_HOME")) + "/Sepra";
    struct stat st {};
    ASSERT_EQ(stat((dir + "/AutoTransport HTTP proxy passwords.conf").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    // Cached, then saved (in a process that forgot it): no dialog. A dialog
    // now would fail the run: nobody answers it within the limit.
    a = ask_from_worker(realm, false);
    EXPECT_EQ(a.result, 1);
    EXPECT_EQ(a.user, "alice");
    QtUtils::forget_cached_http_accounts();
    a = ask_from_worker(realm, false);
    EXPECT_EQ(a.result, 1);
    EXPECT_EQ(a.password, "pw");

    // A retry shows the dialog with the user filled; cancel changes nothing.
    answer_dialog([](pwd::enter_password& d) {
        EXPECT_EQ(d.username->text(), "alice");
        d.reject();
    });
    a = ask_from_worker(realm, true);
    EXPECT_EQ(a.result, 0);
    EXPECT_EQ(a.user, "");
    EXPECT_EQ(QtUtils::saved_http_account(realm), "54616c696365050170770201");

    // A broken saved value is no account; "remember" cleared saves no password.
    QtUtils::save_http_account("broken:1", "54ff");
    answer_dialog([](pwd::enter_password& d) {
        EXPECT_EQ(d.username->text(), "");
        d.username->setText("bob");
        d.password->setText("secret");
        d.remember->setChecked(false);
        d.accept();
    });
    a = ask_from_worker("broken:1", false);
    EXPECT_EQ(a.password, "secret");
    EXPECT_EQ(QtUtils::saved_http_account("broken:1"), "46626f62030100");
}

TEST(HttpAuth, OnTheGuiThreadTheDialogRunsThere) {
    answer_dialog([](pwd::enter_password& d) {
        EXPECT_EQ(d.description->text(), "Please, enter password for HTTP proxy: gui:1");
        d.username->setText("g");
        d.accept();
    });
    std::string user, password;
    EXPECT_EQ(QtUtils::http_auth_dialog(nullptr, false, "gui:1", set_text, &user, set_text, &password), 1);
    EXPECT_EQ(user, "g");
}

TEST(HttpAuth, GivingUpEndsTheWaitQueuedOrShown) {
    for (bool shown : {false, true}) {
        SCOPED_TRACE(shown ? "shown" : "queued");
        std::atomic<bool> given_up{false}, done{false};
        std::string user, password;
        int result = -1;
        std::thread worker([&] {
            result = QtUtils::http_auth_dialog(&given_up, false, shown ? "up:2" : "up:1", set_text, &user,
                                               set_text, &password);
            done = true;
        });
        // The GUI thread gives up and joins the worker, as it does when it
        // replaces a connector: the worker must not wait for it. Shown: from
        // inside the dialog's own loop.
        std::chrono::steady_clock::duration waited{};
        bool joined = false;
        auto give_up_and_join = [&] {
            auto const start = std::chrono::steady_clock::now();
            given_up = true;
            worker.join();
            waited = std::chrono::steady_clock::now() - start;
            joined = true;
        };
        if (shown) {
            answer_dialog([&](pwd::enter_password&) { give_up_and_join(); });
            QElapsedTimer t;
            t.start();
            while (!joined && t.elapsed() < 60000) QApplication::processEvents(QEventLoop::AllEvents, 10);
            ASSERT_TRUE(joined);
        } else {
            give_up_and_join();
        }
        EXPECT_LT(waited, std::chrono::milliseconds(200));
        EXPECT_EQ(result, 0);
        EXPECT_EQ(user, "");
        // The queued prompt runs to nothing; the shown one closes.
        QElapsedTimer t;
        t.start();
        while (QApplication::activeModalWidget() && t.elapsed() < 60000)
            QApplication::processEvents(QEventLoop::AllEvents, 10);
        QApplication::processEvents();
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    }
}

int g_runs = 0, g_deletes = 0;
void count_run(void*) {
    ++g_runs;
    throw 1; // dropped
}
void count_delete(void*) {
    ++g_deletes;
}

TEST(ExecuteInThread, DeletesOnceRunOrNot) {
    rulo::executor const gui = QtUtils::exe_in_thread(QApplication::instance()->thread());
    gui.execute({count_run, count_delete, nullptr});
    EXPECT_EQ(g_runs + g_deletes, 0);
    QApplication::processEvents();
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(g_runs, 1);
    EXPECT_EQ(g_deletes, 1);
    // Destroyed unrun, and refused (no thread): deleted, never run.
    delete new QtUtils::ExecuteInThread(count_run, count_delete, nullptr);
    QtUtils::exe_in_thread(nullptr).execute({count_run, count_delete, nullptr});
    EXPECT_EQ(g_runs, 1);
    EXPECT_EQ(g_deletes, 3);
}

TEST(EnterPassword, FlagsFocusAndWarnings) {
    // Flags 0 without remember: user and password only; bit 1: password alone, focused.
    for (int flags : {0, 1}) {
        answer_dialog([flags](pwd::enter_password& d) {
            EXPECT_EQ(d.username->isVisible(), flags == 0);
            EXPECT_FALSE(d.repeat_password->isVisible());
            EXPECT_FALSE(d.remember->isVisible());
            // The field the dialog gave the focus to; whether the window is
            // active yet (and so hasFocus()) is the window system's timing.
            if (flags == 1) {
                EXPECT_EQ(d.focusWidget(), d.password);
            }
            d.accept();
        });
        QString user = "u", password = "p";
        EXPECT_TRUE(QtUtils::enterPassword("t", "T", "D", user, password, nullptr, flags));
    }

    // Repeat and strength: the match warning first, then strength, then accepted.
    QStringList warnings;
    auto* timer = new QTimer;
    int step = 0;
    QObject::connect(timer, &QTimer::timeout, [&] {
        QWidget* w = QApplication::activeModalWidget();
        if (auto* box = qobject_cast<QMessageBox*>(w)) {
            warnings << box->text();
            box->accept();
        } else if (auto* d = qobject_cast<pwd::enter_password*>(w)) {
            char const* const tries[][2] = {
                {"abc12", "abc13"}, {"abcdef", "abcdef"}, {"ab12", "ab12"}, {"abc123", "abc123"}};
            if (step < 4) {
                d->password->setText(tries[step][0]);
                d->repeat_password->setText(tries[step][1]);
                ++step;
                // Queued: a refusal opens its warning inside accept(), and
                // this timer does not fire again until its handler returns.
                QMetaObject::invokeMethod(d, "accept", Qt::QueuedConnection);
            }
        }
    });
    timer->start(5);
    QString user, password;
    EXPECT_TRUE(QtUtils::enterPassword("t", "T", "D", user, password, nullptr, 6));
    delete timer;
    EXPECT_EQ(password, "abc123");
    QString const strength =
        "Please enter strong password. Password should have at least 6 characters and 2 numbers in it.";
    EXPECT_EQ(warnings, (QStringList{"Passwords should match.", strength, strength}));
    // Accepted strong is shown above; one number alone is not enough.
    EXPECT_FALSE(QtUtils::is_strong_password("a1bcde"));
}

} // namespace
