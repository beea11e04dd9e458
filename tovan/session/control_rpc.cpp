#include "tovan/session/control_rpc.h"

#include "rulo-rpt/mux/rptSRMux.h"
#include "rulo/packet.h"

#include <algorithm>
#include <chrono>

namespace vyn {

namespace {

enum method : int64_t {
    m_message = 13,
    m_cversion = 16,
    m_language = 18,
    m_continue = 21,
    m_graceful_exit = 22,
    m_check_graceful = 23,
    m_notification = 24,
    m_my_configuration = 25,
    m_get_plugins = 29,
    m_login_plaintext = 33,
    m_get_program_link = 35,
    m_i_am_client = 37,
    m_customization = 38,
    m_login_web = 39,
    m_get_translations = 40,
    m_close_session = 41,
    m_network_interfaces = 42,
    m_login_filters = 43,
    m_get_mail_template = 44,
    m_resolve_session = 47,
    m_create_session = 48,
};

void push_method(netbuf& frame, method m) {
    rulo_packet_push(frame, static_cast<int64_t>(m));
}

netbuf frame_of(method m) {
    netbuf frame;
    push_method(frame, m);
    return frame;
}

netbuf one_text(std::string const& text, method m) {
    netbuf frame;
    rulo_packet_push(frame, text);
    push_method(frame, m);
    return frame;
}

// The id form (empty code, id, key) when both are known, else the code form.
void push_session_ref(netbuf& frame, std::string const& code, std::string const& sid,
                      std::string const& key) {
    if (!sid.empty() && !key.empty())
        rulo_packet_push(frame, std::string(), sid, key);
    else
        rulo_packet_push(frame, code, std::string(), std::string());
}

} // namespace

control_rpc::~control_rpc() {
    try {
        if (m_wrapper) {
            rulo::object<rptTransport> transport = m_wrapper->get_rptTransport();
            if (transport) transport->disconnect();
        }
    } catch (...) {
        // Ending a link that already failed has nothing left to report.
    }
    m_wrapper.reset();
}

void control_rpc::unpack_and_throw(netbuf& reply) {
    int64_t code = 0;
    rulo_packet_pop(reply, code);
    std::string text;
    if (reply.size() > 0) rulo_packet_pop(reply, text);
    throw exception(static_cast<int32_t>(code), text);
}

namespace {
void check_status(netbuf& reply, int64_t success) {
    int64_t status = 0;
    try {
        rulo_packet_pop(reply, status);
    } catch (rulo::exception const&) {
        throw control_rpc::exception(control_rpc::E_PROTOCOL, "");
    }
    if (status == success) return;
    if (status == 1) {
        try {
            control_rpc::unpack_and_throw(reply);
        } catch (rulo::exception const&) {
            throw control_rpc::exception(control_rpc::E_PROTOCOL, "");
        }
    }
    throw control_rpc::exception(control_rpc::E_PROTOCOL, "");
}

// A value that does not parse is the server breaking the protocol, which the
// callers word as such, not as a framework failure of the link.
template <class F>
void popping(F&& f) {
    try {
        f();
    } catch (rulo::exception const&) {
        throw control_rpc::exception(control_rpc::E_PROTOCOL, "");
    }
}
} // namespace

void control_rpc::val_exception(netbuf& reply) {
    check_status(reply, 3);
}

void control_rpc::void_exception(netbuf reply) {
    check_status(reply, 2);
}

netbuf control_rpc::sync_call(netbuf const& frame, long limit_ms) {
    rulo::object<rulo::rpcWrapper> w = m_wrapper;
    if (!w) throw rulo::exception::function("control_rpc");
    unsigned int id = 0;
    rulo::object<rulo::rpcWrapper::sCall> call = w->async_call(frame, &id);
    bool woken = false, abandoned = false;
    if (limit_ms > 0 || !m_abandoned) {
        woken = call->signal.wait_ms(limit_ms > 0 ? limit_ms : m_call_limit_s * 1000);
    } else {
        // In slices, so that giving the attempt up is heard within one.
        auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds(m_call_limit_s);
        while (!woken && !abandoned) {
            auto const left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            woken = call->signal.wait_ms(std::min<int64_t>(left.count(), 100));
            if (!woken) abandoned = m_abandoned();
        }
    }
    // The wait is over: collect the reply that came (also one that came just
    // at the limit), or the end of the link; a time-out forgets the call.
    long none = 0;
    try {
        return w->async_call_ret(call, &none);
    } catch (rulo::exception const&) {
        if (woken) throw;
    }
    w->remove_cid(id);
    int64_t method = 0;
    netbuf top = frame;
    try {
        rulo_packet_pop(top, method);
    } catch (rulo::exception const&) {
    }
    throw no_answer(method, abandoned);
}

void control_rpc::async_send(netbuf const& frame) {
    rulo::object<rulo::rpcWrapper> w = m_wrapper;
    if (!w) throw rulo::exception::function("control_rpc");
    w->async_call(frame); // nobody waits for the answer
}

void control_rpc::ping() {
    rulo::object<rulo::rpcWrapper> w = m_wrapper;
    if (!w) throw rulo::exception::function("control_rpc");
    w->ping();
}

void control_rpc::co_message(std::string const& text) {
    async_send(one_text(text, m_message));
}
void control_rpc::co_cversion(std::string const& version) {
    async_send(one_text(version, m_cversion));
}
void control_rpc::co_language(std::string const& language) {
    async_send(one_text(language, m_language));
}
void control_rpc::co_customization(std::string const& name) {
    async_send(one_text(name, m_customization));
}
void control_rpc::co_graceful_exit() {
    async_send(frame_of(m_graceful_exit));
}
void control_rpc::co_check_graceful() {
    async_send(frame_of(m_check_graceful));
}

void control_rpc::co_continue(std::string const& sid, std::string const& desk_private) {
    netbuf frame;
    rulo_packet_push(frame, desk_private, sid);
    push_method(frame, m_continue);
    void_exception(sync_call(frame));
}

void control_rpc::co_notification(std::string const& text) {
    void_exception(sync_call(one_text(text, m_notification)));
}

void control_rpc::co_my_configuration(unsigned short a, unsigned short tunnel_port, bool use_http,
                                      bool use_https, unsigned short const* extra) {
    netbuf frame;
    if (extra) rulo_packet_push(frame, *extra);
    rulo_packet_push(frame, a, tunnel_port, use_http, use_https);
    push_method(frame, m_my_configuration);
    void_exception(sync_call(frame));
}

std::vector<std::map<std::string, std::string>> control_rpc::co_get_plugins() {
    netbuf reply = sync_call(frame_of(m_get_plugins), m_gui_limit_ms);
    val_exception(reply);
    std::vector<std::map<std::string, std::string>> plugins;
    popping([&] { rulo_packet_pop(reply, plugins); });
    return plugins;
}

void control_rpc::co_login_plaintext(std::string const& user, std::string const& password) {
    netbuf frame;
    rulo_packet_push(frame, user, password);
    push_method(frame, m_login_plaintext);
    void_exception(sync_call(frame));
}

std::string control_rpc::co_get_program_link(std::map<std::string, std::string> const& params) {
    netbuf frame;
    rulo_packet_push(frame, true, params);
    push_method(frame, m_get_program_link);
    netbuf reply = sync_call(frame);
    val_exception(reply);
    std::string link;
    popping([&] { rulo_packet_pop(reply, link); });
    return link;
}

netbuf control_rpc::frame_i_am_client(std::string const& code, std::string const& sid,
                                      std::string const& key) {
    netbuf frame;
    push_session_ref(frame, code, sid, key);
    push_method(frame, m_i_am_client);
    return frame;
}

void control_rpc::co_i_am_client(std::string const& code, std::string const& sid, std::string const& key) {
    void_exception(sync_call(frame_i_am_client(code, sid, key)));
}

void control_rpc::co_login_web(std::string const& token) {
    void_exception(sync_call(one_text(token, m_login_web)));
}

rulo::object<rulo::rpcWrapper::sCall>
control_rpc::co_get_translations_start(std::string const& a1, std::string const& a2, std::string const& a3,
                                       std::string const& a4, std::string const& a5, std::string const& a6,
                                       std::string const& a7) {
    netbuf frame;
    rulo_packet_push(frame, a7, a6, a5, a4, a3, a2, a1);
    push_method(frame, m_get_translations);
    rulo::object<rulo::rpcWrapper> w = m_wrapper;
    if (!w) throw rulo::exception::function("control_rpc");
    return w->async_call(frame);
}

netbuf control_rpc::co_get_translations_end(rulo::object<rulo::rpcWrapper::sCall> call, long limit_s) {
    rulo::object<rulo::rpcWrapper> w = m_wrapper;
    if (!w) throw rulo::exception::function("control_rpc");
    long limit = limit_s;
    netbuf reply = w->async_call_ret(call, limit_s > 0 ? &limit : nullptr);
    val_exception(reply);
    netbuf package;
    popping([&] { rulo_packet_pop(reply, package); });
    return package;
}

void control_rpc::co_close_session(long limit_ms) {
    void_exception(sync_call(frame_of(m_close_session), limit_ms > 0 ? limit_ms : m_gui_limit_ms));
}

void control_rpc::co_network_interfaces(std::vector<std::string> const& addresses) {
    netbuf frame;
    rulo_packet_push(frame, addresses);
    push_method(frame, m_network_interfaces);
    async_send(frame);
}

void control_rpc::co_login_filters(std::vector<std::string> const& hardware) {
    netbuf frame;
    rulo_packet_push(frame, hardware);
    push_method(frame, m_login_filters);
    async_send(frame);
}

void control_rpc::co_get_mail_template(std::string& first, std::string& second, std::string& third) {
    netbuf reply = sync_call(frame_of(m_get_mail_template), m_gui_limit_ms);
    val_exception(reply);
    popping([&] {
        netbuf values;
        rulo_packet_pop(reply, values);
        std::string a, b, c;
        rulo_packet_pop(values, c);
        rulo_packet_pop(values, b);
        rulo_packet_pop(values, a);
        first = a;
        second = b;
        third = c;
    });
}

std::string control_rpc::co_resolve_session(std::string const& code, std::string& sid, std::string& key) {
    netbuf frame;
    push_session_ref(frame, code, sid, key);
    push_method(frame, m_resolve_session);
    netbuf reply = sync_call(frame);
    val_exception(reply);
    std::string redirect;
    popping([&] {
        netbuf values;
        rulo_packet_pop(reply, values);
        std::string r, k, s;
        rulo_packet_pop(values, r);
        rulo_packet_pop(values, k);
        rulo_packet_pop(values, s);
        redirect = r;
        key = k;
        sid = s;
    });
    return redirect;
}

void control_rpc::co_create_session(std::string& code, std::string& sid, std::string& key, std::string& aux,
                                    std::string& desk_private) {
    netbuf reply = sync_call(frame_of(m_create_session));
    val_exception(reply);
    popping([&] {
        netbuf values;
        rulo_packet_pop(reply, values);
        std::string v[5];
        for (int i = 4; i >= 0; --i) rulo_packet_pop(values, v[i]);
        code = v[0];
        sid = v[1];
        key = v[2];
        aux = v[3];
        desk_private = v[4];
    });
}

rulo::object<control_rpc> get_control_rpc(rulo::object<rulo::rptSRMux> mux) {
    rulo::object<control_rpc> rpc(new control_rpc);
    rpc->set_wrapper(mux->get_rpc_wrapper());
    return rpc;
}

} // namespace vyn
