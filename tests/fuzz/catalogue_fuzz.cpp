// The plugin catalogue on hostile record lists: every record that passes
// the flavour test is in the catalogue once, versions of one name keep their
// order, every listed name has its wanted and forced entries, states are
// only those the catalogue gives, and giving up the alternatives of a
// version touches only later entries of its name waiting for a fetch.
//
// Input: records as key=value lines, a blank line between records; the
// first line is the program's flavour.
#include "tests/fuzz/fuzz_support.h"
#include "tovan/plugins/catalogue.h"

#include <map>
#include <string>
#include <vector>

using fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
    std::vector<std::string> const lines = fuzz::split_lines(fuzz::bytes(data, size));
    if (lines.empty()) return 0;
    tovan::catalogue_input in;
    in.flavour = lines[0];
    tovan::plugin_record current;
    for (std::size_t i = 1; i <= lines.size(); ++i) {
        if (i == lines.size() || lines[i].empty()) {
            if (!current.empty()) in.records.push_back(current);
            current.clear();
            continue;
        }
        auto const eq = lines[i].find('=');
        if (eq == std::string::npos) continue;
        current[lines[i].substr(0, eq)] = lines[i].substr(eq + 1);
    }
    if (!in.records.empty()) {
        // The first record's library is "still loaded" on odd sizes.
        auto const& first = in.records.front();
        if (size % 2) {
            in.loaded[tovan::plugin_def::get_full_name(first)] = first;
            auto name = first.find("name");
            in.loaded_by_name[name == first.end() ? "" : name->second] =
                tovan::plugin_def::get_full_name(first);
        }
    }
    std::vector<std::string> log;
    auto out = tovan::build_catalogue(in, [&](std::string const& l) { log.push_back(l); });

    std::vector<std::size_t> kept; // indexes of the records that pass, in order
    for (std::size_t i = 0; i < in.records.size(); ++i) {
        auto f = in.records[i].find("flavor");
        if (tovan::flavour_fits(in.flavour, f == in.records[i].end() ? "" : f->second)) kept.push_back(i);
    }
    check(out.defs.size() == kept.size());
    std::map<std::string, std::vector<std::string>> by_name_in, by_name_out;
    for (std::size_t i : kept) {
        tovan::plugin_def const d(in.records[i]);
        by_name_in[d.get_name()].push_back(d.get_full_name() + "\n" + d.take("load_order"));
        check(out.wanted.count(d.get_name()) == 1 && out.forced.count(d.get_name()) == 1);
    }
    for (auto const& d : out.defs) {
        by_name_out[d.get_name()].push_back(d.get_full_name() + "\n" + d.take("load_order"));
        check(d.state == 0 || d.state == 1 || d.state == 8 || d.state == 9);
        check(d.state != 1 || d.auto_dl());
    }
    check(by_name_in == by_name_out);

    // Giving up behind the last entry changes nothing; behind the first only its name's waiting ones.
    if (!out.defs.empty()) {
        auto defs = out.defs;
        tovan::mark_class_invalid(defs, defs.front().get_full_name(), [](std::string const&) {});
        for (std::size_t i = 0; i < defs.size(); ++i) {
            bool const gave_up = defs[i].state != out.defs[i].state;
            check(!gave_up || (i > 0 && defs[i].state == 9 && defs[i].get_name() == defs.front().get_name() &&
                               (out.defs[i].state == 1 || out.defs[i].state == 2)));
        }
    }
    return 0;
}
