// Peer address texts and option texts on hostile input: the host-and-port
// split, the host-and-ports list, the dotted-address test and the merge of
// url-encoded options. None of them resolves a name, so the fuzzer asks no
// resolver.
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
    std::string host;
    unsigned short port = 0;
    rulo::split_host_port(text, default_port, host, port);
    std::size_t const colon = text.find(':');
    check(host == text.substr(0, colon));
    if (colon == std::string::npos) check(port == default_port);
    std::string const rest = colon == std::string::npos ? "" : text.substr(colon + 1);
    if (all_digits(rest)) check(port == static_cast<unsigned short>(std::stoul(rest)));
}

void check_ports(std::string const& text) {
    std::string host = "before";
    std::vector<unsigned short> ports{1, 2};
    std::string const error = fuzz::error_of([&] { rulo::get_procid(text, host, ports); });
    std::size_t const colon = text.find(':');
    if (!error.empty()) {
        check(error == get_procid_e);
        check(host == "before" && ports.size() == 2); // nothing changed
        check(colon == std::string::npos || text.find_first_not_of(" ,", colon + 1) == std::string::npos);
        return;
    }
    check(colon != std::string::npos);
    check(host == text.substr(0, colon));
    check(ports.size() > 2 && ports[0] == 1 && ports[1] == 2);
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
