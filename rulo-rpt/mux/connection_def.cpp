#include "rulo-rpt/mux/connection_def.h"

#include "rulo/exception.h"

namespace rulo {

namespace {

bool kept_in_name(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-';
}

bool replace_all(std::string& text, std::string const& from, std::string const& to) {
    bool changed = false;
    for (std::string::size_type at = text.find(from); at != std::string::npos; at = text.find(from, at)) {
        text.replace(at, from.size(), to);
        changed = true;
    }
    return changed;
}

std::string value_of(std::map<std::string, std::string> const& values, char const* key) {
    auto it = values.find(key);
    return it == values.end() ? std::string() : it->second;
}

} // namespace

connection_def::connection_def(std::string const& grid_id, std::string const& grid_conf,
                               std::string const& cp_protocol, xstd::StorageLocation location)
    : m_location(location) {
    init({{"grid_id", grid_id}, {"grid_conf", grid_conf}, {"cp_protocol", cp_protocol}});
}

void connection_def::init(std::map<std::string, std::string> const& values) {
    m_grid_conf = value_of(values, "grid_conf");
    fix_reg_conf(m_grid_conf);
    if (m_location == xstd::storage_user) {
        m_user_conf = value_of(values, "user_conf");
        fix_reg_conf(m_user_conf);
    }
    for (char const* name : {"grid_id", "cp_protocol"}) {
        std::string const value = value_of(values, name);
        if (!value.empty() && get_grid_setting(name).empty()) set_grid_setting(name, value);
    }
}

std::string connection_def::get_address() {
    return get_grid_setting("address");
}

std::string connection_def::get_grid_conf() const {
    if (m_grid_conf.empty()) throw exception::function("get_grid_conf");
    return m_grid_conf;
}

std::string connection_def::get_grid_setting(std::string const& name) const {
    return xstd::get_config_string_ex(m_location, "Grid\\" + get_grid_conf() + "\\" + name);
}

void connection_def::set_grid_setting(std::string const& name, std::string const& value) {
    xstd::set_config_string_ex(m_location, "Grid\\" + get_grid_conf() + "\\" + name, value,
                               xstd::storage_disk);
}

std::string connection_def::get_grid_id() const {
    return get_grid_setting("grid_id");
}

void connection_def::fix_reg_conf(std::string& name) {
    for (char& c : name)
        if (!kept_in_name(c)) c = ' ';
    while (replace_all(name, "  ", " ") || replace_all(name, " .", ".")) {
    }
    std::string::size_type const first = name.find_first_not_of(". ");
    if (first == std::string::npos) {
        name = "tmp";
        return;
    }
    name = name.substr(first, name.find_last_not_of(". ") - first + 1);
}

} // namespace rulo
