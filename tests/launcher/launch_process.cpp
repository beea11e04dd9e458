#include "tests/launcher/launch_process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

extern char** environ;

namespace launch_test {

temp_dir::temp_dir() {
    char const* base = std::getenv("TMPDIR");
    std::string t = std::string(base && *base ? base : "/tmp") + "/launcher_test_XXXXXX";
    if (::mkdtemp(t.data())) path = std::filesystem::canonical(t).string();
}

temp_dir::~temp_dir() {
    if (path.empty()) return;
    std::error_code ec;
    // A test may leave a folder without write permission behind.
    for (auto it = std::filesystem::recursive_directory_iterator(path, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
        if (it->is_directory(ec) && !it->is_symlink(ec)) ::chmod(it->path().c_str(), 0700);
    std::filesystem::remove_all(path, ec);
}

namespace {

// Runs program with standard error opened from err_path; the rest as run().
outcome run_with_stderr(std::string const& program, std::vector<std::string> const& args,
                        std::vector<std::string> const& env, std::string const& err_path) {

    std::vector<std::string> envs;
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "LD_LIBRARY_PATH=", 16) != 0) envs.push_back(*e);
    envs.insert(envs.end(), env.begin(), env.end());
    std::vector<char*> envp, argv;
    for (auto& e : envs) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> args_copy = args;
    for (auto& a : args_copy) argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOCTTY, 0600);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    pid_t pid = -1;
    outcome out;
    int const rc = ::posix_spawn(&pid, program.c_str(), &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) {
        out.err = "spawn failed: " + std::string(std::strerror(rc));
        return out;
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFSIGNALED(status)) out.signal = WTERMSIG(status);
    if (WIFEXITED(status)) out.exit_code = WEXITSTATUS(status);
    return out;
}

} // namespace

outcome run(std::string const& program, std::vector<std::string> const& args,
            std::vector<std::string> const& env) {
    temp_dir io;
    std::string const err_path = io.path + "/stderr";
    outcome out = run_with_stderr(program, args, env, err_path);
    if (out.err.empty()) out.err = read_file(err_path);
    return out;
}

outcome run_on_terminal(std::string const& program, std::vector<std::string> const& args,
                        std::vector<std::string> const& env) {
    outcome out;
    int const master = ::posix_openpt(O_RDWR | O_NOCTTY);
    char const* slave =
        master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0 ? ::ptsname(master) : nullptr;
    if (!slave) {
        out.err = "no pseudo-terminal: " + std::string(std::strerror(errno));
        if (master >= 0) ::close(master);
        return out;
    }
    out = run_with_stderr(program, args, env, slave);
    // The program has ended and nobody holds the terminal's other side:
    // what it wrote is buffered here, and the read after it fails.
    ::fcntl(master, F_SETFL, O_NONBLOCK);
    char buf[4096];
    for (ssize_t n; (n = ::read(master, buf, sizeof buf)) > 0;) out.err.append(buf, std::size_t(n));
    ::close(master);
    out.err.erase(std::remove(out.err.begin(), out.err.end(), '\r'), out.err.end());
    return out;
}

std::string read_file(std::string const& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file(std::string const& path, std::string const& bytes, unsigned mode) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    ::chmod(path.c_str(), mode);
}

std::vector<std::string> tree(std::string const& dir) {
    std::vector<std::string> out;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        std::string rel = std::filesystem::relative(it->path(), dir).string();
        if (it->is_directory(ec) && !it->is_symlink(ec)) rel += "/";
        out.push_back(rel);
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<std::string> lines_with(std::string const& text, std::string const& what) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (line.find(what) != std::string::npos) out.push_back(line);
    return out;
}

std::string root_path(std::string const& prefix, int root) {
    return prefix + "/SepraCache_" + std::to_string(::geteuid()) + "_" + std::to_string(root);
}

std::string slot_path(std::string const& prefix, std::string const& archive, int root, int slot) {
    return root_path(prefix, root) + "/" + archive + "/" + std::to_string(slot);
}

std::vector<std::pair<std::string, std::string>> read_report(std::string const& path) {
    std::vector<std::pair<std::string, std::string>> out;
    std::istringstream in(read_file(path));
    for (std::string line; std::getline(in, line);) {
        std::size_t const blank = std::min(line.find(' '), line.size());
        std::string key = line.substr(0, blank), value = line.substr(std::min(blank + 1, line.size()));
        if (key != "argc" && key != "flock") {
            std::string s;
            for (std::size_t i = 0; i + 1 < value.size(); i += 2)
                s += char(std::stoi(value.substr(i, 2), nullptr, 16));
            value = s;
        }
        out.emplace_back(std::move(key), std::move(value));
    }
    return out;
}

} // namespace launch_test
