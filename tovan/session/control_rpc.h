// The client stub of the server's numbered control methods on the relay's
// "VYNRPC" channel: one operation per method, each packing its arguments into
// a call frame (the arguments, then the method number on top) and unpacking
// the reply.
//
// Reply bodies end in a status: 3 = a value follows, 2 = done, 1 = error
// (code, then a text when bytes remain); anything else is a protocol error.
// An error reply throws control_rpc::exception; a failure of the link itself
// (cannot send, broke) comes through as the framework's exception from the
// wrapper; a call the server leaves unanswered past its limit throws
// control_rpc::no_answer (and its reply, should it come later, is ignored).
//
// Threads: no lock of its own; the wrapper serialises frames on the link.
// Sync methods block the caller until the reply or their limit: the GUI
// limit for the calls the GUI thread makes, the call limit for the rest.
// Async methods drop the pending call at once and never report anything.
#pragma once

#include "rulo-rpt/rpc/rpcWrapper.h"
#include "rulo/exception.h"
#include "rulo/netbuf.h"
#include "rulo/object.h"

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace rulo {
class rptSRMux;
}

namespace vyn {

class control_rpc {
public:
    // A failed call: the server's error code and its text (often empty).
    struct exception {
        exception(int c, std::string t) : code(c), text(std::move(t)) {}
        int32_t code;
        std::string text;
    };

    static constexpr int E_PROTOCOL = 1;
    static constexpr int E_ERROR = 2;
    static constexpr int E_NOT_EXISTING = 4;
    static constexpr int E_RESOLVE = 5;
    static constexpr int E_NOT_ALLOWED = 6;
    static constexpr int E_ALREADY = 7;
    static constexpr int E_PASSWORD = 8;
    static constexpr int E_WANT_TUNNEL = 9;
    static constexpr int E_NO_H225 = 11;
    static constexpr int E_UNAVAILABLE = 12;
    static constexpr int E_NO_ADMIN = 13;
    static constexpr int E_MUST_LOGIN = 14;
    static constexpr int E_DISABLED = 15;
    static constexpr int E_NO_SESSION = 16;

    // A sync call that got no answer within its limit, or whose attempt was
    // given up while it waited (abandoned). A framework exception, so that
    // whoever only knew a failed link still catches it.
    struct no_answer : rulo::exception {
        no_answer(int64_t m, bool a)
            : rulo::exception("no answer to call " + std::to_string(m)), method(m), abandoned(a) {}
        int64_t method;
        bool abandoned;
    };

    // How long the calls of a connect attempt (log-in, create, continue,
    // resolve, "I am client" ...) may wait: an attempt must end, so that the
    // retry goes on and the next Connect is not held up behind it.
    static constexpr long call_limit_s = 30;
    // Tests shorten it.
    void set_call_limit(long seconds) { m_call_limit_s = seconds; }
    // Asked while a call under the call limit waits (from that call's
    // thread): true stops the wait at once, so an attempt nobody wants any
    // more ends without keeping the next one waiting. Set before any call.
    void set_abandoned(std::function<bool()> abandoned) { m_abandoned = std::move(abandoned); }

    // How long the calls a person waits for at the window (close session,
    // mail template, the plugin list as a session comes up) may wait for
    // their answer: the window must not freeze on a silent server.
    static constexpr long gui_call_limit_s = 5;
    // Tests shorten it.
    void set_gui_call_limit(long seconds) { m_gui_limit_ms = seconds * 1000; }

    control_rpc() = default;
    explicit control_rpc(rulo::object<rulo::rpcWrapper> wrapper) : m_wrapper(std::move(wrapper)) {}
    // Ends the link under the wrapper, if any; never throws.
    ~control_rpc();
    control_rpc(control_rpc const&) = delete;
    control_rpc& operator=(control_rpc const&) = delete;

    void set_wrapper(rulo::object<rulo::rpcWrapper> wrapper) { m_wrapper = std::move(wrapper); }
    rulo::object<rulo::rpcWrapper> wrapper() const { return m_wrapper; }

    // Reply readers.
    static void unpack_and_throw(netbuf& reply);
    static void val_exception(netbuf& reply);
    static void void_exception(netbuf reply);

    void ping();

    void co_message(std::string const& text);
    void co_cversion(std::string const& version);
    void co_language(std::string const& language);
    void co_continue(std::string const& sid, std::string const& desk_private);
    void co_graceful_exit();
    void co_check_graceful();
    void co_notification(std::string const& text);
    void co_my_configuration(unsigned short a, unsigned short tunnel_port, bool use_http, bool use_https,
                             unsigned short const* extra);
    std::vector<std::map<std::string, std::string>> co_get_plugins();
    void co_login_plaintext(std::string const& user, std::string const& password);
    std::string co_get_program_link(std::map<std::string, std::string> const& params);
    void co_i_am_client(std::string const& code, std::string const& sid, std::string const& key);
    void co_customization(std::string const& name);
    void co_login_web(std::string const& token);
    rulo::object<rulo::rpcWrapper::sCall>
    co_get_translations_start(std::string const& a1, std::string const& a2, std::string const& a3,
                              std::string const& a4, std::string const& a5, std::string const& a6,
                              std::string const& a7);
    // Waits for the answer up to limit_s seconds (0: no limit); past it the
    // framework's "async_call_ret" exception and the call is forgotten.
    netbuf co_get_translations_end(rulo::object<rulo::rpcWrapper::sCall> call, long limit_s = 0);
    // Waits limit_ms at most (0: the GUI limit): the shut-down gives it
    // what is left of its own budget.
    void co_close_session(long limit_ms = 0);
    void co_network_interfaces(std::vector<std::string> const& addresses);
    void co_login_filters(std::vector<std::string> const& hardware);
    void co_get_mail_template(std::string& first, std::string& second, std::string& third);
    std::string co_resolve_session(std::string const& code, std::string& sid, std::string& key);
    void co_create_session(std::string& code, std::string& sid, std::string& key, std::string& aux,
                           std::string& desk_private);

    // The call frames, exposed for the tests of their exact bytes.
    static netbuf frame_i_am_client(std::string const& code, std::string const& sid, std::string const& key);

private:
    // Blocks until the reply, the end of the link (the framework's exception)
    // or limit_ms (no_answer); without a limit the call limit holds.
    netbuf sync_call(netbuf const& frame, long limit_ms = 0);
    void async_send(netbuf const& frame);

    rulo::object<rulo::rpcWrapper> m_wrapper;
    long m_gui_limit_ms = gui_call_limit_s * 1000;
    long m_call_limit_s = call_limit_s;
    std::function<bool()> m_abandoned;
};

// A stub on the wrapper the mux made for "VYNRPC" when it started.
rulo::object<control_rpc> get_control_rpc(rulo::object<rulo::rptSRMux> mux);

} // namespace vyn
