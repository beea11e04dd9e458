// Runs a packed launcher as its own process for the end-to-end tests, each run
// under a private cache prefix (the test build's DESK_LAUNCHER_ROOT) so tests
// running at once never share a cache.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace launch_test {

// A folder made for one test and removed with everything in it afterwards.
struct temp_dir {
    std::string path;
    temp_dir();
    ~temp_dir();
    temp_dir(temp_dir const&) = delete;
    temp_dir& operator=(temp_dir const&) = delete;
};

struct outcome {
    int signal = 0;     // the terminating signal, 0 when it exited
    int exit_code = -1; // the exit status when it exited
    std::string err;    // everything written to standard error
};

// Runs `program` with `args` (argument 0 is the program's path) and the test's
// environment, less LD_LIBRARY_PATH, plus `env` ("NAME=value" each; a value of
// LD_LIBRARY_PATH there is kept). Waits for its end; blocks.
outcome run(std::string const& program, std::vector<std::string> const& args,
            std::vector<std::string> const& env);

std::string read_file(std::string const& path);
void write_file(std::string const& path, std::string const& bytes, unsigned mode = 0644);

// Every path under `dir`, relative to it, with "/" after directories; sorted.
std::vector<std::string> tree(std::string const& dir);

// Lines of `text` that contain `what`.
std::vector<std::string> lines_with(std::string const& text, std::string const& what);

} // namespace launch_test
