// Texts that the peer or the server sends, through the text-command
// dispatcher: no input may crash it, and none may act as one of the
// program's own commands.
#include "tovan/session/dispatcher.h"

#include "tests/support/fake_dispatch_host.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, std::size_t size) {
    if (size == 0) return 0;
    test_support::fake_dispatch_host host;
    vyn::command_queue queue;
    vyn::dispatcher d(host, queue);
    d.state().state = 6;
    d.state().in_connection = true;
    vyn::origin const from = (data[0] & 1) ? vyn::origin::peer : vyn::origin::server;
    std::string const text(reinterpret_cast<char const*>(data + 1), size - 1);
    queue.push(from, text);
    while (d.dispatch_next()) {
    }
    // Nothing from outside may start a connection or ask for credentials.
    if (host.called("start_connection_thread") || host.called("ask_credentials")) std::abort();
    return 0;
}
