// TLS as a filter for callers that are not transports: the socket and the
// multiplexer push ciphertext in and take plaintext out (rulo::SSLFilter).
//
// Each filter owns one TLS engine whose lower transport and sink are a
// collector of what the engine sends down and delivers up. The filter takes
// no lock of its own: its owner serialises the calls.
#pragma once

#include "rulo-rpt/net/socket.h"
#include "rulo-rpt/net/ssl_filter.h"
#include "rulo-rpt/tls/xyssl_ctx.h"
#include "rulo/netbuf.h"
#include "rulo/object.h"

namespace rulo {

// A filter over a new engine with ctx, as server or client; a client's hello
// is waiting in flush() at once. Once the engine has ended, write, read and
// flush throw the function exception "check_error" (a read first hands over
// the plaintext that came before the end); destroying the filter
// sends close_notify into the collector and drops it.
object<SSLFilter> xyssl_create_filter(object<xyssl_ctx> ctx, bool server);

// Puts TLS onto a connected socket: every non-raw send and receive of it
// passes through a new filter with ctx. A socket that has a filter already
// throws "xyssl_enable_on_socket".
void xyssl_enable_on_socket(socket* s, object<xyssl_ctx> ctx, bool server);

// Blocks up to seconds for a client handshake on a connected socket, trusting
// any server certificate (the caller only wants the encryption). Plaintext
// that arrived with the end of the handshake is left in received. Fails with
// "wait_for_ssl_handshake" (time-out, end of stream) or the filter's error;
// the socket's blocking mode is as it was on every way out.
void ssl_connect_if_supported(long seconds, object<socket> s, netbuf& received);

} // namespace rulo
