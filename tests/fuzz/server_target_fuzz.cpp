// What the relay says about itself and what the chooser stored last time, on
// hostile input: the "Additional" text, the "Server" field that rewrites a
// target, and a last-success text that puts a method first. Nothing here
// touches a store: the target has no saved address (empty configured name)
// and nothing is saved (no target).
#include "rulo-rpt/choose/AutoTransport.h"
#include "rulo-rpt/choose/server_target.h"
#include "tests/fuzz/fuzz_support.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>

using fuzz::check;

namespace {

void check_additional(std::string const& text) {
    long long age = 7;
    std::string server = "before", rest = text;
    bool ok = rulo::parse_additional(age, server, rest);
    std::size_t const colon = text.find(':'), slash = text.find('/');
    if (!ok) {
        check(age == 7 && server == "before" && rest == text);
        return;
    }
    check(colon != std::string::npos && slash != std::string::npos && colon < slash);
    check(server == text.substr(colon + 1, slash - colon - 1));
    check(rest == text.substr(slash + 1));
    std::string const age_text = text.substr(0, colon);
    check(age == std::strtoll(age_text.c_str(), nullptr, 10));

    // Nothing is kept without a target; the received list comes back.
    std::string additional = text;
    rulo::save_additional("", additional);
    check(additional == rest);
}

void check_server_field(std::string const& field) {
    std::string const server = rulo::get_server_from_serverfield(field);
    check(server.find(' ') == std::string::npos);
    check(field.find(server) != std::string::npos);
    std::string target = "old.target";
    bool changed = rulo::set_target_serverfield(target, "", field);
    if (server.empty()) check(!changed && target == "old.target");
    check(target.find('*') == std::string::npos);
    if (server.find('*') == std::string::npos && changed) check(target == server);
}

void check_last_success(std::string const& packed) {
    std::string last = packed;
    rulo::AutoTransport chooser({{"connect", "relay.lan:7615"}, {"nooldhttp", ""}, {"test", ""}}, last);
    check(fuzz::error_of([&] { chooser.init(); }).empty());
    auto const& methods = chooser.methods();
    std::string const twin = rulo::AutoTransport::pack({"direct", {"relay.lan"}, {7615}, 0});
    check(!methods.empty());
    if (methods[0].priority == 9999) {
        // A method put first replaces its twin in the list, however long
        // the stored text spelled its numbers.
        std::string const stored = rulo::AutoTransport::pack(methods[0]);
        check(methods.size() == (stored == twin ? 1u : 2u));
    } else {
        check(methods.size() == 1);
    }
    check(rulo::AutoTransport::pack(methods.back()) == twin);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
    std::string const text = fuzz::bytes(data, size);
    check_additional(text);
    check_server_field(text);
    check_last_success(text);
    return 0;
}
