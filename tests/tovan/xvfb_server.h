// An Xvfb server for the tests that run the real program: started on a
// display number the server picks itself (-displayfd), always stopped by
// the destructor. Plus the small process helpers those tests use.
#pragma once

#include <chrono>
#include <string>
#include <sys/types.h>
#include <vector>

namespace tovan_test {

class xvfb_server {
public:
    // A screen of width by height, 24-bit; throws std::runtime_error when the
    // server does not come up within 30 s.
    xvfb_server(int width, int height);
    ~xvfb_server();
    xvfb_server(xvfb_server const&) = delete;
    xvfb_server& operator=(xvfb_server const&) = delete;

    std::string const& display() const { return m_display; }

private:
    pid_t m_pid = -1;
    std::string m_display;
};

// openbox managing display's screen until the destructor stops it; throws
// std::runtime_error when it has not taken the screen within 30 s.
class window_manager {
public:
    explicit window_manager(std::string const& display);
    ~window_manager();
    window_manager(window_manager const&) = delete;
    window_manager& operator=(window_manager const&) = delete;

private:
    pid_t m_pid = -1;
};

// Output of a shell command run with DISPLAY set (standard output only).
std::string shell(std::string const& display, std::string const& command);

// Starts program in dir with DISPLAY set; its standard error goes to stderr_path.
pid_t spawn(std::string const& display, std::string const& dir, std::string const& program,
            std::vector<std::string> const& args, std::string const& stderr_path);

// The same with the whole argument vector, argument 0 included; an empty one
// starts the program with no arguments at all (argc 0).
pid_t spawn_argv(std::string const& display, std::string const& dir, std::string const& program,
                 std::vector<std::string> const& argv, std::string const& stderr_path);

// dir made a run directory like the build's (from), with an empty home/; the
// program name (unless "") hard-linked, or copied across file systems (a tmpfs /tmp).
void fill_run_dir(std::string const& from, std::string const& dir, std::string const& name, bool conf = true);

// The exit status (as from waitpid) once pid ends; -1 when it has not ended
// within the limit (it is then killed).
int wait_exit(pid_t pid, std::chrono::seconds limit);

} // namespace tovan_test
