#include "rulo-rpt/choose/AutoTransport.h"

#include "rulo-rpt/choose/proxy_accounts.h"
#include "rulo-rpt/choose/server_target.h"
#include "rulo-rpt/http/http_proxy_detect.h"
#include "rulo-rpt/http/httpt.h"
#include "rulo-rpt/net/net_util.h"
#include "rulo-rpt/net/rptSocket.h"
#include "rulo-rpt/net/socket.h"
#include "rulo-rpt/tls/ssl_filter.h"
#include "rulo/errlog.h"
#include "rulo/exception.h"
#include "rulo/lock.h"
#include "rulo/random.h"
#include "rulo/text.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace rulo {
namespace {

char const log_prefix[] = "AutoTransport";

fmt_dbg const& log() {
    static fmt_dbg const instance(log_prefix);
    return instance;
}

// rulo::rand as the generator of std::shuffle.
struct rulo_random {
    using result_type = unsigned;
    static constexpr result_type min() { return 0; }
    static constexpr result_type max() { return 0x7fffffff; }
    result_type operator()() { return rulo::rand(); }
};

std::string ports_text(std::vector<unsigned short> const& ports) {
    std::vector<std::string> texts;
    for (unsigned short p : ports) texts.push_back(std::to_string(p));
    return join_tokens(",", texts);
}

// A stored account offered once, then the session host's prompt.
object<httpt_password> make_cached_pwd(std::string const& user, std::string const& password,
                                       object<httpt_password> const& next) {
    return object<httpt_password>(new cached_pwd(user, password, next));
}

// What a stored last-success text may hold: a known name with the arguments
// and ports its attempt reads.
bool well_formed(AutoTransport::cmd const& m) {
    if (m.name == "direct" || m.name == "https-direct") return m.args.size() >= 1 && m.ports.size() >= 1;
    if (m.name == "https-proxy") return m.args.size() >= 2;
    if (m.name == "httpt-proxy" || m.name == "httpt-direct") return m.args.size() >= 3 && m.ports.size() >= 1;
    return false;
}

} // namespace

AutoTransport::AutoTransport(std::map<std::string, std::string> const& options, std::string& last_success)
    : m_last_success(last_success), m_test(options.count("test") != 0), m_options(options) {}

void AutoTransport::set_report(void (*report)(void*, std::string), void* context) {
    m_report = report;
    m_report_context = context;
}

void AutoTransport::set_httpt_password(object<httpt_password> password) {
    m_password = std::move(password);
}

std::string AutoTransport::option(std::string const& key) const {
    auto found = m_options.find(key);
    return found == m_options.end() ? std::string() : found->second;
}

bool AutoTransport::allowed(std::string const& name) const {
    return m_forced.empty() || m_forced.count(name) != 0;
}

std::string AutoTransport::pack(cmd const& method) {
    std::string packed;
    rulo_packet_push(packed, method);
    return packed;
}

void AutoTransport::init() {
    if (m_initialised) return;
    if (option("noreadopt").empty()) import_connect_options(m_options);

    if (!option("httpt_port").empty() && option("connect").find(':') == std::string::npos) {
        m_options["connect"] += ":" + option("httpt_port");
        log().fmt_verbose("added [:%1%] to destination", option("httpt_port"));
    }
    log().fmt_verbose("destination: [%1%]", option("connect"));
    log().fmt_verbose("original destination: [%1%]", option("original"));

    std::string additional = option("additional");
    save_additional(option("original"), additional);
    if (has("additional") || !additional.empty()) m_options["additional"] = additional;
    if (!additional.empty()) log().fmt_verbose("additional: [%1%]", additional);

    std::string main_host;
    std::vector<unsigned short> ports;
    get_procid(option("connect"), main_host, ports);
    std::vector<unsigned short> direct_ports;
    for (unsigned short port : ports) {
        if (port == 80) {
            m_options["http"] = "1";
            log().fmt_verbose("port 80 requested, adding HTTP to list");
        } else if (port == 443) {
            m_options["https"] = "1";
            log().fmt_verbose("port 443 requested, adding HTTPS to list");
        } else {
            direct_ports.push_back(port);
        }
    }

    std::vector<std::string> hosts{main_host};
    std::vector<std::string> extra, listed;
    get_tokens(&listed, additional, "\n\r;, ");
    for (std::string const& entry : listed) {
        std::string host;
        unsigned short port = 0;
        address_error const error = parse_host_port(entry, 1, host, port);
        if (error == address_error::none)
            extra.push_back(entry);
        else
            refuse("additional server [" + entry + "]: " + address_error_text(error));
    }
    std::shuffle(extra.begin(), extra.end(), rulo_random());
    for (size_t i = 0; i < extra.size() && hosts.size() < 3; ++i) hosts.push_back(extra[i]);
    for (std::string& host : hosts) set_target(host, option("original"), host);
    log().fmt_verbose("connection list: [%1%]", join_tokens(",", hosts));
    log().fmt_verbose("direct ports: [%1%], HTTP=%2%, HTTPS=%3%", ports_text(direct_ports), option("http"),
                      option("https"));

    unsigned short http_port = 80;
    unsigned short https_port = 443;
    if (!direct_ports.empty()) {
        if (!has("http")) http_port = direct_ports[0];
        if (!has("https")) https_port = direct_ports[0];
    }
    log().fmt_verbose("HTTP tunnel port: %1%, HTTPS tunnel port: %2%", http_port, https_port);

    if (!option("mtu").empty()) m_mtu = destringify<int>(option("mtu"));

    std::vector<std::string> forced;
    get_tokens(&forced, option("force"), " ,;");
    m_forced.clear();
    for (size_t i = 0; i < forced.size(); ++i) m_forced[forced[i]] = int(i);
    if (!m_forced.empty()) {
        std::vector<std::string> entries;
        for (auto const& f : m_forced) entries.push_back(f.first + " (" + std::to_string(f.second) + ")");
        log().fmt_verbose("forcing transports [%1%]", join_tokens(" | ", entries));
    }

    if (!option("retry").empty()) {
        int retries = destringify<int>(option("retry"));
        int interval = option("retry_interval").empty() ? 10 : destringify<int>(option("retry_interval"));
        if (retries > 0 && interval >= 0) {
            m_retries = retries;
            m_retry_interval = interval;
            log().fmt_verbose("will retry %1% times, interval: %2% secs", retries, interval);
        }
    }

    std::vector<cmd> methods;
    std::string const original = option("original");
    for (size_t h = 0; h < hosts.size(); ++h) {
        std::string const& host = hosts[h];
        int priority = 1000 - int(h);
        auto add = [&](std::string name, std::vector<std::string> args,
                       std::vector<unsigned short> method_ports) {
            methods.push_back(cmd{std::move(name), std::move(args), std::move(method_ports), priority--});
        };
        if (!has("nodirect") && allowed("direct"))
            for (unsigned short port : direct_ports) add("direct", {host}, {port});
        if (!has("nooldhttp")) {
            if (allowed("https-proxy"))
                add("https-proxy", {host, host + ":" + std::to_string(https_port)}, {});
            if (allowed("https-direct") && https_port == 443) add("https-direct", {host}, {https_port});
            if (allowed("httpt-proxy"))
                add("httpt-proxy", {host, host + ":" + std::to_string(http_port), original}, {http_port});
            if (allowed("httpt-direct"))
                add("httpt-direct", {host + ":" + std::to_string(http_port), original, host}, {http_port});
        }
    }
    auto by_priority = [](cmd const& a, cmd const& b) { return a.priority > b.priority; };
    if (!m_forced.empty()) {
        std::stable_sort(methods.begin(), methods.end(), by_priority);
        std::stable_sort(methods.begin(), methods.end(), [this](cmd const& a, cmd const& b) {
            return m_forced.at(a.name) < m_forced.at(b.name);
        });
        int priority = 1000;
        for (cmd& m : methods) m.priority = priority--;
    }
    m_methods = std::move(methods);
    place_last_success();
    std::stable_sort(m_methods.begin(), m_methods.end(), by_priority);
    m_next = 0;
    m_initialised = true;
    log().fmt_verbose("initialized");
}

void AutoTransport::place_last_success() {
    if (m_last_success.empty()) return;
    log().fmt_verbose("Moving last successful connection attempt to the top");
    cmd last;
    try {
        std::string packed = m_last_success;
        rulo_packet_pop(packed, last);
        // Bytes left over, or a method whose attempt would read what it does
        // not hold, are not a method this program stored.
        if (!packed.empty() || !well_formed(last)) throw exception::function("place_last_success");
    } catch (exception const& e) {
        log().fmt_verbose("ignoring a last successful connection that does not read: %1%", e.what());
        return;
    } catch (...) {
        log().fmt_verbose("ignoring a last successful connection that does not read");
        return;
    }
    // The stored text may spell a number longer than this program writes it;
    // the twin in the list is found by the method it reads as.
    std::string const stored = pack(last);
    std::vector<cmd> methods;
    if (allowed(last.name)) {
        last.priority = 9999;
        methods.push_back(last);
    }
    for (cmd& m : m_methods)
        if (pack(m) != stored) methods.push_back(std::move(m));
    m_methods = std::move(methods);
}

void AutoTransport::refuse(std::string const& text) {
    if (!m_refused.insert(text).second) return;
    log().fmt_verbose("%1%", text);
    if (m_report) m_report(m_report_context, text);
}

AutoTransport::http_proxy_data& AutoTransport::get_http_proxy_data(std::string const& destination) {
    auto found = m_proxy_data.find(destination);
    if (found != m_proxy_data.end()) return found->second;
    http_proxy_data data;
    data.user = data.https_user = option("http_proxy_user");
    data.password = data.https_password = option("http_proxy_password");
    std::string http = option("http_proxy");
    std::string https = option("http_proxy_ssl");
    std::string const name = http.empty() ? "http_proxy_ssl" : "http_proxy";
    if (https.empty()) https = http;
    if (http.empty()) http = https;
    found_proxy http_found, https_found;
    http_proxy_detect(data.from_system, http_found, https_found, data.pac, destination,
                      http_proxy_setting(http, https), option("http_proxy_pac"), name);
    data.http_proxy = http_found.address;
    data.https_proxy = https_found.address;
    // The account an address names is that proxy's own, before the options' one.
    if (http_found.has_account) {
        data.user = http_found.user;
        data.password = http_found.password;
    }
    if (https_found.has_account) {
        data.https_user = https_found.user;
        data.https_password = https_found.password;
    }
    for (found_proxy const* f : {&http_found, &https_found})
        if (!f->refused.empty()) refuse(f->refused);
    return m_proxy_data.emplace(destination, std::move(data)).first->second;
}

void AutoTransport::get_http_proxy_account(std::string& user, std::string& password) {
    user = option("http_proxy_user");
    password = option("http_proxy_password");
}

unsigned int AutoTransport::resolve_address(std::string const& host) {
    auto found = m_resolved.find(host);
    if (found != m_resolved.end()) {
        if (found->second == 0) throw exception::function("resolve_address");
        return found->second;
    }
    log().fmt_verbose("resolving [%1%]", host);
    unsigned int address = 0;
    try {
        address = get_iaddr(host);
    } catch (...) {
        address = 0;
    }
    m_resolved[host] = address;
    if (address == 0) {
        log().fmt_verbose("cannot resolve [%1%]", host);
        throw exception::function("resolve_address");
    }
    log().fmt_verbose("[%1%] resolved to [%2%]", host, addr_as_string(address));
    return address;
}

tIProcessId AutoTransport::resolve_procid(std::string const& host, unsigned short port) {
    return tIProcessId(resolve_address(host), port);
}

void AutoTransport::announce(cmd const& method, std::string text, std::string* text_out) {
    text += " (" + std::to_string(method.priority) + ")";
    log().fmt_verbose("%1%", text);
    if (m_report) m_report(m_report_context, text);
    if (text_out) *text_out = text;
}

object<rptTransport> AutoTransport::connect_tcp(tIProcessId const& address, bool tls,
                                                object<rptTransportSink> const& sink, long timeout) {
    object<socket> s(new socket(socket::tcp, address));
    set_mtu(*s.get(), m_mtu);
    s->connect(timeout);
    netbuf first;
    if (tls) ssl_connect_if_supported(timeout, s, first);
    object<rptSocket> transport(new rptSocket);
    // Plaintext that came with the end of the handshake goes to the sink
    // before anything the poller reads after it: the poller delivers under
    // the framework lock, held here until these bytes are out.
    rulo_lock_guard lock;
    transport->start(sink, s);
    if (!first.empty() && sink) {
        try {
            sink->received(first);
        } catch (...) {
            transport->disconnect(); // a sink that fails on its first bytes fails the attempt
            throw;
        }
    }
    return transport;
}

object<rptTransport> AutoTransport::attempt(cmd const& m, object<rptTransportSink> const& sink, long timeout,
                                            std::string* text) {
    if (m.name == "direct" || m.name == "https-direct") {
        bool tls = m.name == "https-direct";
        tIProcessId address = resolve_procid(m.args.at(0), m.ports.at(0));
        announce(m, std::string(tls ? "HTTPS" : "TCP") + " connection to " + addr_as_string(address), text);
        if (m_test) return {};
        return connect_tcp(address, tls, sink, timeout);
    }
    if (m.name == "httpt-proxy") {
        std::string proxy = get_http_proxy_data(m.args.at(0)).http_proxy;
        if (proxy.empty()) return {};
        announce(m,
                 "HTTP tunnel to " + m.args.at(1) + "->" + addr_as_string(m.ports.at(0)) +
                     " through web proxy " + proxy,
                 text);
        if (m_test) return {};
        http_proxy_data const& data = get_http_proxy_data(m.args.at(0));
        object<httpt> tunnel(new httpt(sink, make_cached_pwd(data.user, data.password, m_password), m_mtu));
        tunnel->connect(timeout, m.ports.at(0), proxy, m.args.at(1), m.args.at(2));
        return tunnel;
    }
    if (m.name == "https-proxy") {
        std::string proxy = get_http_proxy_data(m.args.at(0)).https_proxy;
        if (proxy.empty()) return {};
        announce(m, "HTTPS connection to " + m.args.at(1) + " through web proxy " + proxy, text);
        if (m_test) return {};
        http_proxy_data const& data = get_http_proxy_data(m.args.at(0));
        object<httpt> tunnel(
            new httpt(sink, make_cached_pwd(data.https_user, data.https_password, m_password), m_mtu));
        tunnel->cconnect(timeout, proxy, m.args.at(1));
        return tunnel;
    }
    if (m.name == "httpt-direct") {
        announce(m, "HTTP tunnel to " + m.args.at(0) + "->" + std::to_string(m.ports.at(0)), text);
        if (m_test) return {};
        std::string user, password;
        get_http_proxy_account(user, password);
        object<httpt> tunnel(new httpt(sink, make_cached_pwd(user, password, m_password), m_mtu));
        tunnel->connect(timeout, m.ports.at(0), m.args.at(0), "", m.args.at(1));
        return tunnel;
    }
    log().fmt_verbose("skipping method [%1%]", m.name);
    return {};
}

void AutoTransport::write_back(cmd const& m, std::map<std::string, std::string>& back) {
    back["force"] = m.name;
    for (char const* key : {"mtu", "wininethtml", "http", "https"})
        if (!option(key).empty()) back[key] = option(key);
    std::string destination;
    if (m.name == "https-proxy" || m.name == "httpt-proxy") destination = m.args.at(0);
    if (m.name == "httpt-direct") destination = m.args.at(2);
    if (destination.empty()) return;
    http_proxy_data const& data = get_http_proxy_data(destination);
    if (!data.user.empty()) back["http_proxy_user"] = data.user;
    if (!data.password.empty()) back["http_proxy_password"] = data.password;
    if (!data.pac.empty()) back["http_proxy_pac"] = data.pac;
    if (!data.http_proxy.empty()) back["http_proxy"] = data.http_proxy;
    if (!data.https_proxy.empty() && data.https_proxy != data.http_proxy)
        back["http_proxy_ssl"] = data.https_proxy;
}

object<rptTransport> AutoTransport::get_next(object<rptTransportSink> sink, bool single_step, long timeout,
                                             std::string* name, std::string* text,
                                             std::map<std::string, std::string>* back) {
    init();
    log().fmt_verbose("trying to get a transport");
    if (name) name->clear();
    m_last_success.clear();
    for (;;) {
        while (m_next < m_methods.size()) {
            cmd const m = m_methods[m_next];
            object<rptTransport> result;
            try {
                result = attempt(m, sink, timeout, text);
            } catch (exception const& e) {
                log().fmt_verbose("%1% failed: %2%", m.name, e.what());
            } catch (std::exception const& e) {
                log().fmt_verbose("%1% failed: %2%", m.name, e.what());
            } catch (...) {
                log().fmt_verbose("%1% failed", m.name);
            }
            ++m_next;
            if (m_test) continue;
            if (result && !option("no_delay").empty()) {
                try {
                    result->no_delay();
                } catch (...) {
                }
            }
            if (!result) {
                if (single_step) return {};
                continue;
            }
            log().fmt_verbose("success");
            m_last_success = pack(m);
            if (name) *name = m.name;
            if (back) write_back(m, *back);
            return result;
        }
        if (m_retries <= 0) {
            log().fmt_verbose("no working transport found");
            throw exception(find_transport_e);
        }
        log().fmt_verbose("retries left: %1%", m_retries);
        --m_retries;
        if (m_retry_interval > 0) {
            log().fmt_verbose("sleeping between retries: %1% secs...", m_retry_interval);
            std::this_thread::sleep_for(std::chrono::milliseconds(int64_t(m_retry_interval) * 1000));
        }
        // A network that came up since deserves a fresh look-up.
        for (auto it = m_resolved.begin(); it != m_resolved.end();)
            it = it->second == 0 ? m_resolved.erase(it) : ++it;
        m_next = 0;
    }
}

} // namespace rulo
