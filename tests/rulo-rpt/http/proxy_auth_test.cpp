// The proxy handshake: against a real squid for the schemes and the account
// cache, and against a scripted peer for the answers squid will not give
// (redirects, cut heads and bodies, silence, oversized heads, odd lengths).
#include "rulo-rpt/http/proxy_auth.h"

#include "rulo/exception.h"
#include "tests/support/framework_env.h"
#include "tests/support/squid_proxy.h"
#include "tests/support/tcp_peer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <deque>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

using test_support::squid_proxy;
using test_support::tcp_fd;
using test_support::tcp_listener;
using test_support::thrown;
using scheme = squid_proxy::scheme;

std::string const user = "alice";
std::string const password = "Open Sesame 42";

bool squid_missing(scheme s) {
    if (squid_proxy::installed(s)) return false;
    std::fprintf(stderr, "\n****** squid or its auth helper is NOT INSTALLED: the proxy handshake "
                         "tests are SKIPPED ******\n\n");
    return true;
}

// A person at the prompt: records each question and answers from a script;
// an exhausted script refuses.
struct scripted_password : rulo::httpt_password {
    struct question {
        bool retry;
        std::string realm;
        bool arrived_empty;
    };
    std::deque<std::pair<std::string, std::string>> accounts;
    std::vector<question> asked;
    void httpt_password_event(bool retry, std::string realm, std::string& u, std::string& p) override {
        asked.push_back({retry, realm, u.empty() && p.empty()});
        if (accounts.empty()) throw rulo::exception("refused by the person");
        u = accounts.front().first;
        p = accounts.front().second;
        accounts.pop_front();
    }
};

struct auth_kit {
    rulo::auth_param ap;
    scripted_password* prompt = new scripted_password;
    explicit auth_kit(long timeout = 15) {
        ap.password_cb = rulo::object<rulo::httpt_password>(prompt);
        ap.timeout = timeout;
        ap.hostname = "host";
        ap.domain = "domain";
    }
};

rulo::object<rulo::socket> connect_to(int port) {
    rulo::object<rulo::socket> s(
        new rulo::socket(rulo::socket::tcp, tIProcessId(0x7f000001, uint16_t(port))));
    s->connect(15);
    return s;
}

// Reads one request head (up to the empty line) and what came with it.
std::string read_head(tcp_fd& fd, std::string& extra) {
    std::string got;
    for (size_t end; (end = got.find("\r\n\r\n")) == std::string::npos;) {
        std::string more = fd.receive_some();
        if (more.empty()) throw std::runtime_error("peer closed inside a head: " + got);
        got += more;
    }
    size_t end = got.find("\r\n\r\n") + 4;
    extra = got.substr(end);
    return got.substr(0, end);
}

std::string read_exactly(tcp_fd& fd, size_t n, std::string got = "") {
    while (got.size() < n) {
        std::string more = fd.receive_some(n - got.size());
        if (more.empty()) throw std::runtime_error("peer closed after " + std::to_string(got.size()));
        got += more;
    }
    return got;
}

// An origin server behind the proxy, on its own thread: answers each
// connection's requests by handler until the connection closes.
struct origin {
    tcp_listener listener;
    std::vector<std::string> heads;  // every request head, in order
    std::vector<std::string> bodies; // the body each carried (by Content-Length)
    std::thread worker;
    explicit origin(int connections) {
        worker = std::thread([this, connections] {
            try {
                for (int c = 0; c < connections; ++c) {
                    tcp_fd fd = listener.accept();
                    std::string extra, head = read_head(fd, extra);
                    size_t at = head.find("Content-Length: ");
                    size_t length = at == std::string::npos ? 0 : std::stoul(head.substr(at + 16));
                    heads.push_back(head);
                    bodies.push_back(read_exactly(fd, length, extra));
                    fd.send_all("HTTP/1.1 200 OK\r\nContent-Length: 5\r\nConnection: close\r\n\r\nhello");
                }
            } catch (std::exception const& e) {
                heads.push_back(std::string("origin failed: ") + e.what());
            }
        });
    }
    ~origin() { worker.join(); }
};

xstd::http request(std::string const& method, std::string const& uri) {
    xstd::http r = xstd::get_http_request(method, uri, 1, 1);
    r.set_field("User-Agent", "VYN");
    r.set_field("Connection", "keep-alive");
    return r;
}

// Through squid: the GET is challenged and the person asked once (retry
// false, realm = the proxy's address); the POST probes body-less, is
// challenged too and reuses the accepted account without asking; its real
// head then goes out and the body reaches the origin whole. A wrong first
// password gets one more question, with retry set and the account cleared.
TEST(proxy_auth, get_then_post_through_squid_for_each_scheme) {
    struct row {
        scheme s;
        std::vector<std::pair<std::string, std::string>> accounts;
        std::vector<bool> retries; // of every question asked
    };
    std::vector<row> const rows = {
        {scheme::basic, {{user, password}}, {false}},
        {scheme::digest, {{user, password}}, {false}},
        {scheme::ntlm, {{"CORP\\" + user, password}}, {false}},
        {scheme::basic, {{user, "wrong"}, {user, password}}, {false, true}},
        {scheme::digest, {{user, "wrong"}, {user, password}}, {false, true}},
    };
    for (row const& r : rows) {
        if (squid_missing(r.s)) return;
        SCOPED_TRACE(int(r.s));
        origin server(2);
        squid_proxy proxy(r.s, server.listener.port(), user, password, "", true);
        tIProcessId const peer(0x7f000001, uint16_t(proxy.port()));
        std::string const url = "http://127.0.0.1:" + std::to_string(server.listener.port()) + "/webaccess/x";
        auth_kit kit;
        kit.prompt->accounts.assign(r.accounts.begin(), r.accounts.end());

        auto s = connect_to(proxy.port());
        netbuf leftover;
        xstd::http got = rulo::make_auth(&kit.ap, peer, s, request("GET", url), leftover);
        EXPECT_EQ(got.status, 200) << proxy.diagnostics();
        netbuf body = leftover;
        rulo::finish_resp(false, 15, got, s, leftover, &body);
        EXPECT_EQ(body.to_string(), "hello");

        xstd::http post = request("POST", url);
        post.set_field("Content-Length", "600000");
        auto up = connect_to(proxy.port());
        EXPECT_TRUE(rulo::make_auth(&kit.ap, peer, up, post, leftover).fields.empty());
        std::string const data(600000, 'z');
        up->send(netbuf::from_string(data), rulo::network_chunk, false);
        while (!up->send(nullptr, rulo::network_chunk, false)) {
        }
        netbuf answer;
        EXPECT_EQ(rulo::get_response(false, 15, up, xstd::http(), answer, netbuf()).status, 200);
        server.worker.join();
        server.worker = std::thread([] {});
        ASSERT_EQ(server.bodies.size(), 2u) << server.heads.back();
        EXPECT_EQ(server.bodies[1].size(), data.size());
        EXPECT_EQ(server.bodies[1], data);

        ASSERT_EQ(kit.prompt->asked.size(), r.retries.size());
        for (size_t i = 0; i < r.retries.size(); ++i) {
            EXPECT_EQ(kit.prompt->asked[i].retry, r.retries[i]);
            EXPECT_EQ(kit.prompt->asked[i].realm, "127.0.0.1:" + std::to_string(proxy.port()));
            EXPECT_TRUE(kit.prompt->asked[i].arrived_empty);
        }
        if (r.s == scheme::ntlm) {
            EXPECT_EQ(kit.ap.user, user);
            EXPECT_EQ(kit.ap.domain, "CORP");
        }
    }
}

// A person who refuses ends the attempt with the refusal itself; a CONNECT
// through squid then carries bytes both ways unchanged.
TEST(proxy_auth, connect_through_squid_and_refusal) {
    if (squid_missing(scheme::basic)) return;
    tcp_listener target;
    squid_proxy proxy(scheme::basic, target.port(), user, password);
    tIProcessId const peer(0x7f000001, uint16_t(proxy.port()));
    std::string const where = "127.0.0.1:" + std::to_string(target.port());

    auth_kit refusing;
    auto s = connect_to(proxy.port());
    netbuf leftover;
    EXPECT_EQ(thrown([&] { rulo::make_auth(&refusing.ap, peer, s, request("CONNECT", where), leftover); }),
              "refused by the person");
    EXPECT_EQ(refusing.prompt->asked.size(), 1u);

    auth_kit kit;
    kit.prompt->accounts = {{user, password}};
    s = connect_to(proxy.port());
    leftover.clear(); // the refused attempt left the 407's body there
    EXPECT_EQ(rulo::make_auth(&kit.ap, peer, s, request("CONNECT", where), leftover).status, 200);
    EXPECT_TRUE(leftover.empty());
    tcp_fd inside = target.accept();
    s->send(netbuf::from_string("ping"), rulo::network_chunk, false);
    EXPECT_EQ(read_exactly(inside, 4), "ping");
    inside.send_all("pong");
    netbuf back;
    s->receive(15, back, nullptr, 4, false);
    EXPECT_EQ(back.to_string(), "pong");
}

// A peer that answers each connection from a script: after reading one
// request head it sends the reply, then closes (or, with stay, keeps silent).
struct scripted_peer {
    struct turn {
        std::string reply;
        bool stay = false;               // keep the connection open and silent afterwards
        std::vector<std::string> then{}; // replies to further requests on the same connection
    };
    tcp_listener listener;
    std::vector<std::string> heads;
    std::thread worker;
    explicit scripted_peer(std::vector<turn> turns) {
        worker = std::thread([this, turns] {
            std::vector<tcp_fd> kept;
            try {
                for (turn const& t : turns) {
                    tcp_fd fd = listener.accept(nullptr, 5000);
                    std::string extra;
                    heads.push_back(read_head(fd, extra));
                    fd.send_all(t.reply);
                    for (std::string const& reply : t.then) {
                        heads.push_back(read_head(fd, extra));
                        fd.send_all(reply);
                    }
                    if (t.stay) kept.push_back(std::move(fd));
                }
                for (tcp_fd& fd : kept) fd.receive_some(65536, 20000); // until the client lets go
            } catch (std::exception const&) {
            }
        });
    }
    ~scripted_peer() { worker.join(); }
};

std::string const challenge_basic =
    "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic realm=\"x\"\r\n"
    "Content-Length: 0\r\n\r\n";

// Each answer and the error it must give.
TEST(proxy_auth, answers_a_proxy_may_give) {
    std::string const big_field = "X-Filler: " + std::string(15000, 'f') + "\r\n";
    struct row {
        char const* what;
        std::string method;
        std::vector<scripted_peer::turn> turns;
        std::string error;         // "" = accepted
        std::string leftover = ""; // then: what follows the head and body
    };
    std::vector<row> const rows = {
        {"redirect",
         "GET",
         {{"HTTP/1.1 302 Found\r\nLocation: http://elsewhere/\r\nContent-Length: 0\r\n\r\n"}},
         ":Error in 'make_auth'"},
        {"server error",
         "GET",
         {{"HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n"}},
         ":Error in 'make_auth'"},
        {"cut head", "GET", {{"HTTP/1.1 407 Proxy Auth"}}, ":Error in 'get_response'"},
        {"silence", "GET", {{"", true}}, rulo::receive_timeout_e},
        {"head over 64 KiB",
         "GET",
         {{"HTTP/1.1 200 OK\r\n" + big_field + big_field + big_field + big_field + big_field + "\r\n"}},
         ":Error in 'get_response'"},
        {"no scheme known",
         "GET",
         {{"HTTP/1.1 407 No\r\nProxy-Authenticate: Kerberos\r\nContent-Length: 0\r\n\r\n"}},
         ":Error in 'make_auth'"},
        {"CONNECT body cut",
         "CONNECT",
         {{"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabcd"}},
         ":Error in 'finish_resp'"},
        {"CONNECT negative length",
         "CONNECT",
         {{"HTTP/1.1 200 OK\r\nContent-Length: -5\r\n\r\n", true}},
         ":Error in 'finish_resp'"},
        {"CONNECT length not a number",
         "CONNECT",
         {{"HTTP/1.1 200 OK\r\nContent-Length: 1x\r\n\r\n", true}},
         ":Error in 'finish_resp'"},
        {"CONNECT length 0",
         "CONNECT",
         {{"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\nPIPE", true}},
         "",
         "PIPE"},
        {"CONNECT body dropped",
         "CONNECT",
         {{"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabcdefghijPIPE", true}},
         "",
         "PIPE"},
    };
    for (row const& r : rows) {
        SCOPED_TRACE(r.what);
        scripted_peer peer(r.turns);
        auth_kit kit(1);
        kit.prompt->accounts = {{user, password}};
        auto s = connect_to(peer.listener.port());
        netbuf leftover;
        std::string error = thrown([&] {
            rulo::make_auth(&kit.ap, peer.listener.address(), s, request(r.method, "127.0.0.1:9"), leftover);
        });
        EXPECT_EQ(error, r.error);
        if (r.error.empty()) {
            EXPECT_EQ(leftover.to_string(), r.leftover);
        }
        s->close();
    }
}

// A body-less POST probe that the proxy lets through is closed by its answer:
// the real head must go out on a fresh connection, with the real length.
TEST(proxy_auth, accepted_post_probe_sends_the_real_head_anew) {
    scripted_peer peer({{challenge_basic},
                        {"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"},
                        {"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"},
                        {"", true}});
    auth_kit kit;
    kit.prompt->accounts = {{user, password}};
    netbuf leftover;
    auto s = connect_to(peer.listener.port());
    EXPECT_EQ(rulo::make_auth(&kit.ap, peer.listener.address(), s, request("GET", "/w"), leftover).status,
              200);
    xstd::http post = request("POST", "/w");
    post.set_field("Content-Length", "700000");
    auto up = connect_to(peer.listener.port());
    EXPECT_TRUE(rulo::make_auth(&kit.ap, peer.listener.address(), up, post, leftover).fields.empty());
    up->close();
    s->close();
    peer.worker.join();
    peer.worker = std::thread([] {});
    ASSERT_EQ(peer.heads.size(), 4u);
    EXPECT_NE(peer.heads[2].find("Content-Length: 0\r\n"), std::string::npos) << peer.heads[2];
    EXPECT_NE(peer.heads[3].find("POST /w "), std::string::npos) << peer.heads[3];
    EXPECT_NE(peer.heads[3].find("Content-Length: 700000\r\n"), std::string::npos) << peer.heads[3];
    EXPECT_EQ(kit.prompt->asked.size(), 1u);
}

// Offered both, Digest wins over Basic; a Digest that cannot be answered
// leaves Basic; Basic wins over NTLM.
TEST(proxy_auth, scheme_preference) {
    struct row {
        std::string offers;
        std::string answer_starts;
    };
    std::vector<row> const rows = {
        {"Proxy-Authenticate: NTLM\r\nProxy-Authenticate: Basic realm=\"r\"\r\n"
         "Proxy-Authenticate: Digest realm=\"r\", nonce=\"n\", qop=\"auth\"\r\n",
         "Proxy-Authorization: Digest "},
        {"Proxy-Authenticate: Basic realm=\"r\"\r\nProxy-Authenticate: Digest realm=\"r\", nonce=\"n\", "
         "algorithm=SHA-999\r\n",
         "Proxy-Authorization: Basic "},
        {"Proxy-Authenticate: NTLM\r\nProxy-Authenticate: Basic realm=\"r\"\r\n",
         "Proxy-Authorization: Basic "},
        {"Proxy-Authenticate: NTLM\r\n", "Proxy-Authorization: NTLM "},
    };
    for (row const& r : rows) {
        SCOPED_TRACE(r.offers);
        scripted_peer peer({{"HTTP/1.1 407 No\r\n" + r.offers + "Content-Length: 0\r\n\r\n"},
                            {"HTTP/1.1 502 Stop\r\nContent-Length: 0\r\n\r\n"}});
        auth_kit kit;
        kit.prompt->accounts = {{user, password}};
        netbuf leftover;
        auto s = connect_to(peer.listener.port());
        thrown([&] { rulo::make_auth(&kit.ap, peer.listener.address(), s, request("GET", "/w"), leftover); });
        s->close();
        peer.worker.join();
        peer.worker = std::thread([] {});
        ASSERT_EQ(peer.heads.size(), 2u);
        EXPECT_NE(peer.heads[1].find(r.answer_starts), std::string::npos) << peer.heads[1];
    }
}

// NTLM takes the domain from the account name; a reused account is split
// already.
TEST(proxy_auth, ntlm_domain_forms) {
    struct row {
        std::string typed, user, domain;
    };
    std::vector<row> const rows = {
        {"bob@EXAMPLE", "bob", "EXAMPLE"},
        {"CORP\\bob", "bob", "CORP"},
        {".\\bob", "bob", "domain"},
        {"bob", "bob", "domain"},
    };
    for (row const& r : rows) {
        SCOPED_TRACE(r.typed);
        scripted_peer peer({{"HTTP/1.1 407 No\r\nProxy-Authenticate: NTLM\r\nContent-Length: 0\r\n\r\n"},
                            {"HTTP/1.1 502 Stop\r\nContent-Length: 0\r\n\r\n"}});
        auth_kit kit;
        kit.prompt->accounts = {{r.typed, password}};
        netbuf leftover;
        auto s = connect_to(peer.listener.port());
        thrown([&] { rulo::make_auth(&kit.ap, peer.listener.address(), s, request("GET", "/w"), leftover); });
        s->close();
        EXPECT_EQ(kit.ap.user, r.user);
        EXPECT_EQ(kit.ap.domain, r.domain);
    }
}

// NTLM authenticates a connection: a refused type-3 answer restarts the
// whole exchange on a fresh connection with the request as first given, and
// the person is asked again (retry set, the refused account cleared).
TEST(proxy_auth, ntlm_refused_account_restarts_and_asks_again) {
    // A type-2 challenge: signature, type 2, empty target name at offset 32,
    // flags 0x8201 (Unicode, NTLM, always sign), the nonce 0123456789abcdef.
    std::string const challenge =
        "HTTP/1.1 407 No\r\nProxy-Authenticate: NTLM TlRMTVNTUAACAAAAAAAAACAAAAABggAAASNFZ4mrze8=\r\n"
        "Content-Length: 3\r\n\r\nabc";
    std::string const offer = "HTTP/1.1 407 No\r\nProxy-Authenticate: NTLM\r\nContent-Length: 0\r\n\r\n";
    scripted_peer peer({{offer},
                        {challenge, false, {offer}},
                        {offer},
                        {challenge, true, {"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"}}});
    auth_kit kit;
    kit.prompt->accounts = {{"CORP\\mallory", "wrong"}, {"CORP\\" + user, password}};
    netbuf leftover;
    auto s = connect_to(peer.listener.port());
    EXPECT_EQ(rulo::make_auth(&kit.ap, peer.listener.address(), s, request("GET", "/w"), leftover).status,
              200);
    s->close();
    peer.worker.join();
    peer.worker = std::thread([] {});

    ASSERT_EQ(peer.heads.size(), 6u);
    char const* const sent[] = {nullptr, "NTLM TlRMTVNTUAAB", "NTLM TlRMTVNTUAAD",
                                nullptr, "NTLM TlRMTVNTUAAB", "NTLM TlRMTVNTUAAD"};
    for (size_t i = 0; i < 6; ++i) {
        SCOPED_TRACE(i);
        std::string const& head = peer.heads[i];
        EXPECT_EQ(head.rfind("GET /w ", 0), 0u) << head;
        if (sent[i])
            EXPECT_NE(head.find(std::string("Proxy-Authorization: ") + sent[i]), std::string::npos) << head;
        else
            EXPECT_EQ(head.find("Proxy-Authorization"), std::string::npos) << head;
    }
    ASSERT_EQ(kit.prompt->asked.size(), 2u);
    EXPECT_FALSE(kit.prompt->asked[0].retry);
    EXPECT_TRUE(kit.prompt->asked[1].retry);
    EXPECT_TRUE(kit.prompt->asked[1].arrived_empty);
    EXPECT_EQ(kit.prompt->asked[1].realm, rulo::addr_as_string(peer.listener.address()));
    EXPECT_EQ(kit.ap.user, user);
    EXPECT_EQ(kit.ap.domain, "CORP");
}

} // namespace
