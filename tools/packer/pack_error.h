// The one failure type of the packer: a text for the user, nothing else.
#pragma once

#include <stdexcept>
#include <string>

namespace packer {

class pack_error : public std::runtime_error {
public:
    explicit pack_error(std::string const& what) : std::runtime_error(what) {}
};

} // namespace packer
