// The Digest answer with the client nonce given rather than drawn, so that a
// fixed nonce reproduces a published exchange. Only set_digest_auth and its
// tests call it.
#pragma once

#include "rulo-rpt/http/xnet-http-auth.h"

#include <string>

namespace xnet::detail {

// The value of the Digest answer field for request's method and uri, with the
// checks and errors of set_digest_auth; cnonce is used only when a qop is chosen.
std::string digest_answer(xstd::http const& request, http_auth_params const& params, std::string const& user,
                          std::string const& password, bool allow_int, std::string const& body,
                          std::string const& cnonce);

} // namespace xnet::detail
