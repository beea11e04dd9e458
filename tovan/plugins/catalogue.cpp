#include "tovan/plugins/catalogue.h"

#include "rulo/packet.h"
#include "rulo/text.h"

#include <algorithm>

namespace tovan {

bool flavour_fits(std::string const& program_flavour, std::string const& record_flavour) {
    if (program_flavour.empty() || record_flavour.empty()) return true;
    auto const at = record_flavour.find(program_flavour);
    return at != std::string::npos && (at == 0 || record_flavour[at - 1] != '!');
}

void insert_by_load_order(std::vector<plugin_def>& defs, plugin_def entry) {
    std::string const order = entry.take("load_order");
    if (order.empty()) {
        defs.push_back(std::move(entry));
        return;
    }
    long long position = std::max(0, rulo::atoi(order));
    if (position >= static_cast<long long>(defs.size())) {
        defs.push_back(std::move(entry));
        return;
    }
    std::string const name = entry.get_name();
    size_t at = size_t(position);
    for (size_t i = at; i < defs.size(); ++i)
        if (defs[i].get_name() == name) at = i + 1;
    defs.insert(defs.begin() + static_cast<std::ptrdiff_t>(at), std::move(entry));
}

std::set<std::string> depends_names(std::string const& depends) {
    std::set<std::string> names;
    std::string packet = depends;
    try {
        rulo_packet_pop(packet, names);
    } catch (...) {
        // what was read before the fault still counts
    }
    return names;
}

void mark_class_invalid(std::vector<plugin_def>& defs, std::string const& full_name,
                        catalogue_log const& log) {
    bool found = false;
    std::string name;
    for (auto& def : defs) {
        if (!found) {
            if (def.get_full_name() == full_name) {
                found = true;
                name = def.get_name();
            }
            continue;
        }
        if (def.get_name() == name && (def.state == 1 || def.state == 2)) {
            def.state = 9;
            log("ignore autodl " + def.get_full_name());
        }
    }
}

catalogue_result build_catalogue(catalogue_input const& in, catalogue_log const& log) {
    catalogue_result out;
    for (auto const& server_record : in.records) {
        try {
            plugin_record record = server_record;
            auto const flavour = record.find("flavor");
            if (!flavour_fits(in.flavour, flavour == record.end() ? std::string() : flavour->second))
                continue;
            std::string const full = plugin_def::get_full_name(record);
            log("got plugin " + full);
            if (auto lib = in.loaded.find(full); lib != in.loaded.end())
                plugin_def::link_definition(lib->second, record);
            plugin_def entry(record);
            if (entry.auto_dl()) entry.state = 1;
            std::string const name = entry.get_name();
            bool& wanted = out.wanted.emplace(name, false).first->second;
            out.forced.emplace(name, false);
            if (entry.auto_start() || in.option_components.count(name)) wanted = true;
            insert_by_load_order(out.defs, std::move(entry));
            out.listed.insert(name);
        } catch (...) {
            log("failed to add plugin to list");
        }
    }
    for (size_t i = 0; i < out.defs.size(); ++i) {
        plugin_def& entry = out.defs[i];
        auto const lib = in.loaded_by_name.find(entry.get_name());
        if (lib != in.loaded_by_name.end() && lib->second == entry.get_full_name()) {
            entry.state = 8;
            mark_class_invalid(out.defs, lib->second, log);
            out.menus_changed = true;
        }
        std::string const depends = out.defs[i].take("depends");
        if (depends.empty()) continue;
        for (auto const& name : depends_names(depends)) {
            auto it = out.wanted.find(name);
            if (it != out.wanted.end()) it->second = true;
        }
    }
    return out;
}

} // namespace tovan
