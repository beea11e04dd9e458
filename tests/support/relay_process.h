// tovan_relay run as a real process for a test: started with options, its
// port read from its first output line, admin commands written to its
// standard input with the replies read from its output, and always stopped
// (SIGTERM, SIGKILL after a limit) and reaped by the destructor.
//
// Unless the options name them, the relay gets --log, --cert and --key in a
// directory of the fixture's own (a fresh one, removed with the fixture, or
// `dir` when given, so a second relay can reuse the first one's certificate). Used from the test's
// thread only; every wait has a limit. The relay is killed if the thread
// that started it ends first (so if the test process dies).
#pragma once

#include <chrono>
#include <string>
#include <sys/types.h>
#include <vector>

namespace test_support {

class relay_process {
public:
    // Throws std::runtime_error when the relay does not start and print its
    // port within `limit`.
    explicit relay_process(std::vector<std::string> options = {}, std::string dir = "",
                           std::chrono::milliseconds limit = std::chrono::seconds(60));
    ~relay_process();
    relay_process(relay_process const&) = delete;
    relay_process& operator=(relay_process const&) = delete;

    unsigned short port() const { return m_port; }
    pid_t pid() const { return m_pid; }
    std::string const& dir() const { return m_dir; }
    std::string log_path() const { return m_dir + "/relay.log"; }
    std::string cert_path() const { return m_dir + "/cert.pem"; }

    // The admin port when started with --admin, else 0 (admin on standard input).
    unsigned short admin_port() const { return m_admin_port; }

    // One admin command (on standard input, or on the admin port with
    // --admin); returns the reply lines before the closing "ok".
    // Throws std::runtime_error with the relay's text on "error ..." and when
    // no reply comes within the limit.
    std::string admin(std::string const& command, std::chrono::milliseconds limit = std::chrono::seconds(10));
    // The connection id whose peer is 127.0.0.1:local_port (from "list"), 0 if none.
    unsigned long long connection_of(unsigned short local_port);

    // Until the log holds a line containing every one of `parts`; returns that
    // line, or "" at the limit.
    std::string wait_log(std::vector<std::string> const& parts,
                         std::chrono::milliseconds limit = std::chrono::seconds(10)) const;
    std::string log_text() const;

    // Still running (not yet reaped)?
    bool running();
    // SIGTERM, SIGKILL after `limit`, reap; returns the wait status, or -1 if
    // already stopped.
    int stop(std::chrono::milliseconds limit = std::chrono::seconds(10));

private:
    // One line from fd (the relay's output or the admin connection) through buffer.
    static bool read_line(int fd, std::string& buffer, std::string& line,
                          std::chrono::steady_clock::time_point deadline);

    pid_t m_pid = -1;
    int m_in = -1, m_out = -1;
    unsigned short m_port = 0;
    std::string m_dir;
    bool m_own_dir = false; // made here, removed by the destructor
    std::string m_buffer;   // output read but not yet taken as lines
    unsigned short m_admin_port = 0;
    int m_admin = -1;           // the admin connection, made on first use
    std::string m_admin_buffer; // its replies not yet taken as lines
};

} // namespace test_support
