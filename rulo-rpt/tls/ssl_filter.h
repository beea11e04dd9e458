// TLS as a filter for callers that are not transports: the socket and the
// multiplexer push ciphertext in and take plaintext out (rulo::SSLFilter).
//
// Each filter owns one TLS engine whose lower transport and sink are a
// collector of what the engine sends down and delivers up. The filter takes
// no lock of its own: its owner serialises the calls.
#pragma once

#include "rulo-rpt/net/ssl_filter.h"
#include "rulo-rpt/tls/xyssl_ctx.h"
#include "rulo/object.h"

namespace rulo {

// A filter over a new engine with ctx, as server or client; a client's hello
// is waiting in flush() at once. Once the engine has ended, write, read and
// flush throw the function exception "check_error"; destroying the filter
// sends close_notify into the collector and drops it.
object<SSLFilter> xyssl_create_filter(object<xyssl_ctx> ctx, bool server);

} // namespace rulo
