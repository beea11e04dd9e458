// desk_launcher: unpacks the archives appended behind its own image into a
// locked per-user cache slot, runs the program with the caller's arguments,
// cleans up and ends by SIGKILL to itself.
#include "launcher/appendix.h"
#include "launcher/appendix_format.h"
#include "launcher/cache_slot.h"
#include "launcher/launch_state.h"
#include "launcher/start.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <string_view>

namespace {

launcher::result launch(launcher::launch_state& s) {
#ifdef DESK_LAUNCHER_TESTROOT_ENV
    // Test build only: a private cache root so parallel tests do not meet.
    const char* root = std::getenv(DESK_LAUNCHER_TESTROOT_ENV);
    if (!root || !*root)
        return launcher::result::failure(EINVAL, std::string(DESK_LAUNCHER_TESTROOT_ENV) +
                                                     " must name the cache prefix of this test build");
    launcher::set_cache_prefix(root);
    // And when the note of a long unpacking shows, so a test need not be slow.
    if (const char* ms = std::getenv("DESK_LAUNCHER_NOTE_AFTER_MS"))
        s.note_after_ms = unsigned(std::atoi(ms));
#endif
    if (const char* path = std::getenv("LD_LIBRARY_PATH")) s.original_library_path = path;
    if (auto r = launcher::open_self(s); !r.ok()) return r;
    std::string_view image(reinterpret_cast<const char*>(s.image), s.image_size);
    auto at = launcher::find_marker(image);
    if (!at) return launcher::result::failure(ENOENT, "No appendix found");
    std::size_t start = *at + launcher::marker_size;
    std::fprintf(stderr, "Found appendix at %u, payload %u bytes\n", unsigned(*at),
                 unsigned(s.image_size - start));
    if (start == s.image_size) return launcher::result::failure(ENODATA);
    return launcher::run_appendix(s, image.substr(start));
}

} // namespace

int main(int argc, char** argv) {
    launcher::launch_state s;
    s.argc = argc;
    s.argv = argv;
    launcher::result r;
    try {
        r = launch(s);
    } catch (const std::bad_alloc&) {
        r = launcher::result::failure(ENOMEM);
    }
    if (!r.ok()) launcher::error_end(s, r);
    launcher::normal_end(s);
}
