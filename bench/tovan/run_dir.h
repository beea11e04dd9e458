// What the benchmarks that run the real programs share: files read whole, a
// field of one relay log line, and a run directory made from the build's.
#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace bench_support {

inline std::string read_all(std::string const& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The text value of a field of one relay log line ("" when absent).
inline std::string field(std::string const& line, std::string const& name) {
    auto at = line.find("\"" + name + "\":\"");
    if (at == std::string::npos) return {};
    at += name.size() + 4;
    return line.substr(at, line.find('"', at) - at);
}

// root/name: the build's run directory with the program name hard-linked
// (copied across file systems) and a HOME of its own under home/.
inline std::filesystem::path make_run_dir(std::string const& root, std::string const& name) {
    namespace fs = std::filesystem;
    fs::path const dir = fs::path(root) / name;
    fs::create_directories(dir / "home");
    for (char const* part : {"conf", "conf_static", "translations", "dialogs.ini", "dh.pem", "server.pem"})
        fs::copy(fs::path(TOVAN_RUN_DIR) / part, dir / part, fs::copy_options::recursive);
    std::error_code linked;
    fs::create_hard_link(fs::path(TOVAN_RUN_DIR) / name, dir / name, linked);
    if (linked) fs::copy_file(fs::path(TOVAN_RUN_DIR) / name, dir / name);
    return dir;
}

} // namespace bench_support
