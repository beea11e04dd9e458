// The two web-proxy account providers of the chooser.
//
// cached_pwd: made for each tunnel attempt with the account the options
// configured; offers it once, on the first request, then passes every
// request to the next provider (the person's prompt).
// autotransport_http_password: the session host's prompt behind a plain C
// callback, so that the dialog code need not derive from a framework class.
//
// Ownership: both are held through rulo::object handles; a cached_pwd holds
// its next provider. Threads and locks: called by the proxy handshake of one
// tunnel, under that tunnel's handshake mutex and never the framework lock;
// they take no lock of their own. A refusal is thrown and ends the attempt.
#pragma once

#include "rulo-rpt/http/httpt_password.h"
#include "rulo/object.h"

#include <string>

namespace rulo {

class cached_pwd : public httpt_password {
public:
    cached_pwd(std::string user, std::string password, object<httpt_password> next);

    // A first request (retry false) while an account is stored gets that
    // account, which is then forgotten (logged as "trying forced account").
    // Anything else forgets the account and goes to next unchanged; an empty
    // next throws from its handle.
    void httpt_password_event(bool retry, std::string realm, std::string& user,
                              std::string& password) override;

private:
    std::string m_user;
    std::string m_password;
    object<httpt_password> m_next;
};

// Assigns text to the std::string that target points to.
void autotransport_string_return(void* target, char const* text);

class autotransport_http_password : public httpt_password {
public:
    using setter = void (*)(void* target, char const* text);
    // Returns non-zero when the person gave an account, which it passes to
    // the two setters with their targets; zero refuses.
    using callback_fn = int (*)(void* context, bool retry, char const* realm, setter set_user, void* user,
                                setter set_password, void* password);

    autotransport_http_password(callback_fn callback, void* context)
        : m_callback(callback), m_context(context) {}

    // Asks the callback; no callback or a zero answer throws the function
    // exception "httpt_password_event" (the person refused).
    void httpt_password_event(bool retry, std::string realm, std::string& user,
                              std::string& password) override;

private:
    callback_fn m_callback;
    void* m_context;
};

} // namespace rulo
