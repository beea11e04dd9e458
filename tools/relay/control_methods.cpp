#include "tools/relay/control_methods.h"

#include "tools/relay/codec.h"
#include "tools/relay/connection.h"
#include "tools/relay/plugin_services.h"
#include "tools/relay/relay_server.h"
#include "tools/relay/sessions.h"

#include "rulo/url.h"

#include <functional>
#include <vector>

namespace relay {

namespace {

// Error codes the program knows.
constexpr long long e_protocol = 1, e_error = 2, e_not_existing = 4, e_already = 7, e_password = 8,
                    e_unavailable = 12, e_must_login = 14, e_no_session = 16;

std::string reply_value(std::string value_packet) {
    rulo_packet_push(value_packet, 3LL);
    return value_packet;
}

// A reply whose value is a buffer holding a packet of texts, pushed in the order given.
template <class... T>
std::string reply_buffer(T const&... texts) {
    std::string inner;
    rulo_packet_push(inner, texts...);
    std::string v;
    rulo_packet_push(v, blob{inner});
    return reply_value(v);
}

char const* method_name(long long m) {
    switch (m) {
    case 13:
        return "message";
    case 16:
        return "cversion";
    case 18:
        return "language";
    case 21:
        return "continue";
    case 22:
        return "graceful_exit";
    case 23:
        return "check_graceful";
    case 24:
        return "notification";
    case 25:
        return "my_configuration";
    case 29:
        return "get_plugins";
    case 33:
        return "login_plaintext";
    case 35:
        return "get_program_link";
    case 37:
        return "i_am_client";
    case 38:
        return "customization";
    case 39:
        return "login_web";
    case 40:
        return "get_translations";
    case 41:
        return "close_session";
    case 42:
        return "network_interfaces";
    case 43:
        return "login_filters";
    case 44:
        return "get_mail_template";
    case 47:
        return "resolve_session";
    case 48:
        return "create_session";
    default:
        return "unknown";
    }
}

struct outcome {
    std::string reply;
    std::function<void()> after; // runs once the reply is on its way
};

outcome run_method(session_registry& reg, options const& opts, connection& c, std::uint64_t channel,
                   long long method, std::string& b) {
    control_switches const& sw = reg.switches;
    switch (method) {
    case 13:
    case 16:
    case 18:
    case 24:
    case 38: {
        std::string text;
        rulo_packet_pop(b, text);
        return {reply_done(), {}};
    }
    case 22:
        // Nobody comes back to a desk that left before its client came.
        return {reply_done(), [&reg, id = c.id()] { reg.graceful_exit(id); }};
    case 23:
    case 25:
    case 42:
    case 43:
        // Arguments, if any, are taken as they come: nothing here depends on them.
        return {reply_done(), {}};
    case 33: {
        std::string user, password;
        xstd::packet_pop(b, password, user);
        if (sw.require_login && (user != sw.user || password != sw.password))
            return {reply_error(e_password), {}};
        reg.set_logged_in(c.id());
        return {reply_done(), {}};
    }
    case 35: {
        // The program link: "link:" and the asked parameters, form-encoded.
        std::map<std::string, std::string> params;
        bool flag = false;
        rulo_packet_pop(b, flag, params);
        std::string v;
        rulo_packet_push(v, "link:" + rulo::cgi_get_param(params));
        return {reply_value(v), {}};
    }
    case 39: {
        std::string token;
        rulo_packet_pop(b, token);
        if (sw.require_login && (sw.token.empty() || token != sw.token)) return {reply_error(e_password), {}};
        reg.set_logged_in(c.id());
        return {reply_done(), {}};
    }
    case 48: {
        if (sw.require_login && !reg.logged_in(c.id())) return {reply_error(e_must_login), {}};
        if (sw.refuse_create) return {reply_error(e_unavailable), {}};
        auto* s = reg.create();
        if (!s) return {reply_error(e_unavailable), {}};
        reg.bind(c, channel, *s, end_role::desk, method);
        return {reply_buffer(s->code, s->sid, s->key, s->aux, s->desk_private), {}};
    }
    case 21: {
        std::string sid, desk_private;
        xstd::packet_pop(b, sid, desk_private);
        auto* s = reg.by_sid(sid);
        if (!s || s->desk_private != desk_private) return {reply_error(e_no_session), {}};
        reg.bind(c, channel, *s, end_role::desk, method);
        return {reply_done(), {}};
    }
    case 37:
    case 47: {
        std::string code, sid, key;
        xstd::packet_pop(b, key, sid, code);
        bool const sid_form = !sid.empty() && !key.empty();
        auto* s = sid_form ? reg.by_sid(sid) : reg.by_code(code);
        if (s && sid_form && s->key != key) s = nullptr;
        if (method == 47 && !sw.redirect.empty())
            return {reply_buffer(s ? s->sid : "", s ? s->key : "", sw.redirect), {}};
        if (!s) return {reply_error(sid_form ? e_no_session : e_not_existing), {}};
        // A client's own reconnects come by the session id; the code is for joining.
        if (!sid_form && !reg.admit_joiner(c, *s))
            return {reply_error(e_already, "the session already has a client"), {}};
        if (method == 47) return {reply_buffer(s->sid, s->key, std::string()), {}};
        reg.bind(c, channel, *s, end_role::client, method);
        return {reply_done(), {}};
    }
    case 41: {
        auto* s = reg.bound(c.id());
        if (!s) return {reply_error(e_no_session), {}};
        std::string sid = s->sid;
        return {reply_done(), [&reg, sid] {
                    if (auto* s2 = reg.by_sid(sid)) {
                        for (int r = 0; r < 2; ++r)
                            reg.server_call(*s2, static_cast<end_role>(r), "close_connection");
                        reg.end(sid);
                    }
                }};
    }
    case 29:
        return {reply_value(catalogue_value(opts.catalogue_path.empty()
                                                ? std::vector<plugin_record>{}
                                                : catalogue_records(opts.catalogue_path, opts.files_dir))),
                {}};
    case 40: {
        std::string product, product2, name, tversion, cached, platform, compression;
        xstd::packet_pop(b, product, product2, name, tversion, cached, platform, compression);
        translations_answer const a = translations_for(opts.translations_dir, name, cached);
        c.event("translations")
            .str("name", name)
            .str("tversion", tversion)
            .str("cached", cached)
            .str("platform", platform)
            .str("answer", a.identifier);
        std::string v;
        rulo_packet_push(v, blob{a.bytes});
        return {reply_value(v), {}};
    }
    case 44: {
        auto const& t = reg.switches.mail_template;
        // Pushed in order: the desk reads subject, unused text and body.
        return {reply_buffer(t[0], t[1], t[2]), {}};
    }
    default:
        return {reply_error(e_error), {}};
    }
}

} // namespace

std::string reply_done() {
    std::string r;
    rulo_packet_push(r, 2LL);
    return r;
}

std::string reply_error(long long code, std::string const& text) {
    std::string r;
    if (!text.empty()) rulo_packet_push(r, text);
    rulo_packet_push(r, code, 1LL);
    return r;
}

void answer_control_call(relay_server& server, connection& c, std::uint64_t channel,
                         std::string const& call_id, std::string_view body) {
    std::string b(body);
    long long method = 0;
    try {
        rulo_packet_pop(b, method);
    } catch (std::exception const&) {
        // Not a method call: the one empty reply every call is owed.
        c.send_rpc(channel, "result " + call_id + "\n");
        return;
    }
    auto& reg = server.sessions();
    std::string const args = b; // the method pops its arguments from b
    auto log = [&](char const* status) {
        auto line = c.event("control-call");
        line.num("conn", static_cast<std::int64_t>(c.id()))
            .str("id", call_id)
            .num("method", method)
            .str("name", method_name(method))
            .str("reply", status);
        // Methods that take one text say which.
        if (method == 13 || method == 16 || method == 18 || method == 24 || method == 38) {
            std::string copy = args, text;
            try {
                rulo_packet_pop(copy, text);
                line.str("text", text);
            } catch (std::exception const&) {
            }
        }
        // The address lists, joined by ",".
        if (method == 42 || method == 43) {
            std::string copy = args, joined;
            std::vector<std::string> list;
            try {
                rulo_packet_pop(copy, list);
                for (auto const& item : list) joined += (joined.empty() ? "" : ",") + item;
                line.str("text", joined);
            } catch (...) {
            }
        }
    };
    if (reg.switches.never_answer.count(method)) return log("none");
    if (auto failing = reg.switches.fail_methods.find(method); failing != reg.switches.fail_methods.end()) {
        log("error");
        c.send_rpc(channel, "result " + call_id + "\n" + reply_error(failing->second));
        return;
    }
    outcome o;
    try {
        o = run_method(reg, server.opts(), c, channel, method, b);
    } catch (std::exception const&) {
        o = {reply_error(e_protocol), {}};
    }
    std::string reply = o.reply;
    long long status = 0;
    {
        std::string copy = reply;
        rulo_packet_pop(copy, status);
    }
    log(status == 2 ? "done" : status == 3 ? "value" : "error");
    c.send_rpc(channel, "result " + call_id + "\n" + reply);
    if (o.after) o.after();
}

} // namespace relay
