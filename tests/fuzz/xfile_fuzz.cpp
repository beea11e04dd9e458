// The path functions on hostile paths: basename and dirname against the
// algorithm written out here, expand_filename against realpath and its own
// rule for paths that do not exist. Only look-ups touch the file system.
#include "rulo/exception.h"
#include "rulo/xfile.h"
#include "tests/fuzz/fuzz_support.h"

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

using fuzz::check;

namespace {

std::string reference_basename(std::string path) {
    std::size_t const slash = path.rfind('/');
    if (slash != std::string::npos) path.erase(0, slash + 1);
    std::size_t const backslash = path.rfind('\\');
    if (backslash != std::string::npos) path.erase(0, backslash + 1);
    return path;
}

std::string reference_dirname(std::string const& path) {
    bool const rooted = (!path.empty() && path[0] == '/') || (path.size() > 1 && path[1] == ':');
    std::string rest = path;
    bool cut = false;
    if (std::size_t const slash = rest.rfind('/'); slash != std::string::npos) {
        rest.erase(slash);
        cut = true;
    }
    if (std::size_t const backslash = rest.rfind('\\'); backslash != std::string::npos)
        rest.erase(backslash);
    else if (!cut)
        return ".";
    if (rooted && rest.find('/') == std::string::npos && rest.find('\\') == std::string::npos)
        return rest.empty() ? "/" : rest + "\\";
    return rest;
}

void check_expand(std::string const& name) {
    std::string expanded;
    std::string const error = fuzz::error_of([&] { expanded = rulo::expand_filename(name); });
    if (name.find('\0') != std::string::npos) {
        // The system cannot be handed such a name: refused, not cut short.
        check(error == fuzz::function_error("expand_filename"));
        return;
    }
    check(error.empty());
    check(!expanded.empty() && expanded[0] == '/' && expanded.find('\0') == std::string::npos);
    char resolved[PATH_MAX];
    if (::realpath(name.c_str(), resolved)) {
        check(expanded == resolved);
        return;
    }
    // What does not exist keeps its last part as given.
    std::string const last = name.substr(name.rfind('/') + 1);
    check(expanded.size() >= last.size() &&
          expanded.compare(expanded.size() - last.size(), last.size(), last) == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
    std::string const path = fuzz::bytes(data, size);
    check(rulo::basename(path) == reference_basename(path));
    check(rulo::dirname(path) == reference_dirname(path));
    check_expand(path);
    return 0;
}
