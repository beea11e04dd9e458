// NTLM answers to a proxy's (or server's) NTLM challenge: the negotiate
// message (type 1) and the authenticate message (type 3) built from the
// reply's challenge message (type 2).
//
// Pure message functions on xstd::http heads, callable from any thread. The
// three messages travel on one connection; keeping it open is the caller's
// concern. Every failure throws through xstd::exception_wrap; a request is
// left unchanged by a call that throws.
#pragma once

#include "rulo-rpt/http/xstd-http.h"

#include <string>

struct DES_ks; // OpenSSL's DES_key_schedule

namespace xnet {

// Sets the answer field to "NTLM " + Base64 of the negotiate message naming
// host (workstation) and domain.
void set_ntlm_auth1(xstd::http& request, bool proxy, std::string host, std::string domain);
// Sets the answer field to "NTLM " + Base64 of the authenticate message that
// answers the challenge in reply's challenge field. The NT response travels
// in both response slots: the LM response would expose an easily cracked
// hash of the password to anyone who captures the proxy leg.
void set_ntlm_auth3(xstd::http& request, bool proxy, xstd::http const& reply, std::string host,
                    std::string domain, std::string user, std::string password);

// Spreads 7 key bytes over an 8-byte DES key (7 bits per byte, high bits
// first), sets odd parity and loads it unchecked.
void setup_des_key(unsigned char const key7[7], DES_ks& schedule);
// The 24-byte response: the 8-byte nonce DES-ECB-encrypted under the keys
// spread from key bytes 0-6, 7-13 and 14-20. A nonce of another size throws
// "/xnet/ntlm_response:Wrong nonce size <size>".
std::string ntlm_response(unsigned char const key21[21], std::string const& nonce);
// The 21 key bytes of the NT response: MD4 of the password in UTF-16LE and
// five zero bytes.
std::string ntlm_nt_hash(std::string const& password);

} // namespace xnet
