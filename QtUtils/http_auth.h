// The prompt for a web-proxy account that the transport chooser calls (its
// autotransport_http_password hook) when a proxy asks for credentials.
//
// It first tries the account remembered for the realm (the proxy's
// "address:port") in this process, then the one saved in the per-user Qt
// settings store ("Sepra" / "AutoTransport HTTP proxy passwords", written
// 0600 in a 0700 directory), and shows the password dialog on the GUI thread
// only when it must: on a retry (the proxy refused the account) or when
// nothing usable is known.
//
// Threads: http_auth_dialog is called on a transport worker thread, or on
// the GUI thread (which then runs the dialog itself). A worker waits for the
// GUI thread while the attempt lasts: context, when not null, points at the
// attempt's give-up flag (std::atomic<bool>), and once it is set the worker
// stops waiting within 50 ms, answers "cancelled" and the dialog is closed.
// One recursive mutex of its own, the account lock, is held while the cache
// or the saved store is read or written and while an account is handed
// over, never while a dialog is open.
// After a cancel nothing is cached, saved or handed over.
#pragma once

#include "rulo-rpt/choose/proxy_accounts.h"

#include <string>

namespace QtUtils {

struct http_authentication_dialog_data {
    std::string user;     // UTF-8
    std::string password; // UTF-8
    bool remember = true;
};

// The saved store's key for a realm: its bytes in lower-case hexadecimal.
std::string http_account_key(std::string const& realm);
// The saved value: the hexadecimal of a packet of remember, user and
// password (empty unless remember).
std::string http_account_record(http_authentication_dialog_data const& data);
// Decodes a saved value; false (data unchanged) when it is broken.
bool http_account_from_record(std::string const& record, http_authentication_dialog_data& data);
// The saved store's value for a realm (empty when none), and writing one;
// both under the account lock, which every use of the store takes.
std::string saved_http_account(std::string const& realm);
void save_http_account(std::string const& realm, std::string const& record);

// The hook's callback. show_dialog is the chooser's retry flag. True when
// an account was handed over through the two setters, false on cancel.
int http_auth_dialog(void* context, bool show_dialog, char const* realm,
                     rulo::autotransport_http_password::setter set_user, void* user_context,
                     rulo::autotransport_http_password::setter set_password, void* password_context);

// Whether a dialog is needed; data gets what is known (cached or saved).
// When not, the known account was handed over.
bool http_authentication_show_dialog(http_authentication_dialog_data& data, bool show_dialog,
                                     std::string const& realm,
                                     rulo::autotransport_http_password::setter set_user, void* user_context,
                                     rulo::autotransport_http_password::setter set_password,
                                     void* password_context);
// Caches, hands over and saves the account the user confirmed.
void http_authentication_dialog_ok(http_authentication_dialog_data const& data, std::string const& realm,
                                   rulo::autotransport_http_password::setter set_user, void* user_context,
                                   rulo::autotransport_http_password::setter set_password,
                                   void* password_context);

// Test access: forgets the process's cached accounts.
void forget_cached_http_accounts();

} // namespace QtUtils
