#include "rulo-rpt/choose/proxy_accounts.h"

#include "rulo/errlog.h"
#include "rulo/exception.h"

#include <utility>

namespace rulo {

cached_pwd::cached_pwd(std::string user, std::string password, object<httpt_password> next)
    : m_user(std::move(user)), m_password(std::move(password)), m_next(std::move(next)) {}

void cached_pwd::httpt_password_event(bool retry, std::string realm, std::string& user,
                                      std::string& password) {
    if (!retry && !m_user.empty()) {
        fmt_dbg("AutoTransport").fmt_verbose("trying forced account [%1%]", m_user);
        user = std::move(m_user);
        password = std::move(m_password);
        m_user.clear();
        m_password.clear();
        return;
    }
    m_user.clear();
    m_password.clear();
    m_next->httpt_password_event(retry, std::move(realm), user, password);
}

void autotransport_string_return(void* target, char const* text) {
    *static_cast<std::string*>(target) = text ? text : "";
}

void autotransport_http_password::httpt_password_event(bool retry, std::string realm, std::string& user,
                                                       std::string& password) {
    if (m_callback && m_callback(m_context, retry, realm.c_str(), autotransport_string_return, &user,
                                 autotransport_string_return, &password) != 0)
        return;
    throw exception::function("httpt_password_event");
}

} // namespace rulo
