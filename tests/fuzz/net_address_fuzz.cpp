// Peer address texts and option texts on hostile input: the host-and-port
// split (a port only from 1 to 65535, never wrapped), the host-and-ports list,
// the dotted-address test and the merge of url-encoded options. None of them
// resolves a name, so the fuzzer asks no resolver.
//
// The first input byte is the default port's low byte; the rest is the text.
#include "rulo-rpt/net/process_id.h"
#include "tests/fuzz/fuzz_support.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

using fuzz::check;

namespace {

bool all_digits(std::string const& text) {
    if (text.empty() || text.size() > 9) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

void check_split(std::string const& text, unsigned short default_port) {
    std::string host = "before";
    unsigned short port = 7;
    rulo::address_error const error = rulo::parse_host_port(text, default_port, host, port);
    std::size_t const colon = text.find(':');
    std::string const rest = colon == std::string::npos ? "" : text.substr(colon + 1);
    if (error != rulo::address_error::none) return check(host == "before" && port == 7); // nothing changed
    check(!host.empty() && host == text.substr(0, colon));
    if (colon == std::string::npos) return check(port == default_port);
    check(all_digits(rest) && std::stoul(rest) == port && port >= 1);
}

void check_ports(std::string const& text) {
    std::string host = "before";
    std::vector<unsigned short> ports{1, 2};
    std::string const error = fuzz::error_of([&] { rulo::get_procid(text, host, ports); });
    std::size_t const colon = text.find(':');
    if (!error.empty()) {
        check(error.rfind(get_procid_e, 0) == 0);
        check(host == "before" && ports.size() == 2); // nothing changed
        return;
    }
    check(colon != std::string::npos);
    check(host == text.substr(0, colon));
    check(ports.size() > 2 && ports[0] == 1 && ports[1] == 2);
    for (std::size_t i = 2; i < ports.size(); ++i) check(ports[i] >= 1);
}

void check_is_ip(std::string const& text) {
    bool const ip = rulo::is_ip(text);
    // Text after the fourth number does not matter.
    if (ip) check(rulo::is_ip(text + ".x:1"));
    // Dotted numbers written from the text's first bytes always pass.
    if (text.size() >= 4) {
        char dotted[64];
        std::snprintf(dotted, sizeof dotted, "%u.%u.%u.%u", unsigned(uint8_t(text[0])),
                      unsigned(uint8_t(text[1])), unsigned(uint8_t(text[2])), unsigned(uint8_t(text[3])));
        check(rulo::is_ip(dotted));
    }
}

void check_options(std::string const& text) {
    std::map<std::string, std::string> options{{"a", "kept"}, {"transport", "direct"}};
    rulo::unpack_search_params(options, text);
    check(options.at("a") == "kept" && options.at("transport") == "direct");
    // A second merge of the same text adds nothing new.
    std::map<std::string, std::string> again = options;
    rulo::unpack_search_params(again, text);
    check(again == options);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
    if (size < 1) return 0;
    std::string const text = fuzz::bytes(data + 1, size - 1);
    check_split(text, static_cast<unsigned short>(data[0] * 257));
    check_ports(text);
    check_is_ip(text);
    check_options(text);
    return 0;
}
