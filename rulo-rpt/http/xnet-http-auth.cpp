#include "rulo-rpt/http/xnet-http-auth.h"

#include "rulo-rpt/http/xnet-http-auth-detail.h"
#include "rulo-rpt/xstd-text-b64.h"
#include "rulo/exception.h"
#include "rulo/hash.h"
#include "rulo/random.h"
#include "rulo/text.h"

#include <algorithm>
#include <string_view>
#include <vector>

namespace xnet {

namespace {

[[noreturn]] void parse_error() {
    XSTD_EXCEPTION("get_http_auth").thr("/xnet/http_auth/parse", "Parse error");
}

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

std::size_t skip_blanks(std::string const& text, std::size_t at) {
    while (at < text.size() && is_blank(text[at])) ++at;
    return at;
}

// name=value, name="value", ... into params. Quoted values run to the next
// quote (there is no escape); blanks between items are skipped.
void parse_params(std::string const& text, http_auth_params& params) {
    std::size_t at = skip_blanks(text, 0);
    while (at < text.size()) {
        std::size_t const eq = text.find('=', at);
        if (eq == std::string::npos) parse_error();
        std::string const name = xstd::lc(text.substr(at, eq - at));
        at = eq + 1;
        if (at == text.size()) {
            params[name] = "";
            break;
        }
        if (text[at] == '"') {
            std::size_t const close = text.find('"', at + 1);
            if (close == std::string::npos) parse_error();
            params[name] = text.substr(at + 1, close - at - 1);
            at = close + 1;
            if (at < text.size() && text[at] != ',') parse_error();
        } else {
            std::size_t const comma = std::min(text.find(',', at), text.size());
            params[name] = text.substr(at, comma - at);
            at = comma;
        }
        if (at < text.size()) at = skip_blanks(text, at + 1); // past the ","
    }
}

std::string param(http_auth_params const& params, std::string const& name) {
    auto const it = params.find(name);
    return it == params.end() ? std::string() : it->second;
}

std::vector<std::string> offered_qops(http_auth_params const& params) {
    // Servers may put blanks after the commas of the list.
    return xstd::split(", \t", xstd::lc(param(params, "qop")));
}

bool offers(std::vector<std::string> const& qops, char const* qop) {
    return std::find(qops.begin(), qops.end(), qop) != qops.end();
}

// "auth-int" when allowed and offered, else "auth" when offered, else "".
std::string choose_qop(http_auth_params const& params, bool allow_int) {
    std::vector<std::string> const qops = offered_qops(params);
    if (allow_int && offers(qops, "auth-int")) return "auth-int";
    return offers(qops, "auth") ? "auth" : "";
}

std::string md5_hex(std::string const& text) {
    return xstd::hexcode(xstd::get_md5(text));
}

// value as a quoted-string (RFC 7230 section 3.2.6): a double quote or a
// backslash goes as a quoted-pair, so no value can end the string early.
std::string quoted_string(std::string const& value) {
    std::string out = "\"";
    for (char c : value) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + '"';
}

// RFC 7230 section 3.2.6: one or more tchar.
bool is_token(std::string const& text) {
    auto const tchar = [](char c) {
        return rulo::is_alnum(c) || std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
    };
    return !text.empty() && std::all_of(text.begin(), text.end(), tchar);
}

[[noreturn]] void digest_error(char const* message) {
    XSTD_EXCEPTION("set_digest_auth").thr("/xnet/set_digest_auth", message);
}

} // namespace

std::string get_field_authenticate(bool proxy) {
    return proxy ? "Proxy-Authenticate" : "WWW-Authenticate";
}

std::string get_field_authorization(bool proxy) {
    return proxy ? "Proxy-Authorization" : "Authorization";
}

http_auth_challenges get_http_auth(xstd::http const& reply, bool proxy) {
    std::string const field = xstd::lc(get_field_authenticate(proxy));
    http_auth_challenges challenges;
    for (auto const& [name, values] : reply.fields) {
        if (xstd::lc(name) != field) continue;
        for (std::string const& value : values) {
            std::size_t const space = value.find(' ');
            if (space == std::string::npos) {
                challenges[xstd::lc(value)];
                continue;
            }
            parse_params(value.substr(space + 1), challenges[xstd::lc(value.substr(0, space))]);
        }
    }
    return challenges;
}

std::string get_realm(http_auth_params const& params) {
    return param(params, "realm");
}

bool can_digest_auth(http_auth_params const& params, bool allow_int) {
    std::string const algorithm = xstd::lc(param(params, "algorithm"));
    if (!algorithm.empty() && algorithm != "md5" && algorithm != "md5-sess") return false;
    std::vector<std::string> const qops = offered_qops(params);
    // MD5-sess hashes the client nonce into the key, and only a qop answer carries one.
    if (qops.empty()) return algorithm != "md5-sess";
    return offers(qops, "auth") || (allow_int && offers(qops, "auth-int"));
}

void set_basic_auth(xstd::http& request, bool proxy, std::string user, std::string password) {
    if (user.find(':') != std::string::npos)
        XSTD_EXCEPTION("set_basic_auth").thr("/xnet/set_basic_auth", "Username cannot contain ':'");
    std::string const coded = xstd::encode_base64(user + ":" + password, xstd::base64_encoding).to_string();
    request.set_field(get_field_authorization(proxy), "Basic " + coded);
}

namespace detail {

std::string digest_answer(xstd::http const& request, http_auth_params const& params, std::string const& user,
                          std::string const& password, bool allow_int, std::string const& body,
                          std::string const& cnonce) {
    if (user.find('"') != std::string::npos) digest_error("Username cannot contain double quote");
    if (!can_digest_auth(params, allow_int)) digest_error("Cannot perform digest authorization");
    // Without a nonce there is nothing to prove knowledge of the password
    // against: an answer would only hand out a replayable hash.
    if (param(params, "nonce").empty()) digest_error("Digest challenge without nonce");
    // The charset goes back unquoted, as a token; anything else could add
    // parameters of its own to the answer.
    if (params.count("charset") && !is_token(param(params, "charset")))
        digest_error("Digest challenge charset is not a token");

    std::string const qop = choose_qop(params, allow_int);
    std::string const nonce = param(params, "nonce");
    std::string const nc = "00000001"; // every answer is the first use of its nonce
    bool const sess = xstd::lc(param(params, "algorithm")) == "md5-sess";
    std::string const realm = get_realm(params);

    std::string ha1 = md5_hex(user + ":" + realm + ":" + password);
    if (sess) ha1 = md5_hex(ha1 + ":" + nonce + ":" + cnonce);
    std::string a2 = request.method + ":" + request.uri;
    if (qop == "auth-int") a2 += ":" + md5_hex(body);
    std::string const ha2 = md5_hex(a2);
    std::string const response =
        qop.empty() ? md5_hex(ha1 + ":" + nonce + ":" + ha2)
                    : md5_hex(ha1 + ":" + nonce + ":" + nc + ":" + cnonce + ":" + qop + ":" + ha2);

    // The hashes above are over the values themselves (unq(realm) in RFC 7616
    // section 3.4.2); the answer carries them as quoted-strings.
    std::vector<std::string> items;
    auto quoted = [&](char const* name, std::string const& value) {
        items.push_back(std::string(name) + "=" + quoted_string(value));
    };
    quoted("username", user);
    quoted("realm", realm);
    if (!qop.empty()) quoted("qop", qop);
    quoted("algorithm", sess ? "MD5-sess" : "MD5");
    quoted("uri", request.uri);
    quoted("nonce", nonce);
    if (!qop.empty()) {
        items.push_back("nc=" + nc);
        quoted("cnonce", cnonce);
    }
    quoted("response", response);
    if (params.count("opaque")) quoted("opaque", param(params, "opaque"));
    if (params.count("charset")) items.push_back("charset=" + param(params, "charset"));
    return "Digest " + xstd::join(", ", items);
}

} // namespace detail

void set_digest_auth(xstd::http& request, bool proxy, http_auth_params const& params, std::string user,
                     std::string password, bool allow_int, std::string body) {
    // Drawn always, used only when a qop is chosen: deciding that here would
    // repeat the checks of digest_answer.
    std::string const cnonce = xstd::hexcode(xstd::get_random_bytes(16));
    request.set_field(get_field_authorization(proxy),
                      detail::digest_answer(request, params, user, password, allow_int, body, cnonce));
}

} // namespace xnet
