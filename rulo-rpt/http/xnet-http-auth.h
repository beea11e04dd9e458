// Basic and Digest answers to the authentication challenges of a 401 or 407
// reply, and the parser of those challenges.
//
// Pure message functions on xstd::http heads: nothing is sent or received
// here, and nothing is kept between calls, so any thread may call them. The
// proxy handshake that sends the requests and reads the replies chooses the
// scheme. Every failure throws through xstd::exception_wrap; a request is left
// unchanged by a call that throws.
#pragma once

#include "rulo-rpt/http/xstd-http.h"

#include <map>
#include <string>

namespace xnet {

// Parameter name (lower case) -> value (quotes removed).
using http_auth_params = std::map<std::string, std::string>;
// Scheme name (lower case: "basic", "digest", "ntlm", ...) -> its parameters.
using http_auth_challenges = std::map<std::string, http_auth_params>;

// "Proxy-Authenticate" / "WWW-Authenticate".
std::string get_field_authenticate(bool proxy);
// "Proxy-Authorization" / "Authorization".
std::string get_field_authorization(bool proxy);

// Every challenge of the reply's challenge fields, one challenge per field
// value. A malformed parameter list throws
// "/xnet/http_auth/parse:Parse error".
http_auth_challenges get_http_auth(xstd::http const& reply, bool proxy);
// The "realm" parameter, or "".
std::string get_realm(http_auth_params const& params);
// Whether set_digest_auth knows the algorithm and qop of this Digest
// challenge: algorithm MD5 or MD5-sess, and a qop it knows ("auth", or
// "auth-int" when allow_int). A challenge malformed otherwise is refused by
// set_digest_auth itself.
bool can_digest_auth(http_auth_params const& params, bool allow_int);

// "Basic " + Base64(user ":" password). A user holding ":" throws
// "/xnet/set_basic_auth:Username cannot contain ':'".
void set_basic_auth(xstd::http& request, bool proxy, std::string user, std::string password);
// The Digest answer (RFC 2617, or the RFC 2069 form when no qop is offered)
// for the request's own method and uri; body is hashed for "auth-int". The
// hashes are over the values as given, the answer quotes them (a double quote
// or backslash as a quoted-pair). Throws (path "/xnet/set_digest_auth") for a
// user holding a double quote, a challenge can_digest_auth refuses, one
// without a nonce, and one whose charset is not a token.
void set_digest_auth(xstd::http& request, bool proxy, http_auth_params const& params, std::string user,
                     std::string password, bool allow_int, std::string body);

} // namespace xnet
