// Runs a packed launcher as its own process for the end-to-end tests, each run
// under a private cache prefix (the test build's DESK_LAUNCHER_ROOT) so tests
// running at once never share a cache.
#pragma once

#include <optional>
#include <string>
#include <utility>
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

// The same with standard error on a pseudo-terminal; err is what reached it
// (line ends without the terminal's carriage returns).
outcome run_on_terminal(std::string const& program, std::vector<std::string> const& args,
                        std::vector<std::string> const& env);

std::string read_file(std::string const& path);
void write_file(std::string const& path, std::string const& bytes, unsigned mode = 0644);

// Every path under `dir`, relative to it, with "/" after directories; sorted.
std::vector<std::string> tree(std::string const& dir);

// Lines of `text` that contain `what`.
std::vector<std::string> lines_with(std::string const& text, std::string const& what);

// Where the launcher's test build puts cache root `root` under `prefix`, and
// slot `slot` of the archive directory `archive` in it.
std::string root_path(std::string const& prefix, int root = 0);
std::string slot_path(std::string const& prefix, std::string const& archive, int root = 0, int slot = 1);

// The test payloads' report file: "key value" lines in order, the hex values
// decoded, the decimal ones ("argc", "flock") as written. Empty when missing.
std::vector<std::pair<std::string, std::string>> read_report(std::string const& path);

} // namespace launch_test
