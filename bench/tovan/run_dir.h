// A program's own run directory for the benchmarks that start the real desk
// and client: the configuration and the files it reads beside it, copied
// from the build's run directory (`run_dir`), the program hard-linked, and
// an empty HOME below it.
#pragma once

#include <filesystem>

namespace bench_support {

inline void make_run_dir(std::filesystem::path const& run_dir, std::filesystem::path const& dir,
                         char const* program) {
    namespace fs = std::filesystem;
    fs::create_directories(dir / "home");
    for (char const* part : {"conf", "conf_static", "translations", "dialogs.ini", "dh.pem", "server.pem"})
        fs::copy(run_dir / part, dir / part, fs::copy_options::recursive);
    fs::create_hard_link(run_dir / program, dir / program);
}

} // namespace bench_support
