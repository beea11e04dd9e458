#include "tovan/window/program_args.h"

namespace tovan {

namespace {
std::vector<std::string>& args() {
    // Never freed: read by plugins' commands up to the process's _exit.
    static std::vector<std::string>* a = new std::vector<std::string>;
    return *a;
}
} // namespace

void set_program_arguments(std::vector<std::string> a) {
    args() = std::move(a);
}

std::vector<std::string> const& program_arguments() {
    return args();
}

} // namespace tovan
