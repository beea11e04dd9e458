// Where the HTTP tunnel and the proxy handshake get a web-proxy account.
//
// The handshake asks its httpt_password each time a proxy answers 407. The
// chooser hands the tunnel a cached_pwd (a stored account, offered once)
// chained to the session host's prompt (autotransport_http_password); see
// proxy_accounts.h.
//
// Threads and locks: called on the thread that runs the handshake (a tunnel
// leg thread or the chooser's caller), with the tunnel's handshake mutex held
// and never the framework lock, so an implementation may block on a person.
// The virtual operations are in their binary slot order: plugins built against
// another copy of the framework call them through the table.
#pragma once

#include <string>

namespace rulo {

class httpt_password {
public:
    virtual ~httpt_password() = default;
    // user and password arrive empty; on return they hold the account to try.
    // retry is true when the account handed out before for this tunnel was
    // refused. To refuse (the person cancelled) the implementation throws;
    // that ends the handshake and the attempt. A provider must never answer a
    // retry by itself: only a person ends the loop against a proxy that keeps
    // refusing.
    virtual void httpt_password_event(bool retry, std::string realm, std::string& user,
                                      std::string& password) = 0;
};

} // namespace rulo
