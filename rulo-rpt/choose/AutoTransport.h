// The transport chooser: finds a way out of the local network to the relay.
//
// From an option map it builds an ordered list of connection methods for up
// to three server hosts, then get_next tries them in order and returns the
// first transport that connects:
//
//   "direct"        TCP to one direct port          (a rptSocket)
//   "https-direct"  TLS straight to port 443         (a rptSocket over a TLS socket)
//   "https-proxy"   CONNECT through a web proxy      (the HTTP tunnel's transport)
//   "httpt-proxy"   HTTP tunnel through a web proxy
//   "httpt-direct"  HTTP tunnel straight to the relay
//
// The last three are rulo::httpt (rulo-rpt/http/httpt.h); their proxy
// account is the one the proxy's address named, else the options' one,
// offered once, then the session host's prompt. A proxy shows as host:port
// only, in the log and in the attempts' texts. A proxy, relay or additional
// server address whose port is not a number from 1 to 65535 is refused with
// a text that names it, and never used.
//
// The method that worked last (a packed cmd the caller keeps between
// sessions) goes first; "force" limits and orders the methods; success
// writes the settings that worked into the caller's option map. The list
// and its priorities, for a host H with the options' ports:
//
//   host 1 starts at 1000, host 2 at 999, host 3 at 998; within a host the
//   priority counts down by one per method: every "direct" port in order,
//   then "https-proxy", "https-direct" (only when the HTTPS tunnel port is
//   443), "httpt-proxy", "httpt-direct". Equal priorities keep their order
//   in the stable sort, so the hosts interleave.
//
// Ownership and threads: a local of the connecting code, used by one thread
// at a time; it takes no lock. get_next blocks: up to the time-out per
// connect and per TLS handshake, and for the sleeps between retry walks.
// A call goes on from the method after the one the previous call ended
// with; once the list and its retries are spent every call throws at once
// (a new session makes a new chooser). A transport handed out is started
// and the caller's.
#pragma once

#include "rulo-rpt/http/httpt_password.h"
#include "rulo-rpt/net/process_id.h"
#include "rulo-rpt/rptTransport.h"
#include "rulo/object.h"
#include "rulo/packet.h"

#include <map>
#include <set>
#include <string>
#include <vector>

namespace rulo {

class AutoTransport {
public:
    // One connection method. args and ports per name:
    //   "direct"        host                                   | one direct port
    //   "https-direct"  host                                   | the HTTPS tunnel port (443)
    //   "https-proxy"   host; host:HTTPS tunnel port           | none
    //   "httpt-proxy"   host; host:HTTP tunnel port; original  | the HTTP tunnel port
    //   "httpt-direct"  host:HTTP tunnel port; original; host  | the HTTP tunnel port
    // The priority does not travel in the packed form.
    struct cmd {
        std::string name;
        std::vector<std::string> args;
        std::vector<unsigned short> ports;
        int priority = 0;
    };

    // The web proxies for one destination.
    struct http_proxy_data {
        std::string http_proxy; // host:port
        std::string https_proxy;
        std::string pac;
        std::string user; // the HTTP proxy's account
        std::string password;
        bool from_system = false; // filled by the detection, not read here
        std::string https_user;   // the HTTPS proxy's account
        std::string https_password;
    };

    // The connect and TLS time-out of get_next when its caller gives none.
    static constexpr long default_timeout = 15;

    // Copies the options; keeps a reference to the caller's last-success text,
    // which must outlive the chooser.
    AutoTransport(std::map<std::string, std::string> const& options, std::string& last_success);

    // The callback gets the text of every attempt before it starts.
    void set_report(void (*report)(void*, std::string), void* context);
    void set_httpt_password(object<httpt_password> password);

    // Builds the method list; later calls return at once. A "connect" option
    // that does not parse throws get_procid_e (and the next call tries again).
    void init();

    // Tries the methods from where the last call stopped. Returns a started
    // transport whose sink is sink; with single_step, an empty handle after
    // one failed method. At the end of the list and its retries throws
    // find_transport_e. timeout (seconds) bounds each connect and each TLS
    // handshake. On success: *name (when given) is the method's name,
    // last_success its packed form, and *back gets "force" = the name and the
    // settings that worked. *text gets each attempt's text as it starts.
    // Test mode (option "test") connects nothing: it reports every method
    // that could be tried and ends with find_transport_e.
    object<rptTransport> get_next(object<rptTransportSink> sink, bool single_step = false,
                                  long timeout = default_timeout, std::string* name = nullptr,
                                  std::string* text = nullptr,
                                  std::map<std::string, std::string>* back = nullptr);

    // The proxy data of a destination, detected on first use and cached.
    http_proxy_data& get_http_proxy_data(std::string const& destination);
    // The configured proxy account.
    void get_http_proxy_account(std::string& user, std::string& password);

    // The IPv4 address of host, cached; throws "resolve_address" when it does
    // not resolve. A failed look-up is asked again on the next retry walk.
    unsigned int resolve_address(std::string const& host);
    tIProcessId resolve_procid(std::string const& host, unsigned short port);

    // After init(): the methods, best first, and what init() settled.
    std::vector<cmd> const& methods() const { return m_methods; }
    int retries_left() const { return m_retries; }
    int retry_interval() const { return m_retry_interval; }
    int mtu() const { return m_mtu; }

    // The packed form of a method, as last_success keeps it.
    static std::string pack(cmd const& method);

private:
    object<rptTransport> attempt(cmd const& method, object<rptTransportSink> const& sink, long timeout,
                                 std::string* text);
    object<rptTransport> connect_tcp(tIProcessId const& address, bool tls,
                                     object<rptTransportSink> const& sink, long timeout);
    void announce(cmd const& method, std::string text, std::string* text_out);
    void write_back(cmd const& method, std::map<std::string, std::string>& back);
    // A key read by value: missing and empty are the same, and reading adds
    // nothing (presence tests see only what the caller gave and init added).
    std::string option(std::string const& key) const;
    bool has(std::string const& key) const { return m_options.count(key) != 0; }
    bool allowed(std::string const& name) const;
    void place_last_success();
    // Logs a refused setting and reports it as an attempt's text, once per chooser.
    void refuse(std::string const& text);

    std::vector<cmd> m_methods;
    std::string& m_last_success;
    void (*m_report)(void*, std::string) = nullptr;
    void* m_report_context = nullptr;
    object<httpt_password> m_password;
    bool m_test;
    size_t m_next = 0;
    int m_mtu = 0;
    bool m_initialised = false;
    std::map<std::string, std::string> m_options;
    int m_retries = 0;
    int m_retry_interval = 0;
    std::map<std::string, unsigned int> m_resolved;
    std::map<std::string, http_proxy_data> m_proxy_data;
    std::map<std::string, int> m_forced; // method name to its place in "force"
    std::set<std::string> m_refused;     // refusals already reported
};

} // namespace rulo

// Name, arguments, ports; the priority stays behind.
template <>
struct rulo_packet<rulo::AutoTransport::cmd> {
    template <class Buffer>
    static void push(Buffer& b, rulo::AutoTransport::cmd const& v) {
        rulo_packet_push(b, v.name, v.args, v.ports);
    }
    template <class Buffer>
    static void pop(Buffer& b, rulo::AutoTransport::cmd& v) {
        rulo_packet_pop(b, v.name, v.args, v.ports);
    }
};
