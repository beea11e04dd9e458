// "module_plugin_" texts as the peer (or anyone) may send them, to a core
// with fake plugins: no input may crash it, and every routed sub-channel
// must map back to a pinned plugin that maps to it in turn.
//
// Input: records of one verb byte, one length byte and that many payload
// bytes; a verb byte past the list routes the payload as a packet on a
// sub-channel chosen by the length byte.
#include "tovan/plugins/negotiation.h"

#include "tests/support/fake_negotiation_host.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

char const* const verbs[] = {
    "module_plugin_load_force ", "module_plugin_running ",     "module_plugin_check ",
    "module_plugin_load",        "module_plugin_req ",         "module_plugin_accept ",
    "module_plugin_channels ",   "module_plugin_init_ok ",     "module_plugin_down ",
    "module_plugin_download ",   "module_plugin_load-plugin ", "module_plugin_",
};
constexpr std::size_t verb_count = sizeof verbs / sizeof verbs[0];

void check_routes(tovan::negotiation const& core) {
    auto const pinned = core.pinned();
    auto const by_name = core.plugin_channels();
    auto const by_channel = core.channel_plugins();
    if (by_name.size() != by_channel.size()) std::abort();
    for (auto const& [channel, name] : by_channel) {
        auto const back = by_name.find(name);
        if (!pinned.count(name) || back == by_name.end() || back->second != channel) std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, std::size_t size) {
    if (size == 0) return 0;
    test_support::negotiation_end end((data[0] & 1) != 0);
    end.host.add("a", 8, 5, 3);
    end.host.add("b", 8, 4, 1, false, {"b_kid", "b_kid2"});
    end.host.add("c", 7, 2, 2, true);
    end.host.add("d", 0, 1, 1);
    end.session.wanted_plugins = {{"a", true}, {"b", true}};
    if (data[0] & 2) end.session.peer_version = "2.2";
    end.core.handle("module_plugin_load");

    std::size_t at = 1;
    while (at + 2 <= size) {
        std::size_t const verb = data[at], length = data[at + 1];
        at += 2;
        std::size_t const take = length < size - at ? length : size - at;
        std::string const payload(reinterpret_cast<char const*>(data + at), take);
        at += take;
        if (verb < verb_count) {
            end.core.handle(verbs[verb] + payload);
        } else {
            end.core.route_packet(static_cast<int>(length) - 2 + (verb & 1) * 100,
                                  netbuf::from_string(payload));
        }
        // The program's own follow-ups, bounded.
        for (int n = 0; n < 8 && !end.host.queue.empty(); ++n) {
            std::string const text = end.host.queue.front();
            end.host.queue.pop_front();
            end.core.handle(text);
        }
        check_routes(end.core);
        // Addresses from outside are never taken.
        if (!end.host.handed.empty()) std::abort();
    }
    end.core.remove_pin("");
    if (!end.core.pinned().empty() || !end.core.channel_plugins().empty()) std::abort();
    return 0;
}
