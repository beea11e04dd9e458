// The program's own arguments (after its name), as main received them.
#pragma once

#include <string>
#include <vector>

namespace tovan {

void set_program_arguments(std::vector<std::string> args);
std::vector<std::string> const& program_arguments();

} // namespace tovan
