// desk_launcher: unpacks the archives appended behind its own image into a
// locked per-user cache slot, runs the program with the caller's arguments,
// cleans up and ends by SIGKILL to itself.
#include "launcher/appendix.h"
#include "launcher/appendix_format.h"
#include "launcher/cache_slot.h"
#include "launcher/start.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string_view>

int main(int argc, char** argv) {
    launcher::launch_state s;
    s.argc = argc;
    s.argv = argv;
#ifdef DESK_LAUNCHER_TESTROOT_ENV
    // Test build only: a private cache root so parallel tests do not meet.
    const char* root = std::getenv(DESK_LAUNCHER_TESTROOT_ENV);
    if (!root || !*root) {
        std::fprintf(stderr, "%s must name the cache prefix of this test build\n",
                     DESK_LAUNCHER_TESTROOT_ENV);
        errno = EINVAL;
        launcher::error_end(s);
    }
    launcher::set_cache_prefix(root);
#endif
    if (!launcher::open_self(s)) launcher::error_end(s);
    std::string_view image(reinterpret_cast<const char*>(s.image), s.image_size);
    auto at = launcher::find_marker(image);
    if (!at) {
        std::fprintf(stderr, "No appendix found\n");
        errno = ENOENT;
        launcher::error_end(s);
    }
    std::size_t start = *at + launcher::marker_size;
    std::fprintf(stderr, "Found appendix at %u, payload %u bytes\n", unsigned(*at),
                 unsigned(s.image_size - start));
    if (start == s.image_size) {
        errno = ENODATA;
        launcher::error_end(s);
    }
    if (!launcher::run_appendix(s, image.substr(start))) launcher::error_end(s);
    launcher::normal_end(s);
}
