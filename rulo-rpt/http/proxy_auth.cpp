#include "rulo-rpt/http/proxy_auth.h"

#include "rulo-rpt/http/xnet-http-auth.h"
#include "rulo-rpt/http/xnet-http-ntlm.h"
#include "rulo/errlog.h"
#include "rulo/exception.h"

#include <algorithm>
#include <cctype>
#include <cstdint>

namespace rulo {
namespace {

fmt_dbg const& log_main() {
    static fmt_dbg const instance("HTTP tunnel");
    return instance;
}
fmt_dbg const& log_send() {
    static fmt_dbg const instance("send");
    return instance;
}
fmt_dbg const& log_received() {
    static fmt_dbg const instance("received");
    return instance;
}

// The head as it would be sent, with the credential field masked: Basic
// carries the password in a reversible form.
std::string loggable(xstd::http head) {
    std::string const field = xnet::get_field_authorization(true);
    if (!head.get_field(field).empty()) head.set_field(field, "(hidden)");
    netbuf out;
    head.pop(out);
    return out.to_string();
}

void send_all(object<socket> const& s, netbuf const& data) {
    bool empty = s->send(&data, network_chunk, false);
    while (!empty) empty = s->send(nullptr, network_chunk, false);
}

void send_head(bool log, object<socket> const& s, xstd::http const& head) {
    netbuf out;
    head.pop(out);
    if (log) log_send().fmt_verbose("[%1%]", loggable(head));
    send_all(s, out);
}

object<socket> reconnect(tIProcessId peer, long timeout) {
    log_main().fmt_verbose("Resetting connection to [%1%] ...", addr_as_string(peer));
    object<socket> fresh(new socket(socket::tcp, peer));
    fresh->connect(timeout);
    return fresh;
}

// NTLM takes the domain from the account name: "user@domain", "domain\user",
// or ".\user" for the machine's own domain.
void split_ntlm_account(std::string& user, std::string& domain) {
    if (auto at = user.find('@'); at != std::string::npos) {
        domain = user.substr(at + 1);
        user.erase(at);
    } else if (auto slash = user.find('\\'); slash != std::string::npos) {
        std::string typed = user.substr(0, slash);
        if (typed != ".") domain = typed;
        user.erase(0, slash + 1);
    }
}

} // namespace

void auth_param::fetch(std::string const& for_realm) {
    if (!pwd_pending && !user.empty() && for_realm == realm) {
        pwd_pending = true;
        return;
    }
    user.clear();
    password.clear();
    realm.clear();
    password_cb->httpt_password_event(pwd_pending, for_realm, user, password);
    realm = for_realm;
    pwd_pending = true;
}

xstd::http get_response(bool log, long timeout, object<socket> socket, xstd::http request, netbuf& buffer,
                        netbuf const& body) {
    static fmt_dbg const log_here("HTTP tunnel (get response)");
    if (!body.empty()) request.set_field("Content-Length", std::to_string(body.size()));
    send_head(log, socket, request);
    if (!body.empty()) {
        if (log) log_send().fmt_verbose("[%1%]", body.to_string());
        send_all(socket, body);
    }
    xstd::http response;
    response.is_request = false;
    int64_t fed = 0;
    // True when the head is complete; the bytes after it are left in buffer.
    auto feed = [&] {
        netbuf rest;
        fed += buffer.size();
        bool complete = response.push(buffer, rest);
        int64_t head = complete ? fed - rest.size() : fed;
        if (head > max_response_head) {
            log_here.fmt_verbose("response head longer than %1% bytes", max_response_head);
            throw exception::function("get_response");
        }
        if (complete) buffer = rest;
        return complete;
    };
    if (!buffer.empty() && feed()) return response;
    for (;;) {
        buffer.clear();
        socket->receive(timeout, buffer, nullptr, network_chunk, false);
        if (log) log_received().fmt_verbose("[%1%]", buffer.to_string());
        if (buffer.empty()) throw exception::function("get_response");
        if (feed()) return response;
    }
}

void finish_resp(bool log, long timeout, xstd::http& response, object<socket> socket, netbuf& buffer,
                 netbuf* copy) {
    static fmt_dbg const log_here("HTTP tunnel (finish response)");
    std::string const field = response.get_field("Content-Length");
    if (field.empty()) return;
    int64_t n = xstd::content_length(field);
    if (n < 0) {
        log_here.fmt_verbose("bad Content-Length [%1%]", field);
        throw exception::function("finish_resp");
    }
    while (n > 0) {
        int k = int(std::min<int64_t>(buffer.size(), n));
        buffer.erase_front(k);
        n -= k;
        if (n == 0) break;
        socket->receive(timeout, buffer, nullptr, (unsigned long)std::min<int64_t>(n, 8000), false);
        if (log) log_received().fmt_verbose("[%1%]", buffer.to_string());
        if (buffer.empty()) throw exception::function("finish_resp");
        if (copy) copy->append(buffer);
    }
}

xstd::http make_auth(auth_param* ap, tIProcessId peer, object<socket>& socket, xstd::http request,
                     netbuf& leftover) {
    bool const is_post = request.method == "POST", is_get = request.method == "GET";
    std::string const post_length = is_post ? request.get_field("Content-Length") : std::string();
    fmt_dbg const& log = log_main();
    rec_lock hold(ap->mutex);
    ap->in_handshake = true;
    if (is_get) ap->probe_post = false;
    if (is_post && ap->probe_post) {
        log.fmt_verbose("Using null POST probe to retrieve server challenge");
        request.set_field("Content-Length", "0");
    }
    xstd::http const restart = request;
    int ntlm_stage = 0;
    for (;;) {
        if (is_post && request.get_field("Content-Length") != "0") {
            send_head(true, socket, request);
            log.fmt_verbose("Assuming OK for POST");
            ap->pwd_was_ok();
            return xstd::http();
        }
        xstd::http response = get_response(true, ap->timeout, socket, request, leftover, netbuf());
        if (response.status == 200 && is_post && post_length != "0") {
            // The probe went through: the proxy has stopped asking. Its answer
            // closed a request that declared no body, so the real head goes
            // out on a fresh connection.
            log.fmt_verbose("OK for the POST probe");
            ap->pwd_was_ok();
            request.set_field("Content-Length", post_length);
            leftover.clear();
            socket = reconnect(peer, ap->timeout);
            continue;
        }
        if (response.status == 200) {
            log.fmt_verbose("OK");
            ap->pwd_was_ok();
            if (request.method == "CONNECT")
                finish_resp(true, ap->timeout, response, socket, leftover, nullptr);
            return response;
        }
        if (response.status >= 300 && response.status <= 399) {
            log.fmt_verbose("Redirect (error): %1%", response.get_field("Location"));
            throw exception::function("make_auth");
        }
        if (response.status != 407) {
            log.fmt_verbose("refused with status %1%", response.status);
            throw exception::function("make_auth");
        }
        log.fmt_verbose("Proxy authorization required for %1%", request.method);
        if (is_get) ap->probe_post = true;
        if (!ap->password_cb) throw exception::function("make_auth");
        if (ntlm_stage == 2) {
            log.fmt_verbose("NTLM authentication failed, restarting process");
            request = restart;
            ntlm_stage = 3;
        } else if (ntlm_stage == 1) {
            log.fmt_verbose("NTLM 2->3");
            xnet::set_ntlm_auth3(request, true, response, ap->hostname, ap->domain, ap->user, ap->password);
            ntlm_stage = 2;
        } else {
            xnet::http_auth_challenges const offered = xnet::get_http_auth(response, true);
            auto digest = offered.find("digest");
            std::string const realm = addr_as_string(peer);
            if (digest != offered.end() && xnet::can_digest_auth(digest->second, false)) {
                log.fmt_verbose("Trying Digest");
                ap->fetch(realm);
                xnet::set_digest_auth(request, true, digest->second, ap->user, ap->password, false, "");
            } else if (offered.count("basic")) {
                log.fmt_verbose("Trying Basic");
                ap->fetch(realm);
                xnet::set_basic_auth(request, true, ap->user, ap->password);
            } else if (offered.count("ntlm")) {
                log.fmt_verbose("Trying NTLM");
                ap->fetch(realm);
                split_ntlm_account(ap->user, ap->domain);
                log.fmt_verbose("NTLM user=[%1%] host=[%2%] domain=[%3%]", ap->user, ap->hostname,
                                ap->domain);
                xnet::set_ntlm_auth1(request, true, ap->hostname, ap->domain);
                ntlm_stage = 1;
            } else {
                log.fmt_verbose("No known authentication algorithm");
                throw exception::function("make_auth");
            }
        }
        if (is_post && ntlm_stage != 1 && ntlm_stage != 3) request.set_field("Content-Length", post_length);
        if (ntlm_stage == 2) {
            // NTLM authenticates the connection: the type-3 answer goes on this one.
            finish_resp(true, ap->timeout, response, socket, leftover, nullptr);
        } else {
            leftover.clear();
            socket = reconnect(peer, ap->timeout);
            if (ntlm_stage == 3) ntlm_stage = 0;
        }
    }
}

} // namespace rulo
