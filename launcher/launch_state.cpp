#include "launcher/launch_state.h"

#include <cerrno>

namespace launcher {

bool cleanup_add(launch_state& s, std::string_view relative, cleanup_kind kind) {
    if (s.base.empty()) return false;
    cleanup_node node{kind, std::string(relative), s.base};
    if (!relative.empty()) {
        node.full += '/';
        node.full += relative;
    }
    s.cleanup.push_back(std::move(node));
    return true;
}

result result::from_errno(bool ok) {
    return ok ? result() : failure(errno);
}

} // namespace launcher
