// The TLS filter on hostile ciphertext: what a peer sends before any key is
// agreed (hello, certificate chain, key exchange, alerts, records) goes through
// the library's record and handshake parsers and the X.509 parser.
//
// The first input byte picks the role (even: a client that has sent its
// hello, odd: a server) and the piece size (1 to 128 bytes); the rest is fed
// in pieces of that size. No key can come out of the input, so no plaintext
// may appear, and once the filter has failed every call must report it.
#include "rulo-rpt/tls/ssl_filter.h"
#include "rulo-rpt/tls/xyssl_ctx.h"
#include "tests/fuzz/fuzz_support.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

using fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
    if (size < 1) return 0;
    bool const server = data[0] & 1;
    size_t const piece = 1 + (data[0] >> 1);
    rulo::object<rulo::xyssl_ctx> ctx(new rulo::xyssl_ctx);
    ctx->set_verify_peer(false);
    if (data[0] & 2) ctx->enable_dh(false);
    rulo::object<rulo::SSLFilter> filter = rulo::xyssl_create_filter(ctx, server);
    std::string const check_error = fuzz::function_error("check_error");
    bool failed = false;
    for (size_t at = 1; at < size; at += piece) {
        netbuf in =
            netbuf::from_buffer(reinterpret_cast<char const*>(data + at), int(std::min(piece, size - at)));
        std::string error = fuzz::error_of([&] { check(filter->read(in).empty()); });
        if (failed) check(error == check_error);
        if (!error.empty()) failed = true;
        if (!failed) filter->flush();
    }
    if (failed) check(fuzz::error_of([&] { filter->flush(); }) == check_error);
    return 0;
}
