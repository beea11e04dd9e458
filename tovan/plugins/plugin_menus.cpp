#include "tovan/plugins/plugin_menus.h"

namespace tovan {

uint32_t reserve_command_ids(std::map<unsigned, std::string>& owners, uint32_t& next,
                             std::string const& owner, int64_t count) {
    if (count <= 0) return next;
    // The last id reserved, next + count - 1, must stay below no_command_id.
    if (static_cast<uint64_t>(count) > uint64_t(no_command_id) - next) return no_command_id;
    uint32_t const first = next;
    owners[first] = owner;
    next = static_cast<uint32_t>(first + count);
    return first;
}

std::string command_owner(std::map<unsigned, std::string> const& owners, uint32_t next, uint32_t id) {
    if (id >= next) return {};
    auto at = owners.upper_bound(id);
    if (at == owners.begin()) return {};
    return std::prev(at)->second;
}

menu_path split_menu_path(std::string const& path) {
    auto const slash = path.rfind('/');
    if (slash == std::string::npos) return {{}, path, false};
    return {path.substr(0, slash), path.substr(slash + 1), true};
}

menu_flag_effect flag_effect(uint64_t flags) {
    return {(flags & 0x3) != 0, (flags & 0x8) != 0};
}

std::vector<load_entry> load_entries(std::vector<plugin_def> const& catalogue,
                                     std::vector<loaded_library> const& libraries,
                                     std::map<std::string, bool> const& wanted,
                                     std::map<std::string, std::string> const& button_plugins) {
    struct item {
        bool listed;
        std::string text;
    };
    std::map<std::string, item> items;
    for (plugin_def const& def : catalogue)
        items.emplace(def.get_name(), item{true, def.take("visible_name")});
    for (loaded_library const& lib : libraries) items.emplace(lib.name, item{false, lib.visible_name});

    std::vector<load_entry> out;
    for (auto const& [name, it] : items) {
        if (button_plugins.count(name)) continue;
        auto w = wanted.find(name);
        bool const is_wanted = w != wanted.end() && w->second;
        unsigned long const flags = !it.listed ? load_library_only : is_wanted ? load_wanted : load_enabled;
        // A plugin without a visible name is shown by its name, as the
        // information text does, rather than as an entry without a title.
        out.push_back({name, "SETTINGS/" + (it.text.empty() ? name : it.text), flags});
    }
    return out;
}

} // namespace tovan
