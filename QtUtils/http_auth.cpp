#include "QtUtils/http_auth.h"

#include "QtUtils/enter_password.h"
#include "QtUtils/execute_in_thread.h"
#include "rulo/errlog.h"
#include "rulo/exception.h"
#include "rulo/fut.h"
#include "rulo/packet.h"
#include "rulo/text.h"
#include "rulo/xfile.h"

#include <QApplication>
#include <QCoreApplication>
#include <QFileInfo>
#include <QPointer>
#include <QSettings>
#include <QThread>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>

namespace QtUtils {

namespace {

// The account lock: the cache and every use of the saved store. Qt's own lock
// inside QSettings is one that a thread checker cannot see, so the store
// takes ours as well.
std::recursive_mutex& account_mutex() {
    static auto* m = new std::recursive_mutex;
    return *m;
}

std::map<std::string, http_authentication_dialog_data>& cache() {
    static auto* c = new std::map<std::string, http_authentication_dialog_data>;
    return *c;
}

rulo::fmt_dbg log() {
    return rulo::fmt_dbg("HTTP authentication");
}

QSettings& store(std::unique_ptr<QSettings>& s) {
    s = std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope, "Sepra",
                                    "AutoTransport HTTP proxy passwords");
    return *s;
}

// What the GUI thread's prompt and a waiting worker share.
struct prompt_state {
    explicit prompt_state(std::string r) : realm(std::move(r)) {}
    std::string const realm;
    std::atomic<bool> abandoned{false};
    QPointer<QDialog> dialog; // GUI thread only
    std::mutex mutex;
    std::condition_variable finished;
};

// Runs the dialog on the GUI thread; throws when cancelled or abandoned.
http_authentication_dialog_data prompt(http_authentication_dialog_data data,
                                       std::shared_ptr<prompt_state> const& state) {
    struct wake {
        prompt_state& s;
        ~wake() {
            std::lock_guard<std::mutex> lock(s.mutex);
            s.finished.notify_all();
        }
    } waker{*state};
    if (state->abandoned) throw rulo::exception::function("show_dialog_");
    char const* const context = "HTTP proxy authentication";
    QString user = fromUtf8(data.user), password = fromUtf8(data.password);
    QString description = QCoreApplication::translate(context, "Please, enter password for HTTP proxy");
    if (!state->realm.empty()) description += ": " + fromUtf8(state->realm);
    QString const title = QCoreApplication::translate(context, "HTTP proxy password");
    bool remember = data.remember;
    if (!enterPassword(context, title, description, user, password, &remember, 0, &state->dialog) ||
        state->abandoned)
        throw rulo::exception::function("show_dialog_");
    data.user = toUtf8(user);
    data.password = toUtf8(password);
    data.remember = remember;
    return data;
}

// Waits for the GUI thread's answer while the attempt lasts; false when it
// was given up (the dialog is then closed) or the prompt failed.
bool wait_for_prompt(rulo::fut<http_authentication_dialog_data>& answer, prompt_state& state,
                     std::shared_ptr<prompt_state> const& shared, std::atomic<bool> const* given_up,
                     http_authentication_dialog_data& data) {
    std::unique_lock<std::mutex> lock(state.mutex);
    while (answer.is_pending()) {
        if (given_up && given_up->load()) {
            state.abandoned = true;
            QMetaObject::invokeMethod(QCoreApplication::instance(), [shared] {
                if (shared->dialog) shared->dialog->reject();
            });
            return false;
        }
        // A runnable dropped unrun fails the future without waking us: look again soon.
        state.finished.wait_for(lock, std::chrono::milliseconds(50));
    }
    lock.unlock();
    try {
        data = answer.sync(0);
        return true;
    } catch (...) {
        return false;
    }
}

} // namespace

std::string saved_http_account(std::string const& realm) {
    std::lock_guard<std::recursive_mutex> lock(account_mutex());
    std::unique_ptr<QSettings> s;
    return store(s).value(QString::fromStdString(http_account_key(realm))).toString().toStdString();
}

// Writes the record with the file private to the user: made 0600 (in a 0700
// directory) before Qt writes it, which keeps the mode of a file it replaces.
void save_http_account(std::string const& realm, std::string const& record) {
    std::lock_guard<std::recursive_mutex> lock(account_mutex());
    std::unique_ptr<QSettings> s;
    QSettings& settings = store(s);
    std::string const path = settings.fileName().toStdString();
    rulo::make_private_file(path);
    settings.setValue(QString::fromStdString(http_account_key(realm)), QString::fromStdString(record));
    settings.sync();
    rulo::make_private_file(path);
}

std::string http_account_key(std::string const& realm) {
    return xstd::hexcode(realm);
}

std::string http_account_record(http_authentication_dialog_data const& data) {
    std::string packet;
    rulo_packet_push(packet, data.remember, data.user, data.remember ? data.password : std::string());
    return xstd::hexcode(packet);
}

bool http_account_from_record(std::string const& record, http_authentication_dialog_data& data) {
    try {
        std::string packet = record;
        xstd::dehexcode(packet);
        http_authentication_dialog_data d;
        rulo_packet_pop(packet, d.remember, d.user, d.password);
        if (packet.empty() && !record.empty()) {
            data = d;
            return true;
        }
    } catch (...) {
    }
    return false;
}

bool http_authentication_show_dialog(http_authentication_dialog_data& data, bool show_dialog,
                                     std::string const& realm,
                                     rulo::autotransport_http_password::setter set_user, void* user_context,
                                     rulo::autotransport_http_password::setter set_password,
                                     void* password_context) {
    log().fmt_verbose("request in realm [%1%], show_dialog=%2%", realm, show_dialog);
    std::lock_guard<std::recursive_mutex> lock(account_mutex());
    auto cached = cache().find(realm);
    if (cached != cache().end()) {
        data = cached->second;
        if (show_dialog) return true;
        log().fmt_verbose("trying cached account [%1%][%2%]", realm, data.user);
        set_user(user_context, data.user.c_str());
        set_password(password_context, data.password.c_str());
        return false;
    }
    data = http_authentication_dialog_data();
    http_authentication_dialog_data saved;
    if (!http_account_from_record(saved_http_account(realm), saved)) return true;
    data = saved;
    if (!data.remember || show_dialog) return true;
    log().fmt_verbose("trying saved account [%1%][%2%]", realm, data.user);
    set_user(user_context, data.user.c_str());
    set_password(password_context, data.password.c_str());
    return false;
}

void http_authentication_dialog_ok(http_authentication_dialog_data const& data, std::string const& realm,
                                   rulo::autotransport_http_password::setter set_user, void* user_context,
                                   rulo::autotransport_http_password::setter set_password,
                                   void* password_context) {
    log().fmt_verbose("saving account [%1%][%2%]", realm, data.user);
    {
        std::lock_guard<std::recursive_mutex> lock(account_mutex());
        cache()[realm] = data;
        set_user(user_context, data.user.c_str());
        set_password(password_context, data.password.c_str());
    }
    save_http_account(realm, http_account_record(data));
}

int http_auth_dialog(void* context, bool show_dialog, char const* realm_text,
                     rulo::autotransport_http_password::setter set_user, void* user_context,
                     rulo::autotransport_http_password::setter set_password, void* password_context) {
    std::string const realm = realm_text ? realm_text : "";
    http_authentication_dialog_data data;
    if (!http_authentication_show_dialog(data, show_dialog, realm, set_user, user_context, set_password,
                                         password_context))
        return 1;
    auto* app = QCoreApplication::instance();
    if (!app) return 0;
    auto state = std::make_shared<prompt_state>(realm);
    if (QThread::currentThread() == app->thread()) {
        // Waiting for ourselves would never end: the dialog runs here.
        try {
            data = prompt(data, state);
        } catch (...) {
            return 0;
        }
    } else {
        rulo::fut<http_authentication_dialog_data> answer =
            rulo::pcall(exe_in_thread(app->thread()), prompt, data, state);
        if (!wait_for_prompt(answer, *state, state, static_cast<std::atomic<bool> const*>(context), data))
            return 0;
    }
    http_authentication_dialog_ok(data, realm, set_user, user_context, set_password, password_context);
    return 1;
}

void forget_cached_http_accounts() {
    std::lock_guard<std::recursive_mutex> lock(account_mutex());
    cache().clear();
}

} // namespace QtUtils
