// The request/407 loop against web proxies: every HTTP exchange of the tunnel
// (download GET, upload POST, CONNECT) is sent here, and a proxy's demand for
// authentication is answered with Digest, Basic or NTLM credentials (that
// order of preference) from the tunnel's password provider.
//
// Ownership: one auth_param lives inside each tunnel and is shared by its
// legs; the provider it holds is a counted handle. Nothing is written to disk:
// an account lives as long as its tunnel.
//
// Threads and locks: make_auth holds the auth_param's own recursive mutex for
// the whole exchange, including while the provider waits for a person, so the
// second leg of a tunnel waits for the first and then reuses the account the
// proxy accepted. It is never called with the framework lock held.
//
// Failures: function exceptions named after the step ("make_auth",
// "get_response", "finish_resp"), the socket's own exceptions (time-outs,
// refused connects) and the provider's refusal pass to the caller unchanged.
// No password, nor the credential field carrying it, is ever logged.
#pragma once

#include "rulo-rpt/http/httpt_password.h"
#include "rulo-rpt/http/xstd-http.h"
#include "rulo-rpt/net/process_id.h"
#include "rulo-rpt/net/socket.h"
#include "rulo/lock.h"
#include "rulo/netbuf.h"
#include "rulo/object.h"

#include <atomic>
#include <string>

namespace rulo {

// The most bytes a response head may take; a longer one is refused.
inline constexpr int max_response_head = 64 * 1024;

struct auth_param {
    auth_param() = default;
    auth_param(auth_param const&) = delete;
    auth_param& operator=(auth_param const&) = delete;

    // Makes user and password ready for realm: an account the proxy accepted
    // for the same realm is reused without asking; otherwise the provider is
    // asked, with retry set when the account handed out last was refused (the
    // old account is cleared first). An empty provider throws "get".
    void fetch(std::string const& realm);
    // The proxy let the request through with the account handed out last.
    void pwd_was_ok() { pwd_pending = false; }

    bool probe_post = false; // a GET was challenged: the next POST probes body-less first
    // A leg is inside make_auth (the tunnel clears it); read without either lock.
    std::atomic<bool> in_handshake{false};
    bool pwd_pending = false; // the account handed out last is not yet accepted
    std::string domain;       // NTLM domain
    std::string hostname;     // NTLM workstation
    object<httpt_password> password_cb;
    long timeout = 0; // seconds, for every connect and receive of the handshake
    rec_mutex mutex;
    std::string user;
    std::string password;
    std::string realm;
};

// Sends request on the connected socket and answers 407s until the proxy lets
// it through. peer is where socket is connected; socket may be replaced by a
// fresh connection to it. leftover gets the bytes read after the accepted
// response head. A POST with a non-zero Content-Length is sent without
// waiting for an answer (the tunnel's data follows as its body) and gives an
// empty head; a 200 to a CONNECT has its body read and dropped, so that the
// pipe starts clean. Redirects and statuses other than 200 and 407 throw
// "make_auth".
xstd::http make_auth(auth_param* ap, tIProcessId peer, object<socket>& socket, xstd::http request,
                     netbuf& leftover);

// One request (with body, whose length then replaces Content-Length) and the
// response head on one connection. buffer may hold bytes already read; on
// return it holds those after the head. End of stream before the head is
// complete, or a head of more than max_response_head bytes, throws
// "get_response"; silence for timeout seconds throws receive_timeout_e.
xstd::http get_response(bool log, long timeout, object<socket> socket, xstd::http request, netbuf& buffer,
                        netbuf const& body);

// Reads and drops the rest of response's body (its Content-Length counted from
// the front of buffer); bytes beyond it stay in buffer. No Content-Length, or
// 0, returns at once; a negative or non-numeric one, or end of stream inside
// the body, throws "finish_resp". copy, when given, gets the bytes received.
void finish_resp(bool log, long timeout, xstd::http& response, object<socket> socket, netbuf& buffer,
                 netbuf* copy);

} // namespace rulo
