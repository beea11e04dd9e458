// What the client keeps per grid (the relay network a server belongs to)
// between runs: the pinned server certificate, the connection keys, the grid
// id and protocol.
//
// Settings live in the per-key configuration store under
// "Grid\<grid configuration name>\<setting name>". The grid configuration
// name comes from the server's reply and is cleaned by fix_reg_conf, so no
// reply can reach a key outside its own grid's folder.
//
// Made by the multiplexer when the handshake reply arrives and owned by it;
// its calls come under the framework lock. The store itself never throws for
// a missing value ("" is returned).
#pragma once

#include "rulo/config_store.h"

#include <map>
#include <string>

namespace rulo {

class connection_def {
public:
    // Builds the map {"grid_id", "grid_conf", "cp_protocol"} and calls init.
    connection_def(std::string const& grid_id, std::string const& grid_conf, std::string const& cp_protocol,
                   xstd::StorageLocation location);
    virtual ~connection_def() = default;

    // The grid configuration name is the map's "grid_conf" (cleaned); a
    // non-empty "grid_id" or "cp_protocol" is stored only while none is.
    virtual void init(std::map<std::string, std::string> const& values);
    // The setting "address".
    virtual std::string get_address();

    // Throws the function exception "get_grid_conf" while the name is empty.
    std::string get_grid_conf() const;
    std::string get_grid_setting(std::string const& name) const;
    void set_grid_setting(std::string const& name, std::string const& value);
    std::string get_grid_id() const;
    std::string const& get_user_conf() const { return m_user_conf; }

    // Keeps letters, digits, '.' and '-'; every other byte becomes a blank;
    // runs of blanks and blanks before a dot collapse; leading and trailing
    // dots and blanks go; an empty result is "tmp".
    static void fix_reg_conf(std::string& name);

private:
    xstd::StorageLocation m_location;
    std::string m_grid_conf;
    std::string m_user_conf;
};

} // namespace rulo
